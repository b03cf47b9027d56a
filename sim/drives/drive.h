// drive.h - a drive as the SATA host controller sees it: ATA commands in,
// registers (and data) out.  Two kinds answer them: the simulated ATA drive,
// built from the board description and keeping its own state (power mode,
// media, security), and a real device reached by SG_IO.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "ztostra_core.h"

namespace sim {

// The ATA commands (ZT_CMD_*) and what each does (zt_ata_find) are the
// driver core's; the SMART features and registers the simulator reads:
namespace ata {
constexpr unsigned char SMART_READ_DATA = 0xD0, SMART_READ_THRESHOLDS = 0xD1, SMART_READ_LOG = 0xD5,
			SMART_RETURN_STATUS = 0xDA;
// the LBA that SMART commands carry (mid 4F, high C2); a drive whose
// thresholds are exceeded answers RETURN STATUS with F4, 2C
constexpr std::uint64_t SMART_LBA = 0xC24F00, SMART_LBA_EXCEEDED = 0x2CF400;
// status: ready, seek complete; error bit; error: aborted, no such sector,
// uncorrectable
constexpr unsigned char STATUS_OK = 0x50, STATUS_ERR = 0x01, ABRT = 0x04, IDNF = 0x10, UNC = 0x40;
constexpr unsigned char DEVICE_LBA = 0x40;
} // namespace ata

// The flags of a command's row.
inline unsigned ata_flags(unsigned char command)
{
	return zt_ata_find(command)->flags;
}

// Data the host generates rather than holds: the overwrite function's
// patterns, fixdata (16-bit words, high byte first) or the pseudo-random
// sequence from a seed and the sector number.
struct Pattern {
	bool random = false;
	std::uint32_t value = 0; // fixdata or the seed
	bool operator==(const Pattern &o) const
	{
		return random == o.random && value == o.value;
	}
};
inline void fill(const Pattern &pattern, std::uint64_t lba, unsigned char *sector)
{
	zt_fill(pattern.random, pattern.value, lba, sector);
}

// One command: the registers sent and, once answered, the registers the
// drive left (status and error; count and lba where it set them).
struct Ata {
	unsigned char command = 0, features = 0, device = 0;
	std::uint16_t count = 0; // sectors (zt_sectors)
	std::uint64_t lba = 0;
	unsigned timeout_s = 60;
	unsigned char *data = nullptr; // len bytes in (ZT_ATA_IN) or out (ZT_ATA_OUT)
	std::size_t len = 0;
	std::optional<Pattern> pattern; // data out generated, when data is null
	unsigned char status = 0, error = 0;
	std::string note; // what the transport adds for the trace
	std::uint64_t sectors() const
	{
		return zt_sectors(command, count);
	}
};

// Leave to send a command that writes the media or changes the drive's
// security state.  Only the driver's write gate makes one, and the drive's
// side of the tests' stand-in device, whose commands passed their sender's.
class Licence {
	friend class WriteGate;
	friend struct Device;
	Licence() = default;
};

// IDENTIFY DEVICE into raw (words little-endian, as the drive sends them).
inline Ata identify_command(Page &raw)
{
	Ata a;
	a.command = ZT_CMD_IDENTIFY;
	a.count = 1;
	a.data = raw.data();
	a.len = raw.size();
	return a;
}

class Drive {
      public:
	virtual ~Drive() = default;
	// Sends one command: 0, or the errno of one that failed (EIO for an
	// error the drive reported in its registers).  A command that writes
	// the media or changes the security state goes only with a licence.
	int send(Ata &a, const Licence *licence = nullptr)
	{
		if ((ata_flags(a.command) & (ZT_ATA_WRITES | ZT_ATA_SECURITY)) != 0 &&
		    licence == nullptr) {
			a.note = "refused: a writing command without the write gate";
			return EPERM;
		}
		return answer(a);
	}
	// The port's reset (COMRESET): the drive comes back ready and active.
	virtual int reset(std::string &note) = 0;
	// The link's power: lowest for its sleep, full to wake it.
	virtual int link(bool sleep, std::string &note) = 0;
	// The most sectors one command may carry: the kernel's limit of a real
	// device (queue/max_sectors_kb), and the 1024 that Linux gives a 48-bit
	// drive where nothing else says.
	virtual std::uint64_t max_sectors()
	{
		return 1024;
	}
	// Whether a write takes effect when the drive answers (a real device),
	// rather than with the board's next commit, after its trace lines.
	virtual bool writes_at_once() const
	{
		return true;
	}

      protected:
	virtual int answer(Ata &a) = 0;
};

// The stand-in device of the tests: a simulated drive answering commands
// that came to it by SG_IO.
struct Device {
	static const Licence *licence()
	{
		static const Licence l;
		return &l;
	}
};

// What a simulated drive keeps (state.drives.NAME.drive), read and written
// by the drive kind itself; a real drive keeps nothing, its device holds it.
//   power      "active" | "standby" | "sleeping" (absent: active)
//   media      what was written, as extents [first, count, kind, value]:
//              "fixed" (fixdata), "random" (the seed), "data" (the bytes in
//              hex), "uncorrectable"; sectors never written read as zeros
//   erases     security erases done (SMART attribute 173)
//   security   user password, level, frozen, erase prepared
struct Extent {
	enum Kind { Fixed, Random, Data, Uncorrectable };
	std::uint64_t first = 0, count = 0;
	Kind kind = Fixed;
	std::uint32_t value = 0; // fixdata or the seed
	std::string bytes;       // data: count * 512 bytes
	std::uint64_t end() const
	{
		return first + count;
	}
	// the same from sector `from` on, for `n` sectors
	Extent part(std::uint64_t from, std::uint64_t n) const;
};
struct DriveSecurity {
	bool enabled = false;
	std::optional<std::string> password; // 32 bytes in hex
	bool maximum = false;                // the level: maximum, else high
	std::optional<bool> frozen;          // absent: as identify word 128 says
	bool prepared = false;               // ERASE PREPARE was the last command
};
struct SimDriveState {
	enum Power { Active, Standby, Sleeping };
	std::optional<Power> power; // absent: never told, active
	std::vector<Extent> media;
	std::uint64_t erases = 0;
	DriveSecurity security;
	// Throws Bad naming the key.
	static SimDriveState from_json(const json &j);
	// An empty object when the drive keeps nothing.
	json to_json() const;
};

// The simulated drive of a description, keeping its state in `state`.
std::unique_ptr<Drive> simulated_drive(const DriveDesc &desc, SimDriveState &state);
// What the simulated drive keeps, for `ostrasim show`.
void show_simulated(const DriveDesc &desc, const SimDriveState &state, Shown &out);
// The SMART attribute page as the simulated drive sends it now.
Page simulated_attr(const DriveDesc &desc, const SimDriveState &state);

// A real ATA device: a SCSI generic or block node, through ATA PASS-THROUGH
// (16) of the kernel's SCSI/ATA translation.
std::unique_ptr<Drive> sgio_drive(const std::string &dev);
// Whether the kernel knows the device (a SCSI generic or block node).
bool kernel_device(const std::string &dev);
// Partition `number` of the disk behind a device, as the kernel found it.
std::optional<Partition> host_partition(const std::string &dev, int number);

} // namespace sim
