// sgio_standin.cpp - a stand-in SG_IO device for the tests: preloaded after
// the simulator, it answers ATA PASS-THROUGH (16) on BOARD/sgio/NAME with the
// simulated drive NAME of the board OSTRASIM_SGIO_BOARD, whose state it keeps
// under that board's lock.  The registers come back in the sense data as
// Linux 6.1 puts them: descriptor format, or fixed format (the registers of a
// failed command in bytes 8-11), as OSTRASIM_SGIO_SENSE says ("descriptor",
// "fixed"; else the two by turns).  OSTRASIM_SGIO_FAIL="N:WHAT,..." makes the
// Nth SG_IO of the process fail: an errno number before the drive sees it,
// "lost" (the drive carries it out, the answer is lost: EIO), "kill" (the
// process dies once the drive has carried it out), or "slow" (the drive takes
// three seconds).
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <scsi/sg.h>
#include <unistd.h>

#include "drive.h"

namespace {

template <typename F> F real(const char *name)
{
	void *sym = dlsym(RTLD_NEXT, name);
	F f = nullptr;
	std::memcpy(&f, &sym, sizeof f);
	return f;
}

std::map<int, std::string> &drives()
{
	static auto *open = new std::map<int, std::string>; // still there for exit handlers
	return *open;
}

// the drive a path names, or ""
std::string drive_of(const char *path)
{
	const char *board = std::getenv("OSTRASIM_SGIO_BOARD");
	if (board == nullptr || path == nullptr)
		return "";
	const std::string prefix = std::string(board) + "/sgio/";
	return std::strncmp(path, prefix.c_str(), prefix.size()) == 0 ? path + prefix.size() : "";
}

// what OSTRASIM_SGIO_FAIL asks of the nth call
std::string failure(int n)
{
	const char *asked = std::getenv("OSTRASIM_SGIO_FAIL");
	const std::string key = std::to_string(n) + ":";
	for (std::string s = asked != nullptr ? asked : ""; !s.empty();) {
		const std::string item = s.substr(0, s.find(','));
		s.erase(0, item.size() + 1);
		if (item.compare(0, key.size(), key) == 0)
			return item.substr(key.size());
	}
	return "";
}

void put_sense(sg_io_hdr_t *io, sim::Ata a, bool ext, bool failed, bool fixed)
{
	if (!ext) // 28-bit: LBA bits 24-27 in the device register
		a.device = static_cast<unsigned char>(a.device | ((a.lba >> 24U) & 0x0FU));
	unsigned char s[32] = {};
	const unsigned char key = failed ? 0x0B : 0x01; // aborted command; recovered error
	if (fixed) {
		s[0] = 0x70;
		s[2] = key;
		s[7] = 10;
		const unsigned char regs[4] = {a.error, a.status, a.device,
					       static_cast<unsigned char>(a.count)};
		// a failed command's registers in bytes 8-11, the information field empty
		std::memcpy(failed ? s + 8 : s + 3, regs, 4);
		if (!failed) {
			s[9] = static_cast<unsigned char>(a.lba);
			s[10] = static_cast<unsigned char>(a.lba >> 8U);
			s[11] = static_cast<unsigned char>(a.lba >> 16U);
			s[13] = 0x1D; // ATA pass-through information available
		}
	} else {
		const unsigned char d[22] = {0x72,
					     key,
					     0,
					     static_cast<unsigned char>(failed ? 0 : 0x1D),
					     0,
					     0,
					     0,
					     14,
					     0x09,
					     0x0C,
					     static_cast<unsigned char>(ext ? 1 : 0),
					     a.error,
					     static_cast<unsigned char>(a.count >> 8U),
					     static_cast<unsigned char>(a.count),
					     static_cast<unsigned char>(a.lba >> 24U),
					     static_cast<unsigned char>(a.lba),
					     static_cast<unsigned char>(a.lba >> 32U),
					     static_cast<unsigned char>(a.lba >> 8U),
					     static_cast<unsigned char>(a.lba >> 40U),
					     static_cast<unsigned char>(a.lba >> 16U),
					     a.device,
					     a.status};
		std::memcpy(s, d, sizeof d);
	}
	io->status = 0x02; // CHECK CONDITION
	io->masked_status = 0x01;
	io->driver_status = 0x08; // sense data
	io->sb_len_wr =
		static_cast<unsigned char>(std::min<unsigned>(io->mx_sb_len, fixed ? 18 : 22));
	std::memcpy(io->sbp, s, io->sb_len_wr);
}

int pass_through(const std::string &name, sg_io_hdr_t *io)
{
	static int calls = 0;
	const std::string fail = failure(++calls);
	if (fail == "slow")
		::sleep(3);
	if (!fail.empty() && fail != "lost" && fail != "kill" && fail != "slow") {
		errno = std::atoi(fail.c_str());
		return -1;
	}
	const unsigned char *c = io->cmdp;
	if (io->interface_id != 'S' || io->cmd_len != 16 || c[0] != 0x85) {
		errno = EINVAL;
		return -1;
	}
	sim::Ata a;
	const bool ext = (c[1] & 1U) != 0;
	a.features = c[4];
	a.count = static_cast<std::uint16_t>(c[6] | (ext ? c[5] << 8U : 0U));
	a.lba = c[8] | std::uint64_t{c[10]} << 8U | std::uint64_t{c[12]} << 16U |
		(ext ? std::uint64_t{c[7]} << 24U | std::uint64_t{c[9]} << 32U |
				 std::uint64_t{c[11]} << 40U
		     : std::uint64_t{c[13] & 0x0FU} << 24U);
	a.device = static_cast<unsigned char>(c[13] & 0xF0U);
	a.command = c[14];
	a.data = static_cast<unsigned char *>(io->dxferp);
	a.len = io->dxfer_len;
	int err = 0;
	try {
		static const sim::Board board = sim::load_board(
			std::make_shared<const sim::BoardDir>(std::getenv("OSTRASIM_SGIO_BOARD")),
			[](const std::string &) { return std::string(); });
		// the drive's own part of the state, the rest as it was
		struct DrivePart final : sim::StateParts {
			std::string name;
			sim::json rest;
			sim::SimDriveState drive;
			void read(const sim::json &parts) override
			{
				rest = parts;
				const sim::json::json_pointer p("/drives/" + name + "/drive");
				if (rest.contains(p))
					drive = sim::SimDriveState::from_json(rest.at(p));
			}
			sim::json write() const override
			{
				sim::json out = rest;
				sim::json &kept = out["drives"][name];
				kept["drive"] = drive.to_json();
				if (kept["drive"].empty())
					kept.erase("drive");
				if (kept.empty())
					out["drives"].erase(name);
				if (out["drives"].empty())
					out.erase("drives");
				return out;
			}
		} part;
		part.name = name;
		sim::Txn txn(board, &part);
		err = sim::simulated_drive(board.info.drives.at(name), part.drive)
			      ->send(a, sim::Device::licence());
		txn.commit();
	} catch (const std::exception &e) {
		std::fprintf(stderr, "sgio stand-in: %s\n", e.what());
		errno = EIO;
		return -1;
	}
	if (fail == "kill")
		std::raise(SIGKILL);
	if (fail == "lost") {
		errno = EIO;
		return -1;
	}
	io->status = io->masked_status = io->host_status = io->driver_status = 0;
	io->sb_len_wr = 0;
	io->resid = 0;
	if (err == ETIMEDOUT) {
		io->host_status = 0x03; // the command timed out
	} else if (err != 0 || (c[2] & 0x20U) != 0) {
		const char *sense = std::getenv("OSTRASIM_SGIO_SENSE");
		static bool turn = false;
		turn = !turn;
		put_sense(io, a, ext, err != 0,
			  sense != nullptr ? std::strcmp(sense, "fixed") == 0 : turn);
	}
	return 0;
}

} // namespace

#pragma GCC visibility push(default)
extern "C" {

int open(const char *path, int flags, ...)
{
	static auto fn = real<int (*)(const char *, int, mode_t)>("open");
	va_list ap;
	va_start(ap, flags);
	const auto mode = static_cast<mode_t>((flags & O_CREAT) != 0 ? va_arg(ap, int) : 0);
	va_end(ap);
	const std::string name = drive_of(path);
	if (name.empty())
		return fn(path, flags, mode);
	const int fd = fn("/dev/null", O_RDWR | O_CLOEXEC, 0);
	if (fd >= 0)
		drives()[fd] = name;
	return fd;
}

int ioctl(int fd, unsigned long request, ...)
{
	static auto fn = real<int (*)(int, unsigned long, void *)>("ioctl");
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	const auto it = drives().find(fd);
	if (it == drives().end())
		return fn(fd, request, arg);
	if (request != SG_IO) {
		errno = ENOTTY;
		return -1;
	}
	return pass_through(it->second, static_cast<sg_io_hdr_t *>(arg));
}

int close(int fd)
{
	static auto fn = real<int (*)(int)>("close");
	drives().erase(fd);
	return fn(fd);
}

} // extern "C"
#pragma GCC visibility pop
