// Power and link commands 0x12 and 0x13 and the words "read", "uncwrite" and
// "rotational", run through the simulated board.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>

#include "harness.h"

namespace {

using Strings = std::vector<std::string>;
const std::string ioctl_error = "ioctl() error\n";

// the "two" preset's drives, placed under these names
void place_drives(Board &b, const Strings &names)
{
	const json from = b.desc()["drives"];
	b.desc()["drives"] = b.desc()["probe"] = json::object();
	for (std::size_t i = 0; i < names.size(); i++) {
		b.drive(names[i]) = from.at(i == 0 ? "sda" : "sdb");
		b.drive(names[i])["nodes"] = {names[i], names[i] + "5"};
		b.desc()["probe"][names[i]] = 1;
	}
	b.save();
}

// "open NODE", "ioctl NODE REQUEST" (+ when it carries no record), "close NODE"
Strings steps(const Board &b)
{
	Strings s;
	for (const json &l : b.trace())
		s.push_back(l.value("op", "") + " " + l.value("node", "") +
			    (l["op"] != "ioctl" ? ""
						: " " + l.value("request", "") +
							  (l.contains("before") ? "" : "+")));
	return s;
}

// one node opened, sent these null-argument requests, closed
void step(Strings &s, const std::string &node, const Strings &reqs)
{
	s.push_back("open " + node);
	for (const std::string &r : reqs)
		s.push_back("ioctl " + node + " ZTOSTRA_" + r + "+");
	s.push_back("close " + node);
}

Strings power_steps(const std::string &cmd, const Strings &drives)
{
	Strings s;
	if (cmd == "13")
		step(s, drives[0], {"SLEEP_OUT"});
	for (const std::string &d : drives)
		cmd == "12" ? step(s, d + "5", {"HDD_FLUSH_CACHE", "HDD_STANDBY_IMD"})
			    : step(s, d, {"INIT_PORT"});
	if (cmd == "12")
		step(s, drives[0], {"SLEEP_IN"});
	return s;
}

// a 32-bit record field as the target lays it out
std::string hex32(std::uint32_t v)
{
	char s[9];
	std::snprintf(s, sizeof s, "%08x", target_is_ppc() ? v : __builtin_bswap32(v));
	return s;
}

class PowerCommand : public testing::TestWithParam<std::tuple<std::string, Strings>> {};

// The whole sequence, then each open and each request made to fail in turn
// (refused, and answered with a positive value): its message, everything
// before it sent, nothing after it.
TEST_P(PowerCommand, SequenceAndFirstFailure)
{
	const auto &[cmd, drives] = GetParam();
	const Strings full = power_steps(cmd, drives);
	Board ok("two");
	place_drives(ok, drives);
	const RunResult r = ok.run({cmd, "ignored"});
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(steps(ok), full);
	for (std::size_t k = 0; k < full.size(); k++) {
		std::string op, node, req;
		std::istringstream(full[k]) >> op >> node >> req;
		for (int result : {-1, 1}) {
			if (op == "close" || (op == "open" && result > 0))
				continue;
			SCOPED_TRACE(full[k] + " answers " + std::to_string(result));
			Board b("two");
			place_drives(b, drives);
			const auto n = static_cast<long>(k);
			b.fault(node, op == "open" ? "open" : req.substr(0, req.size() - 1), result,
				result < 0 ? 5 : 0,
				static_cast<int>(
					std::count(full.begin(), full.begin() + n, full[k])) +
					1,
				1);
			EXPECT_EQ(b.run({cmd, "x"}).out, "/dev/" + node + " " + op + " error\n");
			Strings want(full.begin(), full.begin() + n + 1);
			if (op == "ioctl")
				want.push_back("close " + node);
			EXPECT_EQ(steps(b), want);
		}
	}
}

INSTANTIATE_TEST_SUITE_P(Drives, PowerCommand,
			 testing::Combine(testing::Values("12", "13"),
					  testing::Values(Strings{"sda"}, Strings{"sda", "sdb"},
							  Strings{"sda", "sdc"}, Strings{"sdb"})));

TEST(PowerCommand, SleepUntilSleepOutAndPortInitialisation)
{
	Board b("two");
	b.drive("sdb")["nodes"] = {"sdb"}; // no partition node: no sleep-in either
	b.save();
	EXPECT_EQ(b.run({"12", "x"}).out, "/dev/sdb5 open error\n");
	Strings want;
	step(want, "sda5", {"HDD_FLUSH_CACHE", "HDD_STANDBY_IMD"});
	want.push_back("open sdb5");
	EXPECT_EQ(steps(b), want);

	b.drive("sdb")["nodes"] = {"sdb", "sdb5"};
	b.save();
	EXPECT_EQ(b.run({"12", "x"}).out, "");
	const std::string asleep = "  power: standby, port: offline, link: asleep\n"
				   "  uncorrectable sectors: none\n";
	EXPECT_EQ(b.show({"sd", "  power:", "  uncorrectable"}),
		  "sda: /dev/sda /dev/sda5\n" + asleep + "sdb: /dev/sdb /dev/sdb5\n" + asleep);
	EXPECT_EQ(b.run({"read", "sdb5", "0", "0", "1"}).out, ioctl_error);
	EXPECT_EQ(b.trace("ioctl").back()["errno"], 5);
	EXPECT_EQ(b.run({"12", "x"}).out, "/dev/sda5 ioctl error\n");
	EXPECT_EQ(b.run({"sleepout", "/dev/sda"}).out, ""); // ports still offline
	EXPECT_EQ(b.run({"read", "sda", "0", "0", "1"}).out, ioctl_error);
	b.fault("sdb", "ZTOSTRA_INIT_PORT", -1, 5, 1, 1);
	EXPECT_EQ(b.run({"13", "x"}).out, "/dev/sdb ioctl error\n");
	EXPECT_EQ(b.run({"read", "sda", "0", "0", "1"}).out, "");
	EXPECT_EQ(b.run({"read", "sdb", "0", "0", "1"}).out, ioctl_error);
	EXPECT_EQ(b.run({"13", "x"}).out, "");
	EXPECT_EQ(b.run({"read", "sdb", "0", "0", "1"}).out, "");
	EXPECT_EQ(b.run({"hdsleep", "/dev/sdb"}).out, ""); // asleep until its port is reset
	EXPECT_EQ(b.run({"12", "x"}).out, "/dev/sdb5 ioctl error\n");
}

struct ReadCase {
	Strings args; // after "read"
	std::uint32_t hi, lo;
	std::string results; // per request: 0 succeeds, - fails
	std::string out;
	friend std::ostream &operator<<(std::ostream &o, const ReadCase &c)
	{
		return o << testing::PrintToString(c.args);
	}
};

class ReadTest : public testing::TestWithParam<ReadCase> {};

// sda holds 0x12a19eb0 sectors, addressed word0 * 2^24 + word1
TEST_P(ReadTest, RecordsAndResult)
{
	const ReadCase &c = GetParam();
	Board b;
	Strings args = {"read"};
	args.insert(args.end(), c.args.begin(), c.args.end());
	EXPECT_EQ(b.run(args).out, c.out);
	const std::vector<json> reqs = b.trace("ioctl");
	ASSERT_EQ(reqs.size(), c.results.size());
	for (std::uint32_t i = 0; i < reqs.size(); i++) {
		// the data area goes out cleared: the record is the same on every run
		EXPECT_EQ(reqs[i].value("before", ""),
			  hex32(16) + hex32(c.hi) + hex32(c.lo + 16 * i) + std::string(1024, '0'))
			<< i;
		EXPECT_EQ(reqs[i]["result"], c.results[i] == '0' ? 0 : -1) << i;
	}
	EXPECT_EQ(b.trace().size(), reqs.size() + 2); // one open, one close
}

INSTANTIATE_TEST_SUITE_P(
	Words, ReadTest,
	testing::Values(ReadCase{{"sda", "0", "100", "3"}, 0, 0x100, "000", ""},
			ReadCase{{"sda", "0", "0", "10"}, 0, 0, std::string(16, '0'), ""},
			ReadCase{{"sda", "0", "FFFFF8", "2"}, 0, 0xFFFFF8, "00", ""},
			ReadCase{{"sda", "0", "0xFFFFFFF8", "2"}, 0, 0xFFFFFFF8, "-0", ""},
			ReadCase{{"sda5", "3", "FFFFFFF8", "2"}, 3, 0xFFFFFFF8, "-0", ""},
			ReadCase{{"sda", "12", "a19eaf", "1"}, 0x12, 0xa19eaf, "0", ""},
			ReadCase{{"sda", "0", "12a19ea0", "2"}, 0, 0x12a19ea0, "0-", ioctl_error},
			ReadCase{{"sda", "0", "100", "0"}, 0, 0x100, "", ioctl_error}));

TEST(UncWrite, MarksTheSectorForLaterReads)
{
	Board b("two");
	EXPECT_EQ(b.run({"uncwrite", "sda5", "0", "1000"}).out, "");
	EXPECT_EQ(b.trace("ioctl").at(0)["request"], "ZTOSTRA_TEST_UNCWRITE");
	EXPECT_EQ(b.trace("ioctl").at(0)["before"],
		  hex32(0) + hex32(0) + hex32(0x1000) + std::string(1024, '0'));
	// 16-sector reads over 0x1000 fail (only the last request counts)
	for (const auto &[lo, count, out] :
	     std::vector<std::tuple<const char *, const char *, std::string>>{
		     {"FF0", "1", ""},
		     {"FF1", "1", ioctl_error},
		     {"FF0", "2", ioctl_error},
		     {"1000", "2", ""}})
		EXPECT_EQ(b.run({"read", "sda", "0", lo, count}).out, out) << lo << " " << count;
	EXPECT_EQ(b.run({"read", "sdb", "0", "1000", "1"}).out, "");
	EXPECT_EQ(b.run({"uncwrite", "sda", "0", "12a19eb0"}).out, ioctl_error); // past the end
	EXPECT_EQ(b.state()["drives"]["sda"]["uncorrectable"], json::array({0x1000}));
	EXPECT_EQ(b.run({"read", "sdz", "0", "0", "1"}).out, "/dev/sdz open error\n");
	EXPECT_THAT(b.run({"uncwrite", "sda", "0"}).out,
		    testing::MatchesRegex("ostrautil_write_uncerror\\([0-9]+\\):Invalid parameter "
					  "error\n"));
}

TEST(Rotational, BareNumberOfTheDrivesFlag)
{
	Board b("two");
	b.drive("sdb")["rotational"] = 0;
	b.save();
	EXPECT_EQ(b.run({"rotational", "sda"}).out, "1");
	EXPECT_EQ(b.run({"rotational", "sdb5"}).out, "0");
	EXPECT_EQ(steps(b)[1], "ioctl sda ZTOSTRA_HDD_DEF_ROTATIONAL");
	EXPECT_EQ(b.trace("ioctl").back()["after"], hex32(0));
	b.fault("sda", "ZTOSTRA_HDD_DEF_ROTATIONAL", -1, 5);
	EXPECT_EQ(b.run({"rotational", "sda"}).out, ioctl_error);
	EXPECT_EQ(b.run({"rotational", "sdz"}).out, "/dev/sdz open error\n");
}

} // namespace
