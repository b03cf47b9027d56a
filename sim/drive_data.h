// drive_data.h - what a simulated drive answers about itself: its identify
// data and its SMART attribute and threshold pages, built from the drive's
// entry in board.json.
//
// A drive entry may carry:
//   "drive_file": a drive data file (sections IDFY, SMDT, SMTH) whose pages
//                 are used as they are; an absolute path or one relative to
//                 the board directory
//   "identify":   {"model", "serial", "firmware"} texts as the drive reports
//                 them (padded with spaces to 40, 20 and 8 characters), or
//                 {"words": [256 numbers]} given whole
//   "smart":      {"attributes": [{"id", "flags", "current", "worst", "raw",
//                 "vendor", "threshold"}], "thresholds": [{"id", "threshold"}]},
//                 or {"attr_page", "thrs_page"}: 512 bytes each in hex
//   "capacity":   sectors, reported in the identify data
// "identify" and "smart" take precedence over the file's sections.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "sim.h"

namespace sim {

using IdentifyWords = std::array<std::uint16_t, 256>;
using Page = std::array<unsigned char, 512>;

// identify word numbers of the texts and their lengths in words
constexpr int ID_SERIAL = 10, ID_SERIAL_WORDS = 10;
constexpr int ID_FIRMWARE = 23, ID_FIRMWARE_WORDS = 4;
constexpr int ID_MODEL = 27, ID_MODEL_WORDS = 20;
constexpr int ID_ROTATION_RATE = 217; // 1: non-rotating media
constexpr int ID_MULTIPLE = 59;       // bit 8: the multiple count in the low byte is valid
constexpr int ID_SECURITY = 128;      // bit 0: security feature set; 2: locked; 3: frozen
constexpr unsigned ID_SECURITY_SUPPORTED = 0x01, ID_SECURITY_LOCKED_OR_FROZEN = 0x0C;

// ATA commands and SMART features a drive answers through HDIO_DRIVE_CMD and
// HDIO_DRIVE_TASK, and the status and error registers it answers with
constexpr unsigned char ATA_IDENTIFY = 0xEC;
constexpr unsigned char ATA_SMART = 0xB0;
constexpr unsigned char SMART_READ_DATA = 0xD0;
constexpr unsigned char SMART_READ_THRESHOLDS = 0xD1;
constexpr unsigned char SMART_READ_LOG = 0xD5;
constexpr unsigned char SMART_RETURN_STATUS = 0xDA;
constexpr unsigned char ATA_STATUS_OK = 0x50;
constexpr unsigned char ATA_STATUS_ABORTED = 0x51; // ready, seek complete, error
constexpr unsigned char ATA_ERROR_ABRT = 0x04;

// SMART pages: 30 entries of 12 bytes from byte 2; attribute 173 holds the
// erase counts of a solid-state drive
constexpr int SMART_ENTRIES = 30;
constexpr int SMART_ENTRY_SIZE = 12;
constexpr int SMART_FIRST_ENTRY = 2;
constexpr unsigned char SMART_ID_ERASE_COUNT = 173;

// The entry of attribute id in a SMART page, or null.
const unsigned char *smart_entry(const Page &page, unsigned char id);

// Identify words, texts with their first character in the high byte of each
// word as ATA numbers them.  Throws std::runtime_error on a bad description.
IdentifyWords identify_words(const json &drive);
// The 512 bytes as the drive sends them: words little-endian, so the two
// characters of each text word come swapped.
Page identify_raw(const json &drive);
// As the block layer hands them to a program: numbers in the process's byte
// order, the texts (serial, firmware, model) in reading order.
Page identify_host(const json &drive);
// Text of count words from word first, in reading order.
std::string identify_text(const IdentifyWords &words, int first, int count);

// SMART READ DATA and SMART READ THRESHOLDS pages, as the drive sends them:
// revision 0x0010, 30 entries of 12 bytes from byte 2, checksum in byte 511.
Page smart_attr_page(const json &drive);
Page smart_thrs_page(const json &drive);

// The attribute page as the drive sends it now: the described page with the
// erase cycles of the security erases done since (drive_state "erases")
// added to the average and the maximum erase count of attribute 173.
Page smart_attr_page(const json &drive, const json &drive_state);

// Why the driver's security erase refuses a drive, from its identify words
// 217 and 128, with the request's errno; null: the drive may be erased.  A
// rotating drive or one without the security feature set: EOPNOTSUPP; one
// whose security is locked or frozen: EACCES.
struct EraseRefusal {
	const char *why;
	int err;
};
const EraseRefusal *erase_refusal(unsigned rotation_rate, unsigned security);

// A solid-state drive reports a nominal rotation rate of 1 in identify word
// 217; the kernel and the driver take it as non-rotational.
bool solid_state(const json &drive);

// The files under /sys/block/NAME/ as the kernel shows them: the drive's
// "sysfs" map (null leaves a file out), plus queue/rotational ("0\n" for a
// solid-state drive, "1\n" otherwise) and device/model (the first 16
// characters of the identify model text and a line feed) where the map does
// not name them.  Nothing is derived for a drive whose identify data cannot
// be built.
json sysfs_files(const json &drive);

// Sets byte 511 so that all 512 bytes add up to 0 modulo 256.
void set_checksum(Page &page);

// The board directory of the process, for relative drive_file paths ("" when
// there is none).
std::string board_dir();

} // namespace sim
