// SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause
/*
 * ztostra_core.c - the rules the ztostra driver and the board simulator
 * share (see ztostra_core.h).
 */
#include "ztostra_core.h"
#include "ata.h"

/* a / b and a % b: 64-bit division is a call on a 32-bit kernel */
static uint64_t zt_div(uint64_t a, uint64_t b, uint64_t *rem)
{
#ifdef __KERNEL__
	return div64_u64_rem(a, b, rem);
#else
	*rem = a % b;
	return a / b;
#endif
}

static const struct zt_ata_op zt_ops[] = {
	{ ZT_CMD_READ_DMA_EXT, "READ DMA EXT",
	  ZT_ATA_MEDIA | ZT_ATA_IN | ZT_ATA_DMA | ZT_ATA_EXT },
	{ ZT_CMD_WRITE_DMA_EXT, "WRITE DMA EXT",
	  ZT_ATA_MEDIA | ZT_ATA_WRITES | ZT_ATA_OUT | ZT_ATA_DMA | ZT_ATA_EXT },
	{ ZT_CMD_READ_VERIFY, "READ VERIFY SECTORS", ZT_ATA_MEDIA },
	{ ZT_CMD_READ_VERIFY_EXT, "READ VERIFY SECTORS EXT",
	  ZT_ATA_MEDIA | ZT_ATA_EXT },
	{ ZT_CMD_WRITE_FPDMA_QUEUED, "WRITE FPDMA QUEUED",
	  ZT_ATA_MEDIA | ZT_ATA_WRITES | ZT_ATA_OUT | ZT_ATA_DMA | ZT_ATA_EXT |
	  ZT_ATA_NCQ },
	{ ZT_CMD_WRITE_UNC_EXT, "WRITE UNCORRECTABLE EXT",
	  ZT_ATA_MEDIA | ZT_ATA_WRITES | ZT_ATA_EXT },
	{ ZT_CMD_IDENTIFY_PACKET, "IDENTIFY PACKET DEVICE", ZT_ATA_IN },
	{ ZT_CMD_SMART, "SMART", ZT_ATA_MEDIA | ZT_ATA_IN },
	{ ZT_CMD_READ_DMA, "READ DMA", ZT_ATA_MEDIA | ZT_ATA_IN | ZT_ATA_DMA },
	{ ZT_CMD_WRITE_DMA, "WRITE DMA",
	  ZT_ATA_MEDIA | ZT_ATA_WRITES | ZT_ATA_OUT | ZT_ATA_DMA },
	{ ZT_CMD_STANDBY_IMMEDIATE, "STANDBY IMMEDIATE", 0 },
	{ ZT_CMD_IDLE_IMMEDIATE, "IDLE IMMEDIATE", 0 },
	{ ZT_CMD_STANDBY, "STANDBY", 0 },
	{ ZT_CMD_IDLE, "IDLE", 0 },
	{ ZT_CMD_CHECK_POWER_MODE, "CHECK POWER MODE", 0 },
	{ ZT_CMD_SLEEP, "SLEEP", 0 },
	{ ZT_CMD_FLUSH_CACHE, "FLUSH CACHE", ZT_ATA_MEDIA },
	{ ZT_CMD_FLUSH_CACHE_EXT, "FLUSH CACHE EXT", ZT_ATA_MEDIA | ZT_ATA_EXT },
	{ ZT_CMD_IDENTIFY, "IDENTIFY DEVICE", ZT_ATA_IN },
	{ ZT_CMD_SECURITY_SET_PASSWORD, "SECURITY SET PASSWORD",
	  ZT_ATA_SECURITY | ZT_ATA_OUT },
	{ ZT_CMD_SECURITY_UNLOCK, "SECURITY UNLOCK",
	  ZT_ATA_SECURITY | ZT_ATA_OUT },
	{ ZT_CMD_SECURITY_ERASE_PREPARE, "SECURITY ERASE PREPARE",
	  ZT_ATA_SECURITY },
	{ ZT_CMD_SECURITY_ERASE_UNIT, "SECURITY ERASE UNIT",
	  ZT_ATA_MEDIA | ZT_ATA_WRITES | ZT_ATA_SECURITY | ZT_ATA_OUT },
	{ ZT_CMD_SECURITY_FREEZE_LOCK, "SECURITY FREEZE LOCK",
	  ZT_ATA_SECURITY },
	{ ZT_CMD_SECURITY_DISABLE_PASSWORD, "SECURITY DISABLE PASSWORD",
	  ZT_ATA_SECURITY | ZT_ATA_OUT },
	{ 0, NULL, 0 },
};

static const struct zt_ata_op zt_unknown_op = {
	0, "(unknown)",
	ZT_ATA_MEDIA | ZT_ATA_WRITES | ZT_ATA_SECURITY | ZT_ATA_OUT
};

const struct zt_ata_op *zt_ata_find(uint8_t command)
{
	const struct zt_ata_op *op;

	for (op = zt_ops; op->name; op++)
		if (op->command == command)
			return op;
	return &zt_unknown_op;
}

static bool zt_ext(uint8_t command)
{
	return (zt_ata_find(command)->flags & ZT_ATA_EXT) != 0;
}

uint32_t zt_sectors(uint8_t command, uint16_t count)
{
	if (count != 0)
		return count;
	return zt_ext(command) ? 65536 : 256;
}

bool zt_addressable(uint8_t command, uint64_t lba)
{
	return lba < (zt_ext(command) ? ZT_LBA48 : ZT_LBA28);
}

bool zt_gate(uint64_t p5_start, uint64_t p5_sectors, uint64_t first,
	     uint64_t count)
{
	uint64_t offset;

	if (count == 0 || first < p5_start)
		return false;
	offset = first - p5_start;
	return offset < p5_sectors && count <= p5_sectors - offset;
}

bool zt_bounded(uint8_t command)
{
	return (zt_ata_find(command)->flags & ZT_ATA_WRITES) != 0 &&
	       command != ZT_CMD_SECURITY_ERASE_UNIT;
}

bool zt_command_allowed(uint8_t command, uint64_t lba, uint16_t count,
			uint64_t p5_start, uint64_t p5_sectors)
{
	uint64_t reach = zt_ext(command) ? ZT_LBA48 : ZT_LBA28;

	if (!zt_bounded(command))
		return true;
	if (zt_ata_find(command) == &zt_unknown_op)
		return false;
	/* the sectors past the registers' reach are none of partition 5's */
	if (p5_start >= reach)
		return false;
	if (p5_sectors > reach - p5_start)
		p5_sectors = reach - p5_start;
	return zt_gate(p5_start, p5_sectors, lba, zt_sectors(command, count));
}

#define ZT_REQUEST(code, size, touches) { code, #code, size, touches }

const struct zt_request zt_requests[] = {
	ZT_REQUEST(ZTOSTRA_HDD_STANDBY_IMD, 0, 0),
	ZT_REQUEST(ZTOSTRA_HDD_SLEEP, 0, 0),
	ZT_REQUEST(ZTOSTRA_HDD_FLUSH_CACHE, 0, ZT_MEDIA),
	ZT_REQUEST(ZTOSTRA_SLEEP_IN, 0, ZT_CONTROLLER),
	ZT_REQUEST(ZTOSTRA_SLEEP_OUT, 0, ZT_CONTROLLER),
	ZT_REQUEST(ZTOSTRA_INIT_PORT, 0, ZT_CONTROLLER),
	ZT_REQUEST(ZTOSTRA_GET_OWCOUNT, 4, 0),
	ZT_REQUEST(ZTOSTRA_ISUEE_OWFUNC, 4, ZT_MEDIA | ZT_WRITES),
	ZT_REQUEST(ZTOSTRA_OW_OP, sizeof(struct ztostra_ow), 0),
	ZT_REQUEST(ZTOSTRA_SET_TOTAL, 8, 0),
	ZT_REQUEST(ZTOSTRA_CLEAR_TOTAL, 0, 0),
	ZT_REQUEST(ZTOSTRA_SET_AES, sizeof(struct aeskey), 0),
	ZT_REQUEST(ZTOSTRA_GET_SMARTATTR, ZT_SECTOR, ZT_MEDIA),
	ZT_REQUEST(ZTOSTRA_GET_SMARTTHRS, ZT_SECTOR, ZT_MEDIA),
	ZT_REQUEST(ZTOSTRA_GET_IDENTDATA, ZT_SECTOR, 0),
	ZT_REQUEST(ZTOSTRA_HDD_DEF_ROTATIONAL, 4, ZT_CONTROLLER),
	ZT_REQUEST(ZTOSTRA_SSD_SECURITY_ERASE, 0, ZT_MEDIA | ZT_WRITES),
	ZT_REQUEST(ZTOSTRA_TEST_REG_READ, 0, ZT_CONTROLLER),
	ZT_REQUEST(ZTOSTRA_TEST_REG_WRITE, 0, ZT_CONTROLLER),
	ZT_REQUEST(ZTOSTRA_TEST_24v_DOWN_INTR, 0, ZT_CONTROLLER),
	ZT_REQUEST(ZTOSTRA_TEST_READ_DMA, sizeof(struct ztostra_read_dma_info),
		   ZT_MEDIA),
	ZT_REQUEST(ZTOSTRA_GET_PART, sizeof(struct ztostra_part_info), 0),
	ZT_REQUEST(ZTOSTRA_TEST_UNCWRITE,
		   sizeof(struct ztostra_write_dma_info), ZT_MEDIA | ZT_WRITES),
	ZT_REQUEST(HDIO_GET_IDENTITY, ZT_SECTOR, ZT_BLOCK),
	/* the command's head; its data follow */
	ZT_REQUEST(HDIO_DRIVE_CMD, 4, ZT_MEDIA | ZT_BLOCK),
	ZT_REQUEST(HDIO_DRIVE_TASK, 7, ZT_MEDIA | ZT_BLOCK),
	ZT_REQUEST(HDIO_GET_MULTCOUNT, sizeof(long), ZT_CONTROLLER | ZT_BLOCK),
	ZT_REQUEST(SG_IO, 0, ZT_CONTROLLER | ZT_BLOCK),
	ZT_REQUEST(HDIO_DRIVE_TASKFILE, 0, ZT_CONTROLLER | ZT_BLOCK),
	{ 0, NULL, 0, 0 },
};

const struct zt_request *zt_request_find(uint32_t code)
{
	const struct zt_request *r;

	for (r = zt_requests; r->name; r++)
		if (r->code == code)
			return r;
	return NULL;
}

uint64_t zt_start_sector(uint32_t word0, uint32_t word1)
{
	return ((uint64_t)word0 << 24) + word1;
}

const char *zt_erase_refusal(uint16_t rotation_rate, uint16_t security,
			     int *err)
{
	*err = EOPNOTSUPP;
	if (rotation_rate != 1)
		return "a rotating drive";
	if ((security & 0x01) == 0)
		return "no security feature set";
	*err = EACCES;
	if ((security & 0x0C) != 0)
		return "security locked or frozen";
	*err = 0;
	return NULL;
}

void zt_erase_password(uint8_t sector[ZT_SECTOR])
{
	static const char password[] = "ostrasim";
	size_t i;

	for (i = 0; i < ZT_SECTOR; i++)
		sector[i] = 0;
	/* word 0: user password, high security, normal erase; words 1-16 */
	for (i = 0; password[i]; i++)
		sector[2 + i] = (uint8_t)password[i];
}

uint32_t zt_erase_seconds(uint16_t word89)
{
	uint32_t units = word89 & 0xFF;

	return 60 * ((units == 0 ? 240 : 2 * units) + 2);
}

uint64_t zt_ow_need(const struct zt_ow_run *run)
{
	uint64_t rem;
	uint64_t c = run->start_count < 100 ? run->start_count : 100;
	uint64_t hundredths = zt_div(run->total, 100, &rem);

	/* the start count's share of the total counts as done */
	return run->total - (hundredths * c + (uint32_t)(rem * c) / 100);
}

uint32_t zt_ow_count(const struct zt_ow_run *run, uint64_t written)
{
	uint64_t rem, need = zt_ow_need(run);
	uint32_t c = run->start_count;

	if (written >= need || c >= 100)
		return 100;
	if (need <= ~(uint64_t)0 / 100)
		return c + (uint32_t)zt_div(written * (100 - c), need, &rem);
	return c + (uint32_t)zt_div(written, zt_div(need, 100 - c, &rem) + 1,
				    &rem);
}

bool zt_ow_random(const struct zt_ow_run *run, uint64_t k)
{
	uint64_t rem, passes, pass;

	if (run->p5_sectors == 0)
		return false;
	passes = zt_div(run->total, run->p5_sectors, &rem);
	passes += rem != 0;
	pass = zt_div(k, run->p5_sectors, &rem);
	return pass < passes && ((passes - 1 - pass) & 1) != 0;
}

bool zt_ow_next(const struct zt_ow_run *run, uint64_t written, uint64_t due,
		uint32_t max_sectors, struct zt_ow_write *w)
{
	uint64_t need = zt_ow_need(run);
	uint64_t k, first, n;

	if (due > need)
		due = need;
	if (run->p5_sectors == 0 || written >= due)
		return false;
	k = run->total - need + written;
	zt_div(k, run->p5_sectors, &first);
	n = run->p5_sectors - first;
	if (n > due - written)
		n = due - written;
	if (max_sectors == 0)
		max_sectors = 1;
	if (max_sectors > 65536)
		max_sectors = 65536;
	if (n > max_sectors)
		n = max_sectors;
	w->lba = run->p5_start + first;
	w->sectors = (uint32_t)n;
	w->random = zt_ow_random(run, k);
	return true;
}

#define ZT_GOLDEN 0x9E3779B9U
#define ZT_NONZERO 0x55AA55AAU

static uint32_t zt_xorshift(uint32_t x)
{
	x ^= x << 13;
	x ^= x >> 17;
	return x ^ (x << 5);
}

/* the state before zt_xorshift(x) == y */
static uint32_t zt_unshift(uint32_t y)
{
	uint32_t x = y;
	int i;

	for (i = 0; i < 7; i++)
		x = y ^ (x << 5);
	x ^= x >> 17;
	y = x;
	for (i = 0; i < 3; i++)
		x = y ^ (x << 13);
	return x;
}

void zt_fill(bool random, uint32_t value, uint64_t lba,
	     uint8_t sector[ZT_SECTOR])
{
	uint32_t x = value ^ ((uint32_t)lba * ZT_GOLDEN);
	uint32_t v;
	size_t i, b;

	for (i = 0; i < ZT_SECTOR; i += 4) {
		x = zt_xorshift(x != 0 ? x : ZT_NONZERO);
		v = random ? x : (value << 16 | (value & 0xFFFF));
		for (b = 0; b < 4; b++)
			sector[i + b] = (uint8_t)(v >> (24 - 8 * b));
	}
}

uint32_t zt_fill_seed(uint64_t lba, const uint8_t sector[ZT_SECTOR])
{
	uint32_t word = (uint32_t)sector[0] << 24 | (uint32_t)sector[1] << 16 |
			(uint32_t)sector[2] << 8 | sector[3];

	return zt_unshift(word) ^ ((uint32_t)lba * ZT_GOLDEN);
}

/* protocols of ATA PASS-THROUGH */
enum { ZT_NONDATA = 3, ZT_PIO_IN = 4, ZT_PIO_OUT = 5, ZT_DMA = 6, ZT_FPDMA = 12 };

bool zt_cdb(const struct zt_tf *tf, bool data, uint8_t cdb[16])
{
	unsigned int flags = zt_ata_find(tf->command)->flags;
	bool ext = (flags & ZT_ATA_EXT) != 0;
	bool out = (flags & ZT_ATA_OUT) != 0;
	bool ncq = (flags & ZT_ATA_NCQ) != 0;
	unsigned int proto = !data ? ZT_NONDATA :
			     ncq ? ZT_FPDMA :
			     (flags & ZT_ATA_DMA) ? ZT_DMA :
			     out ? ZT_PIO_OUT : ZT_PIO_IN;
	uint64_t lba = tf->lba;
	size_t i;

	if (!zt_addressable(tf->command, lba))
		return false;
	for (i = 0; i < 16; i++)
		cdb[i] = 0;
	cdb[0] = 0x85;
	cdb[1] = (uint8_t)(proto << 1 | (ext ? 1 : 0));
	/*
	 * ck_cond for a non-data command: the registers always come back;
	 * data in (or out), its length in the count, counted in blocks
	 */
	cdb[2] = proto == ZT_NONDATA ? 0x20 : out ? 0x06 : 0x0E;
	cdb[4] = tf->features;
	cdb[5] = (uint8_t)(ext ? tf->count >> 8 : 0);
	cdb[6] = (uint8_t)tf->count;
	if (ncq) {
		/*
		 * a queued command: its sectors in the features registers
		 * (and the length with them), the tag in the count is the
		 * host's
		 */
		cdb[2] = (uint8_t)((cdb[2] & ~0x03) | 0x01);
		cdb[3] = cdb[5];
		cdb[4] = cdb[6];
		cdb[5] = 0;
		cdb[6] = 0;
	}
	cdb[7] = (uint8_t)(ext ? lba >> 24 : 0);
	cdb[8] = (uint8_t)lba;
	cdb[9] = (uint8_t)(ext ? lba >> 32 : 0);
	cdb[10] = (uint8_t)(lba >> 8);
	cdb[11] = (uint8_t)(ext ? lba >> 40 : 0);
	cdb[12] = (uint8_t)(lba >> 16);
	cdb[13] = (uint8_t)(tf->device | (ext ? 0 : (lba >> 24) & 0x0F));
	cdb[14] = tf->command;
	return true;
}

/* the ATA status return descriptor of descriptor-format sense, or NULL */
static const uint8_t *zt_ata_descriptor(const uint8_t *sense, size_t len)
{
	size_t at = 8, end = 8 + (size_t)sense[7];

	if (end > len)
		end = len;
	while (at + 2 <= end && at + 2 + sense[at + 1] <= end) {
		if (sense[at] == 0x09 && sense[at + 1] >= 0x0C)
			return sense + at;
		at += 2 + sense[at + 1];
	}
	return NULL;
}

bool zt_sense(const uint8_t *sense, size_t len, struct zt_tf *tf,
	      uint8_t *key)
{
	bool ext = zt_ext(tf->command);
	bool fixed = len >= 18 && (sense[0] & 0x7F) == 0x70;
	const uint8_t *d = NULL, *r;
	bool moved;

	*key = fixed ? sense[2] & 0x0F : len >= 2 ? sense[1] & 0x0F : 0;
	if (len >= 8 && (sense[0] & 0x7F) == 0x72)
		d = zt_ata_descriptor(sense, len);
	if (d) {
		tf->error = d[3];
		tf->count = (uint16_t)(d[5] | d[4] << 8);
		/* (28-bit: bits 24-27 in the device register) */
		tf->lba = d[7] | (uint64_t)d[9] << 8 | (uint64_t)d[11] << 16;
		if (ext)
			tf->lba |= (uint64_t)d[6] << 24 | (uint64_t)d[8] << 32 |
				   (uint64_t)d[10] << 40;
		else
			tf->lba |= (uint64_t)(d[12] & 0x0F) << 24;
		tf->status = d[13];
		return true;
	}
	if (!fixed || ((sense[12] != 0 || sense[13] != 0x1D) && *key != 0x0B))
		return false;
	/*
	 * error, status, device and count in the information field (bytes
	 * 3-6), the LBA in bytes 9-11; for a failed command some kernels
	 * (Linux 6.1) put the four registers in bytes 8-11 and leave the
	 * information field empty: a status of 0 is never a drive's answer.
	 * The LBA's bits fixed sense does not hold stay as sent.
	 */
	moved = sense[4] == 0 && sense[9] != 0;
	r = sense + (moved ? 8 : 3);
	tf->error = r[0];
	tf->status = r[1];
	tf->count = r[3];
	if (!moved)
		tf->lba = sense[9] | (uint64_t)sense[10] << 8 |
			  (uint64_t)sense[11] << 16 |
			  (ext ? tf->lba & ~0xFFFFFFULL :
				 (uint64_t)(r[2] & 0x0F) << 24);
	return true;
}
