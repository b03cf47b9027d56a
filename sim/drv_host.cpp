// drv_host.cpp - drives that are real ATA devices (board key drives.X.host,
// a SCSI generic or block node).
//
// Each driver request becomes the ATA command(s) a SATA host driver issues,
// sent with SG_IO as ATA PASS-THROUGH (16) through the kernel's SCSI/ATA
// translation.  Every command goes into the request's trace line ("ata":
// command, features, count, lba, device, then the device's status and error).
// Requests that write to the medium are refused unless the board says
// "destructive": true; requests with no ATA equivalent (AES key, link and
// port control, the controller's register tests) fail with EOPNOTSUPP, as
// the driver answers a request it cannot carry out.  Settings the driver
// only keeps (partitions, overwrite settings) are answered by the simulated
// driver, and SG_IO and HDIO_DRIVE_TASKFILE fail as there (EINVAL), so
// that standard tools fall back to HDIO_DRIVE_CMD.  Only the node named by the board is ever
// opened.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "drive_data.h"
#include "sim.h"

namespace sim {

namespace {

// protocols of ATA PASS-THROUGH
constexpr unsigned char PROTO_NONDATA = 3, PROTO_PIO_IN = 4, PROTO_PIO_OUT = 5, PROTO_DMA = 6;
constexpr unsigned char ATA_STATUS_ERR_BIT = 0x01;

struct Ata {
	unsigned char command = 0, features = 0, device = 0;
	std::uint16_t count = 0;
	std::uint64_t lba = 0;
	bool ext = false;
	unsigned timeout_s = 60;
	// answer
	unsigned char status = 0, error = 0;
};

// Word k of identify data as the drive sends it (little-endian)
unsigned word(const unsigned char *id, int k)
{
	const std::size_t at = 2 * static_cast<std::size_t>(k);
	return id[at] | id[at + 1] << 8U;
}

// One command on the device; data: len bytes in (or out, for PIO out and a
// DMA write), or none.  Returns 0, or the errno of a failed command.
int ata_command(const std::string &dev, Ata &a, unsigned char proto, unsigned char *data,
		std::size_t len, json &trace, bool out = false)
{
	unsigned char cdb[16] = {0x85};
	cdb[1] = static_cast<unsigned char>(proto << 1U | (a.ext ? 1U : 0U));
	// ck_cond for a non-data command: the registers always come back;
	// data in (or out), transfer length in the count, counted in blocks
	cdb[2] = proto == PROTO_NONDATA ? 0x20 : out ? 0x06 : 0x0E;
	cdb[3] = 0;
	cdb[4] = a.features;
	cdb[5] = static_cast<unsigned char>(a.ext ? a.count >> 8U : 0);
	cdb[6] = static_cast<unsigned char>(a.count);
	cdb[7] = static_cast<unsigned char>(a.ext ? a.lba >> 24U : 0);
	cdb[8] = static_cast<unsigned char>(a.lba);
	cdb[9] = static_cast<unsigned char>(a.ext ? a.lba >> 32U : 0);
	cdb[10] = static_cast<unsigned char>(a.lba >> 8U);
	cdb[11] = static_cast<unsigned char>(a.ext ? a.lba >> 40U : 0);
	cdb[12] = static_cast<unsigned char>(a.lba >> 16U);
	cdb[13] = static_cast<unsigned char>(a.device | (a.ext ? 0x40U : (a.lba >> 24U) & 0x0FU));
	cdb[14] = a.command;
	unsigned char sense[32] = {};
	sg_io_hdr_t io{};
	io.interface_id = 'S';
	io.cmd_len = sizeof cdb;
	io.cmdp = cdb;
	io.mx_sb_len = sizeof sense;
	io.sbp = sense;
	io.dxfer_direction = len == 0 ? SG_DXFER_NONE : out ? SG_DXFER_TO_DEV : SG_DXFER_FROM_DEV;
	io.dxferp = data;
	io.dxfer_len = static_cast<unsigned>(len);
	io.timeout = a.timeout_s * 1000U;
	int err = 0;
	std::string scsi; // what the SCSI layer said instead of the registers
	const int fd = ::open(dev.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
	if (fd < 0 || ::ioctl(fd, SG_IO, &io) != 0) {
		err = errno;
	} else {
		// the registers: the ATA status return descriptor of descriptor-format
		// sense, or the information fields of fixed-format sense with "ATA
		// pass-through information available" or an aborted command
		const bool fixed = (sense[0] & 0x7FU) == 0x70 && io.sb_len_wr >= 18;
		const unsigned key = (fixed ? sense[2] : sense[1]) & 0x0FU;
		const unsigned char *d = sense + 8;
		if (io.sb_len_wr >= 22 && (sense[0] & 0x7FU) == 0x72 && d[0] == 0x09) {
			a.error = d[3];
			a.count = static_cast<std::uint16_t>(d[5] | (d[4] << 8U));
			a.lba = d[7] | std::uint64_t{d[9]} << 8U | std::uint64_t{d[11]} << 16U;
			a.status = d[13];
		} else if (fixed && ((sense[12] == 0 && sense[13] == 0x1D) || key == 0x0B)) {
			// error, status, device and count in the information field (bytes
			// 3-6), the LBA in bytes 9-11; for a failed command some kernels
			// (Linux 6.1) put the four registers in bytes 8-11 and leave the
			// information field empty: a status of 0 is never a drive's answer
			const bool moved = sense[4] == 0 && sense[9] != 0;
			const unsigned char *r = sense + (moved ? 8 : 3);
			a.error = r[0];
			a.status = r[1];
			a.count = r[3];
			if (!moved) // (else the LBA sent stays in the trace)
				a.lba = sense[9] | std::uint64_t{sense[10]} << 8U |
					std::uint64_t{sense[11]} << 16U;
		} else if (io.status == 0 && io.host_status == 0 && io.driver_status == 0) {
			a.status = 0x50;
		} else {
			err = EIO;
			char why[48];
			std::snprintf(why, sizeof why, "; SCSI status %02x, sense key %x",
				      io.status, key);
			scsi = why;
		}
		// a CHECK CONDITION that is not the registers' report is a failure
		if ((a.status & ATA_STATUS_ERR_BIT) != 0 || io.host_status != 0 ||
		    (io.status != 0 && key != 0 && key != 1))
			err = EIO;
	}
	if (fd >= 0)
		::close(fd);
	char regs[160];
	std::snprintf(regs, sizeof regs,
		      "command %02x features %02x count %04x lba %012llx device %02x: status %02x "
		      "error %02x%s%s",
		      a.command, a.features, a.count, static_cast<unsigned long long>(a.lba),
		      cdb[13], a.status, a.error, fd < 0 || a.status == 0 ? ", " : "",
		      fd < 0 || a.status == 0 ? std::strerror(err) : "");
	std::string line = regs + scsi;
	if (err != 0 && fd >= 0 && io.sb_len_wr > 0) // the sense data, for whoever reads the trace
		line += "; sense " + hex(sense, std::min<std::size_t>(io.sb_len_wr, sizeof sense));
	trace["ata"].push_back(line);
	return err;
}

int read_page(Ctx &ctx, json &trace, unsigned char command, unsigned char features,
	      unsigned char *page, unsigned char lba_low = 0)
{
	Ata a;
	a.command = command;
	a.features = features;
	a.count = 1;
	a.lba = command == ATA_SMART ? 0xC24F00U | lba_low : 0;
	const int err = ata_command(*ctx.drive_info().host, a, PROTO_PIO_IN, page, 512, trace);
	return err != 0 ? ctx.fail(err) : 0;
}

int nondata(Ctx &ctx, json &trace, unsigned char command, Ata *out = nullptr)
{
	Ata a;
	a.command = command;
	const int err = ata_command(*ctx.drive_info().host, a, PROTO_NONDATA, nullptr, 0, trace);
	if (out != nullptr)
		*out = a;
	return err != 0 ? ctx.fail(err) : 0;
}

// identify words in the host's order, the texts as byte strings: as the
// block layer hands them out
int identity(Ctx &ctx, json &trace, unsigned char *arg)
{
	unsigned char raw[512] = {};
	if (read_page(ctx, trace, ATA_IDENTIFY, 0, raw) != 0)
		return -1;
	for (std::size_t k = 0; k < 256; k++) {
		const auto w = static_cast<std::uint16_t>(raw[2 * k] | raw[2 * k + 1] << 8U);
		const auto in = [k](int first, int words) {
			return k >= std::size_t(first) &&
			       k < std::size_t(first) + std::size_t(words);
		};
		const bool text = in(ID_SERIAL, ID_SERIAL_WORDS) ||
				  in(ID_FIRMWARE, ID_FIRMWARE_WORDS) ||
				  in(ID_MODEL, ID_MODEL_WORDS);
		if (text) {
			arg[2 * k] = raw[2 * k + 1];
			arg[2 * k + 1] = raw[2 * k];
		} else {
			put<std::uint16_t>(arg + 2 * k, w);
		}
	}
	return 0;
}

std::uint64_t start_sector(const unsigned char *arg)
{
	return (std::uint64_t{get<std::uint32_t>(arg + 4)} << 24U) + get<std::uint32_t>(arg + 8);
}

int refuse_write(Ctx &ctx, json &trace, const char *what)
{
	const std::string why = std::string(what) + " writes to " + *ctx.drive_info().host +
				": refused (the board was not made --destructive)";
	std::fprintf(stderr, "ostrasim: %s: %s\n", ctx.drive.c_str(), why.c_str());
	trace["refused"] = why;
	return ctx.fail(EPERM);
}

// The sysfs directory of the SCSI device behind dev, a SCSI generic or a
// block node; "" for anything else.
std::string sysfs_device(const std::string &dev)
{
	struct stat st {};
	if (::stat(dev.c_str(), &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)))
		return "";
	char path[64];
	std::snprintf(path, sizeof path, "/sys/dev/%s/%u:%u/device",
		      S_ISCHR(st.st_mode) ? "char" : "block", major(st.st_rdev), minor(st.st_rdev));
	char real[PATH_MAX];
	return ::realpath(path, real) != nullptr ? real : "";
}

// A request carried out by the SCSI host of the controller port the device
// hangs on (/sys/class/scsi_host/hostN/FILE): the link power policy, its
// lowest for the link's sleep and full power to wake it; or (no policy) a
// scan of the device's own channel, target and LUN, which the SATA layer
// carries out as a reset of the port and a new probe of its device.
int scsi_host_write(Ctx &ctx, json &trace, const char *file, const char *policy)
{
	const std::string dev = sysfs_device(*ctx.drive_info().host);
	const std::size_t h = dev.find("/host"), l = dev.rfind('/');
	unsigned host = 0, channel = 0, target = 0, lun = 0;
	if (h == std::string::npos ||
	    std::sscanf(dev.c_str() + l + 1, "%u:%u:%u:%u", &host, &channel, &target, &lun) != 4)
		return ctx.fail(EOPNOTSUPP);
	char path[96], value[48];
	std::snprintf(path, sizeof path, "/sys/class/scsi_host/host%u/%s", host, file);
	if (policy != nullptr)
		std::snprintf(value, sizeof value, "%s", policy);
	else
		std::snprintf(value, sizeof value, "%u %u %u", channel, target, lun);
	int err = 0;
	const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
	if (fd < 0 || ::write(fd, value, std::strlen(value)) < 0)
		err = errno;
	if (fd >= 0)
		::close(fd);
	trace["sysfs"] = std::string(path) + " <- " + value +
			 (err != 0 ? ": " + std::string(std::strerror(err)) : "");
	return err != 0 ? ctx.fail(err) : 0;
}

// The security erase of a solid-state drive through the ATA security feature
// set: a user password, ERASE PREPARE, ERASE UNIT with that password (which
// also clears it).  A partition, a rotating drive, a drive without the
// feature set, or one frozen or locked gets no security command.
int security_erase(Ctx &ctx, json &trace)
{
	if (ctx.partition != 0)
		return ctx.fail(EINVAL);
	unsigned char id[512] = {};
	if (read_page(ctx, trace, ATA_IDENTIFY, 0, id) != 0)
		return -1;
	if (const EraseRefusal *r =
		    erase_refusal(word(id, ID_ROTATION_RATE), word(id, ID_SECURITY))) {
		trace["refused"] = r->why;
		return ctx.fail(r->err);
	}
	// word 0: the user password, high security, normal erase; words 1-16 the password
	unsigned char pw[512] = {'\0', '\0', 'o', 's', 't', 'r', 'a', 's', 'i', 'm'};
	const std::string &dev = *ctx.drive_info().host;
	const auto send = [&](unsigned char command, bool data, unsigned timeout_s) {
		Ata a;
		a.command = command;
		a.count = data ? 1 : 0;
		a.timeout_s = timeout_s;
		return ata_command(dev, a, data ? PROTO_PIO_OUT : PROTO_NONDATA,
				   data ? pw : nullptr, data ? sizeof pw : 0, trace, true);
	};
	// word 89: the erase time in units of 2 minutes (255: longer)
	const unsigned minutes = (word(id, 89) & 0xFFU) == 0 ? 240 : 2 * (word(id, 89) & 0xFFU);
	int err = send(0xF1, true, 60);
	if (err == 0) {
		err = send(0xF3, false, 60);
		if (err == 0)
			err = send(0xF4, true, 60 * (minutes + 2));
		if (err != 0)
			send(0xF6, true, 60); // leave no password behind
	}
	return err != 0 ? ctx.fail(err) : 0;
}

// HDIO_DRIVE_CMD: commands that only read, passed on; others refused
int drive_cmd(Ctx &ctx, json &trace, unsigned char *arg)
{
	const unsigned char command = arg[0], feature = arg[2], count = arg[3];
	const bool smart_read = command == ATA_SMART &&
				(feature == SMART_READ_DATA || feature == SMART_READ_THRESHOLDS ||
				 feature == SMART_READ_LOG || feature == SMART_RETURN_STATUS);
	if (command == ATA_IDENTIFY || command == 0xA1 ||
	    (smart_read && feature != SMART_RETURN_STATUS)) {
		if (count != 1)
			return ctx.fail(EINVAL);
		Ata a;
		a.command = command;
		a.features = feature;
		a.count = 1;
		a.lba = command == ATA_SMART ? 0xC24F00U | arg[1] : 0;
		const int err =
			ata_command(*ctx.drive_info().host, a, PROTO_PIO_IN, arg + 4, 512, trace);
		arg[0] = a.status;
		arg[1] = a.error;
		arg[2] = static_cast<unsigned char>(a.count);
		return err != 0 ? ctx.fail(err) : 0;
	}
	if (count == 0 && (command == 0xE5 || command == 0xE7 || command == 0xE0 ||
			   command == 0xE6 || smart_read)) {
		Ata a;
		a.command = command;
		a.features = feature;
		a.lba = command == ATA_SMART ? 0xC24F00U : 0;
		const int err =
			ata_command(*ctx.drive_info().host, a, PROTO_NONDATA, nullptr, 0, trace);
		arg[0] = a.status;
		arg[1] = a.error;
		arg[2] = static_cast<unsigned char>(a.count);
		return err != 0 ? ctx.fail(err) : 0;
	}
	return ctx.fail(EOPNOTSUPP);
}

} // namespace

int host_request(Ctx &ctx, const Request &req, unsigned char *arg, json &trace)
{
	const std::string name = req.name;
	const bool destructive = ctx.info.destructive;
	if (destructive) // (a board made safe again writes no more)
		overwrite_catch_up(ctx, trace);
	if (name == "ZTOSTRA_GET_IDENTDATA" || name == "HDIO_GET_IDENTITY")
		return identity(ctx, trace, arg);
	if (name == "ZTOSTRA_GET_SMARTATTR")
		return read_page(ctx, trace, ATA_SMART, SMART_READ_DATA, arg);
	if (name == "ZTOSTRA_GET_SMARTTHRS")
		return read_page(ctx, trace, ATA_SMART, SMART_READ_THRESHOLDS, arg);
	if (name == "ZTOSTRA_HDD_FLUSH_CACHE")
		return nondata(ctx, trace, 0xE7);
	if (name == "ZTOSTRA_HDD_STANDBY_IMD")
		return nondata(ctx, trace, 0xE0);
	if (name == "ZTOSTRA_HDD_SLEEP")
		return nondata(ctx, trace, 0xE6);
	if (name == "HDIO_DRIVE_CMD")
		return drive_cmd(ctx, trace, arg);
	if (name == "HDIO_DRIVE_TASK") { // SMART RETURN STATUS only
		if (arg[0] != ATA_SMART || arg[1] != SMART_RETURN_STATUS)
			return ctx.fail(EOPNOTSUPP);
		Ata a;
		a.command = 0xB0;
		a.features = 0xDA;
		a.lba = 0xC24F00U;
		const int err =
			ata_command(*ctx.drive_info().host, a, PROTO_NONDATA, nullptr, 0, trace);
		arg[0] = a.status;
		arg[1] = a.error;
		arg[4] = static_cast<unsigned char>(a.lba >> 8U);
		arg[5] = static_cast<unsigned char>(a.lba >> 16U);
		return err != 0 ? ctx.fail(err) : 0;
	}
	if (name == "ZTOSTRA_HDD_DEF_ROTATIONAL" || name == "HDIO_GET_MULTCOUNT") {
		unsigned char raw[512] = {};
		if (read_page(ctx, trace, ATA_IDENTIFY, 0, raw) != 0)
			return -1;
		const unsigned w217 = word(raw, ID_ROTATION_RATE), w59 = word(raw, ID_MULTIPLE);
		if (name == "HDIO_GET_MULTCOUNT")
			put<long>(arg, (w59 & 0x100U) != 0 ? static_cast<long>(w59 & 0xFFU) : 0);
		else
			put<std::uint32_t>(arg, w217 == 1 ? 0 : 1);
		return 0;
	}
	if (name == "ZTOSTRA_TEST_READ_DMA") { // 16 sectors from the start sector
		if (get<std::uint32_t>(arg) != 16)
			return ctx.fail(EINVAL);
		Ata a;
		a.lba = start_sector(arg);
		a.device = 0x40;
		a.ext = a.lba + 16 > (1ULL << 28U);
		a.command = a.ext ? 0x25 : 0xC8;
		a.count = 16;
		std::vector<unsigned char> buf(std::size_t{16} * 512);
		const int err = ata_command(*ctx.drive_info().host, a, PROTO_DMA, buf.data(),
					    buf.size(), trace);
		return err != 0 ? ctx.fail(err) : 0;
	}
	if (name == "ZTOSTRA_TEST_UNCWRITE" || name == "ZTOSTRA_ISUEE_OWFUNC" ||
	    name == "ZTOSTRA_SSD_SECURITY_ERASE") {
		if (!destructive)
			return refuse_write(ctx, trace, req.name);
		if (name == "ZTOSTRA_TEST_UNCWRITE") { // WRITE UNCORRECTABLE EXT, pseudo
			Ata a;
			a.command = 0x45;
			a.features = 0x55;
			a.count = 1;
			a.lba = start_sector(arg);
			a.ext = true;
			const int err = ata_command(*ctx.drive_info().host, a, PROTO_NONDATA,
						    nullptr, 0, trace);
			return err != 0 ? ctx.fail(err) : 0;
		}
		return name == "ZTOSTRA_ISUEE_OWFUNC" ? req.handle(ctx, arg)
						      : security_erase(ctx, trace);
	}
	if (name == "ZTOSTRA_SLEEP_IN" || name == "ZTOSTRA_SLEEP_OUT")
		return scsi_host_write(ctx, trace, "link_power_management_policy",
				       name == "ZTOSTRA_SLEEP_IN" ? "min_power"
								  : "max_performance");
	if (name == "ZTOSTRA_INIT_PORT")
		return scsi_host_write(ctx, trace, "scan", nullptr);
	if (name == "ZTOSTRA_GET_PART" || name == "ZTOSTRA_GET_OWCOUNT" ||
	    name == "ZTOSTRA_OW_OP" || name == "ZTOSTRA_SET_TOTAL" ||
	    name == "ZTOSTRA_CLEAR_TOTAL" || name == "SG_IO" || name == "HDIO_DRIVE_TASKFILE")
		return req.handle(ctx, arg);
	// AES key, register and interrupt tests
	return ctx.fail(EOPNOTSUPP);
}

int host_write(Ctx &ctx, json &trace, std::uint64_t lba, unsigned char *data, std::uint32_t sectors)
{
	if (sectors == 0 || sectors > 256 || lba + sectors > ctx.drive_info().capacity)
		return EINVAL;
	Ata a;
	a.lba = lba;
	a.device = 0x40;
	a.ext = lba + sectors > (1ULL << 28U);
	a.command = a.ext ? 0x35 : 0xCA; // WRITE DMA (EXT)
	a.count = static_cast<std::uint16_t>(sectors);
	return ata_command(*ctx.drive_info().host, a, PROTO_DMA, data, std::size_t{sectors} * 512,
			   trace, true);
}

std::optional<Partition> host_partition(const std::string &dev, int number)
{
	const std::string sys = sysfs_device(dev) + "/block";
	std::error_code ec;
	for (const auto &disk : std::filesystem::directory_iterator(sys, ec)) {
		const std::string name = disk.path().filename().string();
		const auto value = [&](const char *what) {
			return std::strtoull(read_text(disk.path().string() + "/" + name +
							       std::to_string(number) + "/" + what,
						       false)
						     .c_str(),
					     nullptr, 10);
		};
		const Partition p{value("start"), value("size")};
		if (p.sectors != 0)
			return p;
	}
	return std::nullopt;
}

std::array<unsigned char, 512> host_identify(const std::string &dev)
{
	std::array<unsigned char, 512> raw{};
	json trace;
	Ata a;
	a.command = 0xEC;
	a.count = 1;
	if (const int err = ata_command(dev, a, PROTO_PIO_IN, raw.data(), raw.size(), trace))
		throw Error("cannot identify " + dev + ": " + trace["ata"][0].get<std::string>() +
			    (err != EIO ? "" : " (not an ATA device?)"));
	return raw;
}

} // namespace sim
