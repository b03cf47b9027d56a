/* SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause */
/*
 * ztostra_core.h - the rules of the ztostra driver that the kernel driver and
 * the board simulator share: the ATA commands the driver sends and what each
 * does, the driver's requests, the write gate, the security erase's refusal,
 * the overwrite function's arithmetic and patterns, and ATA PASS-THROUGH (16)
 * with the sense data that answers it.
 *
 * Freestanding C: no allocation, no I/O, no state, no floating point.  Errors
 * are positive errno values (the kernel driver returns them negated).
 */
#ifndef ZTOSTRA_CORE_H
#define ZTOSTRA_CORE_H

#ifdef __KERNEL__
#include <linux/types.h>
#include <linux/errno.h>
#include <linux/math64.h>
#else
#include <stdbool.h>
#include <stdint.h>
#include <stddef.h>
#include <errno.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define ZT_SECTOR 512		/* bytes of a sector */
#define ZT_LBA28 (1ULL << 28)	/* sectors 28-bit registers reach */
#define ZT_LBA48 (1ULL << 48)	/* sectors 48-bit registers reach */

/* the ATA commands the driver sends */
enum zt_command {
	ZT_CMD_READ_DMA_EXT = 0x25,
	ZT_CMD_WRITE_DMA_EXT = 0x35,
	ZT_CMD_READ_VERIFY = 0x40,
	ZT_CMD_READ_VERIFY_EXT = 0x42,
	ZT_CMD_WRITE_UNC_EXT = 0x45,
	ZT_CMD_WRITE_FPDMA_QUEUED = 0x61,
	ZT_CMD_IDENTIFY_PACKET = 0xA1,
	ZT_CMD_SMART = 0xB0,
	ZT_CMD_READ_DMA = 0xC8,
	ZT_CMD_WRITE_DMA = 0xCA,
	ZT_CMD_STANDBY_IMMEDIATE = 0xE0,
	ZT_CMD_IDLE_IMMEDIATE = 0xE1,
	ZT_CMD_STANDBY = 0xE2,
	ZT_CMD_IDLE = 0xE3,
	ZT_CMD_CHECK_POWER_MODE = 0xE5,
	ZT_CMD_SLEEP = 0xE6,
	ZT_CMD_FLUSH_CACHE = 0xE7,
	ZT_CMD_FLUSH_CACHE_EXT = 0xEA,
	ZT_CMD_IDENTIFY = 0xEC,
	ZT_CMD_SECURITY_SET_PASSWORD = 0xF1,
	ZT_CMD_SECURITY_UNLOCK = 0xF2,
	ZT_CMD_SECURITY_ERASE_PREPARE = 0xF3,
	ZT_CMD_SECURITY_ERASE_UNIT = 0xF4,
	ZT_CMD_SECURITY_FREEZE_LOCK = 0xF5,
	ZT_CMD_SECURITY_DISABLE_PASSWORD = 0xF6,
};

/* what a command does */
enum zt_ata_flag {
	ZT_ATA_MEDIA = 1,	/* needs the media: a drive in stand-by spins up */
	ZT_ATA_WRITES = 2,	/* writes the medium */
	ZT_ATA_SECURITY = 4,	/* changes the drive's security state */
	ZT_ATA_IN = 8,		/* data to the host */
	ZT_ATA_OUT = 16,	/* data to the drive */
	ZT_ATA_DMA = 32,	/* its data moves by DMA */
	ZT_ATA_EXT = 64,	/* 48-bit registers: count 0 is 65536 sectors */
	ZT_ATA_NCQ = 128,	/* queued: its sectors in the features registers */
};

struct zt_ata_op {
	uint8_t command;
	const char *name;
	unsigned int flags;
};

/*
 * The row of a command; a command the table does not know gets a row that
 * writes the medium, changes the security state and takes data out.
 */
const struct zt_ata_op *zt_ata_find(uint8_t command);

/*
 * Sectors a command's count register stands for: 0 is 65536 for a 48-bit
 * command, 256 for a 28-bit one.
 */
uint32_t zt_sectors(uint8_t command, uint16_t count);

/* Whether the command's registers hold lba (28 or 48 bits). */
bool zt_addressable(uint8_t command, uint64_t lba);

/*
 * THE WRITE GATE: whether the count sectors from first on all lie inside
 * partition 5 (p5_sectors from p5_start on).  No sector, no partition 5 or
 * any sector outside it: refused.
 */
bool zt_gate(uint64_t p5_start, uint64_t p5_sectors, uint64_t first,
	     uint64_t count);

/*
 * Whether a command's sectors are held to partition 5: it writes the medium
 * and is not the security erase (the whole disk).
 */
bool zt_bounded(uint8_t command);

/*
 * Whether a command with these registers may go to the drive, partition 5
 * given: a command not held to partition 5 may; any other only when it is
 * known, its registers reach its sectors and the gate lets them through.
 */
bool zt_command_allowed(uint8_t command, uint64_t lba, uint16_t count,
			uint64_t p5_start, uint64_t p5_sectors);

/* the block layer's requests that reach the same nodes (as Linux has them) */
#ifndef HDIO_GET_MULTCOUNT
#define HDIO_GET_MULTCOUNT 0x0304
#endif
#ifndef HDIO_DRIVE_TASKFILE
#define HDIO_DRIVE_TASKFILE 0x031d
#endif
#ifndef HDIO_DRIVE_TASK
#define HDIO_DRIVE_TASK 0x031e
#endif
#ifndef SG_IO
#define SG_IO 0x2285
#endif

/* what a request touches */
enum zt_touch {
	ZT_CONTROLLER = 1,	/* the controller alone, whatever link and drive */
	ZT_MEDIA = 2,		/* the drive's media */
	ZT_WRITES = 4,		/* writes the media or changes its security */
	ZT_BLOCK = 8,		/* the block layer's: passed on to libata */
};

struct zt_request {
	uint32_t code;
	const char *name;
	uint32_t size;		/* bytes behind the argument; 0: none */
	unsigned int touches;
};

/* every request the nodes answer, up to the row whose name is NULL */
extern const struct zt_request zt_requests[];

/* The row of a request code, or NULL. */
const struct zt_request *zt_request_find(uint32_t code);

/*
 * The first sector of the read and uncorrectable-write test records: word 0
 * holds the address from bit 24 up, word 1 is added.
 */
uint64_t zt_start_sector(uint32_t word0, uint32_t word1);

/*
 * Why the security erase refuses a drive, from its identify words 217
 * (rotation rate) and 128 (security), with the errno in *err; NULL: it may
 * be erased.
 */
const char *zt_erase_refusal(uint16_t rotation_rate, uint16_t security,
			     int *err);

/*
 * The data of the security erase's SECURITY SET PASSWORD, ERASE UNIT and
 * DISABLE PASSWORD: the driver's user password, high security, normal erase.
 */
void zt_erase_password(uint8_t sector[ZT_SECTOR]);

/*
 * Seconds ERASE UNIT may take, by identify word 89 (units of 2 minutes; 0:
 * not given), with two minutes to spare.
 */
uint32_t zt_erase_seconds(uint16_t word89);

/*
 * The overwrite function: a run over the total, of which the start count's
 * share counts as done.  Sector k of the total is sector k modulo partsect
 * of partition 5, in pass k / partsect; the last pass writes fixdata, the one
 * before it the pseudo-random sequence, and so on alternating.
 */
struct zt_ow_run {
	uint64_t total;		/* sectors of the run */
	uint32_t start_count;	/* 0-99 */
	uint64_t p5_start;	/* partition 5 */
	uint64_t p5_sectors;
};

/* the next write of a run */
struct zt_ow_write {
	uint64_t lba;
	uint32_t sectors;
	bool random;		/* the pseudo-random sequence, else fixdata */
};

/* Sectors the run writes. */
uint64_t zt_ow_need(const struct zt_ow_run *run);

/*
 * The progress count once written of those sectors are: from the start
 * count to exactly 100 at the end.
 */
uint32_t zt_ow_count(const struct zt_ow_run *run, uint64_t written);

/* Whether sector k of the total is of the pseudo-random pass. */
bool zt_ow_random(const struct zt_ow_run *run, uint64_t k);

/*
 * The next write once written sectors are written and due may be, in
 * commands of at most max_sectors (1 to 65536) that stay inside one pass;
 * false when none is due or there is no partition 5.
 */
bool zt_ow_next(const struct zt_ow_run *run, uint64_t written, uint64_t due,
		uint32_t max_sectors, struct zt_ow_write *w);

/*
 * One sector of a pattern: fixdata (16-bit words, high byte first) or the
 * pseudo-random sequence of seed and sector number.
 */
void zt_fill(bool random, uint32_t value, uint64_t lba,
	     uint8_t sector[ZT_SECTOR]);

/* The seed a pseudo-random sector of lba would be filled from. */
uint32_t zt_fill_seed(uint64_t lba, const uint8_t sector[ZT_SECTOR]);

/* An ATA command's registers, as sent and as answered. */
struct zt_tf {
	uint8_t command, features, device;
	uint16_t count;
	uint64_t lba;
	uint8_t status, error;
};

/*
 * ATA PASS-THROUGH (16) of a command, with data (its direction from the
 * command's row) or without; a non-data command asks for its registers
 * back.  false when its registers cannot hold its lba.
 */
bool zt_cdb(const struct zt_tf *tf, bool data, uint8_t cdb[16]);

/*
 * The registers the sense data of an ATA PASS-THROUGH command carries into
 * tf, which holds the command as sent (status, error, count, lba; the LBA
 * bits fixed-format sense lacks stay as sent): the ATA status return
 * descriptor of descriptor-format sense, or fixed-format sense with "ATA
 * pass-through information available" or an aborted command.  *key: the
 * sense key.  false when it carries none.
 */
bool zt_sense(const uint8_t *sense, size_t len, struct zt_tf *tf,
	      uint8_t *key);

#ifdef __cplusplus
}
#endif

#endif /* ZTOSTRA_CORE_H */
