/* SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause */
/*
 * ata.h - interface of the ztostra SATA host controller driver.
 *
 * Shared between the kernel driver and the user-space tools: request codes,
 * common constants, the ATA constants the tools use and every record that
 * crosses the ioctl boundary.  Records are in the board's native byte order
 * (32-bit big-endian PowerPC) and must keep this exact layout, padding
 * included; the checks at the end of the file hold the layout in place.
 *
 * Plain C (C11) and C++ both compile this header.
 */
#ifndef ATA_H
#define ATA_H

#ifdef __KERNEL__
#include <linux/ata.h>
#include <linux/stddef.h>
#include <linux/types.h>
#else
#include <stddef.h>
#include <stdint.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * ATA identify data and SMART.  In the kernel, <linux/ata.h> defines
 * ATA_ID_WORDS, ATA_ID_PROD_LEN, ATA_CMD_ID_ATA and ATA_CMD_SMART with the
 * same values, and its own enum ata_ioctls: the driver's requests are enum
 * ztostra_ioctls there.
 */
#define ATA_ID_SERNO_OFS          10   /* serial number: words 10-19 */
#define ATA_SERNO_LEN             20   /* serial number: 20 characters */
#define ATA_ID_PROD_OFS           27   /* model text: words 27-46 */
#define ATA_SUBCMD_SMART_READATTR 0xD0 /* SMART READ DATA */
#define ATA_SUBCMD_SMART_READTHRS 0xD1 /* SMART READ THRESHOLDS */
#ifndef __KERNEL__
#define ATA_ID_WORDS    256  /* identify data: 256 16-bit words */
#define ATA_ID_PROD_LEN 40   /* model text: 40 characters */
#define ATA_CMD_ID_ATA  0xEC /* IDENTIFY DEVICE */
#define ATA_CMD_SMART   0xB0 /* SMART */
#endif

/* Linux block-device requests that reach the same nodes */
#ifndef HDIO_GET_IDENTITY
#define HDIO_GET_IDENTITY 0x030D
#endif
#ifndef HDIO_DRIVE_CMD
#define HDIO_DRIVE_CMD 0x031F
#endif

/* driver requests */
#ifdef __KERNEL__
enum ztostra_ioctls {
#else
enum ata_ioctls {
#endif
	ZTOSTRA_HDD_STANDBY_IMD = 0x0A00,
	ZTOSTRA_HDD_SLEEP = 0x0A01,
	ZTOSTRA_HDD_FLUSH_CACHE = 0x0A02,
	ZTOSTRA_SLEEP_IN = 0x0A03,
	ZTOSTRA_SLEEP_OUT = 0x0A04,
	ZTOSTRA_INIT_PORT = 0x0A05,
	ZTOSTRA_SET_OWMODE = 0x0A06,
	ZTOSTRA_GET_OWMODE = 0x0A07,
	ZTOSTRA_SET_OWDATA = 0x0A08,
	ZTOSTRA_GET_OWDATA = 0x0A09,
	ZTOSTRA_GET_OWCOUNT = 0x0A0A,
	ZTOSTRA_ISUEE_OWFUNC = 0x0A0B,
	ZTOSTRA_OW_OP = 0x0A0C,
	ZTOSTRA_SET_TOTAL = 0x0A0D,
	ZTOSTRA_CLEAR_TOTAL = 0x0A0E,
	ZTOSTRA_SET_AES = 0x0A0F,
	ZTOSTRA_GET_SMARTATTR = 0x0A10,
	ZTOSTRA_GET_SMARTTHRS = 0x0A11,
	ZTOSTRA_GET_IDENTDATA = 0x0A12,
	ZTOSTRA_HDD_DEF_ROTATIONAL = 0x0A18,
	ZTOSTRA_SSD_SECURITY_ERASE = 0x0A40,
	ZTOSTRA_TEST_REG_READ = 0x0F00,
	ZTOSTRA_TEST_REG_WRITE = 0x0F01,
	ZTOSTRA_TEST_24v_DOWN_INTR = 0x0F02,
	ZTOSTRA_TEST_READ_DMA = 0x0F03,
	ZTOSTRA_GET_PART = 0x0F04,
	ZTOSTRA_TEST_UNCWRITE = 0x0F09
};

enum ztostra_common {
	OK = 0,
	ERROR = -1,
	BAD_ADDR = 0,
	OVERWRITE_MODE0 = 0,
	OVERWRITE_MODE1 = 1,
	OVERWRITE_MODE2 = 2,
	OVERWRITE_MODE3 = 3,
	ZTOSTRA_OW_GET = 1,
	ZTOSTRA_OW_SET = 2,
	OW_MAGIC_CODE = 0x55AA55AA,
	ZTOSTRA_HDD_MAX_CH = 2,
	ZTOSTRA_HDD_PM_ACTIVE = 0,
	ZTOSTRA_HDD_PM_SLEEP = 1,
	DSC_AESMODE_THROUGH = 0,
	DSC_AESMODE_ECB = 2,
	DSC_AESMODE_CBC = 3,
	SMART_MAKER_LENGTH = 20,
	SMART_MODEL_LENGTH = 60,
	SMART_SERIAL_LENGTH = 30,
	SMART_ATTR_SIZE = 12,
	SMART_ATTR_AMOUNT = 30,
	HDD_SECTOR_SIZE = 512,
	ZTOSTRA_TIMEOUT_PORT_RESET = 32
};

/* identify data, SMART attribute page and SMART threshold page of one drive */
struct smartinfo {
	int32_t hddch;
	int32_t count;
	uint16_t id[ATA_ID_WORDS];
	char maker[SMART_MAKER_LENGTH];
	char model[SMART_MODEL_LENGTH];
	char serial[SMART_SERIAL_LENGTH];
	uint8_t attr[512];
	uint8_t thrs[512];
};

/* media read test: 16 sectors from start_sect[0] (high), start_sect[1] (low) */
struct ztostra_read_dma_info {
	uint32_t nsect;
	uint32_t start_sect[2];
	uint8_t buff[HDD_SECTOR_SIZE];
};

/* uncorrectable-write test: same layout as the read test */
struct ztostra_write_dma_info {
	uint32_t nsect;
	uint32_t start_sect[2];
	uint8_t buff[HDD_SECTOR_SIZE];
};

/* overwrite settings */
struct overwrite {
	int32_t owmode;
	uint16_t owsw;
	uint16_t fixdata;
	uint32_t pranddata;
	/* 4 bytes of padding */
	uint64_t trcount;
	uint64_t partsect;
};

/* one overwrite settings request: op ZTOSTRA_OW_GET or ZTOSTRA_OW_SET */
struct ztostra_ow {
	uint32_t op;
	/* 4 bytes of padding */
	struct overwrite data;
};

/* bounds of the partition behind the node the request is issued on */
struct ztostra_part_info {
	uint32_t start_sect;
	uint32_t nr_sects;
	int32_t partno;
};

/* AES key material and mode of one drive */
struct aeskey {
	uint32_t hddkey[8];
	uint32_t realkey[8];
	uint32_t ivdata[8];
	int32_t aesmode;
	int32_t ivtype;
};

#ifdef __cplusplus
}
#define ATA_H_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define ATA_H_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#define ATA_H_LAYOUT(type, field, off)                                                             \
	ATA_H_ASSERT(offsetof(struct type, field) == (off), #type "." #field " offset")

ATA_H_ASSERT(sizeof(struct smartinfo) == 1656, "smartinfo size");
ATA_H_LAYOUT(smartinfo, hddch, 0);
ATA_H_LAYOUT(smartinfo, count, 4);
ATA_H_LAYOUT(smartinfo, id, 8);
ATA_H_LAYOUT(smartinfo, maker, 520);
ATA_H_LAYOUT(smartinfo, model, 540);
ATA_H_LAYOUT(smartinfo, serial, 600);
ATA_H_LAYOUT(smartinfo, attr, 630);
ATA_H_LAYOUT(smartinfo, thrs, 1142);

ATA_H_ASSERT(sizeof(struct ztostra_read_dma_info) == 524, "ztostra_read_dma_info size");
ATA_H_LAYOUT(ztostra_read_dma_info, nsect, 0);
ATA_H_LAYOUT(ztostra_read_dma_info, start_sect, 4);
ATA_H_LAYOUT(ztostra_read_dma_info, buff, 12);

ATA_H_ASSERT(sizeof(struct ztostra_write_dma_info) == 524, "ztostra_write_dma_info size");
ATA_H_LAYOUT(ztostra_write_dma_info, nsect, 0);
ATA_H_LAYOUT(ztostra_write_dma_info, start_sect, 4);
ATA_H_LAYOUT(ztostra_write_dma_info, buff, 12);

ATA_H_ASSERT(sizeof(struct overwrite) == 32, "overwrite size");
ATA_H_LAYOUT(overwrite, owmode, 0);
ATA_H_LAYOUT(overwrite, owsw, 4);
ATA_H_LAYOUT(overwrite, fixdata, 6);
ATA_H_LAYOUT(overwrite, pranddata, 8);
ATA_H_LAYOUT(overwrite, trcount, 16);
ATA_H_LAYOUT(overwrite, partsect, 24);

ATA_H_ASSERT(sizeof(struct ztostra_ow) == 40, "ztostra_ow size");
ATA_H_LAYOUT(ztostra_ow, op, 0);
ATA_H_LAYOUT(ztostra_ow, data, 8);

ATA_H_ASSERT(sizeof(struct ztostra_part_info) == 12, "ztostra_part_info size");
ATA_H_LAYOUT(ztostra_part_info, start_sect, 0);
ATA_H_LAYOUT(ztostra_part_info, nr_sects, 4);
ATA_H_LAYOUT(ztostra_part_info, partno, 8);

ATA_H_ASSERT(sizeof(struct aeskey) == 104, "aeskey size");
ATA_H_LAYOUT(aeskey, hddkey, 0);
ATA_H_LAYOUT(aeskey, realkey, 32);
ATA_H_LAYOUT(aeskey, ivdata, 64);
ATA_H_LAYOUT(aeskey, aesmode, 96);
ATA_H_LAYOUT(aeskey, ivtype, 100);

#endif /* ATA_H */
