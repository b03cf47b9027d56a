// Overwrite control through the simulated driver: start (0x31), settings
// (0x40 to 0x45, 0xff), progress count (0x32, "ow"), total ("ow_set_total")
// and the partition bounds ("pp", "psb").
#include <cstdio>

#include "harness.h"

namespace {

using testing::HasSubstr;
using testing::MatchesRegex;
using Args = std::vector<std::string>;

// v as n bytes in the target's byte order, in hex
std::string bytes(std::uint64_t v, int n)
{
	std::string s;
	char b[3];
	for (int i = 0; i < n; i++) {
		const int shift = target_is_ppc() ? 8 * (n - 1 - i) : 8 * i;
		std::snprintf(b, sizeof b, "%02x", static_cast<unsigned>((v >> shift) & 0xFF));
		s += b;
	}
	return s;
}

// a ztostra_ow record
std::string ow_rec(std::uint32_t op, std::int32_t mode = 0, std::uint16_t owsw = 0,
		   std::uint16_t fixdata = 0, std::uint32_t prand = 0, std::uint64_t trcount = 0,
		   std::uint64_t partsect = 0)
{
	return bytes(op, 4) + "00000000" + bytes(static_cast<std::uint32_t>(mode), 4) +
	       bytes(owsw, 2) + bytes(fixdata, 2) + bytes(prand, 4) + "00000000" +
	       bytes(trcount, 8) + bytes(partsect, 8);
}

// the first 12 bytes of a read test record: count 16 and the two start words
std::string read_rec(std::uint32_t sect)
{
	return bytes(16, 4) + bytes(sect >> 24, 4) + bytes(sect & 0xffffff, 4);
}

// a board on a virtual clock with an overwrite partition of `sectors`
void prepare(Board &b, std::uint64_t sectors = 1000, json overwrite = json::object())
{
	b.desc()["clock"] = "virtual";
	b.drive("sda")["partitions"]["5"] = {{"start", 0x800}, {"sectors", sectors}};
	b.drive("sda")["overwrite"] = overwrite;
	b.save();
}

// "func(line):" of a message, as a pattern
std::string at(const char *func)
{
	return std::string(func) + "\\([0-9]+\\):";
}
const std::string inval = "Invalid parameter error\n";
const std::string ioerr = "ioctl\\(\\) error\n";

// every node opened is closed again
void expect_closed(const Board &b)
{
	std::size_t opened = 0;
	for (const json &line : b.trace("open"))
		opened += line["result"].get<int>() >= 0 ? 1 : 0;
	EXPECT_EQ(opened, b.trace("close").size());
}

// every handler refuses bad arguments before it sends anything
TEST(OwRefusal, NothingSent)
{
	const std::string bad = at("ostrautil_issue_owfunc") + inval;
	const std::string cnt = at("ostrautil_issue_owfunc") + "Invalid parameter error : owcnt = ";
	const std::string set = at("ostrautil_ow_set") + inval;
	const std::string too_long = "Invalid parameter error - device name too long\n";
	const std::string x35(35, 'x');
	const std::pair<Args, std::string> cases[] = {
		{{"31", "sda"}, bad},
		{{"31", "sda", "2", "0", "0"}, bad},
		{{"31", "sda", "0"}, bad},
		{{"31", "sda", "1", "0"}, bad},
		{{"31", "sda", "3", "ffff"}, bad},
		{{"31", "sda", "1", "10000", "0"}, bad},
		{{"31", "sda", "1", "-1", "0"}, bad},
		{{"31", "sda", "1", "12g", "0"}, bad},
		{{"31", "sda", "3", "0", "0x12g"}, bad},
		{{"31", "sda", "1", "0x", "0"}, bad},
		{{"31", "sda", "1", "0", "0", "100"}, cnt + "100\n"},
		{{"31", "sda", "-1", "4294967295"}, cnt + "-1\n"},
		{{"31", x35, "-1"}, at("ostrautil_issue_owfunc") + too_long},
		{{"41", "sda", "1"}, set},
		{{"42", "sda", "x"}, set},
		{{"43", "sda", "1", "2"}, set},
		{{"44", "sda", "1", "2"}, set},
		{{"45", "sda", "1", "2"}, set},
		{{"40", "sda", "x"},
		 "ostrautil_ow_get_mode\\(\\) invalid parameter - get overwrite mode.\n"},
		{{"32", "sda", "x"}, at("ostrautil_get_owcnt") + inval},
		{{"ow", x35}, at("ostrautil_print_owcnt") + too_long},
		{{"ow_set_total", "sda"}, at("ostrautil_test_set_total") + inval},
		{{"pp", "sda5"}, at("ostrautil_print_partition") + inval},
		{{"psb", "sda5"}, at("ostrautil_print_superblock") + inval}};
	Board b;
	for (const auto &[args, out] : cases) {
		const RunResult r = b.run(args);
		EXPECT_THAT(r.out, MatchesRegex(out)) << args[0] << " " << args.size();
		EXPECT_EQ(r.status, 0);
	}
	EXPECT_TRUE(b.trace().empty());
}

struct StartCase {
	Args args;
	std::int32_t current_mode; // the driver's mode before the command
	std::uint64_t partsect;
	std::uint64_t total;
	std::string settings; // the settings write, empty: none
	std::uint32_t owcnt;
};

TEST(OwStart, RequestOrderTotalsAndRecords)
{
	const StartCase cases[] = {
		{{"3", "ffff", "0x12345678", "7"},
		 0,
		 1000,
		 3000,
		 ow_rec(2, 3, 0, 0xffff, 0x12345678),
		 7},
		{{"1", "", "", "99", "extra"}, 3, 1000, 1000, ow_rec(2, 1), 99},
		{{"1x", "0X1a", "ffffffff"}, 0, 1000, 1000, ow_rec(2, 1, 0, 0x1a, 0xffffffff), 0},
		{{"3", "1", "2"}, 0, 0x80000000, 0x180000000, ow_rec(2, 3, 0, 1, 2), 0},
		{{"-1", "7"}, 1, 1000, 1000, "", 7},
		{{"-1"}, 0, 1000, 0, "", 0},
		{{"-1", "12abc"}, 3, 0x80000000, 0x180000000, "", 12}};
	for (const StartCase &c : cases) {
		Board b;
		prepare(b, c.partsect, {{"mode", c.current_mode}});
		Args args = {"31", "sda"};
		args.insert(args.end(), c.args.begin(), c.args.end());
		EXPECT_EQ(b.run(args).out, "");
		std::vector<std::string> want = {"sda ZTOSTRA_CLEAR_TOTAL", "sda ZTOSTRA_OW_OP",
						 "sda ZTOSTRA_SET_TOTAL", "sda ZTOSTRA_OW_OP",
						 "sda ZTOSTRA_ISUEE_OWFUNC"};
		if (c.settings.empty())
			want.erase(want.begin() + 3);
		ASSERT_EQ(b.requests(), want) << c.args[0];
		const std::vector<json> t = b.trace("ioctl");
		EXPECT_FALSE(t[0].contains("before"));
		EXPECT_EQ(t[1]["before"], ow_rec(1));
		EXPECT_EQ(t[2]["before"], bytes(c.total, 8));
		EXPECT_EQ(t[3]["before"], c.settings.empty() ? bytes(c.owcnt, 4) : c.settings);
		EXPECT_EQ(t.back()["before"], bytes(c.owcnt, 4));
		// settings write and start share one open
		const std::vector<json> all = b.trace();
		EXPECT_EQ(all[all.size() - (c.settings.empty() ? 3 : 4)]["op"], "open");
		expect_closed(b);
	}
}

TEST(OwStart, FailureAtEachStep)
{
	const std::string own = at("ostrautil_issue_owfunc") + ioerr;
	const std::string open_err = "/dev/sda open error\n";
	const std::tuple<const char *, int, int, std::string, std::size_t> cases[] = {
		// request, failing call, result, output, requests sent
		{"open", 1, -1, open_err, 0},
		{"ZTOSTRA_CLEAR_TOTAL", 1, -1, own, 1},
		{"open", 2, -1, open_err + own, 1},
		{"ZTOSTRA_OW_OP", 1, -1, at("ostrautil_ow_get") + ioerr + own, 2},
		{"ZTOSTRA_SET_TOTAL", 1, -1, at("ostrautil_set_total") + ioerr, 5},
		{"open", 4, -1, open_err, 3},
		{"ZTOSTRA_OW_OP", 2, 1, own, 4},
		{"ZTOSTRA_ISUEE_OWFUNC", 1, -1, own, 5},
		{"ZTOSTRA_ISUEE_OWFUNC", 1, 1, "", 5}};
	for (const auto &[request, from, result, out, sent] : cases) {
		Board b;
		prepare(b);
		b.fault("sda", request, result, result < 0 ? 5 : 0, from, 1);
		EXPECT_THAT(b.run({"31", "sda", "1", "0", "0"}).out, MatchesRegex(out)) << request;
		EXPECT_EQ(b.requests().size(), sent) << request << from;
		expect_closed(b);
	}
}

TEST(OwSettings, ReadModifyWrite)
{
	const json initial = {
		{"mode", 2}, {"fixdata", 0x1111}, {"pranddata", 0x22222222}, {"owsw", 0x5a5a}};
	const auto written = [](std::int32_t mode, std::uint16_t fixdata, std::uint32_t prand) {
		return ow_rec(2, mode, 0x5a5a, fixdata, prand, 0, 1000);
	};
	const std::pair<Args, std::string> cases[] = {
		{{"41", "sda"}, written(1, 0x1111, 0x22222222)},
		{{"42", "sda"}, written(3, 0x1111, 0x22222222)},
		{{"43", "sda"}, written(0, 0x1111, 0x22222222)},
		{{"44", "sda"}, written(2, 0x1111, 0x22222222)},
		{{"44", "sda", "12345"}, written(2, 0x2345, 0x22222222)},
		{{"44", "sda", "0xbeefz"}, written(2, 0xbeef, 0x22222222)},
		{{"45", "sda", "12345678"}, written(2, 0x1111, 0x12345678)},
		{{"45", "sda"}, written(2, 0x1111, 0x22222222)}};
	for (const auto &[args, record] : cases) {
		Board b;
		prepare(b, 1000, initial);
		EXPECT_EQ(b.run(args).out, "") << args[0];
		const std::vector<json> t = b.trace("ioctl");
		ASSERT_EQ(t.size(), 2U);
		EXPECT_EQ(t[0]["before"], ow_rec(1));
		EXPECT_EQ(t[1]["before"], record) << args[0];
		EXPECT_EQ(b.trace("open").size(), 1U);
		expect_closed(b);
	}
}

TEST(OwSettings, Failures)
{
	Board b;
	prepare(b);
	b.fault("sda", "ZTOSTRA_OW_OP", -1, 5, 1, 1);
	EXPECT_EQ(b.run({"44", "sda", "1"}).out, "ioctl() error\n");
	EXPECT_EQ(b.requests().size(), 1U);
	b.fault("sda", "ZTOSTRA_OW_OP", -1, 5, 3, 1);
	EXPECT_EQ(b.run({"41", "sda"}).out, "ioctl() error\n");
	EXPECT_EQ(b.requests().size(), 3U);
	b.fault("sda", "ZTOSTRA_OW_OP", -1, 5, 4, 2);
	EXPECT_EQ(b.run({"40", "sda"}).out, "ioctl() error\n");
	EXPECT_EQ(b.run({"ff", "sda"}).out, "ioctl() error\n");
	b.fault("sda", "ZTOSTRA_GET_OWCOUNT", -1, 5, 1, 1);
	EXPECT_EQ(b.run({"32", "sda"}).out, "ioctl() error\n");
	b.fault("sda", "open", -1, 2, 6, 1);
	EXPECT_EQ(b.run({"43", "sda"}).out, "/dev/sda open error\n");
	expect_closed(b);
}

TEST(OwSettings, BareNumbersAndSettingsBlock)
{
	Board b;
	prepare(b, 1000,
		{{"mode", 3}, {"fixdata", 0xab}, {"owsw", 0x5a5a}, {"pranddata", 0x12345678}});
	EXPECT_EQ(b.run({"40", "sda"}).out, "3");
	EXPECT_EQ(b.run({"32", "sda"}).out, "0");
	EXPECT_EQ(
		b.run({"ff", "sda", "ignored"}).out,
		"-------- owdata --------\nmode      = 3\nfixdata   = 0x00ab\nowsw      = 0x5a5a\n"
		"pranddata = 0x12345678\ntrcount   = 0\n");
	EXPECT_EQ(b.trace("ioctl")[2]["before"], ow_rec(1));
	b.drive("sda")["overwrite"]["counts"] = {42, 4294967295U};
	b.save();
	EXPECT_EQ(b.run({"32", "sda"}).out, "42");
	EXPECT_EQ(b.run({"32", "sda"}).out, "-1");
}

// one redrawn line of the progress display
std::string bar(unsigned count, int rem, unsigned sec)
{
	char tail[64];
	std::snprintf(tail, sizeof tail, "|%3u[%%] remaining:%4d[s] total:%4u[s]", count, rem, sec);
	const std::size_t marks = count / 2 < 50 ? count / 2 : 50;
	return "\r|" + std::string(marks, '#') + std::string(50 - marks, ' ') + tail;
}

const std::string title = "\n============== OverWrite Progress Bar ==============\n"
			  "+--+--+--+--+--+--+--+--+--+--+--+--+--+--+--+--+--+\n";
const std::string closing = "\n====================================================\n\n";

TEST(OwDisplay, ScriptedCounts)
{
	// counts read and the remaining time shown; the seconds are the poll's index
	const std::tuple<const char *, json, std::vector<int>> cases[] = {
		{"worked", {0, 0, 1, 1, 2, 2, 100}, {0, 0, 0, 195, 194, 191, 190}},
		{"drop", {10, 5, 6, 6, 100}, {0, 0, 0, 91, 90}},
		{"late_start", {37, 37, 38, 100}, {0, 0, 0, 121}},
		{"marks", {1, 2, 99, 101, 100}, {0, 0, 96, 0, 0}},
		{"at_once", {100}, {0}}};
	for (const auto &[name, counts, rems] : cases) {
		Board b;
		prepare(b, 1000, {{"counts", counts}});
		std::string want = title;
		for (std::size_t i = 0; i < rems.size(); i++)
			want += bar(counts[i].get<unsigned>(), rems[i], static_cast<unsigned>(i));
		const RunResult r = b.run({"ow", "sda"});
		EXPECT_EQ(r.out, want + closing) << name;
		EXPECT_EQ(r.status, 0);
		const std::vector<json> sleeps = b.trace("sleep");
		EXPECT_EQ(sleeps.size(), rems.size() - 1) << name;
		for (const json &s : sleeps)
			EXPECT_EQ(s["ns"], 1000000000U);
		EXPECT_EQ(b.trace("open").size(), rems.size());
		expect_closed(b);
	}
}

TEST(OwDisplay, FailuresEndTheLine)
{
	Board b;
	prepare(b, 1000, {{"counts", {4, 6}}});
	b.fault("sda", "ZTOSTRA_GET_OWCOUNT", -1, 5, 3, 1);
	EXPECT_EQ(b.run({"ow", "sda"}).out,
		  title + bar(4, 0, 0) + bar(6, 0, 1) + "ioctl() error\n");
	b.fault("sda", "open", -1, 2, 4, 1);
	EXPECT_EQ(b.run({"ow", "sda"}).out, title + "/dev/sda open error\n");
}

TEST(OwDisplay, WholeOverwriteInVirtualTime)
{
	Board b;
	prepare(b, 1000, {{"rate", 250}});
	EXPECT_EQ(b.run({"31", "sda", "1", "0", "0"}).out, "");
	std::string want = title;
	for (unsigned sec = 0; sec <= 4; sec++)
		want += bar(25 * sec, 0, sec);
	EXPECT_EQ(b.run({"ow", "sda"}).out, want + closing);
	EXPECT_EQ(b.run({"32", "sda"}).out, "100");
	EXPECT_THAT(b.run({"ff", "sda"}).out, HasSubstr("mode      = 1\n"));
	EXPECT_THAT(b.run({"ff", "sda"}).out, testing::EndsWith("trcount   = 1000\n"));
	// mode 3 from start count 40: 1800 sectors left, 7.2 s
	EXPECT_EQ(b.run({"31", "sda", "3", "0", "0", "40"}).out, "");
	EXPECT_EQ(b.run({"32", "sda"}).out, "40");
	const RunResult r = b.run({"ow", "sda"});
	EXPECT_THAT(r.out,
		    HasSubstr(bar(40, 0, 0) + bar(48, 0, 1) + bar(56, 0, 2) + bar(65, 0, 3)));
	EXPECT_THAT(r.out, testing::EndsWith(bar(98, 0, 7) + bar(100, 0, 8) + closing));
	// mode 0 finishes at once
	EXPECT_EQ(b.run({"43", "sda"}).out, "");
	EXPECT_EQ(b.run({"31", "sda", "-1"}).out, "");
	EXPECT_EQ(b.run({"32", "sda"}).out, "100");
}

TEST(OwTotal, SetTotalWord)
{
	const auto lines = [](const char *total) {
		return std::string("-------- owdata --------\ntotal      = ") + total +
		       "\nset total\n------------------------\n";
	};
	const std::string refused =
		"ostrautil_test_set_total\\(\\) invalid parameter - set total. mode";
	const std::tuple<std::uint64_t, const char *, std::string, std::uint64_t> cases[] = {
		// partsect, mode, output, total set (0: none)
		{1000, "3", lines("3000"), 3000},
		{1000, "1z", lines("1000"), 1000},
		{0x80000000, "3", lines("-2147483648"), 0x180000000},
		{1000, "2", refused + "2 is not support.\n", 0},
		{1000, "0", refused + "0 is not support.\n", 0},
		{1000, "-1", refused + "-1 is not support.\n", 0}};
	for (const auto &[partsect, mode, out, total] : cases) {
		Board b;
		prepare(b, partsect);
		EXPECT_THAT(b.run({"ow_set_total", "sda", mode}).out, MatchesRegex(out));
		const std::vector<json> t = b.trace("ioctl");
		ASSERT_EQ(t.size(), total != 0 ? 2U : 1U);
		EXPECT_EQ(t[0]["request"], "ZTOSTRA_OW_OP");
		EXPECT_EQ(t.back()["before"], total != 0 ? bytes(total, 8) : ow_rec(1));
	}
	Board b;
	prepare(b);
	b.fault("sda", "ZTOSTRA_SET_TOTAL", -1, 5);
	EXPECT_THAT(b.run({"ow_set_total", "sda", "1"}).out,
		    MatchesRegex(lines("1000") + at("ostrautil_set_total") + ioerr));
	b.fault("sda", "ZTOSTRA_OW_OP", -1, 5);
	EXPECT_THAT(b.run({"ow_set_total", "sda", "1"}).out,
		    MatchesRegex(at("ostrautil_ow_get") + ioerr + at("ostrautil_test_set_total") +
				 ioerr));
}

TEST(OwPartition, SevenSectorsPrintedAndRead)
{
	const char *const labels[] = {
		"--- OverwritePartition(head - 1) :sector = 0x%08x\n",
		"--- OverwritePartition(head)     :sector = 0x%08x\n",
		"--- OverwritePartition(center)    :sector = 0x%08x\n",
		"--- OverwritePartition(befor count):sector = 0x%08x cnt = %u\n",
		"--- OverwritePartition(after count):sector = 0x%08x cnt = %u\n",
		"--- OverwritePartition(tail)       :sector = 0x%08x\n",
		"--- OverwritePartition(tail + 1)   :sector = 0x%08x\n"};
	// start, sectors, cnt, the seven sectors
	const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::vector<std::uint32_t>>
		cases[] = {{0x800, 1000, 50, {0x7ff, 0x800, 0x9f4, 0x9f3, 0x9f4, 0xbe7, 0xbe8}},
			   {0x800, 99, 70, {0x7ff, 0x800, 0x831, 0x7ff, 0x800, 0x862, 0x863}},
			   {0, 200, 0, {0xffffffff, 0, 100, 0xffffffff, 0, 199, 200}},
			   {0x1234568,
			    0xfedcba98,
			    100,
			    {0x1234567, 0x1234568, 0x8091a2b4, 0xffffffcb, 0xffffffcc, 0xffffffff,
			     0}}};
	for (const auto &[start, sectors, cnt, sects] : cases) {
		Board b;
		b.drive("sda")["partitions"]["5"] = {{"start", start}, {"sectors", sectors}};
		b.drive("sda")["capacity"] = 0x100000010ULL; // every 32-bit sector reads
		b.save();
		std::string want;
		char line[96];
		for (std::size_t i = 0; i < 7; i++) {
			std::snprintf(line, sizeof line, labels[i], sects[i], cnt);
			want += line;
		}
		EXPECT_EQ(b.run({"pp", "sda5", std::to_string(cnt)}).out, want);
		const std::vector<json> t = b.trace("ioctl");
		ASSERT_EQ(t.size(), 8U);
		EXPECT_EQ(t[0]["request"], "ZTOSTRA_GET_PART");
		for (std::size_t i = 0; i < 7; i++)
			EXPECT_EQ(t[i + 1]["before"].get<std::string>().substr(0, 24),
				  read_rec(sects[i]));
	}
}

TEST(OwPartition, WholeDiskFailuresAndSuperblock)
{
	Board b;
	b.drive("sda")["partitions"]["5"] = {{"start", 0x1234568}, {"sectors", 1000}};
	b.drive("sda")["capacity"] = 0x2000000;
	b.drive("sda")["nodes"].push_back("sda1");
	b.save();
	EXPECT_EQ(b.run({"psb", "sda5", "9"}).out, "");
	std::vector<json> t = b.trace("ioctl");
	ASSERT_EQ(t.size(), 2U);
	EXPECT_EQ(t[0]["after"], bytes(0x1234568, 4) + bytes(1000, 4) + bytes(5, 4));
	EXPECT_EQ(t[1]["before"].get<std::string>().substr(0, 24), read_rec(0x1234567));
	// the whole-disk node answers the whole disk
	EXPECT_THAT(b.run({"pp", "sda", "1"}).out, HasSubstr("(center)    :sector = 0x01000000\n"));
	EXPECT_EQ(b.trace("ioctl")[2]["after"], bytes(0, 4) + bytes(0x2000000, 4) + bytes(0, 4));
	EXPECT_EQ(b.run({"pp", "sda1", "1"}).out, "ioctl() error\n");
	EXPECT_EQ(b.run({"psb", "sdz5", "1"}).out, "/dev/sdz5 open error\n");
	b.fault("sda5", "ZTOSTRA_TEST_READ_DMA", -1, 5, 4, 1); // psb read one
	EXPECT_THAT(b.run({"pp", "sda5", "0"}).out,
		    HasSubstr("(center)    :sector = 0x0123475c\nioctl() error\n--- Overwrite"));
	EXPECT_EQ(b.trace("ioctl").size(), 19U);
	expect_closed(b);
}

} // namespace
