// driver.cpp - the driver model: each request through the controller's
// checks to its handler, its ATA commands to the drive, everything into the
// request's trace line; and the faults a board injects.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <tuple>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "driver.h"

namespace sim {

namespace {

bool known_request(const std::string &name)
{
	return find_request(name) != nullptr;
}

// Calls of each node and request so far, counted from the trace (its
// committed lines, read under the lock), so that counting changes no state.
struct CallCounts {
	std::string path;
	std::string first; // the trace's first line, to notice a new trace
	std::size_t offset = 0;
	std::map<std::string, std::int64_t> n;
};

std::int64_t count_call(const Board &board, const std::string &key)
{
	static CallCounts counts;
	const std::string path = board.dir + "/trace.jsonl";
	const std::string text = read_text(path, false);
	const std::string first = text.substr(0, text.find('\n'));
	if (counts.path != path || counts.first != first || text.size() < counts.offset)
		counts = CallCounts{path, first, 0, {}};
	std::istringstream in(text.substr(counts.offset));
	counts.offset = text.size();
	for (std::string line; std::getline(in, line);) {
		const json j = json::parse(line, nullptr, false);
		if (!j.is_object() || !j.contains("node") || !j.at("node").is_string())
			continue;
		const std::string op = j.value("op", "");
		const json request = j.value("request", json());
		if (op == "open")
			counts.n[j.at("node").get<std::string>() + " open"]++;
		else if (op == "ioctl" && request.is_string())
			counts.n[j.at("node").get<std::string>() + " " +
				 request.get<std::string>()]++;
	}
	return counts.n[key] + 1;
}

const char *link_of(const json &state)
{
	const json &c = state.value("controller", json::object());
	return c.value("link", "up") == "up" ? "up" : "asleep";
}

// The controller's checks, the overwrite's due writes, then the handler.
int carry_out(Ctx &ctx, const Request &req, unsigned char *arg)
{
	if ((req.touches & CONTROLLER) == 0) {
		const json &port = sim::kept(static_cast<const json &>(ctx.state), ctx.drive);
		if (std::string(link_of(ctx.state)) != "up" ||
		    port.value("port", "ready") != "ready")
			return ctx.fail(EIO);
		if ((req.touches & WRITES) != 0 && !ctx.board.info.destructive) {
			ctx.line["refused"] =
				"the board does not allow writes (destructive: false)";
			return ctx.fail(EPERM);
		}
		overwrite_catch_up(ctx);
	}
	return req.handle(ctx, arg);
}

} // namespace

Drive &Ctx::dev()
{
	if (!drive_)
		drive_ = desc().host ? sgio_drive(*desc().host)
				     : simulated_drive(desc(), sim::kept(state, drive, "drive"));
	return *drive_;
}

int Ctx::ata(Ata &a)
{
	int e = 0;
	// the one gate of every command that writes the media or changes the
	// drive's security
	if ((ata_op(a.command).flags & (ATA_WRITES | ATA_SECURITY)) != 0 &&
	    !board.info.destructive) {
		e = EPERM;
		a.note = "refused: the board does not allow writes";
	} else {
		e = dev().send(a);
	}
	if (e == 0 && a.command == ata::SLEEP)
		kept()["port"] = "asleep"; // only a port reset reaches it now
	char head[64], tail[64], lba[16];
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
	return load_board(dir, known_request);
}

const Board *current_board()
{
	// never destroyed, so that the exit handlers of the preloaded library
	// still find it
	static const Board *const board = []() -> const Board * {
		const char *dir = std::getenv("OSTRASIM_BOARD");
		if (dir == nullptr || *dir == '\0')
			return nullptr;
		try {
			return new Board(load(dir));
		} catch (const std::exception &e) {
			auto *b = new Board;
			b->dir = dir;
			b->error = e.what();
			return b;
		}
	}();
	return board;
}

bool injected_fault(const Board &board, const std::string &node, const std::string &request,
		    int &result, int &err)
{
	const auto applies = [&](const Fault &f) {
		return f.request == request && (f.node == "*" || f.node == node);
	};
	if (std::none_of(board.info.faults.begin(), board.info.faults.end(), applies))
		return false;
	// the calls so far are the trace's; this one is the next
	const std::int64_t n = count_call(board, node + " " + request);
	for (const Fault &f : board.info.faults) {
		if (!applies(f) || n < f.from || (f.count && n - f.from >= *f.count))
			continue;
		result = f.result;
		err = f.err ? *f.err : result < 0 ? EIO : 0;
		return true;
	}
	return false;
}

int driver_ioctl(const Board &board, const std::string &node, unsigned long code, void *arg,
		 int &err)
{
	int result = 0;
	err = 0;
	try {
		with_state(board, [&](json &state) {
			auto *bytes = static_cast<unsigned char *>(arg);
			const Request *req = find_request(code);
			json line = {{"op", "ioctl"}, {"node", node}, {"code", code}};
			std::string drive;
			int partition = 0;
			line["request"] = req != nullptr ? req->name : "unknown";
			if (req == nullptr || !split_node(node, drive, partition) ||
			    board.info.drives.count(drive) == 0) {
				result = -1;
				err = ENOTTY;
			} else {
				const std::size_t size = req->size_of != nullptr && bytes != nullptr
								 ? req->size_of(bytes)
								 : req->argsize;
				std::vector<unsigned char> before;
				if (size != 0 && bytes != nullptr)
					before.assign(bytes, bytes + size);
				Ctx ctx{board, state, line, node, drive, partition};
				if (injected_fault(board, node, req->name, result, err)) {
					line["injected"] = true;
				} else if (size != 0 && bytes == nullptr) {
					result = -1;
					err = EFAULT;
				} else {
					result = carry_out(ctx, *req, bytes);
					err = result < 0 ? ctx.err : 0;
					ctx.finish();
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
		});
	} catch (const std::exception &e) {
		// the simulator's failure is the driver's error for this request
		std::fprintf(stderr, "ostrasim: %s\n", e.what());
		result = -1;
		err = EIO;
	}
	return result;
}

void show_drive(const Board &board, const json &state, const std::string &name, Shown &out)
{
	const DriveDesc &d = board.info.drives.at(name);
	const json &kept = sim::kept(state, name);
	const json &aes = kept.value("aes", json::object());
	out.line("aes");
	const std::string mode = aes.empty() ? "through (never set)" : aes.value("mode", "");
	out.put("mode", mode, " mode %s", mode.c_str());
	if (aes.contains("keybits"))
		out.put("keybits", aes.value("keybits", 0), ", %d-bit key",
			aes.value("keybits", 0));
	show_overwrite(board, state, name, out);
	out.line("port");
	out.put("state", kept.value("port", "ready"), " %s", kept.value("port", "ready").c_str());
	out.put("link", link_of(state), ", link: %s", link_of(state));
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
		show_simulated(d, sim::kept(state, name, "drive"), out);
	}
}

} // namespace sim
