// program.h - what a program file is, as the runner and the preload library
// decide how it may run against a board: a 32-bit PowerPC or a host program,
// with a dynamic loader (the preload library reaches it) or static (it does
// not); a script stands for the program its "#!" line names.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

struct ProgramFile {
	enum Kind { none, host, ppc } kind = none; // none: no file that can be read
	bool dynamic = false;                      // it names a dynamic loader (PT_INTERP)
	std::string path;                          // the file (a script's: its interpreter)
};

namespace program_detail {

inline std::uint64_t number(const unsigned char *p, std::size_t n, bool big)
{
	std::uint64_t v = 0;
	for (std::size_t i = 0; i < n; i++)
		v |= std::uint64_t{p[i]} << (8U * (big ? n - 1 - i : i));
	return v;
}

inline bool read_at(int fd, unsigned char *buf, std::size_t n, std::uint64_t at)
{
	const auto most = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
	return n <= most && at <= most - n &&
	       ::pread(fd, buf, n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
}

} // namespace program_detail

// The program file at path: an ELF file read from its headers, a script by
// its interpreter (the kernel's four levels at most); any other file runs
// through /bin/sh, as execvp runs it.
inline ProgramFile program_file(const std::string &path, int depth = 0)
{
	using program_detail::number;
	ProgramFile f;
	f.path = path;
	const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
	struct stat st {};
	if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
		if (fd >= 0)
			::close(fd);
		return f;
	}
	// the kernel reads a script's "#!" line from the first 256 bytes
	unsigned char h[256] = {};
	const ssize_t got = ::pread(fd, h, sizeof h - 1, 0);
	if (got >= 2 && h[0] == '#' && h[1] == '!') {
		::close(fd);
		const std::string line(reinterpret_cast<const char *>(h) + 2,
				       static_cast<std::size_t>(got) - 2);
		const std::size_t from = line.find_first_not_of(" \t");
		if (from == std::string::npos || line[from] == '\n' || depth >= 4)
			return f;
		return program_file(line.substr(from, line.find_first_of(" \t\n", from) - from),
				    depth + 1);
	}
	const bool big = h[EI_DATA] == ELFDATA2MSB, wide = h[EI_CLASS] == ELFCLASS64;
	if (got < 52 || std::memcmp(h, ELFMAG, SELFMAG) != 0 ||
	    (h[EI_CLASS] != ELFCLASS32 && !wide)) {
		::close(fd);
		f.kind = ProgramFile::host; // through /bin/sh
		f.dynamic = true;
		f.path = "/bin/sh";
		return f;
	}
	const bool ppc = !wide && big && number(h + 18, 2, big) == EM_PPC;
	f.kind = ppc ? ProgramFile::ppc : ProgramFile::host;
	const std::uint64_t phoff = wide ? number(h + 32, 8, big) : number(h + 28, 4, big);
	const std::uint64_t entsize = number(h + (wide ? 54 : 42), 2, big);
	const std::uint64_t count = number(h + (wide ? 56 : 44), 2, big);
	unsigned char type[4] = {};
	for (std::uint64_t i = 0; i < count && entsize >= sizeof type && !f.dynamic; i++)
		f.dynamic = program_detail::read_at(fd, type, sizeof type, phoff + i * entsize) &&
			    number(type, 4, big) == PT_INTERP;
	::close(fd);
	return f;
}

// The file execvp would start for name: name itself when it holds a '/',
// else the first executable file of that name in the folders of search
// (PATH; unset: /bin:/usr/bin); empty when there is none.
inline std::string find_program(const std::string &name, const char *search)
{
	if (name.find('/') != std::string::npos)
		return name;
	const std::string dirs = search != nullptr ? search : "/bin:/usr/bin";
	for (std::size_t at = 0; at <= dirs.size();) {
		const std::size_t end = std::min(dirs.find(':', at), dirs.size());
		const std::string dir = end > at ? dirs.substr(at, end - at) : ".";
		const std::string file = dir + "/" + name;
		struct stat st {};
		if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
		    ::access(file.c_str(), X_OK) == 0)
			return file;
		at = end + 1;
	}
	return {};
}

// Why the preload library cannot run a static program, and what can.
constexpr char static_refusal[] = "a static program: the preload library cannot reach it";
inline std::string kernel_hint(const std::string &board)
{
	return " (through the kernel: ostrasim serve " + board + ", then ostrasim run --kernel " +
	       board + " -- PROGRAM)";
}

} // namespace sim
