// Number conversions: exactly the target's 32-bit strtoul/strtol.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include "osl_mdev_ostrautil.h"

namespace {

struct Case {
	const char *text;
	int base;
	std::uint32_t value;
	std::size_t used; // characters taken as the number
};

const Case unsigned_cases[] = {
	{"51", 16, 0x51, 2},
	{"0x51", 16, 0x51, 4},
	{"0X51", 16, 0x51, 4},
	{"51z", 16, 0x51, 2},
	{"12abc", 16, 0x12abc, 5},
	{"hdsleep", 16, 0, 0},
	{"", 16, 0, 0},
	{"0x", 16, 0, 1},
	{"0xg", 16, 0, 1},
	{"  \t12", 16, 0x12, 5},
	{"+12", 16, 0x12, 3},
	{"-1", 16, 0xFFFFFFFF, 2},
	{"-FFFFFFEE", 16, 0x12, 9},
	{"-0x10", 16, 0xFFFFFFF0, 5},
	{"FFFFFFFF", 16, 0xFFFFFFFF, 8},
	{"100000000", 16, 0xFFFFFFFF, 9},
	{"-100000000", 16, 0xFFFFFFFF, 10},
	{"123456789abcdef0123", 16, 0xFFFFFFFF, 19},
	{"ffff", 16, 0xffff, 4},
	{"12g", 16, 0x12, 2},
	{"-", 16, 0, 0},
	{" ", 16, 0, 0},
	{"99", 10, 99, 2},
	{"1x", 10, 1, 1},
	{"4294967295", 10, 4294967295U, 10},
	{"4294967296", 10, 0xFFFFFFFF, 10},
	{"-1", 10, 4294967295U, 2},
	{"0x10", 10, 0, 1},
	{"a", 10, 0, 0},
};

TEST(Convert, UnsignedAsOnTheTarget)
{
	for (const Case &c : unsigned_cases) {
		char *end = nullptr;
		EXPECT_EQ(ostrautil_strtoul(c.text, &end, c.base), c.value) << '"' << c.text << '"';
		EXPECT_EQ(static_cast<std::size_t>(end - c.text), c.used) << '"' << c.text << '"';
		EXPECT_EQ(ostrautil_strtoul(c.text, nullptr, c.base), c.value);
		if (sizeof(long) == 4) { // on the board the C library must agree
			char *lend = nullptr;
			EXPECT_EQ(std::strtoul(c.text, &lend, c.base), c.value) << c.text;
			EXPECT_EQ(lend, end) << c.text;
		}
	}
}

struct SignedCase {
	const char *text;
	std::int32_t value;
	std::size_t used;
};

const SignedCase signed_cases[] = {
	{"1", 1, 1},
	{"-1", -1, 2},
	{"3x", 3, 1},
	{"x", 0, 0},
	{"2147483647", INT32_MAX, 10},
	{"2147483648", INT32_MAX, 10},
	{"-2147483648", INT32_MIN, 11},
	{"-2147483649", INT32_MIN, 11},
	{"99999999999999999999", INT32_MAX, 20},
	{" -7", -7, 3},
};

TEST(Convert, SignedAsOnTheTarget)
{
	for (const SignedCase &c : signed_cases) {
		char *end = nullptr;
		EXPECT_EQ(ostrautil_strtol(c.text, &end, 10), c.value) << c.text;
		EXPECT_EQ(static_cast<std::size_t>(end - c.text), c.used) << c.text;
		if (sizeof(long) == 4) {
			char *lend = nullptr;
			EXPECT_EQ(std::strtol(c.text, &lend, 10), c.value) << c.text;
			EXPECT_EQ(lend, end) << c.text;
		}
	}
}

} // namespace
