// Encryption key commands 0x21 to 0x24 through the simulated board.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "harness.h"

namespace {

using testing::HasSubstr;
using Key = std::vector<std::uint32_t>; // realkey words from 0 on, the rest zero
const Key v128 = {0xa1b2c3d4, 0x0b0c0d0e, 0x55556666, 0x7777aaaa};
const Key v256 = {0xa1b2c3d4, 0x0b0c0d0e, 0x55556666, 0x7777aaaa,
		  0x10203040, 0x5060708f, 0x9a9b9c9d, 0xe1e2e3e4};

// a 32-bit record field as the trace shows it, in the target's byte order
std::string word(std::uint32_t v)
{
	char s[9];
	std::snprintf(s, sizeof s, "%08x", target_is_ppc() ? v : __builtin_bswap32(v));
	return s;
}

// the 104-byte record: hddkey, realkey, ivdata, aesmode, ivtype
std::string record(Key key, int mode)
{
	key.resize(8);
	std::string s(64, '0');
	for (std::uint32_t w : key)
		s += word(w);
	return s + std::string(64, '0') + word(mode) + word(0);
}

// a command line split at blanks; K4 and K8 are the key words of v128 and v256,
// Xn a name of n x's
std::vector<std::string> args(const std::string &line)
{
	static const char *const k8[] = {"LL=a1b2c3d4", "LH=0b0c0d0e", "HL=55556666",
					 "HH=7777AAAA", "UA=10203040", "UB=5060708f",
					 "UC=9a9b9c9d", "UD=e1e2e3e4"};
	std::vector<std::string> a;
	std::istringstream in(line);
	for (std::string w; std::getline(in, w, ' ');)
		if (w == "K4" || w == "K8")
			a.insert(a.end(), k8, k8 + (w == "K4" ? 4 : 8));
		else if (w[0] == 'X')
			a.emplace_back(std::stoul(w.substr(1)), 'x');
		else
			a.push_back(w);
	return a;
}

struct Case {
	const char *line;
	std::string out;        // the whole output, %d for a line number
	const char *sent;       // nodes that got the request, in order
	Key key = {};           // empty: encryption off
	const char *fault = ""; // "node request" that fails with EIO
};

std::ostream &operator<<(std::ostream &o, const Case &c)
{
	return o << c.line;
}

class Aes : public testing::TestWithParam<Case> {};

TEST_P(Aes, SendsTheRecordToTheNamedDrives)
{
	const Case &c = GetParam();
	Board b("two");
	b.desc()["trace_raw"] = true;
	b.save();
	std::istringstream fault(c.fault);
	std::string node, request, sent;
	if (fault >> node >> request)
		b.fault(node, request, -1, 5);
	const RunResult r = b.run(args(c.line));
	std::string re; // the expected output as a regular expression
	for (std::size_t i = 0; i < c.out.size(); i++) {
		if (c.out.compare(i, 2, "%d") == 0) {
			re += "[0-9]+";
			i++;
			continue;
		}
		if (std::strchr("().", c.out[i]) != nullptr)
			re += '\\';
		re += c.out[i];
	}
	EXPECT_THAT(r.out, testing::MatchesRegex(re));
	EXPECT_EQ(r.status, 0);
	for (const json &t : b.trace("ioctl")) {
		sent += (sent.empty() ? "" : " ") + t["node"].get<std::string>();
		EXPECT_EQ(t["request"], "ZTOSTRA_SET_AES");
		EXPECT_EQ(t["before"], record(c.key, c.key.empty() ? 0 : 2));
		EXPECT_EQ(t["after"], t["before"]);
	}
	EXPECT_EQ(sent, c.sent);
	std::size_t opened = 0;
	for (const json &t : b.trace("open"))
		opened += t["result"] >= 0 ? 1 : 0;
	EXPECT_EQ(opened, b.trace("close").size());
}

INSTANTIATE_TEST_SUITE_P(
	Commands, Aes,
	testing::Values(
		Case{"21 sda K4", "", "sda", v128}, Case{"21 sda sdb K4", "", "sda sdb", v128},
		Case{"0x23 sda K8", "", "sda", v256}, Case{"23 sda sdb K8", "", "sda sdb", v256},
		Case{"21z sda5 HH=7777AAAA LH=0b0c0d0e LL=a1b2c3d4 HL=55556666", "", "sda5", v128},
		Case{"23 sdb UD=1 LL=2 K8", "", "sdb", v256},
		Case{"21 sda UA=9 K4", "", "sda", v128},
		Case{"21 sda LL=1 HH=2", "ostrautil_aes_on() : aes real key not found - 0x09.\n",
		     ""},
		Case{"23 sda K4", "ostrautil_aes_256_on() : aes real key not found - 0x0F.\n", ""},
		Case{"23 sda ll=1 LH=1 HL=1 HH=1 UA=1 UB=1 UC=1",
		     "ostrautil_aes_256_on() : aes real key not found - 0x7E.\n", ""},
		Case{"21 sda sdb", "ostrautil_aes_on() : aes real key not found - 0x00.\n", ""},
		Case{"21 K4 sda sdb", "", ""}, Case{"21 X35 sda K4", "", ""},
		Case{"21 sda LL=a1b2c3d4 sdb LH=0b0c0d0e HL=55556666 HH=7777AAAA", "", "sda", v128},
		Case{"21 sda LL=0000000000000000000000000000000000000000001 LH=2 HL=3 HH=4",
		     "",
		     "sda",
		     {1, 2, 3, 4}},
		Case{"21 sda sdb K4", "ostrautil_aes_on(%d):ioctl() error\n", "sda", v128,
		     "sda ZTOSTRA_SET_AES"},
		Case{"23 sda sdb K8", "ostrautil_aes_256_on(%d):ioctl() error\n", "sda sdb", v256,
		     "sdb ZTOSTRA_SET_AES"},
		Case{"21 sda sdb K4", "", "sda", v128, "sdb open"},
		Case{"22 sda sdb", "", "sda sdb"}, Case{"24 sdb sda", "", "sdb sda"},
		Case{"22 sda sdx sdb", "/dev/sdx open error\n", "sda"},
		Case{"24 sdx sda", "/dev/sdx open error\n", ""},
		Case{"22 sda X35 sdb",
		     "ostrautil_aes_off(%d):Invalid parameter error - device name too long\n",
		     "sda"},
		Case{"24 X34", "/dev/xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx open error\n", ""},
		Case{"24 sda sdb",
		     "ostrautil_aes_256_off(%d):ioctl() error\n",
		     "sda sdb",
		     {},
		     "sdb ZTOSTRA_SET_AES"},
		Case{"22 sda sdb", "/dev/sdb open error\n", "sda", {}, "sdb open"},
		Case{"23 sda LL=-1 LH=0x1F HL=0X1f HH=123456789 UA= UB=zz UC=\t12 UD=+5",
		     "",
		     "sda",
		     {0xffffffff, 0x1f, 0x1f, 0xffffffff, 0, 0, 0x12, 5}},
		Case{"23 sda LL=-0x10 LH=12g5 HL=0x HH=0x-1 UA=-100000000 UB=DeadBeef UC=--1 UD=f",
		     "",
		     "sda",
		     {0xfffffff0, 0x12, 0, 0, 0xffffffff, 0xdeadbeef, 0, 0xf}}),
	[](const testing::TestParamInfo<Case> &i) {
		std::string name = "c" + std::to_string(i.index) + "_";
		for (const char *p = i.param.line; *p != '\0'; p++)
			name += std::isalnum(static_cast<unsigned char>(*p)) != 0 ? *p : '_';
		return name;
	});

std::string sim(const Board &b, const char *what)
{
	std::string out;
	FILE *p = popen((ostrasim_bin + " " + what + " " + b.dir).c_str(), "r");
	for (int ch = 0; p != nullptr && (ch = std::fgetc(p)) != EOF;)
		out += static_cast<char>(ch);
	EXPECT_EQ(p != nullptr ? pclose(p) : -1, 0);
	return out;
}

TEST(AesKey, NeverShowsInTraceOrShow)
{
	Board b; // a board description that does not ask for raw traces
	EXPECT_THAT(sim(b, "show"), HasSubstr("  aes: mode through (never set)\n"));
	EXPECT_EQ(b.run(args("23 sda K8")).out, "");
	EXPECT_EQ(b.state()["drives"]["sda"]["aes"]["realkey"], json(v256));
	const json t = b.trace("ioctl").at(0);
	EXPECT_EQ(t["before"], record({}, 2));
	EXPECT_EQ(t["after"], record({}, 2));
	EXPECT_TRUE(t.value("masked", false));
	std::string seen = b.read("trace.jsonl") + sim(b, "trace") + sim(b, "show");
	EXPECT_THAT(seen, HasSubstr("[masked]"));
	EXPECT_THAT(seen, HasSubstr("  aes: mode ECB, 256-bit key\n"));
	EXPECT_EQ(b.run(args("23 sda K4 UA=0 UB=0 UC=0 UD=0")).out, "");
	EXPECT_THAT(sim(b, "show"), HasSubstr("  aes: mode ECB, 128-bit key\n"));
	EXPECT_EQ(b.run(args("24 sda")).out, "");
	EXPECT_THAT(sim(b, "show"), HasSubstr("  aes: mode through\n"));
	seen += b.read("trace.jsonl") + sim(b, "trace") + sim(b, "show");
	for (std::uint32_t v : v256)
		for (std::uint32_t w : {v, __builtin_bswap32(v)}) {
			char hex[9];
			std::snprintf(hex, sizeof hex, "%08x", w);
			EXPECT_EQ(seen.find(hex), std::string::npos) << hex;
		}
}

} // namespace
