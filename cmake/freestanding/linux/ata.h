/* SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause */
/* What ata.h takes from the kernel's <linux/ata.h>, as the kernel has it
 * (enumerators, and an enum ata_ioctls of its own), for the freestanding
 * build of the driver core (CMakeLists.txt). */
#ifndef ZT_FREESTANDING_ATA_H
#define ZT_FREESTANDING_ATA_H
enum {
	ATA_ID_WORDS = 256,
	ATA_ID_PROD_LEN = 40,
	ATA_CMD_ID_ATA = 0xEC,
	ATA_CMD_SMART = 0xB0,
};
enum ata_ioctls {
	ATA_IOC_GET_IO32 = 0x309,
	ATA_IOC_SET_IO32 = 0x324,
};
#endif
