// boarddir.h - the one way into a board folder.
//
// The folder is opened once (never through a symbolic link at its own name;
// folders above it may be links); every file and folder in it is reached
// relative to that descriptor, one name at a time, never through a symbolic
// link and never out of the folder (openat2 with RESOLVE_BENEATH and
// RESOLVE_NO_SYMLINKS, else a walk of O_NOFOLLOW opens).  A file of the
// board's is a regular file with one name: a link, a FIFO, a device, a
// folder or a file with a second name (a hard link) at a board file's name is
// refused with one line naming it, before anything is read or written through
// it.  Files are replaced atomically: a new file of a random name beside the
// old one, renamed over it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

namespace sim {

// Writes all of s to fd (EINTR retried); an Error naming `shown` when it
// cannot, a write of nothing counted as a full disk.
void write_all(int fd, const std::string &s, const std::string &shown);

// A descriptor, closed when it goes out of scope.
class Fd {
      public:
	Fd() = default;
	explicit Fd(int fd) : fd_(fd)
	{
	}
	~Fd();
	Fd(Fd &&other) noexcept : fd_(other.release())
	{
	}
	Fd &operator=(Fd &&other) noexcept;
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	int get() const
	{
		return fd_;
	}
	explicit operator bool() const
	{
		return fd_ >= 0;
	}
	int release()
	{
		const int fd = fd_;
		fd_ = -1;
		return fd;
	}

      private:
	int fd_ = -1;
};

class BoardDir {
      public:
	// Opens the folder at path; throws Error naming it when it is missing,
	// a symbolic link or no folder.
	explicit BoardDir(const std::string &path);
	BoardDir(const BoardDir &) = delete;
	BoardDir &operator=(const BoardDir &) = delete;
	~BoardDir() = default;
	// The folder's absolute path, for messages and for the paths a program
	// is given; the folder is never reached by it.
	const std::string &path() const
	{
		return path_;
	}
	int fd() const
	{
		return fd_.get();
	}
	// path()/rel, for messages
	std::string name(const std::string &rel) const;

	// Opens the board file rel (a relative path of plain names) with flags
	// (O_CREAT makes it with mode; O_TRUNC empties it once it is checked):
	// without waiting on a FIFO, checked to be a regular file with one name.
	// An empty Fd when it does not exist and O_CREAT is not given; throws
	// Error naming the file otherwise.
	Fd open(const std::string &rel, int flags, mode_t mode = 0644) const;
	// The same for a program's own open (a report file, a node): an empty
	// Fd and errno in place of the Error (ELOOP: a link; ENXIO: a FIFO, a
	// socket or a device; EISDIR: a folder; EMLINK: a second name).
	Fd try_open(const std::string &rel, int flags, mode_t mode = 0644) const;
	// The same without the checks: -1 and errno as open(2) gives them, st
	// filled from the opened file.
	Fd open_unchecked(const std::string &rel, int flags, mode_t mode, struct stat &st) const;
	// The folder rel ("" is the board folder itself); throws Error naming it.
	Fd open_dir(const std::string &rel) const;
	// The whole file rel; "" when it does not exist.
	std::string read(const std::string &rel) const;
	// Makes rel hold text with mode, atomically, unless it already does;
	// whatever stood there (a link, a FIFO, a hard link) is replaced, never
	// written through.  A folder there is removed first when replace_folder.
	void replace(const std::string &rel, const std::string &text, mode_t mode,
		     bool replace_folder = false) const;
	// Makes the folder rel and the folders above it within the board.
	void make_dirs(const std::string &rel) const;
	// Removes rel: a file, a link (not what it leads to) or a whole folder,
	// whose folders are each opened beneath the one above.
	void remove(const std::string &rel) const;
	// Throws Error naming rel when something other than a file of the
	// board's own (folder: a folder) stands there; nothing there is fine.
	void check(const std::string &rel, bool folder = false) const;
	// What stands at rel, not followed (false: nothing; throws for a folder
	// above it that is not one).
	bool stat(const std::string &rel, struct stat &st) const;
	// Calls fn(relative path, is a folder) for each entry below the folder
	// rel, a folder before what it holds; fn returns whether to descend.
	void walk(const std::string &rel,
		  const std::function<bool(const std::string &, bool)> &fn) const;
	// Why st is no board file ("" when it is one: a regular file, one name).
	static std::string not_own(const struct stat &st);

      private:
	std::string path_;
	Fd fd_;
};

// The board folder of path, shared by a board's copies.
using Root = std::shared_ptr<const BoardDir>;

} // namespace sim
