// driver.cpp - the driver model: each request through the controller's
// checks to its handler, its ATA commands to the drive, everything into the
// request's trace line; and the faults a board injects.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <tuple>
#include <utility>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver.h"

namespace sim {

namespace {

const char *link_of(const State &state)
{
	return state.link_is_up() ? "up" : "asleep";
}

std::string part_text(const std::optional<Partition> &p5)
{
	return p5 ? "partition 5 at " + std::to_string(p5->start) + " (" +
			       std::to_string(p5->sectors) + " sectors)"
		  : "no partition 5";
}

// What identifies a real drive: model, serial, capacity and partition 5.
std::string identity(const IdentifyWords &w, std::uint64_t capacity,
		     const std::optional<Partition> &p5)
{
	const auto text = [&](int first, int words) {
		std::string t;
		for (const char c : identify_text(w, first, words))
			t += c >= 0x20 && c < 0x7F ? std::string(1, c)
						   : node_name(std::string(1, c));
		t.erase(0, t.find_first_not_of(' '));
		return t.substr(0, t.find_last_not_of(' ') + 1);
	};
	return "\"" + text(ID_MODEL, ID_MODEL_WORDS) + "\" serial \"" +
	       text(ID_SERIAL, ID_SERIAL_WORDS) + "\", " + std::to_string(capacity) + " sectors, " +
	       part_text(p5);
}

std::optional<Partition> recorded_part5(const DriveDesc &d)
{
	const auto p = d.partitions.find(5);
	return p != d.partitions.end() ? std::optional<Partition>(p->second) : std::nullopt;
}

// Partition 5 of a real drive as the kernel reports it now; the board's for
// a simulated drive, or a device the kernel does not know (a stand-in).
std::optional<Partition> part5_now(const DriveDesc &d)
{
	return d.host && kernel_device(*d.host) ? host_partition(*d.host, 5) : recorded_part5(d);
}

bool same(const std::optional<Partition> &x, const std::optional<Partition> &y)
{
	return x.has_value() == y.has_value() &&
	       (!x || (x->start == y->start && x->sectors == y->sectors));
}

// "" when the device behind a real drive is the disk the board was made for;
// else a line naming both
std::string binding(const DriveDesc &d, json &line, bool &answered)
{
	Page raw{};
	Ata a = identify_command(raw);
	const int err = sgio_drive(*d.host)->send(a);
	answered = err == 0;
	if (err != 0) {
		line["bound"] = *d.host + ": no answer to IDENTIFY DEVICE: " +
				(a.note.empty() ? std::strerror(err) : a.note);
		return "";
	}
	const IdentifyWords w = words_of(raw);
	const std::string device = identity(w, capacity_of(w), part5_now(d));
	const std::string board = identity(d.identify, capacity_of(d.identify), recorded_part5(d));
	line["bound"] = *d.host + ": " + device;
	return device == board ? ""
			       : *d.host + " is " + device + "; the board was made for " + board;
}

// "command 45 features 55 count 0001 lba 0000000003e8 device 40"
std::string registers(const Ata &a)
{
	char text[96];
	std::snprintf(text, sizeof text,
		      "command %02x features %02x count %04x lba %012llx device %02x", a.command,
		      a.features, a.count, static_cast<unsigned long long>(a.lba), a.device);
	return text;
}

// what the simulator said on stderr of the request it is carrying out, so
// that a failure with one cause makes one line
thread_local std::string said;

// A run killed in a long command left the drive marked busy: it is not (no
// process holds its mark), and the password that command may have left set
// is to be cleared.
void settle(const Board &board, const std::string &drive, DriveKept &kept)
{
	if (kept.busy && !BusyMark::held(board, drive)) {
		kept.password = "may be set: the run of " +
				(kept.busy->command.empty() ? "a command" : kept.busy->command) +
				" stopped";
		kept.busy.reset();
	}
}

// The controller's checks, the overwrite's due writes, then the handler.
int carry_out(Ctx &ctx, const Request &req, unsigned char *arg)
{
	if ((req.touches & ZT_CONTROLLER) == 0) {
		const DriveKept &kept = std::as_const(ctx.state).kept(ctx.drive);
		if (kept.unbound) {
			ctx.line["refused"] = *kept.unbound;
			return ctx.fail(EIO);
		}
		if (kept.busy) {
			ctx.line["refused"] = "the drive is busy with " + kept.busy->command;
			return ctx.fail(EBUSY);
		}
		if (!ctx.state.link_is_up())
			return ctx.refuse(EIO, "the link is asleep: sleep-out wakes it, then a "
					       "port reset readies the drive");
		if (kept.port_now() == DriveKept::Offline)
			return ctx.refuse(EIO, "the port went offline with the link: a port reset "
					       "readies it");
		if (kept.port_now() == DriveKept::Asleep)
			return ctx.refuse(EIO, "the drive was sent to sleep: only a port reset "
					       "reaches it");
		if ((req.touches & ZT_WRITES) != 0) {
			const std::string why = ctx.write_refusal();
			if (!why.empty()) {
				ctx.line["refused"] = why;
				return ctx.fail(EPERM);
			}
		}
		overwrite_catch_up(ctx);
	}
	return req.handle(ctx, arg);
}

// Clears the password a security erase may have left set on a drive, before
// anything else runs on the board; it stays named until it is cleared.
void clear_password(const Board &board, StateTxn &txn, const std::string &drive)
{
	json line = {{"op", "clear"}, {"node", drive}};
	Ctx ctx(board, txn, line, drive, drive, 0);
	Page id{};
	Ata a = identify_command(id);
	int r = ctx.ata(a);
	if (r == 0 && (words_of(id)[ID_SECURITY] & 0x02U) != 0)
		r = security_command(ctx, ZT_CMD_SECURITY_DISABLE_PASSWORD);
	line["result"] = r;
	line["errno"] = r < 0 ? ctx.err : 0;
	if (r == 0)
		ctx.kept().password.reset();
	append_trace(line);
}

} // namespace

class WriteGate {
      public:
	// The one gate of every command that writes the media or changes the
	// drive's security state: the board must allow writes now, the device
	// be the disk the board was made for, and a command that writes the
	// medium write only inside partition 5 as the kernel reports it now (the
	// security erase, of the whole disk, the one exception): the driver
	// core's zt_command_allowed.  A write that takes effect at once goes to
	// the drive only once the trace holds its record.
	static int send(Ctx &ctx, Ata &a)
	{
		std::string why = ctx.write_refusal();
		if (why.empty())
			why = outside(ctx, a);
		if (!why.empty()) {
			a.note = "refused: " + why;
			ctx.line["refused"] = why;
			return EPERM;
		}
		if ((ata_flags(a.command) & ZT_ATA_WRITES) != 0 && ctx.dev().writes_at_once() &&
		    !recorded(ctx, a))
			return EIO;
		static const Licence licence;
		return ctx.dev().send(a, &licence);
	}

      private:
	static std::string outside(Ctx &ctx, const Ata &a)
	{
		if (!zt_bounded(a.command))
			return "";
		if (!ctx.part5_read_) {
			ctx.part5_ = part5_now(ctx.desc());
			ctx.part5_read_ = true;
		}
		const std::optional<Partition> &p = ctx.part5_;
		const std::optional<Partition> board = recorded_part5(ctx.desc());
		if (!same(p, board))
			return "partition 5 is not the one the board was made with: " +
			       part_text(p) + " now, " + part_text(board) + " then";
		if (!p)
			return "the drive has no partition 5";
		if (!zt_command_allowed(a.command, a.lba, a.count, p->start, p->sectors))
			return "sectors " + std::to_string(a.lba) + "-" +
			       std::to_string(a.lba + (a.sectors() - 1)) +
			       " lie outside partition 5 (" + std::to_string(p->start) + "-" +
			       std::to_string(p->start + (p->sectors - 1)) + ")";
		return "";
	}
	// the command's record committed to the trace, or its refusal said
	static bool recorded(Ctx &ctx, Ata &a)
	{
		try {
			ctx.txn.record(
				{{"op", "write"}, {"node", ctx.node}, {"command", registers(a)}});
			return true;
		} catch (const Error &e) {
			said = e.what();
			a.note = "refused: " + said;
			const std::uint64_t last = a.lba + (a.sectors() - 1);
			std::fprintf(stderr, "ostrasim: %s: %s: %s of sectors %llu-%llu refused\n",
				     e.what(), ctx.node.c_str(), zt_ata_find(a.command)->name,
				     static_cast<unsigned long long>(a.lba),
				     static_cast<unsigned long long>(last));
			return false;
		}
	}
};

std::string Ctx::write_refusal()
{
	if (!destructive_) {
		destructive_ = false;
		try {
			const json now = json::parse(board.root->read("board.json"));
			destructive_ = now.value("destructive", json(false)) == json(true);
		} catch (const std::exception &) {
			// unreadable now: no writes
		}
	}
	if (!*destructive_)
		return "the board does not allow writes (board.json: \"destructive\" is not true)";
	return std::as_const(state).kept(drive).unbound
		       ? "the device is not the disk the board was made for"
		       : "";
}

Drive &Ctx::dev()
{
	if (!drive_)
		drive_ = desc().host ? sgio_drive(*desc().host)
				     : simulated_drive(desc(), state.kept(drive).drive);
	return *drive_;
}

int Ctx::ata(Ata &a)
{
	const int e = (ata_flags(a.command) & (ZT_ATA_WRITES | ZT_ATA_SECURITY)) != 0
			      ? WriteGate::send(*this, a)
			      : dev().send(a);
	if (e == 0 && a.command == ZT_CMD_SLEEP)
		kept().port = DriveKept::Asleep; // only a port reset reaches it now
	char head[64], tail[64], lba[20];
	std::snprintf(head, sizeof head, "command %02x features %02x count %04x lba ", a.command,
		      a.features, a.count);
	std::snprintf(tail, sizeof tail, " device %02x: status %02x error %02x", a.device, a.status,
		      a.error);
	std::snprintf(lba, sizeof lba, "%012llx", static_cast<unsigned long long>(a.lba));
	std::string rest = tail;
	if (e != 0 && a.status == 0)
		rest += std::string(", ") + std::strerror(e);
	if (!a.note.empty())
		rest += "; " + a.note;
	// a run of commands, each on the sectors after the last, shows as its
	// first and a count
	json &list = line["ata"];
	const std::string key = head + rest;
	if (e == 0 && !list.empty() && key == last_ && a.lba == next_lba_) {
		run_++;
		std::snprintf(lba, sizeof lba, "%012llx",
			      static_cast<unsigned long long>(a.lba + a.sectors() - 1));
		list.back() =
			first_ + " (" + std::to_string(run_) + " commands through lba " + lba + ")";
	} else {
		first_ = head + std::string(lba) + rest;
		list.push_back(first_);
		run_ = 1;
	}
	last_ = e == 0 ? key : "";
	next_lba_ = a.lba + a.sectors();
	return e != 0 ? fail(e) : 0;
}

int Ctx::port(bool reset, bool sleep)
{
	std::string note;
	const int e = reset ? dev().reset(note) : dev().link(sleep, note);
	if (!note.empty())
		line["port"] = note;
	return e != 0 ? fail(e) : 0;
}

Board load(const std::string &dir)
{
	return load_board(std::make_shared<const BoardDir>(dir), request_refusal);
}

Board load(const Root &root)
{
	return load_board(root, request_refusal);
}

Board load(const json &desc, const std::string &dir, const Root &root)
{
	return board_of(desc, dir, root, request_refusal);
}

std::shared_ptr<const Board> LiveBoard::first(const std::string &dir)
{
	try {
		return std::make_shared<const Board>(load(dir));
	} catch (const std::exception &e) {
		auto b = std::make_shared<Board>();
		b->dir = dir;
		b->error = e.what();
		return b;
	}
}

std::shared_ptr<const Board> LiveBoard::get() const
{
	const std::lock_guard<std::mutex> hold(mutex_);
	return board_;
}

void LiveBoard::reload(const std::function<void(const Board &)> &check)
{
	const std::shared_ptr<const Board> now = get();
	std::shared_ptr<const Board> fresh;
	try {
		auto b = std::make_shared<Board>(now->root ? load(now->root) : load(now->dir));
		if (check)
			check(*b);
		fresh = std::move(b);
	} catch (const std::exception &e) {
		if (now->error.empty()) {
			std::fprintf(stderr, "ostrasim: %s (kept the previous description)\n",
				     e.what());
			with_trace(*now, [&] {
				append_trace({{"op", "reload"}, {"error", e.what()}});
			});
			return;
		}
		auto b = std::make_shared<Board>(*now);
		b->error = e.what();
		fresh = std::move(b);
	}
	const std::lock_guard<std::mutex> hold(mutex_);
	board_ = std::move(fresh);
}

LiveBoard *current_board()
{
	// never destroyed, so that the exit handlers of the preloaded library
	// still find it
	static LiveBoard *const board = []() -> LiveBoard * {
		const char *dir = std::getenv("OSTRASIM_BOARD");
		if (dir == nullptr || *dir == '\0')
			return nullptr;
		return new LiveBoard(LiveBoard::first(dir));
	}();
	return board;
}

int probe(const Board &board, const std::string &name)
{
	if (!board.info.has_probe)
		return 127 << 8; // the shell finds no script
	const Fd fd = board.root->open("probe.log", O_WRONLY | O_APPEND | O_CREAT);
	const std::string line = name + "\n";
	if (::write(fd.get(), line.data(), line.size()) != ssize_t(line.size()))
		throw Error("cannot write " + board.root->name("probe.log") + ": " +
			    std::strerror(errno));
	const auto it = board.info.probe.find(name);
	const int answer = it != board.info.probe.end() ? it->second : 0;
	return answer < 0 ? SIGKILL : answer << 8;
}

int driver_open(const Board &board, const std::string &node, int &err, json &line)
{
	int result = 0;
	err = 0;
	with_state(board, [&](State &state) {
		if (const auto id = injected_fault(board, state, node, "open", result, err))
			line["injected"] = *id;
	});
	return result;
}

void driver_bind(const Board &board, const std::string &node, json &line)
{
	std::string drive;
	int partition = 0;
	if (!split_node(node, drive, partition) || board.info.drives.count(drive) == 0 ||
	    !board.info.drives.at(drive).host)
		return;
	with_state(board, [&](State &state) {
		// no command goes to a drive behind a sleeping link or port, or busy
		DriveKept &k = state.kept(drive);
		settle(board, drive, k);
		if (!state.link_is_up() || k.port_now() != DriveKept::Ready || k.busy)
			return;
		bool answered = false;
		const std::string why = binding(board.info.drives.at(drive), line, answered);
		if (!answered) // a drive that does not answer is no other disk
			return;
		if (why.empty()) {
			k.unbound.reset();
			return;
		}
		if (k.unbound != why)
			std::fprintf(stderr,
				     "ostrasim: %s: %s; its requests fail until it is again "
				     "(ostrasim init --force makes the board anew)\n",
				     drive.c_str(), why.c_str());
		k.unbound = why;
	});
}

int driver_ioctl(const Board &board, const std::string &node, unsigned long code, void *arg,
		 int &err)
{
	int result = 0;
	err = 0;
	said.clear();
	try {
		StateTxn txn(board);
		auto *bytes = static_cast<unsigned char *>(arg);
		const Request *req = find_request(code);
		json line = {{"op", "ioctl"}, {"node", node}, {"code", code}};
		std::string drive;
		int partition = 0;
		line["request"] = req != nullptr ? req->name : "unknown";
		for (const auto &[name, d] : board.info.drives) {
			DriveKept &k = txn.state.kept(name);
			settle(board, name, k);
			if (k.password && !k.busy)
				clear_password(board, txn, name);
		}
		if (req == nullptr || !split_node(node, drive, partition) ||
		    board.info.drives.count(drive) == 0) {
			result = -1;
			err = ENOTTY;
			line["refused"] = req == nullptr ? "no request of the driver has this code"
							 : "not a node of the board's drives";
		} else {
			const std::size_t size = req->size_of != nullptr && bytes != nullptr
							 ? req->size_of(bytes)
							 : req->argsize;
			std::vector<unsigned char> before;
			if (size != 0 && bytes != nullptr)
				before.assign(bytes, bytes + size);
			Ctx ctx{board, txn, line, node, drive, partition};
			if (const auto id = injected_fault(board, txn.state, node, req->name,
							   result, err)) {
				line["injected"] = *id;
			} else if (size != 0 && bytes == nullptr) {
				result = ctx.refuse(EFAULT, "no argument record (a null pointer)");
				err = EFAULT;
			} else {
				result = carry_out(ctx, *req, bytes);
				err = result < 0 ? ctx.err : 0;
			}
			if (size != 0 && bytes != nullptr) {
				std::vector<unsigned char> after(bytes, bytes + size);
				if (req->mask != nullptr && !board.info.trace_raw) {
					req->mask(before);
					req->mask(after);
					line["masked"] = true;
				}
				line["before"] = hex(before.data(), before.size());
				line["after"] = hex(after.data(), after.size());
			}
		}
		line["result"] = result;
		line["errno"] = result < 0 ? err : 0;
		append_trace(line);
		txn.commit();
	} catch (const std::exception &e) {
		// the simulator's failure is the driver's error for this request
		if (said != e.what())
			std::fprintf(stderr, "ostrasim: %s\n", e.what());
		result = -1;
		err = EIO;
	}
	return result;
}

void bring_to_now(const Board &board, std::uint64_t advance_ns)
{
	const StateView view = read_state(board);
	bool behind = false;
	for (const auto &[name, d] : board.info.drives)
		behind = behind || overwrite_behind(board, view, name);
	if (!behind && (advance_ns == 0 || !board.info.virtual_clock))
		return;
	StateTxn txn(board);
	if (board.info.virtual_clock && advance_ns != 0) {
		txn.clock_ns += advance_ns;
		append_trace({{"op", "sleep"}, {"ns", advance_ns}});
	}
	for (const auto &[name, d] : board.info.drives) {
		DriveKept &k = txn.state.kept(name);
		settle(board, name, k);
		if (k.unbound || k.busy || k.password || !txn.state.link_is_up() ||
		    k.port_now() != DriveKept::Ready)
			continue;
		json line = {{"op", "show"}, {"node", name}};
		const std::uint64_t before = k.ow.run ? k.ow.run->written : 0;
		Ctx ctx{board, txn, line, name, name, 0};
		overwrite_catch_up(ctx);
		if (!line.contains("ata"))
			continue;
		const OverwriteKept &ow = txn.state.kept(name).ow;
		line["written"] = ow.run ? ow.run->written - before : 0;
		if (ow.run && ow.run->failed)
			line["failed"] = *ow.run->failed;
		append_trace(line);
	}
	txn.commit();
}

void show_drive(const Board &board, const StateView &view, const std::string &name, Shown &out)
{
	const DriveDesc &d = board.info.drives.at(name);
	const DriveKept &kept = view.state.kept(name);
	out.line("aes");
	const std::string mode = !kept.aes ? "through (never set)" : kept.aes->mode.value_or("");
	out.put("mode", mode, " mode %s", mode.c_str());
	if (kept.aes && kept.aes->keybits)
		out.put("keybits", *kept.aes->keybits, ", %d-bit key", *kept.aes->keybits);
	show_overwrite(board, view, name, out);
	// as state.json keeps them
	const json k = kept.to_json();
	const std::string port = k.value("port", "ready");
	out.line("port");
	out.put("state", port, " %s", port.c_str());
	out.put("link", link_of(view.state), ", link: %s", link_of(view.state));
	// a refused binding, a password that may be left, a long command going on
	for (const char *what : {"unbound", "password", "busy"})
		if (k.contains(what)) {
			out.line(what);
			out.set("state", k.at(what));
			out.say(" %s", k.at(what).is_string()
					       ? k.at(what).get<std::string>().c_str()
					       : k.at(what).dump().c_str());
		}
	// printable identify texts, trailing spaces dropped
	out.line("identify");
	const char *sep = " ";
	for (const auto &[key, first, words] : {std::tuple{"model", ID_MODEL, ID_MODEL_WORDS},
						{"serial", ID_SERIAL, ID_SERIAL_WORDS},
						{"firmware", ID_FIRMWARE, ID_FIRMWARE_WORDS}}) {
		std::string s;
		for (char c : identify_text(d.identify, first, words))
			s += (c >= 0x20 && c < 0x7F) ? std::string(1, c) : std::string("\\0");
		s.resize(s.find_last_not_of(' ') + 1);
		out.put(key, s, "%s%s \"%s\"", sep, key, s.c_str());
		sep = ", ";
	}
	if (d.host) {
		out.line("real drive");
		out.put("device", *d.host, " %s (identify data as read at init)", d.host->c_str());
	} else {
		show_simulated(d, kept.drive, out);
	}
}

} // namespace sim
