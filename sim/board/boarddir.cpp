// boarddir.cpp - the one way into a board folder: every name beneath one
// descriptor, never through a link, never a file that is not the board's own.
#include "boarddir.h"

#include "board.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SYS_openat2
#define SYS_openat2 437 // the same number on every architecture
#endif

namespace sim {

Fd::~Fd()
{
	if (fd_ >= 0)
		::close(fd_);
}

Fd &Fd::operator=(Fd &&other) noexcept
{
	if (this != &other) {
		if (fd_ >= 0)
			::close(fd_);
		fd_ = other.release();
	}
	return *this;
}

namespace {

// set once the kernel has said it has no openat2: the walk from then on
std::atomic<bool> no_openat2{false};

// The names of a relative path; throws unless each is a plain name.
std::vector<std::string> names_of(const std::string &rel, const std::string &shown)
{
	std::vector<std::string> names;
	std::size_t at = 0;
	while (at <= rel.size()) {
		std::size_t end = rel.find('/', at);
		if (end == std::string::npos)
			end = rel.size();
		names.push_back(rel.substr(at, end - at));
		const std::string &n = names.back();
		if (n.empty() || n == "." || n == "..")
			throw Error(shown + ": not a path of plain names beneath the board folder");
		at = end + 1;
	}
	return names;
}

// Opens names beneath dirfd one at a time, each folder and the last name
// with O_NOFOLLOW: -1 and errno as open(2) gives them.
int walk_open(int dirfd, const std::vector<std::string> &names, int flags, mode_t mode)
{
	Fd dir;
	int at = dirfd;
	for (std::size_t i = 0; i + 1 < names.size(); i++) {
		dir = Fd(::openat(at, names[i].c_str(),
				  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
		if (!dir)
			return -1;
		at = dir.get();
	}
	return ::openat(at, names.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
}

// Opens rel beneath root: openat2 where the kernel has it, else the walk.
int beneath(int root, const std::string &rel, const std::vector<std::string> &names, int flags,
	    mode_t mode)
{
	if (!no_openat2.load(std::memory_order_relaxed)) {
		open_how how{};
		how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
		how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
		how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
		const long fd = ::syscall(SYS_openat2, root, rel.c_str(), &how, sizeof how);
		if (fd >= 0 || errno != ENOSYS)
			return static_cast<int>(fd);
		no_openat2.store(true, std::memory_order_relaxed);
	}
	return walk_open(root, names, flags, mode);
}

std::string kind_of(const struct stat &st)
{
	if (S_ISLNK(st.st_mode))
		return "a symbolic link";
	if (S_ISFIFO(st.st_mode))
		return "a FIFO";
	if (S_ISDIR(st.st_mode))
		return "a folder";
	if (S_ISSOCK(st.st_mode))
		return "a socket";
	if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
		return "a device node";
	if (st.st_nlink > 1)
		return "a file with " + std::to_string(st.st_nlink) + " names (a hard link)";
	return "a file";
}

// The entries of a folder, sorted.
std::vector<std::string> entries(int dirfd, const std::string &shown)
{
	DIR *d = ::fdopendir(::fcntl(dirfd, F_DUPFD_CLOEXEC, 0));
	if (d == nullptr)
		throw Error("cannot read " + shown + ": " + std::strerror(errno));
	::rewinddir(d);
	std::vector<std::string> names;
	errno = 0;
	while (const dirent *e = ::readdir(d)) {
		if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
			names.emplace_back(e->d_name);
	}
	const int err = errno;
	::closedir(d);
	if (err != 0)
		throw Error("cannot read " + shown + ": " + std::strerror(err));
	std::sort(names.begin(), names.end());
	return names;
}

// Empties the folder dirfd, never following a link: each folder within is
// opened beneath the one above it.
void empty(int dirfd, const std::string &shown)
{
	for (const std::string &n : entries(dirfd, shown)) {
		const std::string path = std::string(shown).append("/").append(n);
		struct stat st {};
		if (::fstatat(dirfd, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
			continue;
		if (S_ISDIR(st.st_mode)) {
			const Fd sub{::openat(dirfd, n.c_str(),
					      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
			if (sub)
				empty(sub.get(), path);
		}
		if (::unlinkat(dirfd, n.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 &&
		    errno != ENOENT)
			throw Error("cannot remove " + path + ": " + std::strerror(errno));
	}
}

std::pair<std::string, std::string> split(const std::string &rel)
{
	const std::size_t slash = rel.rfind('/');
	return slash == std::string::npos ? std::pair{std::string(), rel}
					  : std::pair{rel.substr(0, slash), rel.substr(slash + 1)};
}

} // namespace

void write_all(int fd, const std::string &s, const std::string &shown)
{
	std::size_t done = 0;
	while (done < s.size()) {
		const ssize_t n = ::write(fd, s.data() + done, s.size() - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			throw Error("cannot write " + shown + ": " +
				    std::strerror(n == 0 ? ENOSPC : errno));
		done += static_cast<std::size_t>(n);
	}
}

BoardDir::BoardDir(const std::string &given)
{
	std::string p = given;
	while (p.size() > 1 && p.back() == '/')
		p.pop_back();
	fd_ = Fd(::open(p.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
	if (!fd_) {
		const int err = errno;
		struct stat st {};
		if (::lstat(p.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
			throw Error(given + " is " + kind_of(st) + ", not a board folder");
		throw Error(given + ": " + std::strerror(err));
	}
	// kept out of the way of the descriptors a program numbers itself (a
	// shell's "exec 3<>FILE" closes whatever has that number)
	rlimit lim{};
	if (::getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur > 64) {
		const rlim_t top = lim.rlim_cur < 1024 ? lim.rlim_cur : 1024;
		const int high = ::fcntl(fd_.get(), F_DUPFD_CLOEXEC, static_cast<int>(top / 2));
		if (high >= 0)
			fd_ = Fd(high);
	}
	char buf[PATH_MAX + 1];
	const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
	const ssize_t n = ::readlink(self.c_str(), buf, PATH_MAX);
	if (n > 0 && buf[0] == '/') {
		path_.assign(buf, static_cast<std::size_t>(n));
	} else if (char *real = ::realpath(p.c_str(), nullptr)) {
		path_ = real;
		std::free(real);
	} else {
		path_ = p;
	}
}

std::string BoardDir::name(const std::string &rel) const
{
	return rel.empty() ? path_ : path_ + "/" + rel;
}

std::string BoardDir::not_own(const struct stat &st)
{
	return S_ISREG(st.st_mode) && st.st_nlink == 1 ? "" : kind_of(st);
}

namespace {

// Why rel could not be opened, one line naming the first name on its way
// that is not what the board has there.
Error failure(const BoardDir &b, const std::string &rel, int err, bool folder)
{
	const std::vector<std::string> names = names_of(rel, b.name(rel));
	Fd dir;
	int at = b.fd();
	std::string prefix;
	for (std::size_t i = 0; i < names.size(); i++) {
		prefix += (i == 0 ? "" : "/") + names[i];
		struct stat st {};
		if (::fstatat(at, names[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
			break;
		const bool last = i + 1 == names.size();
		if ((!last || folder) && !S_ISDIR(st.st_mode))
			return Error(b.name(prefix) + " is " + kind_of(st) +
				     ", not a folder of the board's own: remove it");
		if (last && !folder && !BoardDir::not_own(st).empty())
			return Error(b.name(prefix) + " is " + BoardDir::not_own(st) +
				     ", not a file of the board's own: remove it");
		if (last)
			break;
		dir = Fd(::openat(at, names[i].c_str(),
				  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
		if (!dir)
			break;
		at = dir.get();
	}
	return Error("cannot open " + b.name(rel) + ": " + std::strerror(err));
}

} // namespace

Fd BoardDir::open_unchecked(const std::string &rel, int flags, mode_t mode, struct stat &st) const
{
	Fd f(beneath(fd(), rel, names_of(rel, name(rel)), flags, mode));
	if (f && ::fstat(f.get(), &st) != 0)
		return Fd();
	return f;
}

Fd BoardDir::try_open(const std::string &rel, int flags, mode_t mode) const
{
	struct stat st {};
	Fd f = open_unchecked(rel, (flags & ~O_TRUNC) | O_NONBLOCK | O_NOCTTY, mode, st);
	if (!f)
		return f;
	if (!not_own(st).empty()) {
		errno = S_ISDIR(st.st_mode) ? EISDIR : S_ISREG(st.st_mode) ? EMLINK : ENXIO;
		return Fd();
	}
	if ((flags & O_NONBLOCK) == 0)
		::fcntl(f.get(), F_SETFL, ::fcntl(f.get(), F_GETFL) & ~O_NONBLOCK);
	if ((flags & O_TRUNC) != 0 && ::ftruncate(f.get(), 0) != 0)
		return Fd();
	return f;
}

Fd BoardDir::open(const std::string &rel, int flags, mode_t mode) const
{
	Fd f = try_open(rel, flags, mode);
	if (!f && (errno != ENOENT || (flags & O_CREAT) != 0))
		throw failure(*this, rel, errno, false);
	return f;
}

Fd BoardDir::open_dir(const std::string &rel) const
{
	if (rel.empty()) {
		Fd f(::fcntl(fd(), F_DUPFD_CLOEXEC, 0));
		if (!f)
			throw Error("cannot open " + path_ + ": " + std::strerror(errno));
		return f;
	}
	Fd f(beneath(fd(), rel, names_of(rel, name(rel)), O_RDONLY | O_DIRECTORY, 0));
	if (!f)
		throw failure(*this, rel, errno, true);
	return f;
}

std::string BoardDir::read(const std::string &rel) const
{
	const Fd f = open(rel, O_RDONLY);
	std::string text;
	char buf[65536];
	for (ssize_t n = 0; f && (n = ::read(f.get(), buf, sizeof buf)) != 0;) {
		if (n < 0 && errno != EINTR)
			throw Error("cannot read " + name(rel) + ": " + std::strerror(errno));
		text.append(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
	}
	return text;
}

bool BoardDir::stat(const std::string &rel, struct stat &st) const
{
	const auto [parent, base] = split(rel);
	Fd dir;
	if (!parent.empty()) {
		dir = Fd(beneath(fd(), parent, names_of(parent, name(parent)),
				 O_RDONLY | O_DIRECTORY, 0));
		if (!dir && errno == ENOENT)
			return false;
		if (!dir)
			throw failure(*this, parent, errno, true);
	}
	(void)names_of(rel, name(rel));
	if (::fstatat(parent.empty() ? fd() : dir.get(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) ==
	    0)
		return true;
	if (errno != ENOENT)
		throw Error("cannot read " + name(rel) + ": " + std::strerror(errno));
	return false;
}

void BoardDir::check(const std::string &rel, bool folder) const
{
	struct stat st {};
	if (stat(rel, st) && (folder ? !S_ISDIR(st.st_mode) : !not_own(st).empty()))
		throw failure(*this, rel, 0, folder);
}

void BoardDir::replace(const std::string &rel, const std::string &text, mode_t mode,
		       bool replace_folder) const
{
	const auto [parent, base] = split(rel);
	const Fd dir = open_dir(parent);
	(void)names_of(rel, name(rel));
	struct stat st {};
	if (::fstatat(dir.get(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
		if (not_own(st).empty() && (st.st_mode & 07777) == mode &&
		    static_cast<std::size_t>(st.st_size) == text.size()) {
			// the same text already: nothing to write
			const Fd f{::openat(dir.get(), base.c_str(),
					    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
			std::string now(text.size(), '\0');
			if (f &&
			    ::pread(f.get(), now.data(), now.size(), 0) ==
				    static_cast<ssize_t>(now.size()) &&
			    now == text)
				return;
		}
		if (S_ISDIR(st.st_mode) && !replace_folder)
			throw Error(name(rel) +
				    " is a folder, not a file of the board's own: remove it");
		if (S_ISDIR(st.st_mode))
			remove(rel);
	}
	// a new file of a random name beside it, renamed over it
	std::string tmp;
	Fd f;
	for (int tries = 0; tries < 100 && !f; tries++) {
		unsigned char r[8] = {};
		if (::getrandom(r, sizeof r, GRND_NONBLOCK) != sizeof r) {
			const auto t = static_cast<std::uint64_t>(std::time(nullptr)) ^
				       static_cast<std::uint64_t>(::getpid()) ^
				       static_cast<std::uint64_t>(tries) << 32U;
			std::memcpy(r, &t, sizeof r);
		}
		tmp = "." + base + "." + hex(r, sizeof r);
		f = Fd(::openat(dir.get(), tmp.c_str(),
				O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
		if (!f && errno != EEXIST)
			break;
	}
	if (!f)
		throw Error("cannot write " + name(rel) + ": " + std::strerror(errno));
	try {
		write_all(f.get(), text, name(rel));
		if (::fchmod(f.get(), mode) != 0 ||
		    ::renameat(dir.get(), tmp.c_str(), dir.get(), base.c_str()) != 0)
			throw Error("cannot replace " + name(rel) + ": " + std::strerror(errno));
	} catch (...) {
		::unlinkat(dir.get(), tmp.c_str(), 0);
		throw;
	}
}

void BoardDir::make_dirs(const std::string &rel) const
{
	const std::vector<std::string> names = names_of(rel, name(rel));
	Fd dir = open_dir("");
	std::string prefix;
	for (const std::string &n : names) {
		prefix += (prefix.empty() ? "" : "/") + n;
		if (::mkdirat(dir.get(), n.c_str(), 0755) != 0 && errno != EEXIST)
			throw Error("cannot make " + name(prefix) + ": " + std::strerror(errno));
		Fd next(::openat(dir.get(), n.c_str(),
				 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
		if (!next)
			throw failure(*this, prefix, errno, true);
		dir = std::move(next);
	}
}

void BoardDir::remove(const std::string &rel) const
{
	const auto [parent, base] = split(rel);
	(void)names_of(rel, name(rel));
	const Fd dir = open_dir(parent);
	struct stat st {};
	if (::fstatat(dir.get(), base.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
		return;
	if (S_ISDIR(st.st_mode)) {
		const Fd sub{::openat(dir.get(), base.c_str(),
				      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
		if (sub)
			empty(sub.get(), name(rel));
	}
	if (::unlinkat(dir.get(), base.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) != 0 &&
	    errno != ENOENT)
		throw Error("cannot remove " + name(rel) + ": " + std::strerror(errno));
}

void BoardDir::walk(const std::string &rel,
		    const std::function<bool(const std::string &, bool)> &fn) const
{
	const Fd dir = open_dir(rel);
	std::function<void(int, const std::string &)> each = [&](int at, const std::string &in) {
		for (const std::string &n : entries(at, name(in))) {
			struct stat st {};
			if (::fstatat(at, n.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
				continue;
			std::string child = in;
			child.append(in.empty() ? "" : "/").append(n);
			if (!fn(child, S_ISDIR(st.st_mode)) || !S_ISDIR(st.st_mode))
				continue;
			const Fd sub{::openat(at, n.c_str(),
					      O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)};
			if (sub)
				each(sub.get(), child);
		}
	};
	each(dir.get(), rel);
}

} // namespace sim
