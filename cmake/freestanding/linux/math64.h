/* SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause */
/* as on a 32-bit kernel: 64-bit division is a call */
#ifndef ZT_FREESTANDING_MATH64_H
#define ZT_FREESTANDING_MATH64_H
extern u64 div64_u64_rem(u64 dividend, u64 divisor, u64 *remainder);
#endif
