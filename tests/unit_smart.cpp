// What the case table cannot reach: an allocation that fails, a null field.
#include <cstdlib>
#include <cstring>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "osl_mdev_ostrautil.h"

// The unit tests link with --wrap=malloc: allocations fail while this is set.
static bool fail_malloc = false;
extern "C" void *__real_malloc(std::size_t size);
extern "C" void *__wrap_malloc(std::size_t size)
{
	return fail_malloc ? nullptr : __real_malloc(size);
}

namespace {

TEST(StripSpace, AllocationFailureLeavesTheField)
{
	char data[41] = "  WDC WD1600AAJS-22WAA0";
	testing::internal::CaptureStdout();
	fail_malloc = true;
	const int result = ostratuil_strip_space(data, 40);
	fail_malloc = false;
	EXPECT_EQ(result, ERROR);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
		  "ostratuil_strip_space() temporary buffer allocation failure.\n");
	EXPECT_STREQ(data, "  WDC WD1600AAJS-22WAA0");

	testing::internal::CaptureStdout();
	EXPECT_EQ(ostratuil_strip_space(nullptr, 40), ERROR);
	EXPECT_THAT(testing::internal::GetCapturedStdout(),
		    testing::MatchesRegex(
			    "ostratuil_strip_space\\([0-9]+\\):Invalid parameter error\n"));
}

} // namespace
