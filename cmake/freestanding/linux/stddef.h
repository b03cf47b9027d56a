/* SPDX-License-Identifier: GPL-2.0-only OR BSD-2-Clause */
#ifndef ZT_FREESTANDING_STDDEF_H
#define ZT_FREESTANDING_STDDEF_H
#define NULL ((void *)0)
enum { false = 0, true = 1 };
#define offsetof(type, member) __builtin_offsetof(type, member)
#endif
