// preload.cpp - LD_PRELOAD side of the board simulator.
//
// Redirects the board's paths into the board directory named by
// OSTRASIM_BOARD: /dev/sd*, /sys/block/*, /tmp/ostra_* and the probe script
// inside command lines given to system(); answers ioctl on the redirected
// drive nodes as the ztostra driver and the block layer would; on a board
// with a virtual clock, sleep and nanosleep advance the board's time instead
// of waiting.  Without OSTRASIM_BOARD everything passes straight through.
#include "trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

template <typename F> F real(const char *name)
{
	static_assert(sizeof(F) == sizeof(void *));
	void *sym = dlsym(RTLD_NEXT, name);
	F f = nullptr;
	std::memcpy(&f, &sym, sizeof f);
	return f;
}

// set while the simulator itself runs, so that its own file use is not redirected
thread_local bool inside = false;

struct Inside {
	bool was;
	Inside() : was(inside)
	{
		inside = true;
	}
	~Inside()
	{
		inside = was;
	}
	Inside(const Inside &) = delete;
	Inside &operator=(const Inside &) = delete;
};

// never destroyed: the exit handler still reads it
std::map<int, std::string> &open_nodes()
{
	static auto *nodes = new std::map<int, std::string>;
	return *nodes;
}

bool starts_with(const char *s, const char *prefix)
{
	return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// A failure of the simulator, once on standard error (the same failure of
// the next requests is not repeated).
void report(const char *what)
{
	static auto *last = new std::string; // still there for the exit handler
	if (*last != what)
		std::fprintf(stderr, "ostrasim: %s\n", what);
	*last = what;
}

// Runs fn inside the simulator: a failure of the simulator is reported and
// gives false, never an exception in the program.
template <typename Fn> bool guarded(Fn fn)
{
	Inside in;
	try {
		fn();
		return true;
	} catch (const std::exception &e) {
		report(e.what());
	} catch (...) {
		report("unexpected failure");
	}
	return false;
}

// The program's arguments, for the run's header line in the trace.
int run_argc = 0;
char **run_argv = nullptr;

// The board; the first use also writes the run's header line, so that it
// stands before every other line of this process.
const sim::Board *board()
{
	static bool header = false;
	const sim::Board *b = nullptr;
	guarded([&] { b = sim::current_board(); });
	if (b != nullptr && !header) {
		header = true;
		guarded([&] { sim::trace_run(*b, run_argc, run_argv); });
	}
	return b;
}

// The board path for a board-side path, or empty when it is not one; node
// gets the drive node's name as the trace keeps it.
std::string mapped(const char *path, std::string *node)
{
	if (inside || path == nullptr)
		return {};
	const sim::Board *b = board();
	if (b == nullptr)
		return {};
	if (starts_with(path, "/dev/sd")) {
		if (node != nullptr)
			*node = sim::node_name(path + 5);
		return b->dir + path;
	}
	if (starts_with(path, "/sys/block/") || starts_with(path, "/tmp/ostra_"))
		return b->dir + path;
	return {};
}

// The driver's answer to opening a drive node: an injected failure, the
// real drive's check; a simulator failure fails the open with EIO.
bool open_fault(const std::string &node, int &err, sim::json &line)
{
	const sim::Board *b = board();
	bool failed = false;
	if (!guarded([&] { failed = sim::driver_open(*b, node, err, line) < 0; })) {
		err = EIO;
		return true;
	}
	return failed;
}

// preload_only: a line the kernel front end cannot see (an open that the
// kernel fails before any driver sees it)
void trace_node(const char *op, const std::string &node, int result, int err,
		bool preload_only = false, sim::json line = sim::json::object())
{
	const sim::Board *b = board();
	guarded([&] {
		sim::with_state(*b, [&](sim::json &) {
			line.update({{"op", op}, {"node", node}, {"result", result}});
			line["errno"] = result < 0 ? err : 0;
			if (preload_only)
				line["front"] = "preload";
			sim::append_trace(line);
		});
	});
}

template <typename OpenFn, typename... Args>
int open_common(OpenFn fn, const char *path, int flags, mode_t mode, Args... before)
{
	std::string node;
	const std::string board_path = mapped(path, &node);
	if (board_path.empty())
		return fn(before..., path, flags, mode);
	int err = 0;
	int fd = -1;
	bool injected = false;
	sim::json line = sim::json::object();
	if (!node.empty() && open_fault(node, err, line)) {
		injected = true;
	} else {
		fd = fn(before..., board_path.c_str(), flags, mode);
		err = errno;
		if (fd >= 0 && !node.empty())
			guarded([&] { sim::driver_bind(*board(), node, line); });
	}
	if (!node.empty()) {
		if (fd >= 0)
			open_nodes()[fd] = node;
		line.erase("injected");
		trace_node("open", node, fd, err, fd < 0 && !injected, line);
	}
	errno = err;
	return fd;
}

// At exit the trace gets a line with the nodes the process left open
// ({"op": "exit", "open": ["sda5"]}), so that a test can tell that every
// node opened was closed again.
void trace_exit()
{
	const sim::Board *b = board();
	if (b == nullptr)
		return;
	guarded([&] {
		sim::json open = sim::json::array();
		for (const auto &[fd, node] : open_nodes())
			open.push_back(node);
		sim::with_state(*b, [&](sim::json &) {
			sim::append_trace({{"op", "exit"}, {"open", open}, {"front", "preload"}});
		});
	});
}

// The C library hands the program's arguments to the constructors of the
// libraries it loads.
__attribute__((constructor)) void ostrasim_init(int argc, char **argv, char **)
{
	// the shells that system() starts must not load the simulator again;
	// OSTRASIM_PRELOAD_INHERIT keeps it for a dynamic launcher such as
	// valgrind's, which must hand it on to the program it starts
	if (std::getenv("OSTRASIM_PRELOAD_INHERIT") == nullptr)
		unsetenv("LD_PRELOAD");
	// the board is loaded on first use, once the driver's modules have
	// registered their requests
	const char *dir = std::getenv("OSTRASIM_BOARD");
	if (dir != nullptr && *dir != '\0') {
		run_argc = argc;
		run_argv = argv;
		std::atexit(trace_exit);
	}
}

} // namespace

// The mode argument of an open call, there only with O_CREAT or O_TMPFILE.
#define OSTRASIM_OPEN_MODE(mode, flags)                                                            \
	mode_t mode = 0;                                                                           \
	if (((flags) & (O_CREAT | O_TMPFILE)) != 0) {                                              \
		va_list ap;                                                                        \
		va_start(ap, flags);                                                               \
		(mode) = static_cast<mode_t>(va_arg(ap, int));                                     \
		va_end(ap);                                                                        \
	}

// the functions the program's calls reach in place of the C library's
#pragma GCC visibility push(default)
extern "C" {

int open(const char *path, int flags, ...)
{
	static auto fn = real<int (*)(const char *, int, mode_t)>("open");
	OSTRASIM_OPEN_MODE(mode, flags)
	return open_common(fn, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	static auto fn = real<int (*)(const char *, int, mode_t)>("open64");
	OSTRASIM_OPEN_MODE(mode, flags)
	return open_common(fn, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
	static auto fn = real<int (*)(int, const char *, int, mode_t)>("openat");
	OSTRASIM_OPEN_MODE(mode, flags)
	return open_common(fn, path, flags, mode, dirfd);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
	static auto fn = real<int (*)(int, const char *, int, mode_t)>("openat64");
	OSTRASIM_OPEN_MODE(mode, flags)
	return open_common(fn, path, flags, mode, dirfd);
}

// glibc's fortified entry points, interposed under their own names
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name is the C library's
int __open_2(const char *path, int flags)
{
	return open(path, flags);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name is the C library's
int __open64_2(const char *path, int flags)
{
	return open64(path, flags);
}

FILE *fopen(const char *path, const char *mode)
{
	static auto fn = real<FILE *(*)(const char *, const char *)>("fopen");
	const std::string board_path = mapped(path, nullptr);
	return fn(board_path.empty() ? path : board_path.c_str(), mode);
}

FILE *fopen64(const char *path, const char *mode)
{
	static auto fn = real<FILE *(*)(const char *, const char *)>("fopen64");
	const std::string board_path = mapped(path, nullptr);
	return fn(board_path.empty() ? path : board_path.c_str(), mode);
}

int system(const char *command)
{
	static auto fn = real<int (*)(const char *)>("system");
	static const char script[] = "/sbin/check_scsi_devfile.sh";
	if (inside || command == nullptr || std::strstr(command, script) == nullptr)
		return fn(command);
	const sim::Board *b = board();
	if (b == nullptr)
		return fn(command);
	// "SCRIPT NAME", its output to /dev/null or not: answered here as the
	// board's script answers (its exit status, or killed by a signal), with
	// no shell and no script to start
	std::string name;
	int status = -1;
	const char *arg = command + sizeof(script);
	if (std::strncmp(command, script, sizeof(script) - 1) == 0 &&
	    command[sizeof(script) - 1] == ' ')
		name.assign(arg, std::strcspn(arg, " "));
	const std::string rest = name.empty() ? "" : arg + name.size();
	if (!name.empty() && (rest.empty() || rest == " > /dev/null 2>&1")) {
		// a probe that cannot be answered (its log not the board's own)
		// fails system() itself, never a shell that would write the log
		if (guarded([&] { status = sim::probe(*b, name); }))
			return status;
		errno = EIO;
		return -1;
	}
	// else the shell runs it, with the probe in place of the shell ("exec"),
	// so that a probe that dies by a signal shows as a shell killed by it
	std::string line = command;
	const std::size_t at = line.find(script);
	line.replace(at, sizeof(script) - 1, b->dir + script);
	if (at == 0)
		line = "exec " + line;
	return fn(line.c_str());
}

int close(int fd)
{
	static auto fn = real<int (*)(int)>("close");
	auto &nodes = open_nodes();
	auto it = nodes.find(fd);
	if (it == nodes.end() || inside)
		return fn(fd);
	const std::string node = it->second;
	nodes.erase(it);
	const int r = fn(fd);
	const int err = errno;
	trace_node("close", node, r, err);
	errno = err;
	return r;
}

int ioctl(int fd, unsigned long request, ...)
{
	static auto fn = real<int (*)(int, unsigned long, void *)>("ioctl");
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	auto &nodes = open_nodes();
	auto it = nodes.find(fd);
	if (it == nodes.end() || inside)
		return fn(fd, request, arg);
	int err = EIO;
	int result = -1;
	guarded([&] { result = sim::driver_ioctl(*board(), it->second, request, arg, err); });
	errno = err;
	return result;
}

// On a board with a virtual clock, sleeping moves the board's time instead
// of waiting; everywhere else the real functions run.
static bool virtual_sleep(std::uint64_t ns)
{
	if (inside)
		return false;
	const sim::Board *b = board();
	if (b == nullptr || !b->info.virtual_clock)
		return false;
	// the board's time is in its state: one that cannot be saved would
	// leave a waiting program polling forever, so the run ends here
	Inside in;
	try {
		sim::advance_clock(*b, ns);
	} catch (const std::exception &e) {
		std::fprintf(stderr,
			     "ostrasim: %s: the board's clock cannot advance, the run ends\n",
			     e.what());
		std::fflush(nullptr);
		_exit(125);
	}
	return true;
}

unsigned int sleep(unsigned int seconds)
{
	static auto fn = real<unsigned int (*)(unsigned int)>("sleep");
	return virtual_sleep(seconds * std::uint64_t{1000000000}) ? 0 : fn(seconds);
}

int nanosleep(const struct timespec *req, struct timespec *rem)
{
	static auto fn = real<int (*)(const struct timespec *, struct timespec *)>("nanosleep");
	if (req == nullptr || req->tv_sec < 0 || req->tv_nsec < 0 || req->tv_nsec >= 1000000000 ||
	    !virtual_sleep(static_cast<std::uint64_t>(req->tv_sec) * 1000000000U +
			   static_cast<std::uint64_t>(req->tv_nsec)))
		return fn(req, rem);
	if (rem != nullptr)
		*rem = {};
	return 0;
}

} // extern "C"
#pragma GCC visibility pop
