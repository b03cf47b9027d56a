// cuse.cpp - the kernel front end of the board simulator: the board's drive
// nodes as character devices, and the view of the board's files that a
// program started by `ostrasim run --kernel` gets.
//
// `ostrasim serve BOARD` makes every node of the board's drives a character
// device /dev/NODE through CUSE.  A program opens it, and the kernel routes
// its requests here; they are answered by the same driver model as the
// preload library's (sim::driver_ioctl), under the same lock, with the same
// trace lines and injected faults.  The request numbers of the ztostra driver
// carry no size, so the devices use unrestricted requests: the first call of
// a request comes without data, and the answer asks the kernel to retry with
// the argument record copied in and out, sized from the request table.
#define FUSE_USE_VERSION 35
#include "cuse.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <list>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include <cuse_lowlevel.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <unistd.h>

namespace sim {

namespace {

// The file serve holds locked while it serves the board, with the device
// numbers of its nodes.
constexpr char serve_record[] = "serve.lock";

struct Node {
	LiveBoard *board;
	std::string name;
	fuse_session *se = nullptr;
	fuse_buf buf{};
};

Node &node_of(fuse_req_t req)
{
	return *static_cast<Node *>(fuse_req_userdata(req));
}

// The served nodes' device numbers, and why a description's real drives would
// reach one of them (a loop: the server would wait for itself).
std::map<dev_t, std::string> &served()
{
	static std::map<dev_t, std::string> nodes;
	return nodes;
}

void no_loop(const Board &board)
{
	for (const auto &[name, drive] : board.info.drives) {
		struct stat st {};
		for (const auto &[node, path] : served())
			if (drive.host &&
			    (*drive.host == path || (::stat(drive.host->c_str(), &st) == 0 &&
						     S_ISCHR(st.st_mode) && st.st_rdev == node))) {
				std::string why = board.dir;
				for (const std::string &part :
				     {std::string("/board.json: drives."), name,
				      std::string(".host: resolves to "), path,
				      std::string(", a node this server serves: name the drive's "
						  "SCSI generic node (/dev/sgN)")})
					why += part;
				throw Error(why);
			}
	}
}

// The descriptor the caller gets from this open: the kernel has reserved its
// lowest free one, which it installs only once the open succeeds, so it is
// the lowest number missing from /proc/PID/fd.
int caller_fd(pid_t pid)
{
	std::set<int> used;
	const std::string path = "/proc/" + std::to_string(pid) + "/fd";
	DIR *dir = ::opendir(path.c_str());
	if (dir == nullptr)
		return 0;
	for (const dirent *e = ::readdir(dir); e != nullptr; e = ::readdir(dir))
		if (e->d_name[0] >= '0' && e->d_name[0] <= '9')
			used.insert(std::atoi(e->d_name));
	::closedir(dir);
	int fd = 0;
	while (used.count(fd) != 0)
		fd++;
	return fd;
}

// The trace lines of one request carry the pid of the program that opened the
// node (a release comes from the kernel, without a caller).
struct Caller {
	explicit Caller(const fuse_file_info *fi)
	{
		trace_pid = static_cast<long>(fi->fh);
	}
	~Caller()
	{
		trace_pid = 0;
	}
	Caller(const Caller &) = delete;
	Caller &operator=(const Caller &) = delete;
};

void trace_node(Node &n, const char *op, int result, int err, json line = json::object())
{
	with_trace(*n.board->get(), [&] {
		line.update({{"op", op}, {"node", n.name}, {"result", result}, {"errno", err}});
		append_trace(line);
	});
}

void node_open(fuse_req_t req, fuse_file_info *fi)
{
	Node &n = node_of(req);
	// the description read again, as the preload library does at each open
	try {
		n.board->reload(no_loop);
	} catch (const std::exception &e) {
		std::fprintf(stderr, "ostrasim: %s\n", e.what());
	}
	const std::shared_ptr<const Board> board = n.board->get();
	fi->fh = static_cast<std::uint64_t>(fuse_req_ctx(req)->pid);
	const Caller caller(fi);
	int err = 0;
	bool failed = true;
	try {
		json line = json::object();
		failed = driver_open(*board, n.name, err, line) < 0;
		if (!failed)
			driver_bind(*board, n.name, line);
		trace_node(n, "open", failed ? -1 : caller_fd(fuse_req_ctx(req)->pid),
			   failed ? err : 0, line);
	} catch (const std::exception &e) {
		std::fprintf(stderr, "ostrasim: %s\n", e.what());
		err = EIO;
	}
	if (failed) {
		fuse_reply_err(req, err != 0 ? err : EIO); // the kernel has no failure without one
		return;
	}
	fi->nonseekable = 1;
	fuse_reply_open(req, fi);
}

// The board's node files are empty: reading one gives end of file.
void node_read(fuse_req_t req, size_t, off_t, fuse_file_info *)
{
	fuse_reply_buf(req, nullptr, 0);
}

void node_release(fuse_req_t req, fuse_file_info *fi)
{
	const Caller caller(fi);
	try {
		trace_node(node_of(req), "close", 0, 0);
	} catch (const std::exception &e) {
		std::fprintf(stderr, "ostrasim: %s\n", e.what());
	}
	fuse_reply_err(req, 0);
}

void node_ioctl(fuse_req_t req, int cmd, void *arg, fuse_file_info *fi, unsigned,
		const void *in_buf, size_t in_size, size_t out_size)
{
	const Caller caller(fi);
	Node &n = node_of(req);
	const unsigned long code = static_cast<unsigned int>(cmd);
	const Request *r = find_request(code);
	std::size_t size = r != nullptr ? r->argsize : 0;
	// a record whose size follows from its head (HDIO_DRIVE_CMD): the head first
	if (r != nullptr && r->size_of != nullptr && in_size >= r->argsize)
		size = r->size_of(static_cast<const unsigned char *>(in_buf));
	if (size != in_size || size != out_size) {
		iovec iov{arg, size};
		fuse_reply_ioctl_retry(req, &iov, 1, &iov, 1);
		return;
	}
	std::vector<unsigned char> bytes(static_cast<const unsigned char *>(in_buf),
					 static_cast<const unsigned char *>(in_buf) + size);
	int err = 0;
	const int result = driver_ioctl(*n.board->get(), n.name, code,
					size != 0 ? bytes.data() : nullptr, err);
	// a failure reaches the program as -1 and its errno (EIO when it has none)
	fuse_reply_ioctl(req, result < 0 ? -(err != 0 ? err : EIO) : result, bytes.data(), size);
}

// Takes the CUSE device of one node, and answers the kernel's first request
// (CUSE_INIT), which creates /dev/NODE.
bool open_device(Node &n, const cuse_lowlevel_ops &ops)
{
	std::string drive;
	int partition = 0;
	if (!split_node(n.name, drive, partition)) {
		std::fprintf(stderr, "ostrasim: %s is no drive node name (sda, sda5, ...)\n",
			     n.name.c_str());
		return false;
	}
	const std::string devname = "DEVNAME=" + n.name;
	const char *info[] = {devname.c_str()};
	cuse_info ci{};
	ci.dev_info_argc = 1;
	ci.dev_info_argv = info;
	ci.flags = CUSE_UNRESTRICTED_IOCTL;
	char prog[] = "ostrasim";
	char *argv[] = {prog, nullptr};
	fuse_args args = FUSE_ARGS_INIT(1, argv);
	n.se = cuse_lowlevel_new(&args, &ci, &ops, &n);
	fuse_opt_free_args(&args);
	const int fd = ::open("/dev/cuse", O_RDWR | O_CLOEXEC);
	if (n.se == nullptr || fd < 0) {
		std::fprintf(stderr, "ostrasim: cannot open /dev/cuse for %s: %s%s\n",
			     n.name.c_str(), std::strerror(errno),
			     errno == ENOENT ? " (load the CUSE module: modprobe cuse)" : "");
		if (fd >= 0)
			::close(fd);
		return false;
	}
	const std::string path = "/dev/fd/" + std::to_string(fd);
	if (fuse_session_mount(n.se, path.c_str()) != 0) {
		::close(fd);
		return false;
	}
	// from here on the session owns the descriptor
	if (fuse_session_receive_buf(n.se, &n.buf) <= 0) {
		std::fprintf(stderr, "ostrasim: no CUSE device for %s\n", n.name.c_str());
		return false;
	}
	fuse_session_process_buf(n.se, &n.buf);
	return true;
}

} // namespace

int serve(const Board &board)
{
	LiveBoard live(std::make_shared<const Board>(board));
	// one server a board, each of its nodes a name no other device has
	const Fd lock = board.root->open(serve_record, O_RDWR | O_CREAT);
	struct flock whole = {};
	whole.l_type = F_WRLCK;
	if (::fcntl(lock.get(), F_OFD_SETLK, &whole) != 0)
		throw Error(board.dir + ": another ostrasim serve serves this board");
	for (const auto &[name, drive] : board.info.drives)
		for (const std::string &node : drive.nodes) {
			struct stat st {};
			if (::lstat(("/dev/" + node).c_str(), &st) == 0)
				throw Error("/dev/" + node + " exists (" +
					    (S_ISBLK(st.st_mode) ? "a block device"
					     : S_ISCHR(st.st_mode)
						     ? "a character device: another serve's?"
						     : "not a device") +
					    "): a program would reach it, not the board; remove it "
					    "first");
			for (const auto &[other, od] : board.info.drives)
				if (od.host && *od.host == "/dev/" + node)
					throw Error(
						board.dir + "/board.json: drives." + other +
						".host: " + *od.host +
						" is where serve puts the board's node: name the "
						"drive's SCSI generic node (/dev/sgN)");
		}
	cuse_lowlevel_ops ops{};
	ops.open = node_open;
	ops.read = node_read;
	ops.release = node_release;
	ops.ioctl = node_ioctl;

	sigset_t stop;
	sigemptyset(&stop);
	sigaddset(&stop, SIGINT);
	sigaddset(&stop, SIGTERM);
	sigprocmask(SIG_BLOCK, &stop, nullptr);
	const int sigfd = ::signalfd(-1, &stop, SFD_CLOEXEC);

	std::list<Node> nodes;
	bool ok = sigfd >= 0;
	for (const auto &[name, drive] : board.info.drives)
		for (const std::string &node : drive.nodes)
			if (ok) {
				nodes.push_back({&live, node});
				ok = open_device(nodes.back(), ops);
			}
	for (const Node &n : nodes) {
		struct stat st {};
		if (ok && (::stat(("/dev/" + n.name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode))) {
			std::fprintf(stderr, "ostrasim: /dev/%s is not the device serve made\n",
				     n.name.c_str());
			ok = false;
		}
		served()[st.st_rdev] = "/dev/" + n.name;
	}
	try {
		if (ok)
			no_loop(board);
	} catch (const Error &e) {
		std::fprintf(stderr, "ostrasim: %s\n", e.what());
		ok = false;
	}
	// the record run --kernel reads: each node's device number, while the
	// lock is held
	std::string record;
	for (const auto &[dev, path] : served())
		record += path.substr(5) + " " + std::to_string(::major(dev)) + ":" +
			  std::to_string(::minor(dev)) + "\n";
	ok = ok && ::ftruncate(lock.get(), 0) == 0 &&
	     ::pwrite(lock.get(), record.data(), record.size(), 0) ==
		     static_cast<ssize_t>(record.size());
	if (ok) {
		std::printf("ostrasim: serving");
		for (const Node &n : nodes)
			std::printf(" /dev/%s", n.name.c_str());
		std::printf("\n");
		std::fflush(stdout);
	}
	// one thread answers every node in turn: a program waits for each
	// answer, so its opens, requests and closes reach the trace in order
	std::vector<pollfd> fds;
	fds.push_back({sigfd, POLLIN, 0});
	for (const Node &n : nodes)
		fds.push_back({fuse_session_fd(n.se), POLLIN, 0});
	while (ok) {
		if (::poll(fds.data(), fds.size(), -1) < 0) {
			ok = errno == EINTR;
			continue;
		}
		if (fds[0].revents != 0)
			break;
		auto fd = fds.begin() + 1;
		for (Node &n : nodes) {
			if ((fd++)->revents == 0)
				continue;
			const int r = fuse_session_receive_buf(n.se, &n.buf);
			if (r > 0)
				fuse_session_process_buf(n.se, &n.buf);
			else if (r != -EINTR && r != -EAGAIN)
				ok = false;
		}
	}
	for (Node &n : nodes) {
		if (n.se != nullptr)
			fuse_session_destroy(n.se);
		std::free(n.buf.mem);
	}
	if (sigfd >= 0)
		::close(sigfd);
	if (!ok)
		std::fprintf(stderr, "ostrasim: serving %s failed\n", board.dir.c_str());
	if (::ftruncate(lock.get(), 0) != 0) // the nodes are gone with the server
		std::fprintf(stderr, "ostrasim: %s: %s\n", board.root->name(serve_record).c_str(),
			     std::strerror(errno));
	return ok ? 0 : 1;
}

void check_served(const Board &board, const std::string &dir)
{
	const std::string serve = "ostrasim serve " + dir;
	const Fd fd = board.root->try_open(serve_record, O_RDONLY);
	struct flock held = {};
	held.l_type = F_RDLCK;
	if (!fd || ::fcntl(fd.get(), F_OFD_GETLK, &held) != 0 || held.l_type == F_UNLCK)
		throw Error(dir + " is not being served: start `" + serve +
			    "` (root, the cuse module), then run --kernel");
	char text[4096];
	const ssize_t n = ::pread(fd.get(), text, sizeof text - 1, 0);
	const std::string record =
		"\n" + std::string(text, n > 0 ? static_cast<std::size_t>(n) : 0);
	// "NODE MAJOR:MINOR" a line, as serve wrote it; the first node that is not
	std::string node;
	for (const auto &[name, drive] : board.info.drives)
		for (const std::string &each : drive.nodes) {
			const std::size_t at = record.find("\n" + each + " ");
			unsigned maj = 0, min = 0;
			struct stat st {};
			if (node.empty() &&
			    (at == std::string::npos ||
			     std::sscanf(record.c_str() + at + each.size() + 1, " %u:%u", &maj,
					 &min) != 2 ||
			     ::stat(("/dev/" + each).c_str(), &st) != 0 || !S_ISCHR(st.st_mode) ||
			     st.st_rdev != ::makedev(maj, min)))
				node = each;
		}
	if (node.empty())
		return;
	if (record.find("\n" + node + " ") == std::string::npos)
		throw Error(dir + ": /dev/" + node +
			    " is not served (board.json changed?): restart `" + serve + "`");
	throw Error("/dev/" + node + " is not the node `" + serve +
		    "` made: a program would reach it, not the board");
}

} // namespace sim

namespace sim {

namespace {

void mount_or_throw(const std::string &source, const char *target, const char *type,
		    unsigned long flags, const std::string &options = {},
		    const std::string &shown = {})
{
	if (::mount(source.c_str(), target, type, flags,
		    options.empty() ? nullptr : options.c_str()) != 0)
		throw std::runtime_error("cannot mount " + (shown.empty() ? source : shown) +
					 " on " + target + ": " + std::strerror(errno));
}

// The path of an open folder, which the kernel resolves to the folder itself.
std::string fd_path(const Fd &fd)
{
	return "/proc/self/fd/" + std::to_string(fd.get());
}

} // namespace

void enter_kernel_view(const Board &board)
{
	board.root->make_dirs("sbin");
	if (::unshare(CLONE_NEWNS) != 0)
		throw std::runtime_error(std::string("cannot make a mount namespace: ") +
					 std::strerror(errno));
	mount_or_throw("none", "/", nullptr, MS_REC | MS_PRIVATE);
	// the board's folders are mounted by their descriptors (never a folder
	// a link leads to), opened in this namespace from the board folder,
	// which must be the one opened before
	const BoardDir root(board.dir);
	struct stat st {
	}, was{};
	if (::fstat(root.fd(), &st) != 0 || ::fstat(board.root->fd(), &was) != 0 ||
	    st.st_dev != was.st_dev || st.st_ino != was.st_ino)
		throw std::runtime_error(board.dir + " is no longer the board folder it was");
	const Fd sbin = root.open_dir("sbin");
	const Fd block = root.open_dir("sys/block");
	const Fd tmp = root.open_dir("tmp");
	// the probe script lies over /sbin, whose other programs stay; a board
	// without one hides the real script (a whiteout: a 0:0 character device)
	const char *name = "check_scsi_devfile.sh";
	if (::fstatat(sbin.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 &&
	    ::mknodat(sbin.get(), name, S_IFCHR | 0600, ::makedev(0, 0)) != 0)
		throw std::runtime_error("cannot hide the probe script: " +
					 std::string(std::strerror(errno)));
	const std::string lower = "lowerdir=" + fd_path(sbin) + ":/sbin";
	if (::mount("overlay", "/sbin", "overlay", MS_RDONLY, lower.c_str()) != 0) {
		// a kernel without overlays: the board's script bound over the real one
		const int err = errno;
		struct stat real {};
		if (err != ENODEV || ::fstatat(sbin.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
		    !S_ISREG(st.st_mode) || ::stat("/sbin/check_scsi_devfile.sh", &real) != 0)
			throw std::runtime_error(
				"cannot mount overlay on /sbin: " +
				std::string(std::strerror(err)) +
				" (without overlays the board's probe script "
				"needs a /sbin/check_scsi_devfile.sh to lie over)");
		mount_or_throw(fd_path(sbin) + "/" + name, "/sbin/check_scsi_devfile.sh", nullptr,
			       MS_BIND, {}, root.name("sbin/") + name);
	}
	mount_or_throw(fd_path(block), "/sys/block", nullptr, MS_BIND, {}, root.name("sys/block"));
	mount_or_throw(fd_path(tmp), "/tmp", nullptr, MS_BIND, {}, root.name("tmp"));
	// the probe script logs into the board folder by its path
	if (::stat(board.dir.c_str(), &st) != 0 || st.st_dev != was.st_dev ||
	    st.st_ino != was.st_ino)
		throw Error(board.dir +
			    " lies under /tmp, /sbin or /sys/block, which the board's own "
			    "folders cover under --kernel: use a board folder elsewhere");
}

} // namespace sim
