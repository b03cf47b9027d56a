// state.cpp - the board's state under its lock, and the trace its changes
// append to.
#include "board.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

int lock_board(const Board &board)
{
	if (!board.root)
		throw Error(board.dir + ": no board folder");
	Fd fd = board.root->open("state.lock", O_RDWR | O_CREAT);
	while (::flock(fd.get(), LOCK_EX) != 0) {
		if (errno != EINTR)
			throw Error("cannot lock " + board.root->name("state.lock") + ": " +
				    std::strerror(errno));
	}
	return fd.release();
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
	// never through a symbolic link, never a device or FIFO that would block
	const Fd fd{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
	struct stat st {};
	if (!fd && errno == ENOENT && !must_exist)
		return {};
	if (!fd || ::fstat(fd.get(), &st) != 0)
		throw Error("cannot read " + path + ": " + std::strerror(errno));
	if (!S_ISREG(st.st_mode))
		throw Error("cannot read " + path + ": not a regular file");
	std::string text;
	char buf[65536];
	for (ssize_t n = 0; (n = ::read(fd.get(), buf, sizeof buf)) != 0;) {
		if (n < 0 && errno != EINTR)
			throw Error("cannot read " + path + ": " + std::strerror(errno));
		text.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
	}
	return text;
}

namespace {

const char *const numbers[] = {"commit", "seq", "clock_ns"};

// The board's numbers out of the whole state, the rest into parts (or kept
// as it is); a refusal names the key.
StateNumbers split_state(json &state, StateParts *parts)
{
	using namespace checked;
	if (!state.is_object())
		throw Bad{"", "must be an object, not " + article(state)};
	StateNumbers n;
	std::uint64_t *into[] = {&n.commit, &n.seq, &n.clock_ns};
	for (std::size_t i = 0; i < 3; i++) {
		opt(state, numbers[i], [&](const json &v) { *into[i] = whole<std::uint64_t>(v); });
		state.erase(numbers[i]);
	}
	if (parts != nullptr)
		parts->read(state);
	return n;
}

} // namespace

StateNumbers read_state(const Board &board, StateParts *parts)
{
	const std::string path = board.root->name("state.json");
	const std::string hint = " (remove " + path + " to start the driver afresh)";
	const std::string text = board.root->read("state.json");
	json state = text.empty() ? json::object() : parse_json(text, path, hint);
	try {
		return split_state(state, parts);
	} catch (const Bad &bad) {
		throw Error(path + ": " + (bad.path.empty() ? "" : bad.path + ": ") + bad.why +
			    hint);
	}
}

long trace_pid = 0;

Txn::Txn(const Board &board, StateParts *parts)
    : board_(board), parts_(parts != nullptr ? parts : &raw_)
{
	if (!board.error.empty())
		throw Error(board.error);
	lock();
	running = this;
}

void Txn::lock()
{
	lockfd_ = lock_board(board_);
	try {
		const StateNumbers n = read_state(board_, parts_);
		commit_ = n.commit;
		seq_ = n.seq;
		clock_ns = n.clock_ns;
		before_ = whole();
		// a trace line whose state was never saved (the run was killed in
		// between) is cut off
		const std::string path = board_.root->name("trace.jsonl");
		const Fd fd = board_.root->open("trace.jsonl", O_RDWR | O_CREAT);
		const std::uint64_t commit = commit_;
		next_seq_ = seq_ + 1;
		while (true) {
			std::size_t start = 0;
			const json last =
				json::parse(last_line(fd.get(), path, start), nullptr, false);
			if (start == std::string::npos)
				break;
			if (!last.is_object() || !last.contains("seq") ||
			    !last.at("seq").is_number_unsigned())
				throw Error(path +
					    ": the last line is no trace line (ostrasim trace "
					    "--clear starts the trace afresh)");
			if (last.value("commit", std::uint64_t{0}) <= commit) {
				// (a write's record has the number of the line after it)
				next_seq_ = last.at("seq").get<std::uint64_t>() +
					    (last.value("op", "") == "write" ? 0 : 1);
				break;
			}
			if (::ftruncate(fd.get(), static_cast<off_t>(start)) != 0)
				throw Error("cannot repair " + path + ": " + std::strerror(errno));
		}
	} catch (...) {
		::close(lockfd_);
		lockfd_ = -1;
		throw;
	}
}

Txn::~Txn()
{
	if (running == this)
		running = nullptr;
	if (lockfd_ >= 0)
		::close(lockfd_);
}

void Txn::unlock()
{
	commit();
	::close(lockfd_);
	lockfd_ = -1;
}

// The state as it is to be saved: the board's numbers that are not 0, the parts.
json Txn::whole() const
{
	json j = parts_->write();
	const std::uint64_t values[] = {commit_, seq_, clock_ns};
	for (std::size_t i = 0; i < 3; i++)
		if (values[i] != 0)
			j[numbers[i]] = values[i];
	return j;
}

void Txn::commit()
{
	json saved = whole();
	const bool changed = saved != before_;
	const std::uint64_t commit = changed ? commit_ + 1 : commit_;
	if (changed)
		saved["commit"] = commit_ = commit;
	if (!lines_.empty()) {
		std::string text;
		for (const json &line : lines_)
			text += trace_text(line, next_seq_++, commit);
		lines_.clear();
		append(text);
	}
	if (changed) {
		board_.root->replace(
			"state.json",
			saved.dump(1, ' ', false, json::error_handler_t::replace) + "\n", 0644);
		before_ = saved;
	}
}

void Txn::record(const json &line)
{
	append(trace_text(line, next_seq_ + lines_.size(),
			  before_.value("commit", std::uint64_t{0})));
}

std::string Txn::trace_text(const json &line, std::uint64_t seq, std::uint64_t commit)
{
	json out = {{"seq", seq},
		    {"pid", trace_pid != 0 ? trace_pid : static_cast<long>(::getpid())},
		    {"commit", commit}};
	out.update(line);
	return out.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// whole lines or none: a failed write is cut off again
void Txn::append(const std::string &text)
{
	const std::string path = board_.root->name("trace.jsonl");
	const Fd fd = board_.root->open("trace.jsonl", O_WRONLY | O_APPEND);
	if (!fd)
		throw Error("cannot write " + path + ": " + std::strerror(ENOENT));
	struct stat st {};
	const bool sized = ::fstat(fd.get(), &st) == 0;
	try {
		write_all(fd.get(), text, path);
	} catch (const Error &e) {
		// a line cut short would leave the trace unreadable
		if (sized && ::ftruncate(fd.get(), st.st_size) != 0)
			throw Error(std::string(e.what()) + "; its last line is cut short");
		throw;
	}
}

void append_trace(const json &line)
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
	txn.seq_ = txn.next_seq() - 1;
	const Fd fd = board.root->open("trace.jsonl", O_WRONLY | O_TRUNC);
	txn.commit();
}

namespace {

struct flock busy_byte(const std::string &drive, short type)
{
	struct flock l {};
	l.l_type = type;
	l.l_whence = SEEK_SET;
	l.l_start = drive.size() == 3 ? drive[2] - 'a' : 26;
	l.l_len = 1;
	return l;
}

} // namespace

BusyMark::BusyMark(const Board &board, const std::string &drive)
    : fd_(board.root->open("busy.lock", O_RDWR | O_CREAT))
{
	struct flock l = busy_byte(drive, F_WRLCK);
	if (::fcntl(fd_.get(), F_OFD_SETLK, &l) != 0)
		throw Error("cannot mark " + drive + " busy in " + board.root->name("busy.lock") +
			    ": " + std::strerror(errno));
}

bool BusyMark::held(const Board &board, const std::string &drive)
{
	const Fd fd = board.root->open("busy.lock", O_RDWR | O_CREAT);
	struct flock l = busy_byte(drive, F_WRLCK);
	if (::fcntl(fd.get(), F_OFD_GETLK, &l) != 0)
		throw Error("cannot read the busy marks in " + board.root->name("busy.lock") +
			    ": " + std::strerror(errno));
	return l.l_type != F_UNLCK;
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

namespace {

std::string vformat(const char *format, va_list ap)
{
	va_list again;
	va_copy(again, ap);
	std::string s(static_cast<std::size_t>(std::max(0, std::vsnprintf(nullptr, 0, format, ap))),
		      '\0');
	std::vsnprintf(s.data(), s.size() + 1, format, again);
	va_end(again);
	return s;
}

} // namespace

void Shown::line(const std::string &label)
{
	if (!text.empty() && text.back() != '\n')
		text += "\n";
	text += "  " + label + ":";
	label_ = label;
	std::replace(label_.begin(), label_.end(), ' ', '_');
}

void Shown::set(const char *key, const json &value)
{
	values[label_][key] = value;
}

void Shown::put(const char *key, const json &value, const char *format, ...)
{
	set(key, value);
	va_list ap;
	va_start(ap, format);
	text += vformat(format, ap);
	va_end(ap);
}

void Shown::say(const char *format, ...)
{
	va_list ap;
	va_start(ap, format);
	text += vformat(format, ap);
	va_end(ap);
}

} // namespace sim
