// Space stripping and maker resolution of the identity module.
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

// a 40-character field: text, then fill
std::string field(const std::string &text, char fill = ' ')
{
	return text + std::string(40 - text.size(), fill);
}

// the 41 bytes of a stripped field: text, then NULs
std::string stripped(const std::string &text)
{
	return text + std::string(41 - text.size(), '\0');
}

struct StripCase {
	std::string in;    // 40 characters
	std::string after; // all 41 bytes
	const char *printed;
};

TEST(StripSpace, StripsOnlySpacesAroundTheField)
{
	const StripCase cases[] = {
		{field("  AB  CD"), stripped("AB  CD"), ""},
		{field(""), std::string(1, '\0') + std::string(39, ' ') + "\x7f",
		 "stripping data - all space.\n"},
		{field("X"), stripped("X"), ""},
		{std::string(39, ' ') + "Y", stripped("Y"), ""},
		{std::string(40, 'Z'), stripped(std::string(40, 'Z')), ""},
		{field("WDC X   ", '\0'), stripped("WDC X   "), ""}, // spaces before NULs stay
		{field(std::string("ABC\0", 4)), stripped("ABC"), ""},
		{field(std::string(" \0 Q", 4)), stripped(std::string("\0 Q", 3)), ""},
	};
	for (const StripCase &c : cases) {
		char data[41];
		std::memcpy(data, c.in.data(), 40);
		data[40] = '\x7f';
		testing::internal::CaptureStdout();
		EXPECT_EQ(ostratuil_strip_space(data, 40), OK);
		EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed);
		EXPECT_EQ(std::string(data, 41), c.after);
	}
}

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

TEST(Strip, RemovesSurroundingSpacesInPlace)
{
	const std::pair<const char *, const char *> cases[] = {
		{"  a  b  ", "a  b"}, {"", ""},    {"   ", ""},
		{"abc", "abc"},       {" x", "x"}, {"y ", "y"},
	};
	for (const auto &c : cases) {
		char text[16];
		std::strcpy(text, c.first);
		EXPECT_STREQ(strip(text), c.second) << '"' << c.first << '"';
	}
	EXPECT_EQ(strip(nullptr), nullptr);
}

struct MakerCase {
	std::string text; // model text as the drive reports it, 40 characters
	const char *maker;
	const char *model;
	const char *printed;
};

const char *const found = "space character - found.\nhdd maker information - found.\nhdd maker "
			  "name - found.\n";
const char *const found_nospace = "space character - not found.\nhdd maker information - "
				  "found.\nhdd maker name - found.\n";
const char *const unknown = "space character - found.\nhdd maker name - not found.\n";

TEST(MakerModel, ResolvesThroughTheMakerTable)
{
	const MakerCase cases[] = {
		{field("WDC WD1600AAJS-22WAA0"), "WesternDigital", "WD1600AAJS-22WAA0", found},
		{field("ST3120213A"), "Seagate", "ST3120213A", found_nospace},
		{field("SAMSUNG SP0802N"), "SAMSUNG", "SP0802N", found},
		{field("Hitachi HDS721680PLAT80"), "Hitachi", "HDS721680PLAT80", found},
		{field("M032GBU"), "Buffalo", "M032GBU", found_nospace},
		{field("XYZ WD1600BB-55GUC0"), "WesternDigital", "WD1600BB-55GUC0", found},
		{field("Maxtor 6Y080L0"), "unknown", "unknown", unknown},
		{field("FUJITSU MHY2120BH"), "unknown", "unknown", unknown},
		{field("TOSHIBA MK1234GSX"), "unknown", "unknown", unknown},
		{field(""), "unknown", "unknown",
		 "stripping data - all space.\nspace character - not found.\nhdd maker name - not "
		 "found.\n"},
		{field("   SAMSUNG SP0802N"), "SAMSUNG", "SP0802N", found},
		{field("Hitachi HD 72 16"), "Hitachi", "HD 72 16", found},
		{field("seagate X1"), "unknown", "unknown", unknown},
		{field("seagate ST3120213A"), "Seagate", "ST3120213A", found},
		{field("STX"), "Seagate", "STX", found_nospace},
		{field("SAMSUNG HD501LJ ", '\0'), "SAMSUNG", "HD501LJ ", found},
		{field(std::string("XYZ WD1600BB-55GUC0\0AB C", 25)), "WesternDigital",
		 "WD1600BB-55GUC0", found},
	};
	for (const MakerCase &c : cases) {
		struct smartinfo smart[2] = {};
		char maker[SMART_MAKER_LENGTH];
		char model[SMART_MODEL_LENGTH];
		std::memset(maker, 'x', sizeof(maker));
		std::memset(model, 'x', sizeof(model));
		std::memcpy(reinterpret_cast<char *>(smart[0].id) + 54, c.text.data(), 40);
		testing::internal::CaptureStdout();
		EXPECT_EQ(ostrautil_get_makermodel(smart, maker, model), OK);
		EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.text;
		// the name, then NULs to the end of each output
		EXPECT_EQ(std::string(maker, sizeof(maker)),
			  c.maker + std::string(sizeof(maker) - std::strlen(c.maker), '\0'));
		EXPECT_EQ(std::string(model, std::strlen(c.model)), c.model) << c.text;
		EXPECT_EQ(model[std::strlen(c.model)], '\0');
	}
}

TEST(MakerModel, StrippingFailureIsReported)
{
	struct smartinfo smart[2] = {};
	char maker[SMART_MAKER_LENGTH] = {};
	char model[SMART_MODEL_LENGTH] = {};
	std::memcpy(reinterpret_cast<char *>(smart[0].id) + 54, field("WDC WD").data(), 40);
	testing::internal::CaptureStdout();
	fail_malloc = true;
	const int result = ostrautil_get_makermodel(smart, maker, model);
	fail_malloc = false;
	EXPECT_EQ(result, ERROR);
	EXPECT_EQ(testing::internal::GetCapturedStdout(),
		  "ostratuil_strip_space() temporary buffer allocation failure.\n"
		  "ostrautil_get_makermodel() space character stripping failure.\n");
}

} // namespace
