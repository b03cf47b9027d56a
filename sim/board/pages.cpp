// pages.cpp - identify data and SMART pages of a simulated drive, and the
// sysfs files the kernel shows for it.
#include "pages.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr std::size_t SCSI_MODEL_LEN = 16; // the product field of the SCSI inquiry data
constexpr unsigned char SMART_REVISION = 0x10;

Page hex_page(const json &text)
{
	const std::string s = text.get<std::string>();
	if (s.size() != 1024)
		throw std::runtime_error("a page takes 1024 hex digits");
	Page page{};
	for (std::size_t i = 0; i < page.size(); i++)
		page[i] = static_cast<unsigned char>(std::stoul(s.substr(2 * i, 2), nullptr, 16));
	return page;
}

// A text padded with spaces (or cut) to count words, first character high.
void put_text(IdentifyWords &w, int first, int count, const std::string &text)
{
	std::string t = text.substr(0, 2 * static_cast<std::size_t>(count));
	t.resize(2 * static_cast<std::size_t>(count), ' ');
	for (int k = 0; k < count; k++) {
		const std::size_t at = 2 * static_cast<std::size_t>(k);
		w[first + k] =
			static_cast<std::uint16_t>((static_cast<unsigned char>(t[at]) << 8U) |
						   static_cast<unsigned char>(t[at + 1]));
	}
}

// The identify data of a plausible SATA hard disk (or SSD) with these texts.
IdentifyWords built_identify(const json &drive, const json &id)
{
	IdentifyWords w{};
	const std::uint64_t sectors = drive.value("capacity", std::uint64_t{0});
	const std::uint64_t lba28 = sectors < 0x0FFFFFFFU ? sectors : 0x0FFFFFFFU;
	constexpr std::uint64_t sectors_per_cylinder = std::uint64_t{16} * 63;
	const std::uint64_t cyls =
		sectors / sectors_per_cylinder < 16383 ? sectors / sectors_per_cylinder : 16383;

	w[0] = 0x0040;                           // fixed drive
	w[1] = static_cast<std::uint16_t>(cyls); // legacy geometry
	w[3] = 16;
	w[6] = 63;
	put_text(w, ID_SERIAL, ID_SERIAL_WORDS, id.value("serial", ""));
	put_text(w, ID_FIRMWARE, ID_FIRMWARE_WORDS, id.value("firmware", ""));
	put_text(w, ID_MODEL, ID_MODEL_WORDS, id.value("model", ""));
	w[47] = 0x8010; // 16 sectors per READ/WRITE MULTIPLE
	w[49] = 0x2F00; // LBA, DMA, IORDY
	w[53] = 0x0007;
	w[54] = w[1];
	w[55] = w[3];
	w[56] = w[6];
	w[57] = static_cast<std::uint16_t>(cyls * 16 * 63);
	w[58] = static_cast<std::uint16_t>((cyls * 16 * 63) >> 16U);
	w[ID_MULTIPLE] = 0x0110;
	w[60] = static_cast<std::uint16_t>(lba28);
	w[61] = static_cast<std::uint16_t>(lba28 >> 16U);
	w[63] = 0x0007; // multiword DMA 0-2
	w[64] = 0x0003; // PIO 3-4
	w[65] = w[66] = w[67] = w[68] = 120;
	w[75] = 0x001F; // queue depth 32
	w[76] = 0x0106; // SATA 1.5 and 3.0 Gb/s, NCQ
	w[80] = 0x01F0; // ATA/ATAPI-4 to ATA8-ACS
	w[82] = 0x346B; // SMART, security, power management, write cache, look-ahead, ...
	w[83] = 0x7401; // 48-bit addressing, FLUSH CACHE (EXT)
	w[84] = 0x4003; // SMART error logging and self-test
	w[85] = 0x3469; // enabled: SMART, ...
	w[86] = 0x3401;
	w[87] = 0x4003;
	w[88] = 0x407F; // Ultra DMA 0-6, mode 6 selected
	for (int k = 0; k < 4; k++)
		w[100 + k] = static_cast<std::uint16_t>(sectors >> (16U * k));
	w[106] = 0x4000;         // 512-byte sectors
	w[ID_SECURITY] = 0x0001; // the feature set: no password set, not frozen
	w[ID_ROTATION_RATE] = drive.value("rotational", 1) == 0 ? 1 : 0; // 1: solid state
	// integrity word: signature and a checksum over all 512 bytes
	unsigned sum = 0xA5;
	for (int k = 0; k < 255; k++)
		sum += (w[k] & 0xFFU) + (w[k] >> 8U);
	w[255] = static_cast<std::uint16_t>((((0x100U - (sum & 0xFFU)) & 0xFFU) << 8U) | 0xA5U);
	return w;
}

unsigned char byte_of(const json &e, const char *key, unsigned def = 0)
{
	return static_cast<unsigned char>(e.value(key, def));
}

} // namespace

Sections read_drive_file(const std::string &file, const BoardDir *root)
{
	// one relative to the board is the board's own file; a drive data file
	// is a few pages, never a device, a FIFO or a huge file
	const bool in_board = !file.empty() && file[0] != '/';
	if (in_board && root == nullptr)
		throw std::runtime_error("drive file " + file +
					 ": no board folder yet to find it in");
	const std::string path = in_board ? root->name(file) : file;
	const Fd fd = in_board ? root->open(file, O_RDONLY)
			       : Fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	struct stat st {};
	if (!fd && errno != ENOENT)
		throw std::runtime_error("cannot read drive file " + path + ": " +
					 std::strerror(errno));
	if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 65536)
		throw std::runtime_error("drive file " + path + " is not a file of at most 64 KiB");
	std::string data(static_cast<std::size_t>(st.st_size), '\0');
	if (::pread(fd.get(), data.data(), data.size(), 0) != st.st_size)
		throw std::runtime_error("cannot read drive file " + path);
	Sections sections;
	std::size_t at = 0;
	while (at + 8 <= data.size()) {
		const auto *p = reinterpret_cast<const unsigned char *>(data.data() + at);
		const std::size_t len = (std::size_t{p[4]} << 24U) | (std::size_t{p[5]} << 16U) |
					(std::size_t{p[6]} << 8U) | p[7];
		if (len > data.size() - at - 8)
			throw std::runtime_error("truncated section in " + path);
		sections[data.substr(at, 4)] = data.substr(at + 8, len);
		at += 8 + len;
	}
	return sections;
}

Page section(const Sections &sections, const char *tag)
{
	const auto it = sections.find(tag);
	if (it == sections.end() || it->second.size() != 512)
		throw std::runtime_error(std::string("drive file has no 512-byte ") + tag);
	Page page{};
	std::copy(it->second.begin(), it->second.end(), page.begin());
	return page;
}

IdentifyWords words_of(const Page &raw)
{
	IdentifyWords w{};
	for (std::size_t k = 0; k < w.size(); k++)
		w[k] = static_cast<std::uint16_t>(raw[2 * k] | (raw[2 * k + 1] << 8U));
	return w;
}

std::uint64_t capacity_of(const IdentifyWords &w)
{
	std::uint64_t sectors = 0;
	for (int k = 3; k >= 0; k--)
		sectors = sectors << 16U | w[100 + k];
	return sectors != 0 ? sectors : (w[60] | std::uint64_t{w[61]} << 16U);
}

IdentifyWords build_identify(const json &drive, const json &id)
{
	if (!id.contains("words"))
		return built_identify(drive, id);
	IdentifyWords w{};
	for (std::size_t k = 0; k < w.size(); k++)
		w[k] = id.at("words").at(k).get<std::uint16_t>();
	return w;
}

std::string identify_text(const IdentifyWords &words, int first, int count)
{
	std::string text;
	for (int k = first; k < first + count; k++) {
		text += static_cast<char>(words[k] >> 8U);
		text += static_cast<char>(words[k] & 0xFFU);
	}
	return text;
}

void set_checksum(Page &page)
{
	unsigned sum = 0;
	for (std::size_t i = 0; i + 1 < page.size(); i++)
		sum += page[i];
	page[511] = static_cast<unsigned char>((0x100U - (sum & 0xFFU)) & 0xFFU);
}

Page build_attr(const json &smart)
{
	if (smart.contains("attr_page"))
		return hex_page(smart.at("attr_page"));
	const json attrs = smart.value("attributes", json::array());
	Page page{};
	page[0] = SMART_REVISION;
	for (std::size_t j = 0; j < attrs.size(); j++) {
		const json &a = attrs[j];
		unsigned char *e = &page[SMART_FIRST_ENTRY + SMART_ENTRY_SIZE * j];
		const unsigned flags = a.value("flags", 0U);
		const std::uint64_t raw = a.value("raw", std::uint64_t{0});
		e[0] = byte_of(a, "id");
		e[1] = static_cast<unsigned char>(flags & 0xFFU);
		e[2] = static_cast<unsigned char>(flags >> 8U);
		e[3] = byte_of(a, "current", 100);
		e[4] = byte_of(a, "worst", 100);
		for (unsigned k = 0; k < 6; k++)
			e[5 + k] = static_cast<unsigned char>(raw >> (8U * k));
		e[11] = byte_of(a, "vendor");
	}
	page[362] = 0x82; // off-line data collection completed, automatic off-line on
	page[364] = 0x94; // 4500 s to complete it
	page[365] = 0x11;
	page[367] = 0x7B; // off-line, self-test and error logging capabilities
	page[368] = 0x03; // saves attributes over power cycles
	page[370] = 0x01; // error logging
	page[372] = 2;    // short self-test: 2 minutes
	page[373] = 55;   // extended self-test: 55 minutes
	set_checksum(page);
	return page;
}

Page build_thrs(const json &smart)
{
	if (smart.contains("thrs_page"))
		return hex_page(smart.at("thrs_page"));
	const json entries = smart.contains("thresholds")
				     ? smart.at("thresholds")
				     : smart.value("attributes", json::array());
	Page page{};
	page[0] = SMART_REVISION;
	for (std::size_t j = 0; j < entries.size(); j++) {
		page[SMART_FIRST_ENTRY + SMART_ENTRY_SIZE * j] = byte_of(entries[j], "id");
		page[SMART_FIRST_ENTRY + 1 + SMART_ENTRY_SIZE * j] =
			byte_of(entries[j], "threshold");
	}
	set_checksum(page);
	return page;
}

std::uint32_t rotational(const DriveDesc &drive)
{
	return drive.rotational.value_or(drive.identify[ID_ROTATION_RATE] == 1 ? 0 : 1);
}

std::map<std::string, std::string> sysfs_files(const DriveDesc &drive)
{
	std::map<std::string, std::string> files;
	for (const auto &[rel, content] : drive.sysfs)
		if (content)
			files[rel] = *content;
	if (drive.sysfs.count("queue/rotational") == 0)
		files["queue/rotational"] = drive.identify[ID_ROTATION_RATE] == 1 ? "0\n" : "1\n";
	if (drive.sysfs.count("device/model") == 0) {
		// the kernel shows the inquiry product field with "%.16s\n"
		std::string model = identify_text(drive.identify, ID_MODEL, ID_MODEL_WORDS)
					    .substr(0, SCSI_MODEL_LEN);
		const std::size_t nul = model.find('\0');
		if (nul != std::string::npos)
			model.resize(nul);
		files["device/model"] = model + "\n";
	}
	return files;
}

} // namespace sim
