// SMART report (0x51), serial number report (0x53) and the identify dump
// through the simulated board, on real drives' data, and smartctl reading the
// simulated drives.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "harness.h"

namespace {

using testing::HasSubstr;
using bytes = std::vector<unsigned char>;
using strings = std::vector<std::string>;

const std::string smart_file = "tmp/ostra_smart.info";
const std::string serial_file = "tmp/ostra_serial.info";
const std::string found = "space character - found.\nhdd maker information - found.\n"
			  "hdd maker name - found.\noutput hdd maker, hdd model.\n";
const std::string zeros = std::string(24, '0') + "," + std::string(24, '0');

template <typename... A> std::string fmt(const char *f, A... a)
{
	char buf[64];
	std::snprintf(buf, sizeof buf, f, a...);
	return buf;
}

// attribute names by id ("" for none), the first row of an id winning
std::string attr_name(int id)
{
	static const std::map<int, std::string> names = {
		{1, "Raw Read Error Rate"},
		{2, "Throughput Performance"},
		{3, "Spin-up Time"},
		{4, "Start/Stop Count"},
		{5, "Re-allocated Sector Count"},
		{7, "Seek Error Rate"},
		{8, "Seek Time Performance"},
		{9, "Power-on Hours Count"},
		{10, "Spin-up Retry Count"},
		{11, "Drive Calibration Retry Count"},
		{12, "Drive Power Cycle Count"},
		{13, "Soft Read Error Rate"},
		{191, "G-Sense Error Rate"},
		{192, "Emergency Retract Cycles"},
		{193, "Load/Unload Cycles"},
		{194, "HDA Temperature"},
		{195, "Hardware ECC recovered"},
		{196, "Reallocation Event Count"},
		{197, "Current Pending Sector Count"},
		{198, "Offline Scan Uncorrectable Sector Count"},
		{199, "Ultra DMA CRC Error Rate"},
		{200, "Write(Multi-zone) Error Rate"},
		{201, "Soft Read Error Rate"},
		{202, "Data Address Mark Error"},
		{203, "Run Out Cancel"},
		{204, "Soft ECC Correction"},
		{205, "Thermal Asperity Rate"},
		{206, "Flying Height"},
		{207, "Spin High Current"},
		{208, "Spin Buzz"},
		{209, "Offline Seek Performance"},
		{210, "Vibration During Write"},
		{211, "Vibration During Read"},
		{212, "Shock During Write"},
		{220, "Disk Shift"},
		{221, "G-Sense Error Rate"},
		{222, "Loaded Hours"},
		{223, "Load/Unload Retry Count"},
		{224, "Load Function"},
		{225, "Load/Unload Cycles"},
		{226, "Load-in Time"},
		{227, "Torque Amplification Count"},
		{228, "Power-Off Retract Count"},
		{229, "HDA Temperature"},
		{230, "GMR Head Amplitude"},
		{240, "Head Flying Hours"},
		{250, "Read Error Retry Rate"},
		{173, "Erase Count"},
		{241, "Access Count"}};
	const auto it = names.find(id);
	return id != 0 && it != names.end() ? it->second : "";
}

// the 30 report lines of drive ch from its two pages; counts the named ids
std::string attr_lines(const bytes &attr, const bytes &thrs, int ch, int &named)
{
	std::string s;
	for (int j = 0; j < 30; j++) {
		const unsigned char *a = &attr[2 + 12 * j], *t = &thrs[2 + 12 * j];
		s += fmt("%02d,%02X,00,", 30 * ch + j + 1, ch);
		for (const unsigned char *e : {a, t}) {
			for (int k = 11; k >= 0; k--)
				s += fmt("%02X", e[k]);
			s += ",";
		}
		s += fmt("%03d,%03d,%03d,%03d,", a[0], a[3], t[1], a[4]);
		for (int k = 10; k >= 5; k--)
			s += fmt("%02X", a[k]);
		const std::string name = attr_name(a[0]);
		named += name.empty() ? 0 : 1;
		s += "," + (name.empty() ? "Vendor specific" : name) + "\n";
	}
	return s;
}

// argument bytes after the k-th call of a request
bytes received(const Board &b, const std::string &request, std::size_t k = 0)
{
	bytes out;
	for (const json &line : b.trace("ioctl"))
		if (line["request"] == request && k-- == 0)
			for (std::size_t i = 0; i + 1 < line["after"].get<std::string>().size();
			     i += 2)
				out.push_back(
					std::stoul(line["after"].get<std::string>().substr(i, 2),
						   nullptr, 16));
	return out;
}

// the report 0x51 writes for what the drives sent
std::string expected_report(const Board &b, const std::string &maker_model, int drives)
{
	std::string lines;
	int named = 0;
	for (int ch = 0; ch < drives; ch++)
		lines += attr_lines(received(b, "ZTOSTRA_GET_SMARTATTR", ch),
				    received(b, "ZTOSTRA_GET_SMARTTHRS", ch), ch, named);
	return maker_model + "," + std::to_string(named) + "\n" + lines;
}

std::string pad(const std::string &s, std::size_t n, char fill = ' ')
{
	return s + std::string(n - s.size(), fill);
}

// identify words with a 40-character model and a 20-character serial number
json words(const std::string &model, const std::string &serial = std::string(20, ' '))
{
	json w(256, 0);
	for (int k = 0; k < 30; k++) {
		const std::string &t = k < 20 ? model : serial;
		const int c = 2 * (k % 20);
		w[k < 20 ? 27 + k : k - 10] = (static_cast<unsigned char>(t[c]) << 8) |
					      static_cast<unsigned char>(t[c + 1]);
	}
	return w;
}

TEST(SmartReport, OneAndTwoDrives)
{
	const struct {
		const char *preset;
		int drives, count;
		std::string golden; // lines the drives' descriptions give
	} cases[] = {
		{"default", 1, 17,
		 "\n06,00,00,000000000025CA5757003209,000000000000000000000009,009,087,000,087,"
		 "0000000025CA,Power-on Hours Count\n07,00,00,"},
		{"two", 2, 23,
		 "\n45,01,00,00000000000000FD640032CA,0000000000000000000000CA,202,100,000,253,"
		 "000000000000,Data Address Mark Error\n"},
		{"two", 2, 23,
		 "\n60,01,00," + zeros + ",000,000,000,000,000000000000,Vendor specific\n"},
	};
	for (const auto &c : cases) {
		Board b(c.preset);
		b.write(smart_file, std::string(5000, 'x'));
		const RunResult r = b.run({"51", "sdb"});
		EXPECT_EQ(r.out, found);
		EXPECT_EQ(r.status, 0);
		strings reqs;
		for (const char *node : {"sda5", "sdb5"}) // drive by drive, the record zeroed first
			for (const char *req : {"IDENTDATA", "SMARTATTR", "SMARTTHRS"})
				if (reqs.size() < 3U * c.drives)
					reqs.push_back(node + std::string(" ZTOSTRA_GET_") + req);
		EXPECT_EQ(b.requests(), reqs);
		for (const json &line : b.trace("ioctl"))
			EXPECT_EQ(line["before"], std::string(1024, '0'));
		const std::string file = b.read(smart_file);
		EXPECT_EQ(file, expected_report(b, "WesternDigital,WD1600AAJS-22WAA0", c.drives));
		EXPECT_EQ(file.substr(0, file.find('\n')),
			  "WesternDigital,WD1600AAJS-22WAA0," + std::to_string(c.count));
		EXPECT_THAT(file, HasSubstr(c.golden));
		// identify words in the board's byte order, the model text in reading order
		const bytes id = received(b, "ZTOSTRA_GET_IDENTDATA");
		EXPECT_EQ(std::string(id.begin() + 54, id.begin() + 94),
			  pad("WDC WD1600AAJS-22WAA0", 40));
		EXPECT_EQ(id[target_is_ppc() ? 1 : 0], 0x40);
	}
}

TEST(SmartReport, SlotsIdsAndThresholdPairing)
{
	Board b;
	b.drive("sda")["smart"] = json::parse(R"({"attributes": [
		{"id": 9, "flags": 50, "current": 99, "worst": 99, "raw": 12345},
		{"id": 0, "current": 0, "worst": 0}, {"id": 6, "current": 1, "worst": 2, "raw": 3},
		{"id": 202, "flags": 4660, "current": 100, "worst": 90, "raw": 177789161760246,
		 "vendor": 90}, {"id": 173}, {"id": 241}, {"id": 255}, {"id": 13}, {"id": 201}],
		"thresholds": [{"id": 9}, {"id": 0}, {"id": 77, "threshold": 44},
		{"id": 1, "threshold": 200}]})");
	b.save();
	EXPECT_EQ(b.run({"51", "sda"}).out, found);
	const std::string file = b.read(smart_file);
	EXPECT_EQ(file, expected_report(b, "WesternDigital,WD1600AAJS-22WAA0", 1));
	EXPECT_EQ(file.substr(0, file.find("\n05,")),
		  "WesternDigital,WD1600AAJS-22WAA0,6\n01,00,00,000000000030396363003209,"
		  "000000000000000000000009,009,099,000,099,000000003039,Power-on Hours Count\n"
		  "02,00,00," +
			  zeros +
			  ",000,000,000,000,000000000000,Vendor specific\n03,00,00,"
			  "000000000000030201000006,00000000000000000000"
			  "2C4D,006,001,044,002,000000000003,Vendor specific\n04,00,00,"
			  "5AA1B2C3D4E5F65A641234CA,00000000000000000000C801,202,100,200,"
			  "090,A1B2C3D4E5F6,Data Address Mark Error");
}

TEST(SmartReport, MakerAndModelInTheHeader)
{
	const std::string unknown = "hdd maker name - not found.\noutput hdd maker, hdd model.\n";
	const std::string cases[][3] = {
		{"ST3120213A", "space character - not found.\n" + found.substr(25),
		 "Seagate,ST3120213A"},
		{"   Hitachi HDS 7216", found, "Hitachi,HDS 7216"},
		{"TOSHIBA MK1234GSX", "space character - found.\n" + unknown, "unknown,unknown"},
		{"", "stripping data - all space.\nspace character - not found.\n" + unknown,
		 "unknown,unknown"},
		{std::string("XYZ WD1600BB-55GUC0\0 X", 22), found,
		 "WesternDigital,WD1600BB-55GUC0"},
		{pad("SAMSUNG SP0802N  ", 40, '\0'), found, "SAMSUNG,SP0802N  "},
	};
	Board b;
	for (const auto &c : cases) {
		b.drive("sda")["identify"] = {{"words", words(pad(c[0], 40))}};
		b.save();
		EXPECT_EQ(b.run({"51", "sda"}).out, c[1]) << c[0];
		EXPECT_EQ(b.read(smart_file).substr(0, c[2].size() + 4), c[2] + ",17\n");
	}
}

TEST(SmartReport, FailuresLeaveThePreviousFile)
{
	const std::string ioctl_error = "ostratuil_get_smartattr\\(([0-9]+)\\):ioctl\\(\\) error\n";
	const struct {
		const char *preset, *node, *request;
		std::string out; // pattern
		std::size_t requests;
	} cases[] = {
		{"default", "sda5", "open", "/dev/sda5 open error\n", 0},
		{"default", "sda5", "ZTOSTRA_GET_IDENTDATA", ioctl_error, 1},
		{"default", "sda5", "ZTOSTRA_GET_SMARTATTR", ioctl_error, 2},
		{"default", "sda5", "ZTOSTRA_GET_SMARTTHRS", ioctl_error, 3},
		{"two", "sdb5", "open", "/dev/sdb5 open error\n", 3},
		{"two", "sdb5", "ZTOSTRA_GET_SMARTATTR", ioctl_error, 5},
	};
	std::set<std::string> lines; // each request reports its own line
	for (const auto &c : cases) {
		Board b(c.preset);
		b.fault(c.node, c.request, -1, 5);
		b.write(smart_file, "previous\n");
		const RunResult r = b.run({"51", "sda"});
		std::smatch m;
		EXPECT_TRUE(std::regex_match(r.out, m, std::regex(c.out))) << r.out;
		lines.insert(m[1].str());
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(b.read(smart_file), "previous\n");
		EXPECT_EQ(b.requests().size(), c.requests);
		EXPECT_EQ(b.trace().back()["op"],
			  c.request == std::string("open") ? "open" : "close");
	}
	EXPECT_EQ(lines.size(), 4U); // three line numbers and none

	Board b;
	std::filesystem::create_directories(b.dir + "/" + smart_file);
	EXPECT_EQ(
		b.run({"51", "sda"}).out,
		found.substr(0, found.size() - 29) +
			"ostrautil_output_smartattr() : hdd smart information file open failure - "
			"/tmp/ostra_smart.info.\nostrautil_output_smartattr() error\n");
}

TEST(SerialReport, ModelAndSerialPerDriveAndFailures)
{
	const std::string wd = "WDC WD1600AAJS-22WAA0\nWD-WCAS21234567\n";
	const std::string wd_out = "Model=WDC WD1600AAJS-22WAA0, SerialNo=WD-WCAS21234567\n";
	const std::string failed = "ostrautil_get_serial() ostrautil_get_identify failed.\n";
	const struct {
		const char *preset;
		json identify;              // of sda, when given
		const char *node, *request; // a fault, when given
		int result;
		std::string out, file;
	} cases[] = {
		{"default", nullptr, "", "", 0, wd_out, wd},
		{"default",
		 {{"model", ""}, {"serial", ""}},
		 "",
		 "",
		 0,
		 "Model=, SerialNo=\n",
		 "\n\n"},
		{"default",
		 {{"model", "  Hitachi  HDS 7216"}, {"serial", "     12 34  "}},
		 "",
		 "",
		 0,
		 "Model=Hitachi  HDS 7216, SerialNo=12 34\n",
		 "Hitachi  HDS 7216\n12 34\n"},
		{"default",
		 {{"words", words(pad(std::string("WDC WD16\0X", 10), 40), pad("  S\0T", 20))}},
		 "",
		 "",
		 0,
		 "Model=WDC WD16, SerialNo=S\n",
		 "WDC WD16\nS\n"},
		{"default",
		 {{"model", std::string(40, 'M')}, {"serial", std::string(20, 'S')}},
		 "",
		 "",
		 0,
		 "Model=" + std::string(40, 'M') + ", SerialNo=" + std::string(20, 'S') + "\n",
		 std::string(40, 'M') + "\n" + std::string(20, 'S') + "\n"},
		{"two", nullptr, "", "", 0, wd_out + "Model=ST3120213A, SerialNo=3JT1Q8ZK\n",
		 wd + "ST3120213A\n3JT1Q8ZK\n"},
		{"default", nullptr, "sda5", "open", -1, "/dev/sda5 open error\n" + failed, ""},
		{"default", nullptr, "sda5", "HDIO_GET_IDENTITY", -1,
		 "/dev/sda5 ioctl error. ret = -1, errno= 5\n" + failed, ""},
		{"default", nullptr, "sda5", "HDIO_GET_IDENTITY", 1, "Model=, SerialNo=\n" + failed,
		 ""},
		{"two", nullptr, "sdb5", "HDIO_GET_IDENTITY", -1,
		 wd_out + "/dev/sdb5 ioctl error. ret = -1, errno= 5\n" + failed, wd},
	};
	for (const auto &c : cases) {
		Board b(c.preset);
		if (!c.identify.is_null())
			b.drive("sda")["identify"] = c.identify;
		b.save();
		if (*c.request != '\0')
			b.fault(c.node, c.request, c.result, c.result < 0 ? 5 : 0);
		b.write(serial_file, "old\n");
		const RunResult r = b.run({"53", "sda"});
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(b.read(serial_file), c.file);
		EXPECT_THAT(b.requests(), testing::Each(testing::EndsWith("5 HDIO_GET_IDENTITY")));
	}

	Board b; // the report file cannot be created: no drive is read
	std::filesystem::create_directories(b.dir + "/" + serial_file);
	EXPECT_EQ(b.run({"53", "sda"}).out,
		  "ostrautil_output_serial_init() : hdd ssd serial file init open failure - "
		  "/tmp/ostra_serial.info.\nostrautil_get_serial() ostrautil_output_serial_init "
		  "failed.\n");
	EXPECT_TRUE(b.trace().empty());
}

// the dump of the default drive; the lines with texts depend on byte order
std::string identify_golden(const std::string &path)
{
	std::string s = "==== ahci(" + path +
			") identify ====\n"
			"id[000] 0x0040 0x3fff 0x0000 0x0010 0x0000 0x0000 0x003f 0x0000\n";
	s += target_is_ppc() ? "id[008] 0x0000 0x0000 0x2020 0x2020 0x2057 0x442d 0x5743 0x4153\n"
			       "id[016] 0x3231 0x3233 0x3435 0x3637 0x0000 0x0000 0x0000 0x3538\n"
			       "id[024] 0x2e30 0x3144 0x3538 0x5744 0x4320 0x5744 0x3136 0x3030\n"
			       "id[032] 0x4141 0x4a53 0x2d32 0x3257 0x4141 0x3020 0x2020 0x2020\n"
			     : "id[008] 0x0000 0x0000 0x2020 0x2020 0x5720 0x2d44 0x4357 0x5341\n"
			       "id[016] 0x3132 0x3332 0x3534 0x3736 0x0000 0x0000 0x0000 0x3835\n"
			       "id[024] 0x302e 0x4431 0x3835 0x4457 0x2043 0x4457 0x3631 0x3030\n"
			       "id[032] 0x4141 0x534a 0x322d 0x5732 0x4141 0x2030 0x2020 0x2020\n";
	s += "id[040] 0x2020 0x2020 0x2020 0x2020 0x2020 0x2020 0x2020 0x8010\n"
	     "id[048] 0x0000 0x2f00 0x0000 0x0000 0x0000 0x0007 0x3fff 0x0010\n"
	     "id[056] 0x003f 0xfc10 0x00fb 0x0110 0xffff 0x0fff 0x0000 0x0007\n"
	     "id[064] 0x0003 0x0078 0x0078 0x0078 0x0078 0x0000 0x0000 0x0000\n"
	     "id[072] 0x0000 0x0000 0x0000 0x001f 0x0106 0x0000 0x0000 0x0000\n"
	     "id[080] 0x01f0 0x0000 0x346b 0x7401 0x4003 0x3469 0x3401 0x4003\n"
	     "id[088] 0x407f 0x0000 0x0000 0x0000 0x0000 0x0000 0x0000 0x0000\n"
	     "id[096] 0x0000 0x0000 0x0000 0x0000 0x9eb0 0x12a1 0x0000 0x0000\n"
	     "id[104] 0x0000 0x0000 0x4000 0x0000 0x0000 0x0000 0x0000 0x0000\n";
	for (int i = 112; i < 248; i += 8)
		s += fmt("id[%03d]", i) +
		     " 0x0000 0x0000 0x0000 0x0000 0x0000 0x0000 0x0000 0x0000\n";
	return s + "id[248] 0x0000 0x0000 0x0000 0x0000 0x0000 0x0000 0x0000 0x50a5\n";
}

TEST(Identify, DumpsTheWordsOfThePathAsTyped)
{
	Board b;
	for (const char *path : {"/dev/sda", "/dev/sda5"}) {
		const RunResult r = b.run({"identify", path});
		EXPECT_EQ(r.out, identify_golden(path));
		EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 33);
	}
	EXPECT_EQ(b.requests(), (strings{"sda HDIO_GET_IDENTITY", "sda5 HDIO_GET_IDENTITY"}));
	b.fault("sda", "HDIO_GET_IDENTITY", -1, 5);
	for (const auto &[path, out] :
	     {std::pair<const char *, const char *>{"/dev/sdz", "/dev/sdz open error\n"},
	      {"sda", "sda open error\n"},
	      {"/dev/sda", "/dev/sda ioctl error. ret = -1, errno= 5\n"}}) {
		const RunResult r = b.run({"identify", path});
		EXPECT_EQ(r.out, out);
		EXPECT_EQ(r.status, 0);
	}
	EXPECT_EQ(b.trace().back()["op"], "close");
}

// sections of a drive data file
std::map<std::string, bytes> sections(const std::filesystem::path &path)
{
	std::ifstream in(path, std::ios::binary);
	const bytes data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
	std::map<std::string, bytes> s;
	for (std::size_t at = 0, n = 0; at + 8 <= data.size(); at += 8 + n) {
		n = (data[at + 6] << 8) | data[at + 7];
		s[std::string(data.begin() + at, data.begin() + at + 4)] =
			bytes(data.begin() + at + 8, data.begin() + at + 8 + n);
	}
	return s;
}

// a text of raw identify data, the characters of each word swapped, trimmed
std::string raw_text(const bytes &id, int word, int words)
{
	std::string s;
	for (int k = word; k < word + words; k++)
		s += {static_cast<char>(id[2 * k + 1]), static_cast<char>(id[2 * k])};
	s.erase(s.find_last_not_of(' ') + 1);
	return s.erase(0, s.find_first_not_of(' '));
}

// The identify dump of a drive's raw identify data as the block layer hands
// it over: the words in the host's byte order, the serial number (words
// 10-19), firmware (23-26) and model (27-46) in reading order, so that on a
// big-endian host every word shows as the drive numbers it and on a
// little-endian one the text words show with their two characters swapped.
std::string real_dump(const std::string &path, const bytes &id)
{
	std::string s = "==== ahci(" + path + ") identify ====\n";
	for (int k = 0; k < 256; k++) {
		const bool text = (k >= 10 && k < 20) || (k >= 23 && k < 47);
		const unsigned word = id[2 * k] | (id[2 * k + 1] << 8U);
		const unsigned shown =
			text && !target_is_ppc() ? ((word & 0xFFU) << 8U) | (word >> 8U) : word;
		s += (k % 8 == 0 ? fmt("id[%03d]", k) : "") + fmt(" 0x%04x", shown) +
		     (k % 8 == 7 ? "\n" : "");
	}
	return s;
}

TEST(RealDrives, ReportsMatchTheDrivesData)
{
	const std::string dir = real_drives_dir();
	if (dir.empty())
		GTEST_SKIP() << "no real drive data (../shared/drives is absent)";
	const std::map<std::string, std::string> makers = {
		{"SAMSUNG_HD501LJ", "SAMSUNG,HD501LJ"},
		{"SAMSUNG_MMCQE28G8MUP", "SAMSUNG,MMCQE28G8MUP-0VA"},
		{"SAMSUNG_MP0804H", "SAMSUNG,MP0804H"},
		{"ST320410A", "Seagate,ST320410A"},
		{"ST9100821AS", "Seagate,ST9100821AS"},
		{"ST9160821AS", "Seagate,ST9160821AS"},
		{"WDC_WD2500JB", "WesternDigital,WD2500JB-00REA0"},
		{"WDC_WD2500JS", "WesternDigital,WD2500JS-75NCB3"},
		{"WDC_WD5000AAKS", "WesternDigital,WD5000AAKS-00TMA0"}};
	std::vector<std::filesystem::path> files;
	for (const auto &entry : std::filesystem::directory_iterator(dir))
		if (sections(entry.path()).count("IDFY") != 0)
			files.push_back(entry.path());
	std::sort(files.begin(), files.end());
	ASSERT_FALSE(files.empty());
	for (std::size_t i = 0; i < files.size(); i += 2) { // two drives a board
		const std::size_t n = std::min<std::size_t>(2, files.size() - i);
		Board b("two");
		if (n == 1) {
			b.desc()["probe"].erase("sdb");
			b.desc()["drives"].erase("sdb");
		}
		std::string header = "unknown,unknown", lines, out, serials;
		int named = 0;
		for (std::size_t d = 0; d < n; d++) {
			const std::string drive = d == 0 ? "sda" : "sdb";
			const std::string name = files[i + d].filename();
			std::map<std::string, bytes> s = sections(files[i + d]);
			b.drive(drive) = {{"nodes", {drive, drive + "5"}},
					  {"drive_file", files[i + d].string()}};
			for (const auto &[model, resolved] : makers)
				if (d == 0 && name.rfind(model, 0) == 0)
					header = resolved;
			lines += attr_lines(s["SMDT"], s["SMTH"], static_cast<int>(d), named);
			const std::string model = raw_text(s["IDFY"], 27, 20);
			const std::string serial = raw_text(s["IDFY"], 10, 10);
			out += "Model=" + model + ", SerialNo=" + serial + "\n";
			serials += model + "\n" + serial + "\n";
			b.save();
			const RunResult r = b.run({"identify", "/dev/" + drive});
			EXPECT_EQ(r.out, real_dump("/dev/" + drive, s["IDFY"])) << name;
		}
		b.run({"51", "sda"});
		EXPECT_EQ(b.read(smart_file), header + "," + std::to_string(named) + "\n" + lines)
			<< files[i];
		EXPECT_EQ(b.run({"53", "sda"}).out, out);
		EXPECT_EQ(b.read(serial_file), serials);
	}
}

// smartctl -d ata -i -A shows each drive as 0x51 and 0x53 report it
TEST(CrossCheck, SmartctlReadsTheSimulatedDrives)
{
	if (target_is_ppc())
		GTEST_SKIP() << "smartctl is a native program: checked in the native run";
	std::string smartctl;
	for (const char *p : {"/usr/sbin/smartctl", "/usr/bin/smartctl", "/sbin/smartctl"})
		if (std::filesystem::exists(p))
			smartctl = p;
	if (smartctl.empty())
		GTEST_SKIP() << "smartctl is not installed (scripts/install-deps.sh installs it)";
	const std::regex row("^ *([0-9]+) \\S+ +0x[0-9a-f]{4} +([0-9]{3}) +([0-9]{3}) +"
			     "([0-9]{3}) .* ([0-9]+)$");
	const std::regex report("^[0-9]{2},(0[01]),00,[0-9A-F]{24},[0-9A-F]{24},([0-9]{3}),"
				"([0-9]{3}),([0-9]{3}),([0-9]{3}),([0-9A-F]{12}),.*$");
	for (const char *preset : {"default", "two"}) {
		Board b(preset);
		b.run({"51", "sda"});
		b.run({"53", "sda"});
		std::istringstream serials(b.read(serial_file)), lines(b.read(smart_file));
		std::map<std::string, std::string> reported[2];
		std::string line;
		for (std::smatch m; std::getline(lines, line);)
			if (std::regex_match(line, m, report) && m[2] != "000")
				reported[std::stoi(m[1])][std::to_string(std::stoi(m[2]))] =
					m[3].str() + " " + m[5].str() + " " + m[4].str() + " " +
					std::to_string(std::stoull(m[6], nullptr, 16));
		int ch = 0;
		for (std::string model, serial;
		     std::getline(serials, model) && std::getline(serials, serial); ch++) {
			const std::string node = ch == 0 ? "/dev/sda" : "/dev/sdb";
			const RunResult r =
				b.run_program({smartctl, "-d", "ata", "-i", "-A", node});
			std::printf("%s", r.out.c_str());
			EXPECT_THAT(r.out, HasSubstr("\nDevice Model:     " + model + "\n"));
			EXPECT_THAT(r.out, HasSubstr("\nSerial Number:    " + serial + "\n"));
			EXPECT_THAT(r.out, testing::Not(HasSubstr("checksum")));
			std::map<std::string, std::string> shown;
			std::istringstream out(r.out);
			for (std::smatch m; std::getline(out, line);)
				if (std::regex_match(line, m, row))
					shown[m[1]] = m[2].str() + " " + m[3].str() + " " +
						      m[4].str() + " " + m[5].str();
			EXPECT_FALSE(shown.empty());
			EXPECT_EQ(shown, reported[ch]) << preset << " " << node;
		}
		EXPECT_EQ(ch, std::string(preset) == "two" ? 2 : 1);
	}
}

} // namespace
