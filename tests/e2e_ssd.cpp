// SSD wear report (0x52) and security erase (0x46) through the simulated
// board, on the SSD preset and on real drives' data.
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>

#include "harness.h"

namespace {

using strings = std::vector<std::string>;
const std::string life = "tmp/ostra_ssd_life.info", placeholder = "SSD is not detected?";
const std::string fn = "ostrautil_get_ssdlife() ", not_ssd = fn + "This device is not SSD.\n";
const std::string smart_failed = fn + "ostrautil_issue_smart_ioctl failed.\n";

// the output with the line numbers of "%s(%d):" messages as "@"
std::string numbered(const std::string &out)
{
	return std::regex_replace(out, std::regex("^([a-z_]+)\\([0-9]+\\):"), "$1(@):");
}

std::string report(const std::string &model, unsigned ave, unsigned max)
{
	return "SSD Model : " + model + "\nAverage Erase Count : " + std::to_string(ave) +
	       "\nMax     Erase Count : " + std::to_string(max) + "\nLimit   Erase Count : 10000\n";
}

std::string hex(const std::string &bytes)
{
	std::string h;
	for (unsigned char c : bytes)
		h += "0123456789abcdef"[c >> 4], h += "0123456789abcdef"[c & 15];
	return h;
}

using Slots = std::vector<std::pair<int, std::vector<int>>>;
// an attribute page in hex: the given entries (id, ...) at their slots
std::string page(const Slots &slots)
{
	std::string p(512, '\0');
	for (const auto &[slot, e] : slots)
		std::copy(e.begin(), e.end(), p.begin() + 2 + 12 * slot);
	return hex(p);
}
// slots 0 to n-1 taken by other attributes (ids 1 to n), then slot n
Slots after(int n, const std::vector<int> &entry)
{
	Slots s;
	for (int j = 0; j < n; j++)
		s.push_back({j, {j + 1}});
	s.push_back({n, entry});
	return s;
}
const std::vector<int> erase173 = {173, 50, 0, 97, 97, 0x34, 0x12, 0x78, 0x56, 0xFF, 0xFF, 1};

// 0x52 on the SSD preset: the drive command on the node as named, the report
TEST(SsdLife, FullReportAndPartitionLookup)
{
	Board b("ssd");
	for (const char *name : {"sda", "sda5"}) {
		b.write(life, "old report\n");
		const RunResult r = b.run({"52", name});
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(b.read(life), report("FLASHDISK F", 312, 587));
		EXPECT_EQ(b.trace("ioctl").back()["before"], "b001d001" + std::string(1024, '0'));
	}
	strings ops; // open, the drive command on the node as named, close
	for (const json &line : b.trace())
		ops.push_back(line.value("op", "") + " " + line.value("node", ""));
	EXPECT_EQ(ops, strings({"open sda", "ioctl sda", "close sda", "open sda5", "ioctl sda5",
				"close sda5"}));
	EXPECT_EQ(b.requests().back(), "sda5 HDIO_DRIVE_CMD");
	// the second drive's sysfs files and page are its own
	json sdb = b.drive("sda");
	sdb["nodes"] = {"sdb", "sdb5"};
	sdb["sysfs"]["device/model"] = "SECOND      \n";
	sdb["smart"] = {{"attr_page", page({{0, erase173}})}};
	b.desc()["drives"]["sdb"] = sdb;
	b.desc()["probe"]["sdb"] = 2;
	b.save();
	EXPECT_EQ(b.run({"52", "sdb5"}).out, "");
	EXPECT_EQ(b.read(life), report("SECOND     ", 4660, 22136));
	EXPECT_EQ(b.requests().back(), "sdb5 HDIO_DRIVE_CMD");
}

struct Failure {
	const char *name;
	std::function<void(Board &)> setup;
	std::string arg, out;      // out: the whole output ("@": a line number)
	bool reaches_node = false; // the drive command is sent
};

std::ostream &operator<<(std::ostream &o, const Failure &f)
{
	return o << f.name;
}

class SsdLifeFailure : public testing::TestWithParam<Failure> {};

TEST_P(SsdLifeFailure, LeavesPlaceholder)
{
	const Failure &f = GetParam();
	Board b("ssd");
	f.setup(b);
	b.save();
	b.write(life, "old report\n");
	const RunResult r = b.run({"52", f.arg});
	EXPECT_EQ(numbered(r.out), f.out);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(b.read(life), placeholder);
	EXPECT_EQ(b.requests().size(), f.reaches_node ? 1U : 0U);
}

auto sysfs(const char *file, json content)
{
	return [=](Board &b) { b.drive("sda")["sysfs"][file] = content; };
}
auto as_dir(const char *file)
{
	return [=](Board &b) {
		b.drive("sda")["sysfs"][file] = nullptr;
		b.drive("sda")["sysfs"][std::string(file) + "/x"] = "0\n";
	};
}
auto fails(int result, int err, const char *request = "HDIO_DRIVE_CMD")
{
	return [=](Board &b) { b.fault("sda", request, result, err); };
}
auto attrs(const Slots &slots)
{
	return [=](Board &b) { b.drive("sda")["smart"] = {{"attr_page", page(slots)}}; };
}
const std::string serch_failed = fn + "ostrautil_smart_serch_id failed.\n";

INSTANTIATE_TEST_SUITE_P(
	Rows, SsdLifeFailure,
	testing::Values(
		Failure{"unknown", [](Board &) {}, "sdc", fn + "Invalid device file.(/dev/sdc)\n"},
		Failure{"too_long", [](Board &) {}, "sda" + std::string(32, 'x'),
			"ostrautil_get_ssdlife(@):Invalid parameter error - device "
			"name too long\n"},
		Failure{"eight_chars_only", [](Board &) {}, "sdab",
			"/dev/sdab open error\n" + smart_failed},
		Failure{"hard_disk", sysfs("queue/rotational", "1\n"), "sda", not_ssd},
		Failure{"rotational_empty", sysfs("queue/rotational", ""), "sda", not_ssd},
		Failure{"rotational_missing", sysfs("queue/rotational", nullptr), "sda",
			"error (ostrautil) : ostrautil_check_ssd - open error.\n" + not_ssd},
		Failure{"rotational_unreadable", as_dir("queue/rotational"), "sda", not_ssd},
		Failure{"model_missing", sysfs("device/model", nullptr), "sda",
			"error (ostrautil) : ostrautil_ssd_get_model - open error.\n" + fn +
				"ostrautil_ssd_get_model failed.\n"},
		Failure{"model_unreadable", as_dir("device/model"), "sda",
			fn + "ostrautil_ssd_get_model failed.\n"},
		Failure{"node_missing", [](Board &b) { b.drive("sda")["nodes"] = {"sda5"}; }, "sda",
			"/dev/sda open error\n" + smart_failed},
		Failure{"node_open_fault", fails(-1, 13, "open"), "sda",
			"/dev/sda open error\n" + smart_failed},
		Failure{"command_negative", fails(-22, 22), "sda",
			"/dev/sda ioctl error. ret = -22, errno= 22\n" + smart_failed, true},
		Failure{"command_positive", fails(2, 0), "sda", smart_failed, true},
		Failure{"no_173", attrs({{0, {9}}, {1, {12}}}), "sda", serch_failed, true},
		Failure{"behind_empty_slot", attrs({{0, {9}}, {2, erase173}}), "sda", serch_failed,
			true},
		Failure{"past_the_walk", attrs(after(41, erase173)), "sda", serch_failed, true}),
	[](const testing::TestParamInfo<Failure> &i) { return std::string(i.param.name); });

TEST(SsdLife, FileStatesAtTheEdges)
{
	Board b("ssd");
	b.write(life + "/x", ""); // the file cannot be created: a directory in its place
	RunResult r = b.run({"52", "sda"});
	EXPECT_EQ(r.out, "ostrautil_output_erasecount_init() : hdd ssd life file init open "
			 "failure - /tmp/ostra_ssd_life.info.\n" +
				 fn + "ostrautil_output_erasecount_init failed.\n");
	EXPECT_TRUE(b.requests().empty());
	b.remove(life + "/x");
	b.remove(life);
	// entries past the thirtieth are searched too, up to the 41st
	for (int slot : {30, 40}) {
		b.drive("sda")["smart"] = {{"attr_page", page(after(slot, erase173))}};
		b.save();
		EXPECT_EQ(b.run({"52", "sda"}).out, "");
		EXPECT_EQ(b.read(life), report("FLASHDISK F", 4660, 22136));
	}
}

TEST(SsdLife, ModelTextCutToElevenCharacters)
{
	const std::pair<std::string, std::string> cases[] = {
		{"SSD\n", "SSD\n"},
		{"ABCDEFGHIJ\n", "ABCDEFGHIJ\n"},
		{"ABCDEFGHIJK\n", "ABCDEFGHIJK"},
		{"", ""},
		{std::string("AB\0CDEFGHIJKL\n", 14), "AB"},
		{std::string(40, 'M'), "MMMMMMMMMMM"},
	};
	Board b("ssd");
	for (const auto &[text, shown] : cases) {
		b.drive("sda")["sysfs"]["device/model"] = text;
		b.save();
		EXPECT_EQ(b.run({"52", "sda"}).out, "");
		EXPECT_EQ(b.read(life), report(shown, 312, 587)) << text;
	}
}

TEST(SecurityErase, ArgumentsOpenAndResults)
{
	Board b("ssd");
	const struct {
		strings args;
		const char *out; // "@": a line number
		const char *request_errno = nullptr;
	} cases[] = {
		{{"46", "sda", "sdb"}, "ostrautil_ssd_security_erase(@):Invalid parameter error\n"},
		{{"46", std::string(35, 's')},
		 "ostrautil_ssd_security_erase(@):Invalid parameter error - device name "
		 "too "
		 "long\n"},
		{{"46", "sdz"}, "/dev/sdz open error\n"},
		{{"46", "sda5"}, "ioctl() error\n", "22"},
		{{"46", "sda"}, "", "0"},
	};
	for (const auto &c : cases) {
		const std::size_t before = b.trace("ioctl").size();
		EXPECT_EQ(numbered(b.run(c.args).out), c.out) << c.args[1];
		const std::vector<json> t = b.trace("ioctl");
		ASSERT_EQ(t.size(), before + (c.request_errno != nullptr ? 1 : 0));
		if (c.request_errno == nullptr)
			continue;
		EXPECT_EQ(t.back()["code"], 0x0A40);
		EXPECT_FALSE(t.back().contains("before")); // null argument
		EXPECT_EQ(std::to_string(t.back()["errno"].get<int>()), c.request_errno);
	}
	b.fault("sda", "ZTOSTRA_SSD_SECURITY_ERASE", 7, 0);
	EXPECT_EQ(b.run({"46", "sda"}).out, ""); // a positive result is no failure
	Board hdd;
	EXPECT_EQ(hdd.run({"46", "sda"}).out, "ioctl() error\n");
	EXPECT_EQ(hdd.trace("ioctl").back()["errno"], EOPNOTSUPP);
}

TEST(SecurityErase, CountsRiseAndMediaStateGoes)
{
	Board b("ssd");
	b.run({"uncwrite", "sda", "0", "100"});
	json state = b.state();
	EXPECT_TRUE(state["drives"]["sda"].contains("uncorrectable"));
	state["drives"]["sda"]["ow"] = {{"total", 5}};
	b.write("state.json", state.dump());
	for (unsigned erases = 0; erases < 3; erases++) {
		EXPECT_EQ(b.run({"52", "sda"}).out, "");
		EXPECT_EQ(b.read(life), report("FLASHDISK F", 312 + erases, 587 + erases));
		EXPECT_EQ(b.run({"46", "sda"}).out, "");
		EXPECT_FALSE(b.state()["drives"]["sda"].contains("uncorrectable"));
		EXPECT_FALSE(b.state()["drives"]["sda"].contains("ow"));
	}
	const RunResult show = b.run_program({ostrasim_bin, "show", b.dir});
	EXPECT_THAT(show.out, testing::HasSubstr("erase count: average 315, maximum 590; "
						 "security erases: 3\n"));
}

// Without them in the sysfs map, the kernel's files follow the identify data.
TEST(SsdLife, SysfsFilesFromIdentify)
{
	for (const strings &c : {strings{"ssd", "0\n", "FLASHDISK FD-064\n", ""},
				 strings{"default", "1\n", "WDC WD1600AAJS-2\n", not_ssd}}) {
		Board b(c[0]);
		b.drive("sda").erase("sysfs");
		b.save();
		EXPECT_EQ(b.run({"52", "sda"}).out, c[3]);
		EXPECT_EQ(b.read("sys/block/sda/queue/rotational"), c[1]);
		EXPECT_EQ(b.read("sys/block/sda/device/model"), c[2]);
	}
}

// Real drives: what 0x52 gives against a decode of the drive's own data.
TEST(SsdLife, RealDrives)
{
	const std::string dir = real_drives_dir();
	if (dir.empty())
		GTEST_SKIP() << "no real drive data (../shared/drives is absent)";
	int ssds = 0;
	for (const auto &entry : std::filesystem::directory_iterator(dir)) {
		std::ifstream in(entry.path(), std::ios::binary);
		const std::string data((std::istreambuf_iterator<char>(in)), {});
		std::map<std::string, std::string> sections; // tag, 32-bit big-endian length, data
		for (std::size_t at = 0, len = 0; at + 8 <= data.size(); at += 8 + len) {
			len = 0;
			for (int k = 4; k < 8; k++)
				len = len * 256 + static_cast<unsigned char>(data[at + k]);
			sections[data.substr(at, 4)] = data.substr(at + 8, len);
		}
		std::string idfy = sections["IDFY"], smdt = sections["SMDT"];
		if (idfy.size() != 512 || smdt.size() != 512)
			continue;
		const bool ssd = idfy[434] == 1 && idfy[435] == 0; // word 217 little-endian
		std::string model;                                 // words 27.. with swapped bytes
		for (int k = 54; k < 54 + 11; k += 2)
			model += std::string{idfy[k + 1], idfy[k]};
		int slot = 0;
		while (slot < 41 && smdt[2 + 12 * slot] != 0 &&
		       static_cast<unsigned char>(smdt[2 + 12 * slot]) != 173)
			slot++;
		const bool found = slot < 41 && smdt[2 + 12 * slot] != 0;
		Board b("ssd");
		b.drive("sda") = {{"nodes", {"sda", "sda5"}},
				  {"drive_file", entry.path().string()}};
		b.save();
		const RunResult r = b.run({"52", "sda"});
		ssds += ssd ? 1 : 0;
		EXPECT_EQ(r.out, !ssd ? not_ssd : found ? "" : serch_failed) << entry.path();
		EXPECT_EQ(b.read("sys/block/sda/device/model").substr(0, 11), model.substr(0, 11));
		const auto count = [&](int k) { return smdt[2 + 12 * slot + k] & 0xFF; };
		EXPECT_EQ(b.read(life),
			  !ssd || !found // bytes 5-6 and 7-8 of the entry
				  ? placeholder
				  : report(model.substr(0, 11), count(5) + 256 * count(6),
					   count(7) + 256 * count(8)));
		if (ssd && !found) { // with an erase count put into its first empty slot
			std::copy(erase173.begin(), erase173.end(), smdt.begin() + 2 + 12 * slot);
			b.drive("sda")["smart"] = {{"attr_page", hex(smdt)}};
			b.save();
			EXPECT_EQ(b.run({"52", "sda"}).out, "");
			EXPECT_EQ(b.read(life), report(model.substr(0, 11), 4660, 22136));
		}
	}
	EXPECT_GE(ssds, 1);
}

} // namespace
