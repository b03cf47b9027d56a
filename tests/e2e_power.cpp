// Power and link commands 0x12 and 0x13, the media test words "read" and
// "uncwrite" and the word "rotational", run through the simulated board.
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness.h"

namespace {

using Strings = std::vector<std::string>;

const std::string ioctl_error = "ioctl() error\n";

// Places the boards drives under the given names (taken from the "two"
// preset's drives in order) and has the probe answer for them.
void place_drives(Board &b, const Strings &names)
{
	const json from = b.desc()["drives"];
	const Strings preset = {"sda", "sdb"};
	json drives = json::object();
	json probe = json::object();
	for (std::size_t i = 0; i < names.size(); i++) {
		json d = from.at(preset.at(i));
		d["nodes"] = {names[i], names[i] + "5"};
		drives[names[i]] = d;
		probe[names[i]] = 1;
	}
	b.desc()["drives"] = drives;
	b.desc()["probe"] = probe;
	b.save();
}

// "open NODE", "ioctl NODE REQUEST", "close NODE" per trace line
Strings steps(const Board &b)
{
	Strings s;
	for (const json &line : b.trace()) {
		std::string step =
			line.at("op").get<std::string>() + " " + line.at("node").get<std::string>();
		if (line.at("op") == "ioctl")
			step += " " + line.at("request").get<std::string>();
		s.push_back(step);
	}
	return s;
}

// one step of a power command: open NODE, the requests, close NODE
Strings step(const std::string &node, const Strings &requests)
{
	Strings s = {"open " + node};
	for (const std::string &r : requests)
		s.push_back("ioctl " + node + " " + r);
	s.push_back("close " + node);
	return s;
}

Strings concat(const std::vector<Strings> &parts)
{
	Strings all;
	for (const Strings &p : parts)
		all.insert(all.end(), p.begin(), p.end());
	return all;
}

const std::string flush = "ZTOSTRA_HDD_FLUSH_CACHE";
const std::string standby = "ZTOSTRA_HDD_STANDBY_IMD";

Strings sleep_in_steps(const Strings &drives)
{
	std::vector<Strings> parts;
	for (const std::string &d : drives)
		parts.push_back(step(d + "5", {flush, standby}));
	parts.push_back(step(drives.at(0), {"ZTOSTRA_SLEEP_IN"}));
	return concat(parts);
}

Strings sleep_out_steps(const Strings &drives)
{
	std::vector<Strings> parts = {step(drives.at(0), {"ZTOSTRA_SLEEP_OUT"})};
	for (const std::string &d : drives)
		parts.push_back(step(d, {"ZTOSTRA_INIT_PORT"}));
	return concat(parts);
}

std::string show(const Board &b)
{
	std::string out;
	FILE *p = popen((ostrasim_bin + " show " + b.dir).c_str(), "r");
	if (p == nullptr)
		return out;
	char buf[256];
	for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
		out.append(buf, n);
	pclose(p);
	return out;
}

// a 32-bit field as the target lays it out
std::string hex32(std::uint32_t v)
{
	char s[9];
	if (target_is_ppc())
		std::snprintf(s, sizeof s, "%08x", v);
	else
		std::snprintf(s, sizeof s, "%02x%02x%02x%02x", v & 0xffU, (v >> 8) & 0xffU,
			      (v >> 16) & 0xffU, v >> 24);
	return s;
}

// the first 12 bytes of a read or write test record
std::string record_head(std::uint32_t nsect, std::uint32_t hi, std::uint32_t lo)
{
	return hex32(nsect) + hex32(hi) + hex32(lo);
}

struct SequenceCase {
	const char *name;
	Strings drives;
	const char *cmd;
};

std::ostream &operator<<(std::ostream &o, const SequenceCase &c)
{
	return o << c.name;
}

Strings expected_steps(const SequenceCase &c)
{
	return std::string(c.cmd) == "12" ? sleep_in_steps(c.drives) : sleep_out_steps(c.drives);
}

const SequenceCase sequence_cases[] = {
	{"sleep_in_one", {"sda"}, "12"},
	{"sleep_in_two", {"sda", "sdb"}, "12"},
	{"sleep_in_sda_sdc", {"sda", "sdc"}, "12"},
	{"sleep_in_only_sdb", {"sdb"}, "12"},
	{"sleep_out_one", {"sda"}, "13"},
	{"sleep_out_two", {"sda", "sdb"}, "13"},
	{"sleep_out_sda_sdc", {"sda", "sdc"}, "13"},
	{"sleep_out_only_sdb", {"sdb"}, "13"},
};

class PowerSequence : public testing::TestWithParam<SequenceCase> {};

TEST_P(PowerSequence, RequestsInOrderOneNodeAtATime)
{
	const SequenceCase &c = GetParam();
	Board b("two");
	place_drives(b, c.drives);
	const RunResult r = b.run({c.cmd, "ignored"});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(steps(b), expected_steps(c));
	for (const json &line : b.trace("ioctl")) {
		EXPECT_FALSE(line.contains("before")) << line; // null argument
		EXPECT_EQ(line["result"], 0);
		const std::string req = line["request"];
		const unsigned code = req == flush                 ? 0x0A02U
				      : req == standby             ? 0x0A00U
				      : req == "ZTOSTRA_SLEEP_IN"  ? 0x0A03U
				      : req == "ZTOSTRA_SLEEP_OUT" ? 0x0A04U
								   : 0x0A05U;
		EXPECT_EQ(line["code"], code) << req;
	}
	for (const json &line : b.trace("open"))
		EXPECT_GE(line["result"].get<int>(), 0);
}

INSTANTIATE_TEST_SUITE_P(Drives, PowerSequence, testing::ValuesIn(sequence_cases),
			 [](const testing::TestParamInfo<SequenceCase> &i) {
				 return std::string(i.param.name);
			 });

// Each open and each request of a two-drive command made to fail in turn
// (a refusal and a positive answer alike): the step's message, everything
// before it sent, nothing after it.
TEST_P(PowerSequence, FirstFailureEndsTheCommand)
{
	const SequenceCase &c = GetParam();
	const Strings full = expected_steps(c);
	for (std::size_t k = 0; k < full.size(); k++) {
		std::istringstream in(full[k]);
		std::string op, node, request;
		in >> op >> node >> request;
		if (op == "close")
			continue;
		std::vector<int> results = {-1};
		if (op == "ioctl")
			results.push_back(1);
		for (int result : results) {
			SCOPED_TRACE(full[k] + " -> " + std::to_string(result));
			Board b("two");
			place_drives(b, c.drives);
			// which call of this request on this node fails
			int from = 1;
			for (std::size_t j = 0; j < k; j++)
				from += full[j] == full[k];
			b.fault(node, op == "open" ? "open" : request, result, result < 0 ? 5 : 0,
				from, 1);
			const RunResult r = b.run({c.cmd, "x"});
			EXPECT_EQ(r.out, "/dev/" + node + (op == "open" ? " open" : " ioctl") +
						 " error\n");
			EXPECT_EQ(r.status, 0);
			Strings want(full.begin(), full.begin() + static_cast<long>(k) + 1);
			if (op == "ioctl")
				want.push_back("close " + node);
			EXPECT_EQ(steps(b), want);
		}
	}
}

TEST(SleepIn, MissingPartitionNodeStopsBeforeTheSleep)
{
	Board b("two");
	b.drive("sdb")["nodes"] = {"sdb"};
	b.save();
	const RunResult r = b.run({"12", "sda"});
	EXPECT_EQ(r.out, "/dev/sdb5 open error\n");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(steps(b), concat({step("sda5", {flush, standby}), {"open sdb5"}}));
}

TEST(SleepIn, PutsDrivesToStandbyAndTheLinkToSleep)
{
	Board b("two");
	EXPECT_EQ(b.run({"12", "x"}).out, "");
	const std::string asleep = "  power: standby, port: offline, link: asleep\n"
				   "  uncorrectable sectors: none\n";
	EXPECT_EQ(show(b),
		  "sda: /dev/sda /dev/sda5\n" + asleep + "sdb: /dev/sdb /dev/sdb5\n" + asleep);

	// every drive request now fails, on both drives
	for (const char *dev : {"sda", "sdb5"}) {
		RunResult r = b.run({"read", dev, "0", "0", "1"});
		EXPECT_EQ(r.out, ioctl_error) << dev;
		EXPECT_EQ(b.trace("ioctl").back()["errno"], 5);
	}
	RunResult r = b.run({"12", "x"});
	EXPECT_EQ(r.out, "/dev/sda5 ioctl error\n");
	r = b.run({"hdflush", "/dev/sdb"});
	EXPECT_THAT(r.out, testing::MatchesRegex("ostrautil_issue_ioctl\\([0-9]+\\):ioctl\\(\\) "
						 "error\n"));

	// the link awake is not enough: the ports stay offline until initialised
	EXPECT_EQ(b.run({"sleepout", "/dev/sda"}).out, "");
	EXPECT_EQ(b.run({"read", "sda", "0", "0", "1"}).out, ioctl_error);

	// a port initialisation that fails leaves that drive unreachable
	b.fault("sdb", "ZTOSTRA_INIT_PORT", -1, 5, 1, 1);
	EXPECT_EQ(b.run({"13", "x"}).out, "/dev/sdb ioctl error\n");
	EXPECT_EQ(b.run({"read", "sda", "0", "0", "1"}).out, "");
	EXPECT_EQ(b.run({"read", "sdb", "0", "0", "1"}).out, ioctl_error);
	EXPECT_EQ(show(b), "sda: /dev/sda /dev/sda5\n"
			   "  power: active, port: ready, link: up\n"
			   "  uncorrectable sectors: none\n"
			   "sdb: /dev/sdb /dev/sdb5\n"
			   "  power: standby, port: offline, link: up\n"
			   "  uncorrectable sectors: none\n");
	EXPECT_EQ(b.run({"13", "x"}).out, "");
	EXPECT_EQ(b.run({"read", "sdb", "0", "0", "1"}).out, "");
	EXPECT_EQ(b.run({"12", "x"}).out, "");
}

TEST(SleepIn, ASleepingDriveAnswersOnlyAPortInitialisation)
{
	Board b;
	EXPECT_EQ(b.run({"hdsleep", "/dev/sda"}).out, "");
	EXPECT_EQ(b.state()["drives"]["sda"]["power"], "sleeping");
	EXPECT_EQ(b.run({"12", "x"}).out, "/dev/sda5 ioctl error\n");
	EXPECT_EQ(b.run({"13", "x"}).out, "");
	EXPECT_EQ(b.state()["drives"]["sda"]["power"], "active");

	// a drive in stand-by spins up for a read
	EXPECT_EQ(b.run({"hdstandbyimd", "/dev/sda5"}).out, "");
	EXPECT_EQ(b.state()["drives"]["sda"]["power"], "standby");
	EXPECT_EQ(b.run({"read", "sda", "0", "0", "1"}).out, "");
	EXPECT_EQ(b.state()["drives"]["sda"]["power"], "active");
}

struct ReadCase {
	const char *name;
	Strings args; // after "read"
	std::string out;
	// high word, low word and result of each request
	std::vector<std::array<std::int64_t, 3>> requests;
};

std::ostream &operator<<(std::ostream &o, const ReadCase &c)
{
	return o << c.name;
}

class ReadTest : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadTest, RecordsAndResult)
{
	const ReadCase &c = GetParam();
	Board b; // sda holds 312581808 (0x12a19eb0) sectors
	Strings args = {"read"};
	args.insert(args.end(), c.args.begin(), c.args.end());
	const RunResult r = b.run(args);
	EXPECT_EQ(r.out, c.out);
	EXPECT_EQ(r.status, 0);
	const std::vector<json> reqs = b.trace("ioctl");
	ASSERT_EQ(reqs.size(), c.requests.size());
	for (std::size_t i = 0; i < reqs.size(); i++) {
		SCOPED_TRACE(i);
		EXPECT_EQ(reqs[i]["node"], c.args[0]);
		EXPECT_EQ(reqs[i]["code"], 0x0F03);
		const std::string before = reqs[i]["before"];
		EXPECT_EQ(before.size(), 2U * 524);
		EXPECT_EQ(before.substr(0, 24),
			  record_head(16, static_cast<std::uint32_t>(c.requests[i][0]),
				      static_cast<std::uint32_t>(c.requests[i][1])));
		EXPECT_EQ(reqs[i]["result"], c.requests[i][2]);
	}
	// one node, opened once and closed
	const Strings s = steps(b);
	EXPECT_EQ(s.front(), "open " + c.args[0]);
	EXPECT_EQ(s.back(), "close " + c.args[0]);
	EXPECT_EQ(s.size(), reqs.size() + 2);
}

INSTANTIATE_TEST_SUITE_P(
	Words, ReadTest,
	testing::Values(
		ReadCase{"three",
			 {"sda", "0", "100", "3"},
			 "",
			 {{0, 0x100, 0}, {0, 0x110, 0}, {0, 0x120, 0}}},
		ReadCase{"count_is_hex",
			 {"sda", "0", "0", "10"},
			 "",
			 {{0, 0x00, 0},
			  {0, 0x10, 0},
			  {0, 0x20, 0},
			  {0, 0x30, 0},
			  {0, 0x40, 0},
			  {0, 0x50, 0},
			  {0, 0x60, 0},
			  {0, 0x70, 0},
			  {0, 0x80, 0},
			  {0, 0x90, 0},
			  {0, 0xa0, 0},
			  {0, 0xb0, 0},
			  {0, 0xc0, 0},
			  {0, 0xd0, 0},
			  {0, 0xe0, 0},
			  {0, 0xf0, 0}}},
		ReadCase{"low_word_past_24_bits",
			 {"sda", "0", "FFFFF8", "2"},
			 "",
			 {{0, 0xFFFFF8, 0}, {0, 0x1000008, 0}}},
		// the low word wraps, nothing carries; the failed first read past
		// the end does not count
		ReadCase{"low_word_wraps",
			 {"sda", "0", "0xFFFFFFF8", "2"},
			 "",
			 {{0, 0xFFFFFFF8, -1}, {0, 0x8, 0}}},
		ReadCase{"high_word_constant",
			 {"sda5", "3", "FFFFFFF8", "2"},
			 "",
			 {{3, 0xFFFFFFF8, -1}, {3, 0x8, 0}}},
		ReadCase{"last_sectors", {"sda", "0", "12a19ea0", "1"}, "", {{0, 0x12a19ea0, 0}}},
		ReadCase{"high_word_from_bit_24",
			 {"sda", "12", "a19ea0", "1"},
			 "",
			 {{0x12, 0xa19ea0, 0}}},
		ReadCase{"past_the_end",
			 {"sda", "0", "12a19ea1", "1"},
			 ioctl_error,
			 {{0, 0x12a19ea1, -1}}},
		ReadCase{"last_request_fails",
			 {"sda", "0", "12a19e91", "2"},
			 ioctl_error,
			 {{0, 0x12a19e91, 0}, {0, 0x12a19ea1, -1}}},
		ReadCase{"count_zero", {"sda", "0", "100", "0"}, ioctl_error, {}}),
	[](const testing::TestParamInfo<ReadCase> &i) { return std::string(i.param.name); });

TEST(ReadTest, OpenFailureAndRefusedRequest)
{
	Board b;
	EXPECT_EQ(b.run({"read", "sdz", "0", "0", "1"}).out, "/dev/sdz open error\n");
	EXPECT_TRUE(b.trace("ioctl").empty());
	b.fault("sda", "ZTOSTRA_TEST_READ_DMA", -1, 5, 2, 1);
	const RunResult r = b.run({"read", "sda", "0", "0", "3"});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(b.trace("ioctl").size(), 3U);
	b.fault("sda", "ZTOSTRA_TEST_READ_DMA", -22, 22, 6, 1);
	EXPECT_EQ(b.run({"read", "sda", "0", "0", "3"}).out, ioctl_error);
}

TEST(UncWrite, MarksTheSectorForLaterReads)
{
	Board b("two");
	RunResult r = b.run({"uncwrite", "sda", "0", "1000"});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(steps(b), step("sda", {"ZTOSTRA_TEST_UNCWRITE"}));
	const json req = b.trace("ioctl").at(0);
	EXPECT_EQ(req["code"], 0x0F09);
	EXPECT_EQ(req["before"], record_head(0, 0, 0x1000) + std::string(2 * 512, '0'));
	EXPECT_EQ(req["result"], 0);

	// reads of 16 sectors over 0x1000 fail, reads beside it do not
	const std::pair<const char *, std::string> reads[] = {
		{"FF0", ""},  {"FF1", ioctl_error},   {"1000", ioctl_error},
		{"1001", ""}, {"FF0:2", ioctl_error}, {"1000:2", ""},
	};
	for (const auto &[at, out] : reads) {
		const std::string s = at;
		const std::size_t colon = s.find(':');
		const std::string count = colon == std::string::npos ? "1" : s.substr(colon + 1);
		EXPECT_EQ(b.run({"read", "sda", "0", s.substr(0, colon), count}).out, out) << at;
	}
	// the other drive is untouched; the partition node reaches the same drive
	EXPECT_EQ(b.run({"read", "sdb", "0", "1000", "1"}).out, "");
	EXPECT_EQ(b.run({"read", "sda5", "0", "1000", "1"}).out, ioctl_error);

	EXPECT_EQ(b.run({"uncwrite", "sda5", "1", "0"}).out, "");
	EXPECT_EQ(b.run({"read", "sda", "0", "FFFFF1", "1"}).out, ioctl_error);
	EXPECT_EQ(b.state()["drives"]["sda"]["uncorrectable"], json({0x1000, 0x1000000}));
	EXPECT_THAT(show(b), testing::HasSubstr("  uncorrectable sectors: 0x1000 0x1000000\n"
						"sdb: /dev/sdb /dev/sdb5\n"
						"  power: active, port: ready, link: up\n"
						"  uncorrectable sectors: none\n"));
}

TEST(UncWrite, FailuresAndRefusals)
{
	Board b;
	EXPECT_EQ(b.run({"uncwrite", "sda", "0", "12a19eb0"}).out, ioctl_error);
	EXPECT_EQ(b.run({"uncwrite", "sdz", "0", "0"}).out, "/dev/sdz open error\n");
	EXPECT_THAT(b.run({"uncwrite", "sda", "0"}).out,
		    testing::MatchesRegex("ostrautil_write_uncerror\\([0-9]+\\):Invalid parameter "
					  "error\n"));
	EXPECT_THAT(b.run({"uncwrite", std::string(35, 'x'), "0", "0"}).out,
		    testing::MatchesRegex("ostrautil_write_uncerror\\([0-9]+\\):Invalid parameter "
					  "error - device name too long\n"));
	EXPECT_EQ(b.trace("ioctl").size(), 1U); // only the one past the end
	EXPECT_FALSE(b.state()["drives"]["sda"].contains("uncorrectable"));
}

TEST(Rotational, BareNumberOfTheDrivesFlag)
{
	Board b("two");
	b.drive("sdb")["rotational"] = 0;
	b.save();
	RunResult r = b.run({"rotational", "sda"});
	EXPECT_EQ(r.out, "1");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(steps(b), step("sda", {"ZTOSTRA_HDD_DEF_ROTATIONAL"}));
	EXPECT_EQ(b.trace("ioctl").at(0)["code"], 0x0A18);
	EXPECT_EQ(b.trace("ioctl").at(0)["after"], hex32(1));
	EXPECT_EQ(b.run({"rotational", "sdb5"}).out, "0");
	EXPECT_EQ(b.trace("ioctl").back()["after"], hex32(0));

	b.fault("sda", "ZTOSTRA_HDD_DEF_ROTATIONAL", -1, 5);
	EXPECT_EQ(b.run({"rotational", "sda"}).out, ioctl_error);
	EXPECT_EQ(b.run({"rotational", "sdz"}).out, "/dev/sdz open error\n");
	EXPECT_THAT(b.run({"rotational", std::string(35, 'x')}).out,
		    testing::MatchesRegex("ostrautil_print_def_rotational\\([0-9]+\\):Invalid "
					  "parameter error - device name too long\n"));
}

// Real drives: capacity (identify words 100-103, else 60-61) and rotation
// (word 217: 1 is a solid-state drive) put on the board; the read test
// reaches exactly the last 16 sectors, addressed split at bit 24 as the
// partition inspection does, and "rotational" prints the flag.
TEST(RealDrives, LastSectorsAndRotationalFlag)
{
	const std::string dir = real_drives_dir();
	if (dir.empty())
		GTEST_SKIP() << "no real drive data at ../shared/drives";
	int seen = 0;
	for (const auto &entry : std::filesystem::directory_iterator(dir)) {
		std::ifstream in(entry.path(), std::ios::binary);
		std::string data((std::istreambuf_iterator<char>(in)), {});
		if (data.size() < 8 + 512 || data.compare(0, 4, "IDFY") != 0)
			continue;
		const auto word = [&](int w) {
			return static_cast<std::uint64_t>(
				       static_cast<unsigned char>(data[8 + 2 * w])) |
			       static_cast<std::uint64_t>(
				       static_cast<unsigned char>(data[9 + 2 * w]))
				       << 8U;
		};
		std::uint64_t cap =
			word(100) | word(101) << 16U | word(102) << 32U | word(103) << 48U;
		if (cap == 0)
			cap = word(60) | word(61) << 16U;
		const int rotational = word(217) == 1 ? 0 : 1;
		SCOPED_TRACE(entry.path().filename().string() + " " + std::to_string(cap));
		Board b;
		b.drive("sda")["capacity"] = cap;
		b.drive("sda")["rotational"] = rotational;
		b.save();
		// the last 16 sectors, then the 16 after the end
		const std::uint64_t last = cap - 16;
		char hi[16];
		char lo[16];
		std::snprintf(hi, sizeof hi, "%llx", static_cast<unsigned long long>(last >> 24));
		std::snprintf(lo, sizeof lo, "%llx",
			      static_cast<unsigned long long>(last & 0xffffff));
		EXPECT_EQ(b.run({"read", "sda", hi, lo, "2"}).out, ioctl_error);
		const std::vector<json> reqs = b.trace("ioctl");
		ASSERT_EQ(reqs.size(), 2U);
		EXPECT_EQ(reqs[0]["result"], 0);
		EXPECT_EQ(reqs[1]["result"], -1);
		EXPECT_EQ(b.run({"rotational", "sda"}).out, std::to_string(rotational));
		seen++;
	}
	EXPECT_GT(seen, 0);
}

} // namespace
