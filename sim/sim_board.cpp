// sim_board.cpp - board description, state under lock, trace, faults and the
// request registry of the simulated ztostra driver.
#include "sim.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
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

[[noreturn]] void die(const std::string &what)
{
	std::fprintf(stderr, "ostrasim: %s\n", what.c_str());
	std::abort();
}

std::string read_file(const std::string &path, bool must_exist)
{
	std::ifstream in(path, std::ios::binary);
	if (!in) {
		if (must_exist)
			die("cannot read " + path);
		return {};
	}
	std::ostringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

// libc's own write, past the interposed functions
void write_all(int fd, const std::string &s)
{
	std::size_t done = 0;
	while (done < s.size()) {
		ssize_t n = ::write(fd, s.data() + done, s.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			die("write failed");
		done += static_cast<std::size_t>(n);
	}
}

} // namespace

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

Board load_board(const std::string &dir)
{
	Board b;
	b.dir = dir;
	try {
		b.desc = json::parse(read_file(dir + "/board.json", true));
	} catch (const json::exception &e) {
		die(dir + "/board.json: " + e.what());
	}
	return b;
}

const Board *current_board()
{
	static Board board;
	static bool loaded = false;
	static bool active = false;
	if (!loaded) {
		loaded = true;
		const char *dir = std::getenv("OSTRASIM_BOARD");
		if (dir != nullptr && *dir != '\0') {
			board = load_board(dir);
			active = true;
		}
	}
	return active ? &board : nullptr;
}

void lock_state(const Board &board, int &lockfd, json &state)
{
	const std::string lockpath = board.dir + "/state.lock";
	lockfd = ::open(lockpath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
	if (lockfd < 0 || ::flock(lockfd, LOCK_EX) != 0)
		die("cannot lock " + lockpath);
	const std::string text = read_file(board.dir + "/state.json", false);
	state = json::object();
	if (!text.empty()) {
		try {
			state = json::parse(text);
		} catch (const json::exception &e) {
			die(board.dir + "/state.json: " + e.what());
		}
	}
}

void unlock_state(const Board &board, int lockfd, const json &state)
{
	const std::string path = board.dir + "/state.json";
	const std::string tmp = path + ".tmp";
	int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	if (fd < 0)
		die("cannot write " + tmp);
	write_all(fd, state.dump(1) + "\n");
	::close(fd);
	if (::rename(tmp.c_str(), path.c_str()) != 0)
		die("cannot rename " + tmp);
	::flock(lockfd, LOCK_UN);
	::close(lockfd);
}

void append_trace(const Board &board, json &state, const json &line)
{
	const std::uint64_t seq = state.value("seq", std::uint64_t{0}) + 1;
	state["seq"] = seq;
	json out = {{"seq", seq}, {"pid", static_cast<long>(::getpid())}};
	out.update(line);
	const std::string path = board.dir + "/trace.jsonl";
	int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (fd < 0)
		die("cannot write " + path);
	write_all(fd, out.dump() + "\n");
	::close(fd);
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

bool injected_fault(const Board &board, json &state, const std::string &node,
		    const std::string &request, int &result, int &err)
{
	const std::string key = node + " " + request;
	json &calls = state["calls"];
	if (!calls.is_object())
		calls = json::object();
	const std::int64_t n = calls.value(key, std::int64_t{0}) + 1;
	calls[key] = n;
	if (!board.desc.contains("faults"))
		return false;
	for (const json &f : board.desc.at("faults")) {
		const std::string fnode = f.value("node", std::string("*"));
		if (f.value("request", std::string()) != request || (fnode != "*" && fnode != node))
			continue;
		const std::int64_t from = f.value("from", std::int64_t{1});
		if (n < from ||
		    (f.contains("count") && n >= from + f.at("count").get<std::int64_t>()))
			continue;
		result = f.value("result", -1);
		err = f.value("errno", result < 0 ? EIO : 0);
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
	with_state(board, [&](json &state) {
		auto *bytes = static_cast<unsigned char *>(arg);
		const Request *req = find_request(code);
		json line = {{"op", "ioctl"}, {"node", node}, {"code", code}};
		std::string drive;
		int partition = 0;
		std::size_t size = 0;

		line["request"] = req != nullptr ? req->name : "unknown";
		const bool known_drive = split_node(node, drive, partition) &&
					 board.desc.contains("drives") &&
					 board.desc.at("drives").contains(drive);
		if (req == nullptr || !known_drive) {
			result = -1;
			err = ENOTTY;
		} else {
			size = req->size_of != nullptr && bytes != nullptr ? req->size_of(bytes)
									   : req->argsize;
			std::vector<unsigned char> before;
			if (size != 0 && bytes != nullptr)
				before.assign(bytes, bytes + size);
			Ctx ctx{board.desc, state, node, drive, partition, 0};
			if (injected_fault(board, state, node, req->name, result, err)) {
				line["injected"] = true;
			} else if (size != 0 && bytes == nullptr) {
				// the kernel fails a bad pointer before the driver sees it
				result = ctx.fail(EFAULT);
				err = ctx.err;
				line["front"] = "preload";
			} else {
				result = 0;
				for (Gate g : gates()) {
					result = g(ctx, *req);
					if (result != 0)
						break;
				}
				if (result == 0)
					result = req->handle(ctx, bytes);
				err = result < 0 ? ctx.err : 0;
			}
			if (size != 0 && bytes != nullptr) {
				std::vector<unsigned char> after(bytes, bytes + size);
				if (req->mask != nullptr && !board.desc.value("trace_raw", false)) {
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
	return result;
}

} // namespace sim
