/* SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause */
#ifndef ZT_FREESTANDING_ERRNO_H
#define ZT_FREESTANDING_ERRNO_H
#define EACCES 13
#define EOPNOTSUPP 95
#endif
