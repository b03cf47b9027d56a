/* SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause */
/* The kernel's types as a 32-bit kernel has them, for the freestanding build
 * of the driver core (CMakeLists.txt): no C library, no compiler header. */
#ifndef ZT_FREESTANDING_TYPES_H
#define ZT_FREESTANDING_TYPES_H
#include <linux/stddef.h>
typedef __UINT8_TYPE__ uint8_t;
typedef __UINT16_TYPE__ uint16_t;
typedef __UINT32_TYPE__ uint32_t;
typedef __UINT64_TYPE__ uint64_t;
typedef __INT32_TYPE__ int32_t;
typedef __SIZE_TYPE__ size_t;
typedef uint64_t u64;
typedef _Bool bool;
#endif
