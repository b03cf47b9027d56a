// sim_board.cpp - board description, state under lock, trace, faults and the
// request registry of the simulated ztostra driver.
#include "sim.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

std::vector<Request> &registry()
{
	static std::vector<Request> reqs;
	return reqs;
}

std::vector<Gate> &gates()
{
	static std::vector<Gate> g;
	return g;
}

std::vector<Show> &show_list()
{
	static std::vector<Show> s;
	return s;
}

// libc's own write, past the interposed functions
void write_all(int fd, const std::string &s, const std::string &path)
{
	std::size_t done = 0;
	while (done < s.size()) {
		const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			throw Error("cannot write " + path + ": " + std::strerror(errno));
		done += static_cast<std::size_t>(n);
	}
}

// Closes a descriptor when it goes out of scope.
struct Fd {
	int fd;
	~Fd()
	{
		if (fd >= 0)
			::close(fd);
	}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
};

int lock_board(const Board &board)
{
	const std::string lockpath = board.dir + "/state.lock";
	const int fd = ::open(lockpath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (fd < 0)
		throw Error("cannot open " + lockpath + ": " + std::strerror(errno));
	while (::flock(fd, LOCK_EX) != 0) {
		if (errno != EINTR) {
			::close(fd);
			throw Error("cannot lock " + lockpath + ": " + std::strerror(errno));
		}
	}
	return fd;
}

// The last line of the trace that is whole: a tail without its line feed is
// cut off; returns the line and sets start to its offset (npos: none).
std::string last_line(int fd, const std::string &path, std::size_t &start)
{
	struct stat st {};
	if (::fstat(fd, &st) != 0)
		throw Error("cannot read " + path + ": " + std::strerror(errno));
	std::size_t end = static_cast<std::size_t>(st.st_size);
	std::string tail;
	start = std::string::npos;
	while (end > 0) {
		const std::size_t chunk = end < 65536 ? end : 65536;
		std::string buf(chunk, '\0');
		if (::pread(fd, buf.data(), chunk, static_cast<off_t>(end - chunk)) !=
		    static_cast<ssize_t>(chunk))
			throw Error("cannot read " + path + ": " + std::strerror(errno));
		tail.insert(0, buf);
		end -= chunk;
		// the line ends at the last line feed and starts after the one before it
		const std::size_t last = tail.rfind('\n');
		if (last == std::string::npos)
			continue;
		if (last + 1 != tail.size() &&
		    ::ftruncate(fd, static_cast<off_t>(end + last + 1)) != 0)
			throw Error("cannot repair " + path + ": " + std::strerror(errno));
		tail.resize(last + 1);
		const std::size_t before =
			last == 0 ? std::string::npos : tail.rfind('\n', last - 1);
		if (before != std::string::npos || end == 0) {
			start = before == std::string::npos ? 0 : end + before + 1;
			return tail.substr(start - end, last - (start - end));
		}
	}
	if (!tail.empty() || st.st_size > 0)
		if (::ftruncate(fd, 0) != 0)
			throw Error("cannot repair " + path + ": " + std::strerror(errno));
	return {};
}

// the running with_state of this thread, whose commit takes the trace lines
thread_local Txn *running = nullptr;

} // namespace

std::string read_text(const std::string &path, bool must_exist)
{
	struct stat st {};
	if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
		throw Error("cannot read " + path + ": " + std::strerror(EISDIR));
	std::ifstream in(path, std::ios::binary);
	if (!in) {
		if (must_exist)
			throw Error("cannot read " + path + ": " + std::strerror(errno));
		return {};
	}
	std::ostringstream ss;
	ss << in.rdbuf();
	if (in.bad())
		throw Error("cannot read " + path);
	return ss.str();
}

const json &drive_state(const json &state, const std::string &drive)
{
	static const json none = json::object();
	if (!state.contains("drives") || !state.at("drives").contains(drive) ||
	    !state.at("drives").at(drive).is_object())
		return none;
	return state.at("drives").at(drive);
}

json &drive_state(json &state, const std::string &drive)
{
	json &d = state["drives"][drive];
	if (!d.is_object())
		d = json::object();
	return d;
}

bool register_requests(const Request *reqs, std::size_t n)
{
	for (std::size_t i = 0; i < n; i++)
		registry().push_back(reqs[i]);
	return true;
}

bool register_gate(Gate gate)
{
	gates().push_back(gate);
	return true;
}

bool register_show(Show show)
{
	show_list().push_back(show);
	return true;
}

const std::vector<Show> &shows()
{
	return show_list();
}

const Request *find_request(unsigned long code)
{
	for (const Request &r : registry())
		if (r.code == code)
			return &r;
	return nullptr;
}

const Request *find_request(const std::string &name)
{
	for (const Request &r : registry())
		if (name == r.name)
			return &r;
	return nullptr;
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
			return new Board(load_board(dir));
		} catch (const std::exception &e) {
			auto *b = new Board;
			b->dir = dir;
			b->error = e.what();
			return b;
		}
	}();
	return board;
}

long trace_pid = 0;

Txn::Txn(const Board &board) : board_(board)
{
	if (!board.error.empty())
		throw Error(board.error);
	lockfd_ = lock_board(board);
	try {
		state = read_state(board);
		before_ = state;
		// a trace line whose state was never saved (the run was killed in
		// between) is cut off
		const std::string path = board.dir + "/trace.jsonl";
		const Fd fd{::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)};
		if (fd.fd < 0)
			throw Error("cannot open " + path + ": " + std::strerror(errno));
		const std::uint64_t commit = state.value("commit", std::uint64_t{0});
		next_seq_ = state.value("seq", std::uint64_t{0}) + 1;
		while (true) {
			std::size_t start = 0;
			const json last =
				json::parse(last_line(fd.fd, path, start), nullptr, false);
			if (start == std::string::npos)
				break;
			if (!last.is_object() || !last.contains("seq") ||
			    !last.at("seq").is_number_unsigned())
				throw Error(path +
					    ": the last line is no trace line (ostrasim trace "
					    "--clear starts the trace afresh)");
			if (last.value("commit", std::uint64_t{0}) <= commit) {
				next_seq_ = last.at("seq").get<std::uint64_t>() + 1;
				break;
			}
			if (::ftruncate(fd.fd, static_cast<off_t>(start)) != 0)
				throw Error("cannot repair " + path + ": " + std::strerror(errno));
		}
	} catch (...) {
		::close(lockfd_);
		throw;
	}
	running = this;
}

Txn::~Txn()
{
	if (running == this)
		running = nullptr;
	if (lockfd_ >= 0)
		::close(lockfd_);
}

void Txn::commit()
{
	running = nullptr;
	const bool changed = state != before_;
	std::uint64_t commit = state.value("commit", std::uint64_t{0});
	if (changed)
		state["commit"] = ++commit;
	if (!lines_.empty()) {
		std::string text;
		for (const json &line : lines_) {
			json out = {
				{"seq", next_seq_++},
				{"pid", trace_pid != 0 ? trace_pid : static_cast<long>(::getpid())},
				{"commit", commit}};
			out.update(line);
			text += out.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
		}
		const std::string path = board_.dir + "/trace.jsonl";
		const Fd fd{::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC)};
		if (fd.fd < 0)
			throw Error("cannot write " + path + ": " + std::strerror(errno));
		write_all(fd.fd, text, path);
	}
	if (changed) {
		const std::string path = board_.dir + "/state.json";
		const std::string tmp = path + ".tmp";
		{
			const Fd fd{::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
					   0644)};
			if (fd.fd < 0)
				throw Error("cannot write " + tmp + ": " + std::strerror(errno));
			write_all(fd.fd,
				  state.dump(1, ' ', false, json::error_handler_t::replace) + "\n",
				  tmp);
		}
		if (::rename(tmp.c_str(), path.c_str()) != 0)
			throw Error("cannot replace " + path + ": " + std::strerror(errno));
	}
}

void append_trace(const Board &, json &, const json &line)
{
	if (running == nullptr)
		throw Error("trace line outside a change of the board");
	running->lines_.push_back(line);
}

void with_lock(const Board &board, const std::function<void()> &fn)
{
	const Fd fd{lock_board(board)};
	fn();
}

void clear_trace(const Board &board)
{
	Txn txn(board);
	// the numbers go on after the cleared lines
	txn.state["seq"] = txn.next_seq() - 1;
	const std::string path = board.dir + "/trace.jsonl";
	if (::truncate(path.c_str(), 0) != 0)
		throw Error("cannot clear " + path + ": " + std::strerror(errno));
	txn.commit();
}

bool split_node(const std::string &node, std::string &drive, int &partition)
{
	if (node.size() < 3 || node.compare(0, 2, "sd") != 0 || node[2] < 'a' || node[2] > 'z')
		return false;
	partition = 0;
	for (std::size_t i = 3; i < node.size(); i++) {
		if (node[i] < '0' || node[i] > '9' || partition > 1000)
			return false;
		partition = partition * 10 + (node[i] - '0');
	}
	if (node.size() > 3 && partition == 0)
		return false;
	drive = node.substr(0, 3);
	return true;
}

namespace {

// Calls of each node and request so far, counted from the trace (its
// committed lines, read under the lock), so that counting changes no state.
struct CallCounts {
	std::string path;
	std::uint64_t first_seq = 0; // of the trace's first line, to notice a new trace
	std::size_t offset = 0;      // read so far
	std::map<std::string, std::int64_t> n;
};

// The sequence number of the line at offset, 0 when none; end gets the offset after it.
std::uint64_t seq_at(int fd, std::size_t offset, std::size_t size, std::size_t &end)
{
	std::string line;
	char buf[4096];
	end = offset;
	while (end < size) {
		const ssize_t got = ::pread(fd, buf, sizeof buf, static_cast<off_t>(end));
		if (got <= 0)
			return 0;
		const char *nl = static_cast<const char *>(
			std::memchr(buf, '\n', static_cast<std::size_t>(got)));
		line.append(buf, nl != nullptr ? static_cast<std::size_t>(nl - buf)
					       : static_cast<std::size_t>(got));
		end += line.size() - (end - offset);
		if (nl != nullptr) {
			end++;
			const json j = json::parse(line, nullptr, false);
			return j.is_object() ? j.value("seq", std::uint64_t{0}) : 0;
		}
	}
	return 0;
}

std::int64_t count_call(const Board &board, const std::string &key)
{
	static CallCounts counts;
	const std::string path = board.dir + "/trace.jsonl";
	const Fd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
	struct stat st {};
	if (fd.fd < 0 || ::fstat(fd.fd, &st) != 0)
		throw Error("cannot read " + path + ": " + std::strerror(errno));
	const auto size = static_cast<std::size_t>(st.st_size);
	std::size_t end = 0;
	const std::uint64_t first = seq_at(fd.fd, 0, size, end);
	if (counts.path != path || counts.first_seq != first || size < counts.offset) {
		counts = CallCounts{};
		counts.path = path;
		counts.first_seq = first;
	}
	std::string text(size - counts.offset, '\0');
	if (!text.empty() &&
	    ::pread(fd.fd, text.data(), text.size(), static_cast<off_t>(counts.offset)) !=
		    static_cast<ssize_t>(text.size()))
		throw Error("cannot read " + path + ": " + std::strerror(errno));
	counts.offset = size;
	std::istringstream in(text);
	for (std::string line; std::getline(in, line);) {
		const json j = json::parse(line, nullptr, false);
		if (!j.is_object() || !j.contains("node") || !j.at("node").is_string())
			continue;
		const std::string op = j.value("op", "");
		if (op == "open")
			counts.n[j.at("node").get<std::string>() + " open"]++;
		else if (op == "ioctl" && j.contains("request") && j.at("request").is_string())
			counts.n[j.at("node").get<std::string>() + " " +
				 j.at("request").get<std::string>()]++;
	}
	return counts.n[key] + 1;
}

} // namespace

bool injected_fault(const Board &board, json &, const std::string &node, const std::string &request,
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

std::string hex(const unsigned char *p, std::size_t n)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	s.reserve(2 * n);
	for (std::size_t i = 0; i < n; i++) {
		s += digits[p[i] >> 4];
		s += digits[p[i] & 15];
	}
	return s;
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
			std::size_t size = 0;

			line["request"] = req != nullptr ? req->name : "unknown";
			const bool known_drive = split_node(node, drive, partition) &&
						 board.info.drives.count(drive) != 0;
			if (req == nullptr || !known_drive) {
				result = -1;
				err = ENOTTY;
			} else {
				size = req->size_of != nullptr && bytes != nullptr
					       ? req->size_of(bytes)
					       : req->argsize;
				std::vector<unsigned char> before;
				if (size != 0 && bytes != nullptr)
					before.assign(bytes, bytes + size);
				Ctx ctx{board.desc, board.info, state, node, drive, partition, 0};
				if (injected_fault(board, state, node, req->name, result, err)) {
					line["injected"] = true;
				} else if (size != 0 && bytes == nullptr) {
					result = ctx.fail(EFAULT);
					err = ctx.err;
				} else {
					result = 0;
					for (Gate g : gates()) {
						if (ctx.drive_info().host)
							break;
						result = g(ctx, *req);
						if (result != 0)
							break;
					}
					if (result == 0 && ctx.drive_info().host)
						result = host_request(ctx, *req, bytes, line);
					else if (result == 0)
						result = req->handle(ctx, bytes);
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
			append_trace(board, state, line);
		});
	} catch (const std::exception &e) {
		// the simulator's failure is the driver's error for this request
		std::fprintf(stderr, "ostrasim: %s\n", e.what());
		result = -1;
		err = EIO;
	}
	return result;
}

} // namespace sim
