// overwrite.cpp - the driver's overwrite function: settings, total, start
// and progress count.
//
// Board description, per drive:
//   partitions.5.start, .sectors   the overwrite partition
//   overwrite.rate                 sectors per second the function overwrites
//   overwrite.counts               counts that successive GET_OWCOUNT calls
//                                  answer instead (the last one repeats)
//   overwrite.mode, .fixdata, .pranddata, .owsw   settings before any change
// State, per drive, under "ow" (OverwriteKept, read and written here): the
// settings set, the total, and from the start on the start time, start
// count, the total the run works on, the sectors written and why the run
// stopped ("failed").
//
// Once started, the function overwrites the part of the total that the start
// count leaves (count 50: the second half) at `rate` sectors per second of
// the board's time; the count is the share of the total done, exactly 100 at
// the end, and trcount the sectors overwritten since the start.  Mode 0 or a
// total of 0 finishes at once.  A new start replaces the previous run.
//
// The run's arithmetic, passes and patterns are the driver core's (zt_ow_*):
// sector k of the total is sector k modulo partsect of partition 5, in pass
// k / partsect; the last pass writes fixdata, the one before it the
// pranddata sequence, and so on alternating.  What is due by the board's
// time is written, by WRITE DMA EXT of as many sectors as the drive takes in
// one command, before the drive answers its next request (for at most half a
// second of the board's time each); progress counts the sectors written, and
// a failed write ends the run there.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "ata.h"
#include "driver.h"

namespace sim {

namespace {

constexpr std::uint64_t NS_PER_S = 1000000000;
constexpr std::uint64_t CATCH_UP_NS = NS_PER_S / 2; // board time one request writes for

constexpr std::size_t OW_OP = offsetof(struct ztostra_ow, op);
constexpr std::size_t OW_DATA = offsetof(struct ztostra_ow, data);

// partition 5 of the board (no sectors: none)
Partition part5(const DriveDesc &drive)
{
	const auto part = drive.partitions.find(5);
	return part != drive.partitions.end() ? part->second : Partition{};
}

// Sectors written at `rate` per second in `ns` nanoseconds, at most `need`.
std::uint64_t sectors_due(std::uint64_t rate, std::uint64_t ns, std::uint64_t need)
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

// the run the state holds, over partition 5 of the board
zt_ow_run run_of(const OverwriteKept &ow, const DriveDesc &drive)
{
	const OverwriteKept::Run run = ow.run.value_or(OverwriteKept::Run{});
	return {run.run_total,
		static_cast<std::uint32_t>(std::min(run.start_count, std::uint64_t{100})),
		part5(drive).start, part5(drive).sectors};
}

struct Progress {
	bool started;
	std::uint32_t count;
	std::uint64_t trcount;
	std::uint64_t need; // sectors the run has to overwrite
	zt_ow_run run;
};

Progress progress(const OverwriteKept &ow, const DriveDesc &drive)
{
	Progress p{false, 0, 0, 0, run_of(ow, drive)};
	if (!ow.run)
		return p;
	p.started = true;
	p.need = zt_ow_need(&p.run);
	p.trcount = std::min(ow.run->written, p.need);
	p.count = zt_ow_count(&p.run, p.trcount);
	return p;
}

// The sectors of the run due by the board's time now.
std::uint64_t due_now(const OverwriteKept &ow, const DriveDesc &drive, const Progress &p,
		      std::uint64_t now)
{
	const std::uint64_t start = ow.run->start_ns;
	return sectors_due(drive.overwrite.rate, now > start ? now - start : 0, p.need);
}

} // namespace

int get_owcount(Ctx &ctx, unsigned char *arg)
{
	const std::vector<std::uint32_t> &counts = ctx.desc().overwrite.counts;
	OverwriteKept &ow = ctx.kept().ow;
	std::uint32_t count = progress(ow, ctx.desc()).count;
	if (!counts.empty()) {
		const std::uint64_t poll = ow.polls.value_or(0);
		count = counts.at(poll < counts.size() ? poll : counts.size() - 1);
		ow.polls = poll + 1;
	}
	put<std::uint32_t>(arg, count);
	return 0;
}

int issue_owfunc(Ctx &ctx, unsigned char *arg)
{
	const std::uint32_t count = get<std::uint32_t>(arg);
	if (count > 99)
		return ctx.refuse(EINVAL, "start count " + std::to_string(count) + " is over 99");
	OverwriteKept &ow = ctx.kept().ow;
	const std::int32_t mode = ow.mode.value_or(ctx.desc().overwrite.mode);
	ow.run = OverwriteKept::Run{ctx.now(), count, mode == 0 ? 0 : ow.total.value_or(0), 0,
				    std::nullopt};
	return 0;
}

int ow_op(Ctx &ctx, unsigned char *arg)
{
	const DriveDesc &drive = ctx.desc();
	const OverwriteDesc &o = drive.overwrite;
	const std::uint32_t op = get<std::uint32_t>(arg + OW_OP);
	unsigned char *data = arg + OW_DATA;
	if (op == ZTOSTRA_OW_GET) {
		const OverwriteKept &ow = ctx.kept().ow;
		struct overwrite s;
		std::memset(&s, 0, sizeof s); // the padding too
		s.owmode = ow.mode.value_or(o.mode);
		s.owsw = o.owsw;
		s.fixdata = ow.fixdata.value_or(o.fixdata);
		s.pranddata = ow.pranddata.value_or(o.pranddata);
		s.trcount = progress(ow, drive).trcount;
		s.partsect = part5(drive).sectors;
		std::memcpy(data, &s, sizeof s);
		return 0;
	}
	if (op == ZTOSTRA_OW_SET) {
		// owsw, trcount and partsect are the driver's own
		struct overwrite s {};
		std::memcpy(&s, data, sizeof s);
		if (s.owmode < OVERWRITE_MODE0 || s.owmode > OVERWRITE_MODE3)
			return ctx.refuse(EINVAL,
					  "mode " + std::to_string(s.owmode) + " is not 0 to 3");
		OverwriteKept &ow = ctx.kept().ow;
		ow.mode = s.owmode;
		ow.fixdata = s.fixdata;
		ow.pranddata = s.pranddata;
		return 0;
	}
	return ctx.refuse(EINVAL, "op " + std::to_string(op) + " is neither get nor set");
}

int set_total(Ctx &ctx, unsigned char *arg)
{
	ctx.kept().ow.total = get<std::uint64_t>(arg);
	return 0;
}

int clear_total(Ctx &ctx, unsigned char *)
{
	ctx.kept().ow.total = 0;
	return 0;
}

void overwrite_catch_up(Ctx &ctx)
{
	const DriveDesc &drive = ctx.desc();
	OverwriteKept &ow = ctx.kept().ow;
	const std::uint64_t begin = ctx.now();
	const Progress p = progress(ow, drive);
	if (!p.started || ow.run->failed)
		return;
	const std::uint64_t due = due_now(ow, drive, p, begin);
	if (p.trcount >= due)
		return;
	if (p.run.p5_sectors == 0) {
		ow.run->failed = "no overwrite partition";
		return;
	}
	const Pattern fixed{false, ow.fixdata.value_or(drive.overwrite.fixdata)};
	const Pattern random{true, ow.pranddata.value_or(drive.overwrite.pranddata)};
	const auto most =
		static_cast<std::uint32_t>(std::min<std::uint64_t>(ctx.max_sectors(), 65536));
	std::uint64_t written = p.trcount;
	zt_ow_write w{};
	while (ctx.now() - begin < CATCH_UP_NS && zt_ow_next(&p.run, written, due, most, &w)) {
		Ata a;
		a.command = ZT_CMD_WRITE_DMA_EXT;
		a.device = ata::DEVICE_LBA;
		a.lba = w.lba;
		a.count = static_cast<std::uint16_t>(w.sectors); // (65536: 0)
		a.pattern = w.random ? random : fixed;
		if (ctx.ata(a) != 0) {
			ow.run->failed = a.note.empty() ? std::strerror(ctx.err) : a.note;
			break;
		}
		written += w.sectors;
	}
	ctx.err = 0;
	ow.run->written = written;
}

bool overwrite_behind(const Board &board, const StateView &view, const std::string &name)
{
	const DriveDesc &drive = board.info.drives.at(name);
	const OverwriteKept &ow = view.state.kept(name).ow;
	const Progress p = progress(ow, drive);
	return p.started && !ow.run->failed &&
	       p.trcount < due_now(ow, drive, p, now_ns(board.info, view.clock_ns));
}

void show_overwrite(const Board &board, const StateView &view, const std::string &name, Shown &out)
{
	const DriveDesc &drive = board.info.drives.at(name);
	const OverwriteDesc &o = drive.overwrite;
	const OverwriteKept &ow = view.state.kept(name).ow;
	const std::uint64_t total = ow.total.value_or(0);
	const std::int32_t mode = ow.mode.value_or(o.mode);
	const std::uint16_t fixdata = ow.fixdata.value_or(o.fixdata);
	const std::uint32_t pranddata = ow.pranddata.value_or(o.pranddata);
	out.line("overwrite");
	out.put("mode", mode, " mode %d", mode);
	out.put("fixdata", fixdata, ", fixdata 0x%04x", fixdata);
	out.put("owsw", o.owsw, ", owsw 0x%04x", o.owsw);
	out.put("pranddata", pranddata, ", pranddata 0x%08x", pranddata);
	out.put("partsect", part5(drive).sectors, ", partsect %llu",
		static_cast<unsigned long long>(part5(drive).sectors));
	out.put("total", total, ", total %llu", static_cast<unsigned long long>(total));
	const std::uint64_t now = now_ns(board.info, view.clock_ns);
	const Progress p = progress(ow, drive);
	const char *run = !p.started       ? "not started"
			  : ow.run->failed ? "failed"
			  : p.count == 100 ? "finished"
					   : "running";
	out.line("overwrite");
	out.put("state", run, " %s", run);
	if (p.started) {
		out.set("trcount", p.trcount);
		out.set("of", p.need);
	}
	if (p.started && ow.run->failed)
		out.put("failed", *ow.run->failed, " after %llu of %llu sectors (%s)",
			static_cast<unsigned long long>(p.trcount),
			static_cast<unsigned long long>(p.need), ow.run->failed->c_str());
	else if (p.started)
		out.put("count", p.count, ", count %u, trcount %llu of %llu, started at %llu",
			p.count, static_cast<unsigned long long>(p.trcount),
			static_cast<unsigned long long>(p.need),
			static_cast<unsigned long long>(ow.run->start_count));
	out.put("rate", o.rate, "; %llu sectors/s", static_cast<unsigned long long>(o.rate));
	if (board.info.virtual_clock)
		out.put("clock_ns", now, "; virtual clock at %llu.%03llu s",
			static_cast<unsigned long long>(now / NS_PER_S),
			static_cast<unsigned long long>(now % NS_PER_S / 1000000));
	if (!o.counts.empty())
		out.put("polls", ow.polls.value_or(0), "; scripted counts, %llu of %zu polled",
			static_cast<unsigned long long>(ow.polls.value_or(0)), o.counts.size());
}

OverwriteKept OverwriteKept::from_json(const json &j)
{
	using namespace checked;
	static const char *const fields[] = {"mode",     "fixdata",     "pranddata", "total",
					     "start_ns", "start_count", "run_total", "polls",
					     "written",  "failed"};
	OverwriteKept ow;
	object_of(j, fields);
	const auto number = [](const json &x) { return whole<std::uint64_t>(x); };
	opt_into(j, "mode", ow.mode, [](const json &x) { return whole<std::int32_t>(x); });
	opt_into(j, "fixdata", ow.fixdata, [](const json &x) { return whole<std::uint16_t>(x); });
	opt_into(j, "pranddata", ow.pranddata,
		 [](const json &x) { return whole<std::uint32_t>(x); });
	opt_into(j, "total", ow.total, number);
	opt_into(j, "polls", ow.polls, number);
	// the run, from its start on
	Run run;
	std::optional<std::uint64_t> start;
	opt_into(j, "start_ns", start, number);
	opt(j, "start_count", [&](const json &x) { run.start_count = number(x); });
	opt(j, "run_total", [&](const json &x) { run.run_total = number(x); });
	opt(j, "written", [&](const json &x) { run.written = number(x); });
	opt_into(j, "failed", run.failed, [](const json &x) { return text(x); });
	if (start) {
		run.start_ns = *start;
		ow.run = run;
	}
	return ow;
}

json OverwriteKept::to_json() const
{
	json j = json::object();
	checked::put_opt(j, "mode", mode);
	checked::put_opt(j, "fixdata", fixdata);
	checked::put_opt(j, "pranddata", pranddata);
	checked::put_opt(j, "total", total);
	checked::put_opt(j, "polls", polls);
	if (run) {
		j["start_ns"] = run->start_ns;
		j["start_count"] = run->start_count;
		j["run_total"] = run->run_total;
		j["written"] = run->written;
		checked::put_opt(j, "failed", run->failed);
	}
	return j;
}

} // namespace sim
