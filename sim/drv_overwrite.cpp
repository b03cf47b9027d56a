// drv_overwrite.cpp - the driver's overwrite function: settings, total, start
// and progress count; and the bounds of the partition behind a node.
//
// Board description, per drive:
//   partitions.N.start, .sectors   partition N; 5 is the overwrite partition
//   capacity                       sectors of the whole disk
//   overwrite.rate                 sectors per second the function overwrites
//   overwrite.counts               counts that successive GET_OWCOUNT calls
//                                  answer instead (the last one repeats)
//   overwrite.mode, .fixdata, .pranddata, .owsw   settings before any change
// State, per drive, under "ow": the settings set, the total, and from the
// start on the start time, start count and the total the run works on.
//
// Once started, the function overwrites the part of the total that the start
// count leaves (count 50: the second half) at `rate` sectors per second of
// the board's time; the count is the share of the total done, exactly 100 at
// the end, and trcount the sectors overwritten since the start.  Mode 0 or a
// total of 0 finishes at once.  A new start replaces the previous run.
//
// On a real drive (drives.X.host) the sectors are written: sector k of the
// total is sector k modulo partsect of partition 5, in pass k / partsect.
// The last pass writes fixdata (16-bit words, high byte first), the one
// before it the pranddata sequence, and so on alternating.  What is due by
// the board's time is written before the drive answers its next request, at
// most CATCH_UP sectors at a time; progress counts the sectors written (state
// "written"), and a failed write ends the run there (state "failed").
#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace {

using sim::json;

constexpr std::uint64_t NS_PER_S = 1000000000;
constexpr std::uint64_t CATCH_UP = 16384;    // sectors written for one request, at most
constexpr std::uint32_t WRITE_SECTORS = 256; // sectors of one write command

// record offsets: ztostra_ow, its overwrite settings at 8, ztostra_part_info
constexpr std::size_t OW_OP = 0;
constexpr std::size_t OW_MODE = 8;
constexpr std::size_t OW_OWSW = 12;
constexpr std::size_t OW_FIXDATA = 14;
constexpr std::size_t OW_PRANDDATA = 16;
constexpr std::size_t OW_PAD = 20;
constexpr std::size_t OW_TRCOUNT = 24;
constexpr std::size_t OW_PARTSECT = 32;
constexpr std::size_t PART_START = 0;
constexpr std::size_t PART_NR_SECTS = 4;
constexpr std::size_t PART_PARTNO = 8;

// the overwrite state of the drive, made on the first change
json &ow_state(sim::Ctx &ctx)
{
	json &ow = ctx.drive_state()["ow"];
	if (!ow.is_object())
		ow = json::object();
	return ow;
}

const json &ow_view(const json &drive_state)
{
	static const json none = json::object();
	return drive_state.contains("ow") ? drive_state.at("ow") : none;
}

// a setting as the driver holds it: set by a request, else from the board
template <typename T> T setting(const json &ow, const char *key, T board_value)
{
	return ow.contains(key) ? ow.at(key).get<T>() : board_value;
}

std::uint64_t partsect(const sim::DriveDesc &drive)
{
	const auto part = drive.partitions.find(5);
	return part != drive.partitions.end() ? part->second.sectors : 0;
}

// Sectors written at `rate` per second in `ns` nanoseconds, at most `need`.
std::uint64_t sectors_written(std::uint64_t rate, std::uint64_t ns, std::uint64_t need)
{
	const std::uint64_t secs = ns / NS_PER_S;
	const std::uint64_t frac = ns % NS_PER_S;
	if (rate == 0)
		return 0;
	if (secs > need / rate)
		return need;
	const std::uint64_t whole = rate * secs;
	const std::uint64_t part = (rate / NS_PER_S) * frac + (rate % NS_PER_S) * frac / NS_PER_S;
	return part >= need - whole ? need : whole + part;
}

struct Progress {
	bool started;
	std::uint32_t count;
	std::uint64_t trcount;
	std::uint64_t need; // sectors the run has to overwrite
};

Progress progress(const sim::DriveDesc &drive, const json &ow, std::uint64_t now)
{
	Progress p{false, 0, 0, 0};
	if (!ow.contains("start_ns"))
		return p;
	const std::uint64_t total = ow.value("run_total", std::uint64_t{0});
	const std::uint64_t start = ow.value("start_ns", std::uint64_t{0});
	const std::uint64_t c = ow.value("start_count", std::uint64_t{0});
	const std::uint64_t rate = drive.overwrite.rate;
	// the start count's share of the total counts as done
	p.started = true;
	p.need = total - (total / 100 * c + total % 100 * c / 100);
	p.trcount = drive.host ? std::min(ow.value("written", std::uint64_t{0}), p.need)
			       : sectors_written(rate, now > start ? now - start : 0, p.need);
	if (p.trcount >= p.need)
		p.count = 100;
	else if (p.need <= UINT64_MAX / 100)
		p.count = static_cast<std::uint32_t>(c + p.trcount * (100 - c) / p.need);
	else
		p.count = static_cast<std::uint32_t>(c + p.trcount / (p.need / (100 - c) + 1));
	return p;
}

int get_owcount(sim::Ctx &ctx, unsigned char *arg)
{
	const std::vector<std::uint32_t> &counts = ctx.drive_info().overwrite.counts;
	std::uint32_t count = 0;
	if (!counts.empty()) {
		json &ow = ow_state(ctx);
		const std::size_t poll = ow.value("polls", std::size_t{0});
		count = counts.at(poll < counts.size() ? poll : counts.size() - 1);
		ow["polls"] = poll + 1;
	} else {
		count = progress(ctx.drive_info(), ow_view(ctx.drive_state_view()),
				 sim::now_ns(ctx.info, ctx.state))
				.count;
	}
	sim::put<std::uint32_t>(arg, count);
	return 0;
}

int issue_owfunc(sim::Ctx &ctx, unsigned char *arg)
{
	const std::uint32_t count = sim::get<std::uint32_t>(arg);
	if (count > 99)
		return ctx.fail(EINVAL);
	json &ow = ow_state(ctx);
	const std::int32_t mode = setting(ow, "mode", ctx.drive_info().overwrite.mode);
	ow["start_ns"] = sim::now_ns(ctx.info, ctx.state);
	ow["start_count"] = count;
	ow["run_total"] = mode == 0 ? std::uint64_t{0} : ow.value("total", std::uint64_t{0});
	if (ctx.drive_info().host) {
		ow["written"] = 0;
		ow.erase("failed");
	}
	return 0;
}

// One sector of the pattern: fixdata, or the pranddata sequence (xorshift32
// from pranddata and the sector number, 32-bit words high byte first).
void pattern(unsigned char *sector, bool fixed, std::uint16_t fixdata, std::uint32_t pranddata,
	     std::uint64_t lba)
{
	std::uint32_t x = pranddata ^ static_cast<std::uint32_t>(lba * 0x9E3779B9U);
	for (std::size_t i = 0; i < 512; i += 4) {
		x = x != 0 ? x : 0x55AA55AAU;
		x ^= x << 13U;
		x ^= x >> 17U;
		x ^= x << 5U;
		const std::uint32_t v = fixed ? (std::uint32_t{fixdata} << 16U | fixdata) : x;
		for (std::size_t b = 0; b < 4; b++)
			sector[i + b] = static_cast<unsigned char>(v >> (24 - 8 * b));
	}
}

int ow_op(sim::Ctx &ctx, unsigned char *arg)
{
	const sim::DriveDesc &drive = ctx.drive_info();
	const sim::OverwriteDesc &o = drive.overwrite;
	const std::uint32_t op = sim::get<std::uint32_t>(arg + OW_OP);
	if (op == 1) {
		const json &ow = ow_view(ctx.drive_state_view());
		sim::put<std::int32_t>(arg + OW_MODE, setting(ow, "mode", o.mode));
		sim::put<std::uint16_t>(arg + OW_OWSW, setting(ow, "owsw", o.owsw));
		sim::put<std::uint16_t>(arg + OW_FIXDATA, setting(ow, "fixdata", o.fixdata));
		sim::put<std::uint32_t>(arg + OW_PRANDDATA, setting(ow, "pranddata", o.pranddata));
		sim::put<std::uint32_t>(arg + OW_PAD, 0);
		sim::put<std::uint64_t>(
			arg + OW_TRCOUNT,
			progress(drive, ow, sim::now_ns(ctx.info, ctx.state)).trcount);
		sim::put<std::uint64_t>(arg + OW_PARTSECT, partsect(drive));
		return 0;
	}
	if (op == 2) {
		// owsw, trcount and partsect are the driver's own
		const std::int32_t mode = sim::get<std::int32_t>(arg + OW_MODE);
		if (mode < 0 || mode > 3)
			return ctx.fail(EINVAL);
		json &ow = ow_state(ctx);
		ow["mode"] = mode;
		ow["fixdata"] = sim::get<std::uint16_t>(arg + OW_FIXDATA);
		ow["pranddata"] = sim::get<std::uint32_t>(arg + OW_PRANDDATA);
		return 0;
	}
	return ctx.fail(EINVAL);
}

int set_total(sim::Ctx &ctx, unsigned char *arg)
{
	ow_state(ctx)["total"] = sim::get<std::uint64_t>(arg);
	return 0;
}

int clear_total(sim::Ctx &ctx, unsigned char *)
{
	ow_state(ctx)["total"] = 0;
	return 0;
}

// The partition behind the node; on the whole-disk node the whole disk,
// from sector 0, as partition 0.  Sector numbers are the low 32 bits.
int get_part(sim::Ctx &ctx, unsigned char *arg)
{
	const sim::DriveDesc &drive = ctx.drive_info();
	std::uint64_t start = 0;
	std::uint64_t sectors = drive.capacity;
	if (ctx.partition != 0) {
		const auto part = drive.partitions.find(ctx.partition);
		if (part == drive.partitions.end())
			return ctx.fail(ENXIO);
		start = part->second.start;
		sectors = part->second.sectors;
	}
	sim::put<std::uint32_t>(arg + PART_START, static_cast<std::uint32_t>(start));
	sim::put<std::uint32_t>(arg + PART_NR_SECTS, static_cast<std::uint32_t>(sectors));
	sim::put<std::int32_t>(arg + PART_PARTNO, ctx.partition);
	return 0;
}

} // namespace

void sim::overwrite_catch_up(sim::Ctx &ctx, json &trace)
{
	const sim::DriveDesc &drive = ctx.drive_info();
	const json &view = ow_view(ctx.drive_state_view());
	const std::uint64_t now = sim::now_ns(ctx.info, ctx.state);
	const Progress p = progress(drive, view, now);
	if (!p.started || p.trcount >= p.need || view.contains("failed"))
		return;
	json &ow = ow_state(ctx);
	const std::uint64_t parts = partsect(drive);
	if (parts == 0) {
		ow["failed"] = "no overwrite partition";
		return;
	}
	const std::uint64_t start = ow.value("start_ns", std::uint64_t{0});
	const std::uint64_t due = std::min(
		sectors_written(drive.overwrite.rate, now > start ? now - start : 0, p.need),
		p.trcount + CATCH_UP);
	const std::uint64_t total = ow.value("run_total", std::uint64_t{0});
	const std::uint64_t passes = (total + parts - 1) / parts;
	const std::uint64_t first_lba = drive.partitions.at(5).start;
	const auto fixdata = setting(ow, "fixdata", drive.overwrite.fixdata);
	const auto pranddata = setting(ow, "pranddata", drive.overwrite.pranddata);
	std::vector<unsigned char> buf(std::size_t{WRITE_SECTORS} * 512);
	std::uint64_t written = p.trcount;
	while (written < due) {
		const std::uint64_t k = total - p.need + written;
		const std::uint64_t pass = k / parts, first = k % parts;
		const auto n = static_cast<std::uint32_t>(
			std::min({std::uint64_t{WRITE_SECTORS}, parts - first, due - written}));
		const std::uint64_t lba = first_lba + first;
		for (std::uint32_t i = 0; i < n; i++)
			pattern(buf.data() + std::size_t{i} * 512, (passes - 1 - pass) % 2 == 0,
				fixdata, pranddata, lba + i);
		if (const int err = sim::host_write(ctx, trace, lba, buf.data(), n)) {
			ow["failed"] = std::strerror(err);
			break;
		}
		written += n;
	}
	ow["written"] = written;
}

namespace {

void show(const sim::Board &board, const json &state, const std::string &name, std::FILE *out)
{
	const sim::DriveDesc &drive = board.info.drives.at(name);
	const sim::OverwriteDesc &o = drive.overwrite;
	const json &ow = ow_view(sim::drive_state(state, name));
	std::fprintf(out,
		     "  overwrite: mode %d, fixdata 0x%04x, owsw 0x%04x, pranddata 0x%08x, "
		     "partsect %llu, total %llu\n",
		     setting(ow, "mode", o.mode), setting(ow, "fixdata", o.fixdata),
		     setting(ow, "owsw", o.owsw), setting(ow, "pranddata", o.pranddata),
		     static_cast<unsigned long long>(partsect(drive)),
		     static_cast<unsigned long long>(ow.value("total", std::uint64_t{0})));
	const std::uint64_t now = sim::now_ns(board.info, state);
	const Progress p = progress(drive, ow, now);
	if (!p.started)
		std::fprintf(out, "  overwrite: not started");
	else if (ow.contains("failed"))
		std::fprintf(out, "  overwrite: failed after %llu of %llu sectors (%s)",
			     static_cast<unsigned long long>(p.trcount),
			     static_cast<unsigned long long>(p.need),
			     ow.at("failed").get<std::string>().c_str());
	else
		std::fprintf(out, "  overwrite: %s, count %u, trcount %llu of %llu, started at %u",
			     p.count == 100 ? "finished" : "running", p.count,
			     static_cast<unsigned long long>(p.trcount),
			     static_cast<unsigned long long>(p.need), ow.value("start_count", 0U));
	std::fprintf(out, "; %llu sectors/s", static_cast<unsigned long long>(o.rate));
	if (board.info.virtual_clock)
		std::fprintf(out, "; virtual clock at %llu.%03llu s",
			     static_cast<unsigned long long>(now / NS_PER_S),
			     static_cast<unsigned long long>(now % NS_PER_S / 1000000));
	if (!o.counts.empty())
		std::fprintf(out, "; scripted counts, %zu of %zu polled",
			     ow.value("polls", std::size_t{0}), o.counts.size());
	std::fprintf(out, "\n");
}

const sim::Request requests[] = {
	{0x0A0A, "ZTOSTRA_GET_OWCOUNT", 4, get_owcount},
	{0x0A0B, "ZTOSTRA_ISUEE_OWFUNC", 4, issue_owfunc},
	{0x0A0C, "ZTOSTRA_OW_OP", 40, ow_op},
	{0x0A0D, "ZTOSTRA_SET_TOTAL", 8, set_total},
	{0x0A0E, "ZTOSTRA_CLEAR_TOTAL", 0, clear_total},
	{0x0F04, "ZTOSTRA_GET_PART", 12, get_part},
};

[[maybe_unused]] const bool registered = sim::register_requests(requests);
[[maybe_unused]] const bool shown = sim::register_show(show);

} // namespace
