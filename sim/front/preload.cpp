// preload.cpp - LD_PRELOAD side of the board simulator.
//
// Redirects the board's paths into the board directory named by
// OSTRASIM_BOARD: /dev/sd*, /sys/block/*, /tmp/ostra_* and the probe script,
// given to any call that takes a path or inside command lines given to
// system(); answers ioctl on the redirected drive nodes as the ztostra driver
// and the block layer would; on a board with a virtual clock, sleep and
// nanosleep advance the board's time instead of waiting.  The programs the
// program starts keep the library (or are refused when it cannot reach them).
// Without OSTRASIM_BOARD everything passes straight through.
#include "program.h"
#include "trace.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
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

// A failure of the simulator, once on standard error (the same failure of
// the next requests is not repeated).
void report(const std::string &what)
{
	static auto *last = new std::string; // still there for the exit handler
	if (*last != what)
		std::fprintf(stderr, "ostrasim: %s\n", what.c_str());
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

// fn(), or failed with errno err when the simulator runs out of memory: no
// exception reaches the program.
template <typename R, typename Fn> R safely(R failed, int err, Fn fn) noexcept
{
	try {
		return fn();
	} catch (...) {
		errno = err;
		return failed;
	}
}

// The simulator's variables as the program got them: the programs it starts
// get the same, whatever it does to its own environment.
struct Env {
	std::string board;        // OSTRASIM_BOARD, absolute and normalised
	long run_pid = 0;         // OSTRASIM_RUN_PID: the run's program, the others its children
	std::string lib, ppc_lib; // OSTRASIM_LIB, OSTRASIM_PPC_LIB: the two libraries
	std::string sysroot;      // OSTRASIM_PPC_SYSROOT
	std::string asan;         // ASAN_OPTIONS, which a sanitized library needs in every process
	bool inherit = false;     // OSTRASIM_PRELOAD_INHERIT: a launcher hands the library on
};
Env &env()
{
	static auto *e = new Env; // never destroyed: the exit handler still reads it
	return *e;
}

// This library's file, as the dynamic loader found it.
std::string own_library()
{
	static const char anchor = 0;
	Dl_info info{};
	return ::dladdr(&anchor, &info) != 0 && info.dli_fname != nullptr ? info.dli_fname : "";
}

// The program's arguments, for the run's header line in the trace.
int run_argc = 0;
char **run_argv = nullptr;
pid_t header_pid = 0; // the process whose program's header is in the trace
pid_t traced_pid = 0; // the process that had a header before exec started this program

// A program the run's program started (or one of theirs), or a fork of it.
bool is_child()
{
	return ::getpid() != env().run_pid;
}

// The board as last read (a copy that stays whole while it is used); the
// first use in a process also writes its header line, so that it stands
// before every other line of the process.
std::shared_ptr<const sim::Board> board()
{
	std::shared_ptr<const sim::Board> b;
	guarded([&] {
		if (const sim::LiveBoard *live = sim::current_board())
			b = live->get();
	});
	if (b != nullptr && header_pid != ::getpid()) {
		header_pid = ::getpid();
		guarded([&] {
			sim::json extra = sim::json::object();
			if (is_child())
				extra["child_of"] = env().run_pid;
			if (traced_pid == ::getpid())
				extra["in_place"] = true;
			sim::trace_run(*b, run_argc, run_argv, extra);
		});
	}
	return b;
}

// What the library keeps from the program: said on standard error (with
// the hint) and in the trace ({"op": "refused", "path", "why"}).
void refuse(const std::string &what, const std::string &why, const std::string &hint = "")
{
	report(sim::node_name(what) + ": " + why + hint);
	const auto b = board();
	guarded([&] {
		if (b != nullptr)
			sim::with_trace(*b, [&] {
				sim::append_trace({{"op", "refused"},
						   {"path", sim::node_name(what)},
						   {"why", why},
						   {"front", "preload"}});
			});
	});
}

// --- the path trap ---------------------------------------------------------------
// Every call that takes a path asks trap_path where it leads: the path is
// made absolute (a relative one against the working folder or the folder of
// its dirfd) and normalised lexically ("//", "/./", "/../"), then matched
// against the board's paths.  No spelling of a board path reaches the host's
// file of that name; a path whose folder cannot be told is refused.

// The board's paths: a file or folder with everything below it, or (prefix)
// every name that begins so.
struct BoardPath {
	const char *path;
	bool prefix;
};
constexpr BoardPath board_paths[] = {
	{"/dev/sd", true},                      // the drive nodes: sda, sda5, ...
	{"/sys/block", false},                  // the drives' sysfs folders
	{"/tmp/ostra_", true},                  // the report files
	{"/sbin/check_scsi_devfile.sh", false}, // the drive probe script
};
constexpr std::size_t node_at = 5; // the node's name in "/dev/sda"

// path made absolute against base, without empty, "." and ".." components
// ("/.." is "/").
std::string normalised(const std::string &base, const char *path)
{
	const std::string whole = path[0] == '/' ? std::string(path) : base + "/" + path;
	std::string out;
	for (std::size_t at = 0; at < whole.size();) {
		const std::size_t end = std::min(whole.find('/', at), whole.size());
		const std::string part = whole.substr(at, end - at);
		if (part == "..")
			out.erase(std::min(out.rfind('/'), out.size()));
		else if (!part.empty() && part != ".")
			out += "/" + part;
		at = end + 1;
	}
	return out.empty() ? "/" : out;
}

// Where a call on a path goes: the program's own path, or the board's file.
struct Trapped {
	const char *given;
	std::string board; // the board's file by its path, when the path is one of the board's
	std::string rel;   // the same relative to the board folder, without a trailing '/'
	std::string node;  // and the drive node's name, when it is a node
	int err = 0;       // refused with this errno: the path's folder cannot be told
	const char *path() const
	{
		return board.empty() ? given : board.c_str();
	}
	bool folder() const // named with a trailing '/'
	{
		return !board.empty() && board.back() == '/';
	}
};

Trapped trap_path(int dirfd, const char *path)
{
	Trapped t{path, {}, {}, {}};
	const std::string &dir = env().board;
	if (inside || path == nullptr || *path == '\0' || dir.empty())
		return t;
	std::string base;
	if (path[0] != '/') {
		char buf[PATH_MAX];
		ssize_t n = -1;
		if (dirfd == AT_FDCWD)
			n = ::getcwd(buf, sizeof buf) != nullptr
				    ? static_cast<ssize_t>(std::strlen(buf))
				    : -1;
		else
			n = ::readlink(("/proc/self/fd/" + std::to_string(dirfd)).c_str(), buf,
				       sizeof buf);
		if (n <= 0 || n >= static_cast<ssize_t>(sizeof buf) || buf[0] != '/') {
			t.err = n < 0 ? errno : ENOTDIR;
			return t;
		}
		base.assign(buf, static_cast<std::size_t>(n));
	}
	const std::string full = normalised(base, path);
	if (dir != "/" && full.compare(0, dir.size(), dir) == 0 &&
	    (full.size() == dir.size() || full[dir.size()] == '/'))
		return t; // a file of the board's folder itself
	for (const BoardPath &b : board_paths) {
		const std::size_t n = std::strlen(b.path);
		if (full.compare(0, n, b.path) != 0 ||
		    !(b.prefix || full.size() == n || full[n] == '/'))
			continue;
		if (&b == board_paths && full.find('/', node_at) == std::string::npos)
			t.node = sim::node_name(full.substr(node_at));
		t.board = dir + full + (path[std::strlen(path) - 1] == '/' ? "/" : "");
		t.rel = full.substr(1);
		break;
	}
	return t;
}

// The board's folder, every board file the program reaches is reached from
// (null: the board could not be read, said once).
const sim::BoardDir *board_root()
{
	const auto b = board();
	if (b != nullptr && !b->root)
		report(b->error);
	return b != nullptr ? b->root.get() : nullptr;
}

// How a call that takes a path reaches the board's file t: beneath the
// board folder without a link on the way, by the file itself ("follow": the
// call would follow a link there) or by its name in its folder; the
// descriptor held for it.  Empty, errno set, when it cannot be reached.
struct Reach {
	sim::Fd held;
	std::string path;
};
Reach reach(const Trapped &t, bool follow)
{
	Reach r;
	const sim::BoardDir *root = board_root();
	const std::size_t cut = t.rel.rfind('/');
	if (root == nullptr || cut == std::string::npos) {
		errno = EIO;
		return r;
	}
	Inside in;
	struct stat st {};
	r.held = root->open_unchecked(follow ? t.rel : t.rel.substr(0, cut),
				      O_PATH | (follow ? 0 : O_DIRECTORY), 0, st);
	if (r.held)
		r.path = "/proc/self/fd/" + std::to_string(r.held.get()) +
			 (follow ? "" : t.rel.substr(cut)) + (t.folder() ? "/" : "");
	return r;
}

// Runs fn on the path the trap gives, or fails with its errno; follow: the
// call follows a link at the path's last name.
template <typename Fn> int on_path(int dirfd, const char *path, bool follow, Fn fn)
{
	return safely(-1, ENOMEM, [&] {
		const Trapped t = trap_path(dirfd, path);
		errno = t.err;
		if (t.err != 0 || t.board.empty())
			return t.err != 0 ? -1 : fn(path);
		const Reach r = reach(t, follow);
		return r.held ? fn(r.path.c_str()) : -1;
	});
}

// The same for a call that takes two paths (neither followed).
template <typename Fn>
int on_paths(int dirfd, const char *path, int dirfd2, const char *path2, Fn fn)
{
	return on_path(dirfd, path, false, [&](const char *p) {
		return on_path(dirfd2, path2, false, [&](const char *q) { return fn(p, q); });
	});
}

// A board file the program opens, beneath the board folder: never through
// a link, a FIFO never waited on, a file with a second name refused (errno
// as BoardDir::try_open gives it); a folder of the board's opens too.
int open_board(const Trapped &t, int flags, mode_t mode)
{
	const sim::BoardDir *root = board_root();
	if (root == nullptr) {
		errno = EIO;
		return -1;
	}
	Inside in;
	sim::Fd f = root->try_open(t.rel, flags, mode);
	struct stat st {};
	if (!f && errno == EISDIR)
		f = root->open_unchecked(t.rel, flags, mode, st);
	if (f && t.folder() && (::fstat(f.get(), &st) != 0 || !S_ISDIR(st.st_mode))) {
		errno = ENOTDIR;
		return -1;
	}
	if (!f)
		return -1;
	// the lowest free number, as the program's own open would give it (the
	// walk of a kernel without openat2 held a folder open meanwhile)
	sim::Fd low(::fcntl(f.get(), (flags & O_CLOEXEC) != 0 ? F_DUPFD_CLOEXEC : F_DUPFD, 0));
	if (low && low.get() < f.get())
		return low.release();
	if ((flags & O_CLOEXEC) == 0)
		::fcntl(f.get(), F_SETFD, 0);
	return f.release();
}

// Whether fd, opened on a path of the host's, is a block device: a disk of
// the host's, never one of the board's (a symbolic link, a node made
// elsewhere); said and traced as refused.
bool host_disk(int fd, const char *path)
{
	struct stat st {};
	if (fd < 0 || inside || env().board.empty() || ::fstat(fd, &st) != 0 ||
	    !S_ISBLK(st.st_mode))
		return false;
	refuse(path, "a block device of the host's, not a node of the board's");
	return true;
}

// The driver's answer to opening a drive node: the description read again
// (as serve does at each open), an injected failure, the real drive's
// check; a simulator failure fails the open with EIO.
bool open_fault(const std::string &node, int &err, sim::json &line)
{
	board(); // (its header first)
	guarded([] {
		if (sim::LiveBoard *live = sim::current_board())
			live->reload();
	});
	const auto b = board();
	bool failed = false;
	if (b == nullptr || !guarded([&] { failed = sim::driver_open(*b, node, err, line) < 0; })) {
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
	const auto b = board();
	guarded([&] {
		sim::with_trace(*b, [&] {
			line.update({{"op", op}, {"node", node}, {"result", result}});
			line["errno"] = result < 0 ? err : 0;
			if (preload_only)
				line["front"] = "preload";
			sim::append_trace(line);
		});
	});
}

// fn(path) opens a host file; a node of the board's is never made by the
// program.
template <typename OpenFn, typename CloseFn>
int open_trapped(int dirfd, const char *path, int flags, mode_t mode, OpenFn fn, CloseFn close_fn)
{
	const Trapped t = trap_path(dirfd, path);
	if (t.err != 0) {
		errno = t.err;
		return -1;
	}
	if (t.board.empty()) {
		const int fd = fn(path);
		if ((flags & O_PATH) != 0 || !host_disk(fd, path))
			return fd;
		close_fn(fd);
		errno = EACCES;
		return -1;
	}
	if (t.node.empty())
		return open_board(t, flags, mode);
	int err = 0;
	int fd = -1;
	bool injected = false;
	sim::json line = sim::json::object();
	if (open_fault(t.node, err, line)) {
		injected = true;
	} else {
		fd = open_board(t, flags & ~O_CREAT, mode);
		err = errno;
		if (fd < 0 && err == ENOENT)
			line["refused"] = "the board has no node " + t.node;
		if (fd >= 0)
			guarded([&] { sim::driver_bind(*board(), t.node, line); });
	}
	if (fd >= 0)
		open_nodes()[fd] = t.node;
	trace_node("open", t.node, fd, err, fd < 0 && !injected, line);
	errno = err;
	return fd;
}

template <typename OpenFn>
int open_common(int dirfd, const char *path, int flags, mode_t mode, OpenFn fn)
{
	static auto close_fn = real<int (*)(int)>("close");
	return safely(-1, ENOMEM,
		      [&] { return open_trapped(dirfd, path, flags, mode, fn, close_fn); });
}

// fn(path) opens a stream with mode; a board file is opened beneath the
// board folder first (made, for "w" and "a"), then by its descriptor.
template <typename Fn> FILE *fopen_common(const char *path, const char *mode, Fn fn)
{
	static auto fclose_fn = real<int (*)(FILE *)>("fclose");
	return safely(static_cast<FILE *>(nullptr), ENOMEM, [&]() -> FILE * {
		const Trapped t = trap_path(AT_FDCWD, path);
		errno = t.err;
		if (t.err != 0 || mode == nullptr)
			return t.err != 0 ? nullptr : fn(path);
		if (!t.board.empty()) {
			const bool write = mode[0] == 'w' || mode[0] == 'a';
			const sim::Fd fd(open_board(t, (write ? O_CREAT : 0) | O_RDONLY, 0666));
			return fd ? fn(("/proc/self/fd/" + std::to_string(fd.get())).c_str())
				  : nullptr;
		}
		FILE *f = fn(path);
		if (f == nullptr || !host_disk(::fileno(f), path))
			return f;
		fclose_fn(f);
		errno = EACCES;
		return nullptr;
	});
}

// At exit the trace gets a line with the nodes the process left open
// ({"op": "exit", "open": ["sda5"]}), so that a test can tell that every
// node opened was closed again; a child that never reached the board
// leaves no line.
void trace_exit()
{
	if (header_pid != ::getpid() && is_child())
		return;
	const auto b = board();
	if (b == nullptr)
		return;
	guarded([&] {
		sim::json open = sim::json::array();
		for (const auto &[fd, node] : open_nodes())
			open.push_back(node);
		sim::with_trace(*b, [&] {
			sim::append_trace({{"op", "exit"}, {"open", open}, {"front", "preload"}});
		});
	});
}

// --- the programs the program starts ------------------------------------------------
// They keep the library, whatever environment the program gives them: a host
// program gets the host library in LD_PRELOAD, a PowerPC one runs under
// qemu-ppc with the PowerPC library.  A program the library cannot reach (a
// static one, or one that gains privileges, for which the C library drops
// LD_PRELOAD) is refused: it does not start, and the refusal is said and
// traced.

#if defined(__powerpc__) && !defined(__powerpc64__)
constexpr bool own_ppc = true;
#else
constexpr bool own_ppc = false;
#endif

std::vector<std::pair<const char *, std::string>> simulator_vars()
{
	const Env &e = env();
	return {
		{"OSTRASIM_BOARD", e.board},
		{"OSTRASIM_RUN_PID", std::to_string(e.run_pid)},
		{"OSTRASIM_LIB", e.lib},
		{"OSTRASIM_PPC_LIB", e.ppc_lib},
		{"OSTRASIM_PPC_SYSROOT", e.sysroot},
#ifdef __SANITIZE_ADDRESS__
		{"ASAN_OPTIONS", e.asan},
#endif
	};
}

// LD_PRELOAD of a host program: the host library, then the entries of
// given that are not the simulator's.
std::string host_preload(const char *given)
{
	const Env &e = env();
	std::string out = e.lib;
	const std::string list = given != nullptr ? given : "";
	for (std::size_t at = 0; at < list.size();) {
		const std::size_t end = std::min(list.find_first_of(" :", at), list.size());
		const std::string entry = list.substr(at, end - at);
		if (!entry.empty() && entry != e.lib && entry != e.ppc_lib)
			out += " " + entry;
		at = end + 1;
	}
	return out;
}

// The environment of a program started with envp: the simulator's variables
// as the program got them; LD_PRELOAD as a host program needs it, or none
// for qemu-ppc; OSTRASIM_EXEC_PID when it takes the place of a process whose
// header is in the trace.
std::vector<std::string> child_env(char *const envp[], bool ppc)
{
	std::vector<std::string> out;
	const char *preload = nullptr;
	if (header_pid == ::getpid() || traced_pid == ::getpid())
		out.push_back("OSTRASIM_EXEC_PID=" + std::to_string(::getpid()));
	for (char *const *v = envp; v != nullptr && *v != nullptr; v++) {
		const std::string var = *v;
		const std::string name = var.substr(0, var.find('='));
		bool ours = name == "LD_PRELOAD" || name == "OSTRASIM_EXEC_PID" ||
			    name == "OSTRASIM_HEADER_PID";
		for (const auto &[n, value] : simulator_vars())
			ours = ours || name == n;
		if (name == "LD_PRELOAD")
			preload = *v + name.size() + 1;
		if (!ours)
			out.push_back(var);
	}
	for (const auto &[name, value] : simulator_vars())
		if (!value.empty())
			out.push_back(std::string(name) + "=" + value);
	if (!ppc)
		out.push_back("LD_PRELOAD=" + host_preload(preload));
	return out;
}

// How a program the program starts runs against the board.
struct Start {
	bool as_given = true;  // as the program asked (no board, or it cannot start anyway)
	std::string file, why; // else this file with these arguments, or refused: why
	std::vector<std::string> args, vars;
};

Start start_of(const char *file, bool search, char *const argv[], char *const envp[])
{
	Start s;
	const Env &e = env();
	if (inside || e.board.empty() || e.inherit || file == nullptr)
		return s;
	const std::string found = search ? sim::find_program(file, std::getenv("PATH")) : file;
	const Trapped t = trap_path(AT_FDCWD, found.c_str());
	struct stat st {};
	if (found.empty() || t.err != 0 || ::stat(t.path(), &st) != 0 || !S_ISREG(st.st_mode))
		return s; // it fails as it would
	s.as_given = false;
	s.file = t.path();
	const sim::ProgramFile f = sim::program_file(s.file);
	if (((st.st_mode & S_ISUID) != 0 && st.st_uid != ::getuid()) ||
	    ((st.st_mode & S_ISGID) != 0 && st.st_gid != ::getgid()))
		s.why = "a set-user-ID or set-group-ID program: the C library drops the preload "
			"library for it";
	else if (f.kind == sim::ProgramFile::none)
		s.why = "cannot be read, so cannot be told static or not";
	else if (!f.dynamic)
		s.why = sim::static_refusal;
	else if (f.kind == sim::ProgramFile::ppc && f.path != s.file)
		s.why = "a script of a PowerPC interpreter: run the interpreter with it";
	else if (f.kind == sim::ProgramFile::host && e.lib.empty())
		s.why = "a host program, and no host simulator library (OSTRASIM_LIB names one)";
	else if (f.kind == sim::ProgramFile::ppc && e.ppc_lib.empty())
		s.why = "a PowerPC program, and no PowerPC simulator library (OSTRASIM_PPC_LIB "
			"names one)";
	if (!s.why.empty())
		return s;
	std::vector<std::string> args;
	for (char *const *a = argv; a != nullptr && *a != nullptr; a++)
		args.emplace_back(*a);
	s.vars = child_env(envp, f.kind == sim::ProgramFile::ppc);
	if (f.kind == sim::ProgramFile::host) {
		s.args = args;
		return s;
	}
	const std::string qemu = sim::find_program("qemu-ppc", std::getenv("PATH"));
	if (qemu.empty()) {
		s.why = "a PowerPC program, and no qemu-ppc (Debian package qemu-user)";
		return s;
	}
	s.args = {"qemu-ppc",
		  "-L",
		  e.sysroot,
		  "-E",
		  "LD_PRELOAD=" + e.ppc_lib,
		  "-0",
		  args.empty() ? s.file : args[0],
		  s.file};
	if (!args.empty())
		s.args.insert(s.args.end(), args.begin() + 1, args.end());
	s.file = qemu;
	return s;
}

std::vector<char *> pointers(std::vector<std::string> &strings)
{
	std::vector<char *> p;
	p.reserve(strings.size() + 1);
	for (std::string &s : strings)
		p.push_back(s.data());
	p.push_back(nullptr);
	return p;
}

// Starts a program as fn(file, argv, envp) would, by the board's rule for
// it; a refused one gives `refused` with errno EACCES.
template <typename Fn>
int start(const char *file, bool search, char *const argv[], char *const envp[], int refused, Fn fn)
{
	return safely(refused, ENOMEM, [&] {
		Start s = start_of(file, search, argv, envp);
		if (!s.why.empty()) {
			refuse(s.file, s.why, sim::kernel_hint(env().board));
			errno = EACCES;
			return refused;
		}
		if (s.as_given)
			return fn(file, argv, envp);
		std::vector<char *> args = pointers(s.args), vars = pointers(s.vars);
		return fn(s.file.c_str(), args.data(), vars.data());
	});
}

// The arguments of execl, execle and execlp up to their null one, and
// execle's environment after it.
std::vector<char *> arg_list(const char *arg, va_list ap, char *const **envp)
{
	std::vector<char *> args = {const_cast<char *>(arg)};
	while (args.back() != nullptr)
		args.push_back(va_arg(ap, char *));
	if (envp != nullptr)
		*envp = va_arg(ap, char *const *);
	return args;
}

// The environment the shells of system() and popen() inherit: the
// simulator's variables and the host library first in LD_PRELOAD, whatever
// the program did to its own; false (said) when no host library is known.
bool keep_env()
{
	return safely(false, ENOMEM, [] {
		const Env &e = env();
		if (inside || e.board.empty() || e.inherit)
			return true;
		if (e.lib.empty()) {
			refuse("/bin/sh", "a host program, and no host simulator library "
					  "(OSTRASIM_LIB names one)");
			return false;
		}
		for (const auto &[name, value] : simulator_vars())
			if (!value.empty())
				setenv(name, value.c_str(), 1);
		setenv("LD_PRELOAD", host_preload(std::getenv("LD_PRELOAD")).c_str(), 1);
		return true;
	});
}

// The simulator's variables read, as the program got them.
void start_simulator(const char *dir)
{
	Env &e = env();
	char cwd[PATH_MAX];
	e.board = normalised(::getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/", dir);
	const auto var = [](const char *name) {
		const char *v = std::getenv(name);
		return std::string(v != nullptr ? v : "");
	};
	const std::string pid = var("OSTRASIM_RUN_PID");
	e.run_pid = pid.find_first_not_of("0123456789") == std::string::npos && !pid.empty() &&
				    pid.size() < 10
			    ? std::stol(pid)
			    : ::getpid(); // started by hand: this is the run's program
	e.lib = var("OSTRASIM_LIB");
	e.ppc_lib = var("OSTRASIM_PPC_LIB");
	std::string &own = own_ppc ? e.ppc_lib : e.lib;
	if (own.empty())
		own = own_library();
	e.sysroot = var("OSTRASIM_PPC_SYSROOT");
	if (e.sysroot.empty())
		e.sysroot = OSTRASIM_PPC_SYSROOT;
#ifdef __SANITIZE_ADDRESS__
	e.asan = var("ASAN_OPTIONS");
#endif
	e.inherit = !var("OSTRASIM_PRELOAD_INHERIT").empty();
	if (var("OSTRASIM_EXEC_PID") == std::to_string(::getpid()))
		traced_pid = ::getpid();
	// `ostrasim run` wrote the header of the program it started
	if (var("OSTRASIM_HEADER_PID") == std::to_string(::getpid()))
		header_pid = ::getpid();
	if (!e.lib.empty()) // the shells of the C library's own functions too
		keep_env();
}

// The C library hands the program's arguments to the constructors of the
// libraries it loads.
__attribute__((constructor)) void ostrasim_init(int argc, char **argv, char **)
{
	// the board is loaded on first use, once the driver's modules have
	// registered their requests
	const char *dir = std::getenv("OSTRASIM_BOARD");
	if (dir == nullptr || *dir == '\0')
		return;
	try {
		start_simulator(dir);
	} catch (...) { // the program never runs unwatched
		std::fputs("ostrasim: out of memory starting the simulator\n", stderr);
		std::_Exit(127);
	}
	run_argc = argc;
	run_argv = argv;
	std::atexit(trace_exit);
}

// The probe script's command answered in this process, else the shell
// (shell(line)).
template <typename Fn> int probe_or_shell(const char *command, Fn shell)
{
	static const char script[] = "/sbin/check_scsi_devfile.sh";
	const auto b = std::strstr(command, script) != nullptr ? board() : nullptr;
	if (b == nullptr)
		return shell(command);
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
	return shell(line.c_str());
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

// A call that takes a path (from dirfd) reaches the file the trap gives:
// fn's arguments are args, the trapped path p among them; follow: whether
// the call follows a link at the path's last name.
#define OSTRASIM_PATH_CALL(name, params, dirfd, path, follow, args)                                \
	int name params                                                                            \
	{                                                                                          \
		static const auto fn = real<decltype(&(name))>(#name);                             \
		return on_path(dirfd, path, follow, [&](const char *p) { return fn args; });       \
	}
// and one that takes two (p and q)
#define OSTRASIM_PATHS_CALL(name, params, dirfd, path, dirfd2, path2, args)                        \
	int name params                                                                            \
	{                                                                                          \
		static const auto fn = real<decltype(&(name))>(#name);                             \
		return on_paths(dirfd, path, dirfd2, path2,                                        \
				[&](const char *p, const char *q) { return fn args; });            \
	}

// the functions the program's calls reach in place of the C library's
#pragma GCC visibility push(default)
extern "C" {

int open(const char *path, int flags, ...)
{
	static auto fn = real<int (*)(const char *, int, mode_t)>("open");
	OSTRASIM_OPEN_MODE(mode, flags)
	return open_common(AT_FDCWD, path, flags, mode,
			   [&](const char *p) { return fn(p, flags, mode); });
}

int open64(const char *path, int flags, ...)
{
	static auto fn = real<int (*)(const char *, int, mode_t)>("open64");
	OSTRASIM_OPEN_MODE(mode, flags)
	return open_common(AT_FDCWD, path, flags, mode,
			   [&](const char *p) { return fn(p, flags, mode); });
}

int openat(int dirfd, const char *path, int flags, ...)
{
	static auto fn = real<int (*)(int, const char *, int, mode_t)>("openat");
	OSTRASIM_OPEN_MODE(mode, flags)
	return open_common(dirfd, path, flags, mode,
			   [&](const char *p) { return fn(dirfd, p, flags, mode); });
}

int openat64(int dirfd, const char *path, int flags, ...)
{
	static auto fn = real<int (*)(int, const char *, int, mode_t)>("openat64");
	OSTRASIM_OPEN_MODE(mode, flags)
	return open_common(dirfd, path, flags, mode,
			   [&](const char *p) { return fn(dirfd, p, flags, mode); });
}

int creat(const char *path, mode_t mode)
{
	return open(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

int creat64(const char *path, mode_t mode)
{
	return open64(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
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

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name is the C library's
int __openat_2(int dirfd, const char *path, int flags)
{
	return openat(dirfd, path, flags);
}

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name is the C library's
int __openat64_2(int dirfd, const char *path, int flags)
{
	return openat64(dirfd, path, flags);
}

FILE *fopen(const char *path, const char *mode)
{
	static auto fn = real<FILE *(*)(const char *, const char *)>("fopen");
	return fopen_common(path, mode, [&](const char *p) { return fn(p, mode); });
}

FILE *fopen64(const char *path, const char *mode)
{
	static auto fn = real<FILE *(*)(const char *, const char *)>("fopen64");
	return fopen_common(path, mode, [&](const char *p) { return fn(p, mode); });
}

FILE *freopen(const char *path, const char *mode, FILE *stream)
{
	static auto fn = real<FILE *(*)(const char *, const char *, FILE *)>("freopen");
	if (path == nullptr)
		return fn(path, mode, stream);
	return fopen_common(path, mode, [&](const char *p) { return fn(p, mode, stream); });
}

FILE *freopen64(const char *path, const char *mode, FILE *stream)
{
	static auto fn = real<FILE *(*)(const char *, const char *, FILE *)>("freopen64");
	if (path == nullptr)
		return fn(path, mode, stream);
	return fopen_common(path, mode, [&](const char *p) { return fn(p, mode, stream); });
}

DIR *opendir(const char *path)
{
	static auto fn = real<DIR *(*)(const char *)>("opendir");
	return safely(static_cast<DIR *>(nullptr), ENOMEM, [&]() -> DIR * {
		const Trapped t = trap_path(AT_FDCWD, path);
		errno = t.err;
		if (t.err != 0 || t.board.empty())
			return t.err != 0 ? nullptr : fn(path);
		const int fd = open_board(t, O_RDONLY | O_DIRECTORY, 0);
		DIR *d = fd >= 0 ? ::fdopendir(fd) : nullptr;
		if (d == nullptr && fd >= 0)
			::close(fd);
		return d;
	});
}

// what the program can learn of a path, and what changes the folder it lies in
OSTRASIM_PATH_CALL(stat, (const char *f, struct stat *st), AT_FDCWD, f, true, (p, st))
OSTRASIM_PATH_CALL(stat64, (const char *f, struct stat64 *st), AT_FDCWD, f, true, (p, st))
OSTRASIM_PATH_CALL(lstat, (const char *f, struct stat *st), AT_FDCWD, f, false, (p, st))
OSTRASIM_PATH_CALL(lstat64, (const char *f, struct stat64 *st), AT_FDCWD, f, false, (p, st))
OSTRASIM_PATH_CALL(fstatat, (int d, const char *f, struct stat *st, int fl), d, f,
		   (fl & AT_SYMLINK_NOFOLLOW) == 0, (d, p, st, fl))
OSTRASIM_PATH_CALL(fstatat64, (int d, const char *f, struct stat64 *st, int fl), d, f,
		   (fl & AT_SYMLINK_NOFOLLOW) == 0, (d, p, st, fl))
OSTRASIM_PATH_CALL(statx, (int d, const char *f, int fl, unsigned m, struct statx *st), d, f,
		   (fl & AT_SYMLINK_NOFOLLOW) == 0, (d, p, fl, m, st))
OSTRASIM_PATH_CALL(access, (const char *f, int m), AT_FDCWD, f, true, (p, m))
OSTRASIM_PATH_CALL(euidaccess, (const char *f, int m), AT_FDCWD, f, true, (p, m))
OSTRASIM_PATH_CALL(eaccess, (const char *f, int m), AT_FDCWD, f, true, (p, m))
OSTRASIM_PATH_CALL(faccessat, (int d, const char *f, int m, int fl), d, f,
		   (fl & AT_SYMLINK_NOFOLLOW) == 0, (d, p, m, fl))
OSTRASIM_PATH_CALL(truncate, (const char *f, off_t n), AT_FDCWD, f, true, (p, n))
OSTRASIM_PATH_CALL(truncate64, (const char *f, off64_t n), AT_FDCWD, f, true, (p, n))
OSTRASIM_PATH_CALL(chmod, (const char *f, mode_t m), AT_FDCWD, f, true, (p, m))
OSTRASIM_PATH_CALL(fchmodat, (int d, const char *f, mode_t m, int fl), d, f,
		   (fl & AT_SYMLINK_NOFOLLOW) == 0, (d, p, m, fl))
OSTRASIM_PATH_CALL(chown, (const char *f, uid_t u, gid_t g), AT_FDCWD, f, true, (p, u, g))
OSTRASIM_PATH_CALL(lchown, (const char *f, uid_t u, gid_t g), AT_FDCWD, f, false, (p, u, g))
OSTRASIM_PATH_CALL(fchownat, (int d, const char *f, uid_t u, gid_t g, int fl), d, f,
		   (fl & AT_SYMLINK_NOFOLLOW) == 0, (d, p, u, g, fl))
OSTRASIM_PATH_CALL(mkdir, (const char *f, mode_t m), AT_FDCWD, f, false, (p, m))
OSTRASIM_PATH_CALL(mkdirat, (int d, const char *f, mode_t m), d, f, false, (d, p, m))
OSTRASIM_PATH_CALL(mknod, (const char *f, mode_t m, dev_t dev), AT_FDCWD, f, false, (p, m, dev))
OSTRASIM_PATH_CALL(mknodat, (int d, const char *f, mode_t m, dev_t dev), d, f, false,
		   (d, p, m, dev))
OSTRASIM_PATH_CALL(rmdir, (const char *f), AT_FDCWD, f, false, (p))
OSTRASIM_PATH_CALL(unlink, (const char *f), AT_FDCWD, f, false, (p))
OSTRASIM_PATH_CALL(unlinkat, (int d, const char *f, int fl), d, f, false, (d, p, fl))
OSTRASIM_PATH_CALL(remove, (const char *f), AT_FDCWD, f, false, (p))
OSTRASIM_PATH_CALL(symlink, (const char *to, const char *f), AT_FDCWD, f, false, (to, p))
OSTRASIM_PATH_CALL(symlinkat, (const char *to, int d, const char *f), d, f, false, (to, d, p))
OSTRASIM_PATHS_CALL(rename, (const char *f, const char *g), AT_FDCWD, f, AT_FDCWD, g, (p, q))
OSTRASIM_PATHS_CALL(renameat, (int d, const char *f, int d2, const char *g), d, f, d2, g,
		    (d, p, d2, q))
OSTRASIM_PATHS_CALL(renameat2, (int d, const char *f, int d2, const char *g, unsigned fl), d, f, d2,
		    g, (d, p, d2, q, fl))
OSTRASIM_PATHS_CALL(link, (const char *f, const char *g), AT_FDCWD, f, AT_FDCWD, g, (p, q))
OSTRASIM_PATHS_CALL(linkat, (int d, const char *f, int d2, const char *g, int fl), d, f, d2, g,
		    (d, p, d2, q, fl))

// the programs the program starts
int execve(const char *path, char *const argv[], char *const envp[])
{
	static auto fn = real<decltype(&execve)>("execve");
	return start(path, false, argv, envp, -1, fn);
}

int execvpe(const char *file, char *const argv[], char *const envp[])
{
	static auto fn = real<decltype(&execvpe)>("execvpe");
	return start(file, true, argv, envp, -1, fn);
}

int execv(const char *path, char *const argv[])
{
	return execve(path, argv, environ);
}

int execvp(const char *file, char *const argv[])
{
	return execvpe(file, argv, environ);
}

int fexecve(int fd, char *const argv[], char *const envp[])
{
	return safely(-1, ENOMEM, [&] {
		return execve(("/proc/self/fd/" + std::to_string(fd)).c_str(), argv, envp);
	});
}

int execl(const char *path, const char *arg, ...)
{
	va_list ap;
	va_start(ap, arg);
	const int r = safely(-1, ENOMEM, [&] {
		std::vector<char *> args = arg_list(arg, ap, nullptr);
		return execve(path, args.data(), environ);
	});
	va_end(ap);
	return r;
}

int execle(const char *path, const char *arg, ...)
{
	char *const *envp = nullptr;
	va_list ap;
	va_start(ap, arg);
	const int r = safely(-1, ENOMEM, [&] {
		std::vector<char *> args = arg_list(arg, ap, &envp);
		return execve(path, args.data(), envp);
	});
	va_end(ap);
	return r;
}

int execlp(const char *file, const char *arg, ...)
{
	va_list ap;
	va_start(ap, arg);
	const int r = safely(-1, ENOMEM, [&] {
		std::vector<char *> args = arg_list(arg, ap, nullptr);
		return execvpe(file, args.data(), environ);
	});
	va_end(ap);
	return r;
}

int posix_spawn(pid_t *pid, const char *path, const posix_spawn_file_actions_t *actions,
		const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
	static auto fn = real<decltype(&posix_spawn)>("posix_spawn");
	return start(path, false, argv, envp, EACCES,
		     [&](const char *f, char *const a[], char *const e[]) {
			     return fn(pid, f, actions, attr, a, e);
		     });
}

int posix_spawnp(pid_t *pid, const char *file, const posix_spawn_file_actions_t *actions,
		 const posix_spawnattr_t *attr, char *const argv[], char *const envp[])
{
	static auto fn = real<decltype(&posix_spawnp)>("posix_spawnp");
	return start(file, true, argv, envp, EACCES,
		     [&](const char *f, char *const a[], char *const e[]) {
			     return fn(pid, f, actions, attr, a, e);
		     });
}

FILE *popen(const char *command, const char *mode)
{
	static auto fn = real<decltype(&popen)>("popen");
	if (!keep_env()) {
		errno = EACCES;
		return nullptr;
	}
	return fn(command, mode);
}

int system(const char *command)
{
	static auto fn = real<int (*)(const char *)>("system");
	if (inside || command == nullptr || env().board.empty())
		return fn(command);
	// the shell keeps the library
	const auto shell = [&](const char *line) {
		if (keep_env())
			return fn(line);
		errno = EACCES;
		return -1;
	};
	return safely(-1, ENOMEM, [&] { return probe_or_shell(command, shell); });
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
	const auto b = board();
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
