// Command entry, drive discovery and the bare request words, run through the
// simulated board.
#include <sstream>

#include "harness.h"

namespace {

const std::string no_drive = "error (ostrautil) : ostrautil_init - not connected hdd device.\n";
const std::string bad_args = "error (ostrautil) : invalid parameter - argc, argv.\n";

TEST(Entry, TooFewArgumentsRefusedBeforeDiscovery)
{
	Board b;
	for (const std::vector<std::string> &args :
	     {std::vector<std::string>{}, {"51"}, {"hdsleep"}}) {
		const RunResult r = b.run(args);
		EXPECT_EQ(r.out, bad_args);
		EXPECT_EQ(r.status, 255);
	}
	EXPECT_FALSE(b.exists("probe.log"));
	EXPECT_TRUE(b.trace().empty());
}

struct ProbeCase {
	const char *name;
	json probe;
	std::string out;
	int status;
	std::string probed; // letters whose probe ran, in order
};

std::ostream &operator<<(std::ostream &o, const ProbeCase &c)
{
	return o << c.name;
}

class Discovery : public testing::TestWithParam<ProbeCase> {};

TEST_P(Discovery, ProbesAndTables)
{
	const ProbeCase &c = GetParam();
	Board b;
	b.desc()["probe"] = c.probe;
	b.save();
	const RunResult r = b.run({"33", "sda"});
	EXPECT_EQ(r.out, c.out);
	EXPECT_EQ(r.status, c.status);
	std::string probed;
	std::istringstream log(b.exists("probe.log") ? b.read("probe.log") : std::string());
	for (std::string name; std::getline(log, name);)
		probed += name.substr(2);
	EXPECT_EQ(probed, c.probed);
}

const std::string unknown = "Unknown command\n";

INSTANTIATE_TEST_SUITE_P(
	Probe, Discovery,
	testing::Values(
		ProbeCase{"one", {{"sda", 1}}, unknown, 0, "abcdefgh"},
		ProbeCase{"only_sdb", {{"sdb", 1}}, unknown, 0, "abcdefgh"},
		ProbeCase{"sda_sdc", {{"sda", 1}, {"sdc", 2}}, unknown, 0, "abcdefgh"},
		ProbeCase{"status2", {{"sda", 2}}, unknown, 0, "abcdefgh"},
		ProbeCase{"status3", {{"sda", 3}}, no_drive, 255, "abcdefgh"},
		ProbeCase{"none", json::object(), no_drive, 255, "abcdefgh"},
		ProbeCase{"third",
			  {{"sda", 1}, {"sdb", 1}, {"sdd", 1}, {"sdf", 1}},
			  "error (ostrautil) : ostrautil_init - three or more HDD/SSD is not "
			  "connectable.\n",
			  255,
			  "abcd"},
		ProbeCase{"third_at_h",
			  {{"sda", 1}, {"sdb", 2}, {"sdh", 1}},
			  "error (ostrautil) : ostrautil_init - three or more HDD/SSD is not "
			  "connectable.\n",
			  255,
			  "abcdefgh"},
		ProbeCase{"killed",
			  {{"sda", 1}, {"sdc", "signal"}},
			  "error (ostrautil) : ostrautil_init - check_scsi_devfile.sh ret error.\n",
			  255,
			  "abc"}),
	[](const testing::TestParamInfo<ProbeCase> &i) { return std::string(i.param.name); });

TEST(Discovery, MissingScriptIsNoDrive)
{
	Board b;
	b.desc()["probe"] = nullptr;
	b.save();
	const RunResult r = b.run({"hdsleep", "/dev/sda"});
	EXPECT_EQ(r.out, no_drive);
	EXPECT_EQ(r.status, 255);
	EXPECT_TRUE(b.trace().empty());
}

struct WordCase {
	const char *word;
	const char *request;
	unsigned code;
};

std::ostream &operator<<(std::ostream &o, const WordCase &c)
{
	return o << c.word;
}

class RequestWord : public testing::TestWithParam<WordCase> {};

TEST_P(RequestWord, SendsOneRequestToThePathAsTyped)
{
	const WordCase &c = GetParam();
	Board b;
	RunResult r = b.run({c.word, "/dev/sda"});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.status, 0);
	const std::vector<json> t = b.trace();
	ASSERT_EQ(t.size(), 3U);
	EXPECT_EQ(t[0]["op"], "open");
	EXPECT_EQ(t[1]["op"], "ioctl");
	EXPECT_EQ(t[1]["node"], "sda");
	EXPECT_EQ(t[1]["request"], c.request);
	EXPECT_EQ(t[1]["code"], c.code);
	EXPECT_FALSE(t[1].contains("before")); // null argument
	EXPECT_EQ(t[2]["op"], "close");

	// a bare name is a relative path: it does not open, nothing is sent
	r = b.run({c.word, "sda"});
	EXPECT_EQ(r.out, "sda open error\n");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(b.trace().size(), 3U);

	// a refused request is reported by the frame, the node is still closed
	b.fault("sda5", c.request, -1, 5);
	r = b.run({c.word, "/dev/sda5"});
	EXPECT_THAT(r.out,
		    testing::MatchesRegex("ostrautil_issue_ioctl\\([0-9]+\\):ioctl\\(\\) error\n"));
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(b.trace().back()["op"], "close");

	// a positive answer is no failure for the frame
	b.fault("sda", c.request, 3, 0);
	r = b.run({c.word, "/dev/sda"});
	EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
	Words, RequestWord,
	testing::Values(WordCase{"hdsleep", "ZTOSTRA_HDD_SLEEP", 0x0A01},
			WordCase{"hdstandbyimd", "ZTOSTRA_HDD_STANDBY_IMD", 0x0A00},
			WordCase{"hdflush", "ZTOSTRA_HDD_FLUSH_CACHE", 0x0A02},
			WordCase{"sleepin", "ZTOSTRA_SLEEP_IN", 0x0A03},
			WordCase{"sleepout", "ZTOSTRA_SLEEP_OUT", 0x0A04},
			WordCase{"intr", "ZTOSTRA_TEST_24v_DOWN_INTR", 0x0F02},
			WordCase{"regr", "ZTOSTRA_TEST_REG_READ", 0x0F00},
			WordCase{"regw", "ZTOSTRA_TEST_REG_WRITE", 0x0F01},
			WordCase{"ow_clear", "ZTOSTRA_CLEAR_TOTAL", 0x0A0E}),
	[](const testing::TestParamInfo<WordCase> &i) { return std::string(i.param.word); });

TEST(Entry, UnknownCommandsAndWords)
{
	Board b;
	for (const char *cmd :
	     {"33", "HDSLEEP", "hdsleep2", "", "0", "-", "ffffffffff", "Hdflush"}) {
		const RunResult r = b.run({cmd, "/dev/sda"});
		EXPECT_EQ(r.out, unknown) << cmd;
		EXPECT_EQ(r.status, 0) << cmd;
	}
	EXPECT_TRUE(b.trace().empty());
}

TEST(Entry, NonexistentSimulatedNodeAndForeignNode)
{
	Board b;
	RunResult r = b.run({"hdflush", "/dev/sdz"});
	EXPECT_EQ(r.out, "/dev/sdz open error\n");
	// a node that is no drive of the driver's: the request is not known there
	b.drive("sda")["nodes"].push_back("sda1");
	b.save();
	r = b.run({"hdflush", "/dev/sda1"});
	EXPECT_EQ(r.out, ""); // a whole drive or partition of it: answered
	b.desc()["drives"].erase("sda");
	b.desc()["drives"]["sdq"] = json::object();
	b.save();
	r = b.run({"hdflush", "/dev/sda"});
	EXPECT_EQ(r.out, "/dev/sda open error\n");
}

TEST(Entry, ExtraArgumentsIgnoredByRequestWords)
{
	Board b;
	const RunResult r = b.run({"regw", "/dev/sda", "10", "20"});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(b.requests(), std::vector<std::string>{"sda ZTOSTRA_TEST_REG_WRITE"});
}

} // namespace

namespace {

struct RefusalCase {
	std::vector<std::string> args;
	const char *pattern; // the whole output
};

// Handlers that read further arguments refuse a missing one, and every
// handler refuses a device name that does not fit its path; nothing is sent.
TEST(Entry, MissingArgumentsAndLongNamesSendNothing)
{
	const std::string long_name(35, 'x');
	const RefusalCase cases[] = {
		{{"read", "sda"}, "ostrautil_read_dma\\([0-9]+\\):Invalid parameter error\n"},
		{{"read", "sda", "0", "100"},
		 "ostrautil_read_dma\\([0-9]+\\):Invalid parameter error\n"},
		{{"read", long_name, "0", "100", "1"},
		 "ostrautil_read_dma\\([0-9]+\\):Invalid parameter error - device name too long\n"},
	};
	Board b;
	for (const RefusalCase &c : cases) {
		const RunResult r = b.run(c.args);
		EXPECT_THAT(r.out, testing::MatchesRegex(c.pattern)) << c.args[0];
		EXPECT_EQ(r.status, 0);
	}
	EXPECT_TRUE(b.trace().empty());
}

} // namespace

namespace {

// The command number is hexadecimal with the target's 32-bit conversion.
TEST(Entry, CommandNumberForms)
{
	Board b;
	const std::vector<std::string> sleep_in = {"sda5 ZTOSTRA_HDD_FLUSH_CACHE",
						   "sda5 ZTOSTRA_HDD_STANDBY_IMD",
						   "sda ZTOSTRA_SLEEP_IN"};
	for (const char *cmd : {"12", "0x12", "0X12", "12z", " 12", "+12", "-FFFFFFEE", "0012"}) {
		const std::size_t before = b.requests().size();
		const RunResult r = b.run({cmd, "sda"});
		EXPECT_EQ(r.out, "") << cmd;
		EXPECT_EQ(r.status, 0) << cmd;
		const std::vector<std::string> reqs = b.requests();
		EXPECT_EQ(std::vector<std::string>(reqs.begin() + static_cast<long>(before),
						   reqs.end()),
			  sleep_in)
			<< cmd;
		b.run({"13", "sda"}); // wake the link again for the next form
	}
	for (const char *cmd : {"12abc", "100000012", "-12"}) {
		const RunResult r = b.run({cmd, "sda"});
		EXPECT_EQ(r.out, "Unknown command\n") << cmd;
		EXPECT_EQ(r.status, 0);
	}
}

} // namespace
