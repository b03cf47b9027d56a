// fuzz_ostrautil.cpp - libFuzzer harness: the program's whole command path
// (its modules with main renamed) run with an arbitrary argument vector and
// arbitrary answers of the system around it.
//
// The program's calls of open, read, ioctl, close, system, fstat, ftruncate,
// fdopen, fclose, sleep and malloc are renamed in its object code (objcopy --redefine-sym)
// to the fuzz_ functions below, which answer from the fuzz input in call
// order; libFuzzer and the sanitizers keep the real functions.  Nothing
// reaches a real drive, the probe script or the report files.
//
// Input format (every value is zero once the input is used up):
//   count:u8                     count % 16 arguments after the program name
//   { len:u8  bytes[len % 64] }  each argument (up to a NUL inside it)
//   then, per call of the program, in order:
//   system   kind:u8 value:u8    kind % 4: 0 the script exits with status
//                                value, 1 it is killed by signal value % 31 + 1,
//                                2 system() itself fails (-1), 3 raw result
//                                value * 257
//   open     e:u8                0 opens, otherwise fails with errno e; a
//                                report file that opens is a regular file
//                                (fstat), its output goes to /dev/null
//   read     n:u8 [bytes]        0xff fails (errno:u8 follows), otherwise
//                                min(n, count) bytes follow and are read
//   ioctl    r:u8 [errno:u8]     r 0: result 0; 1..0x7f: result r; from 0x80
//                                on: result -1 (-(r & 0x3f) - 2 when bit 0x40
//                                is set) with the errno that follows;
//            [len:u16le bytes]   for a record the driver fills: len % (size
//                                + 1) bytes from the input, the rest zero
//   malloc   e:u8                0 allocates, otherwise fails
//
// What the harness checks besides the sanitizers: every path is opened
// read-write, or read-only under /sys/block/; requests are known codes with
// records that lie wholly in addressable memory; reads fit their buffers;
// only the three report files are opened for writing, never through a
// symbolic link, never blocking, truncated only once known regular; every
// node and every report file opened is closed again by the end of the run.
// The progress display's polling is bounded: after POLL_LIMIT pauses the
// next open fails; a run that makes more than CALL_BUDGET calls (a read test
// with a huge count) is abandoned.
#include <cerrno>
#include <csetjmp>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sanitizer/asan_interface.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "osl_mdev_ostrautil.h"

int ostrautil_main(int argc, char *argv[]);

namespace {

constexpr int MAX_ARGS = 16;
constexpr std::size_t MAX_ARG_LEN = 64;
constexpr int POLL_LIMIT = 8;
constexpr long CALL_BUDGET = 4096;
constexpr int FAKE_FD = 1000; // descriptors the harness hands out: 1000 and up
constexpr int MAX_FDS = 32;
constexpr int MAX_FILES = 8;

// how a request's argument travels: no record, into the driver, out, both
enum Dir { NONE, IN, OUT, INOUT };

struct RequestDesc {
	unsigned long code;
	std::size_t size;
	Dir dir;
};

// the driver's records as it reads and writes them
constexpr RequestDesc request_table[] = {
	{ZTOSTRA_HDD_STANDBY_IMD, 0, NONE},
	{ZTOSTRA_HDD_SLEEP, 0, NONE},
	{ZTOSTRA_HDD_FLUSH_CACHE, 0, NONE},
	{ZTOSTRA_SLEEP_IN, 0, NONE},
	{ZTOSTRA_SLEEP_OUT, 0, NONE},
	{ZTOSTRA_INIT_PORT, 0, NONE},
	{ZTOSTRA_GET_OWCOUNT, 4, OUT},
	{ZTOSTRA_ISUEE_OWFUNC, 4, IN},
	{ZTOSTRA_OW_OP, 40, INOUT},
	{ZTOSTRA_SET_TOTAL, 8, IN},
	{ZTOSTRA_CLEAR_TOTAL, 0, NONE},
	{ZTOSTRA_SET_AES, 104, IN},
	{ZTOSTRA_GET_SMARTATTR, 512, OUT},
	{ZTOSTRA_GET_SMARTTHRS, 512, OUT},
	{ZTOSTRA_GET_IDENTDATA, 512, OUT},
	{ZTOSTRA_HDD_DEF_ROTATIONAL, 4, OUT},
	{ZTOSTRA_SSD_SECURITY_ERASE, 0, NONE},
	{ZTOSTRA_TEST_REG_READ, 0, NONE},
	{ZTOSTRA_TEST_REG_WRITE, 0, NONE},
	{ZTOSTRA_TEST_24v_DOWN_INTR, 0, NONE},
	{ZTOSTRA_TEST_READ_DMA, 524, INOUT},
	{ZTOSTRA_GET_PART, 12, OUT},
	{ZTOSTRA_TEST_UNCWRITE, 524, IN},
	{HDIO_GET_IDENTITY, 512, OUT},
	{HDIO_DRIVE_CMD, 4, INOUT}, // 4-byte header, then 512 bytes per sector asked for
	{0, 0, NONE},
};

// the fuzz input as the system's answers
struct Answers {
	const std::uint8_t *p = nullptr;
	std::size_t n = 0;

	std::uint8_t byte()
	{
		if (n == 0)
			return 0;
		n--;
		return *p++;
	}
	// len bytes into dst; zero where the input ends
	void bytes(void *dst, std::size_t len)
	{
		const std::size_t take = len < n ? len : n;
		std::memcpy(dst, p, take);
		std::memset(static_cast<std::uint8_t *>(dst) + take, 0, len - take);
		p += take;
		n -= take;
	}
};

Answers answers;
int sleeps = 0;
long calls = 0;
bool fd_open[MAX_FDS];
bool fd_checked[MAX_FDS]; // fstat has shown what the descriptor is
std::FILE *files[MAX_FILES];
std::jmp_buf abandon;
volatile std::uint8_t sink;

// the drive tables as the program starts with them
char *initial_devname[3];
char *initial_devname2[3];
bool saved = false;

[[noreturn]] void finding(const char *what, const char *detail = "")
{
	std::fprintf(stderr, "ostrautil fuzz: %s%s\n", what, detail);
	std::abort();
}

// every call counts against the budget; a run past it is abandoned
void count_call()
{
	if (++calls > CALL_BUDGET)
		std::longjmp(abandon, 1);
}

int fake_fd_slot(int fd)
{
	const int slot = fd - FAKE_FD;
	if (slot < 0 || slot >= MAX_FDS || !fd_open[slot])
		finding("request on a descriptor that is not open");
	return slot;
}

void must_be_addressable(const void *p, std::size_t size, const char *what)
{
	if (size != 0 && (p == nullptr || __asan_region_is_poisoned(const_cast<void *>(p), size)))
		finding("record not wholly addressable: ", what);
}

bool starts_with(const char *s, const char *prefix)
{
	return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

bool is_report(const char *path)
{
	static const char *const reports[] = {"/tmp/ostra_smart.info", "/tmp/ostra_serial.info",
					      "/tmp/ostra_ssd_life.info"};
	bool known = false;
	for (const char *report : reports)
		known = known || std::strcmp(path, report) == 0;
	return known;
}

int fake_open(const char *path, int flags)
{
	constexpr int report_flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
	int slot = 0;
	const std::uint8_t e = sleeps >= POLL_LIMIT ? EIO : answers.byte();

	count_call();
	if (path == nullptr)
		finding("open of a null path");
	(void)std::strlen(path);
	if ((flags & O_ACCMODE) == O_WRONLY) {
		if (!is_report(path))
			finding("open for writing of a file that is no report file: ", path);
		if ((flags & ~O_APPEND) != report_flags)
			finding("report file opened with unexpected flags: ", path);
	} else if ((flags & O_ACCMODE) != O_RDWR &&
		   ((flags & O_ACCMODE) != O_RDONLY || !starts_with(path, "/sys/block/"))) {
		finding("open with the wrong access mode: ", path);
	}
	if (e != 0) {
		errno = e;
		return -1;
	}
	for (slot = 0; slot < MAX_FDS && fd_open[slot]; slot++)
		;
	if (slot == MAX_FDS)
		finding("too many descriptors open at once");
	fd_open[slot] = true;
	fd_checked[slot] = false;
	return FAKE_FD + slot;
}

int fake_ioctl(int fd, unsigned long request, void *arg)
{
	const RequestDesc *d = request_table;
	std::size_t size = 0;
	int result = 0;
	std::uint8_t r = 0;

	count_call();
	(void)fake_fd_slot(fd);
	for (; d->code != 0 && d->code != request; d++)
		;
	if (d->code == 0)
		finding("unknown request code");
	size = d->size;
	if (d->dir == NONE) {
		if (arg != nullptr)
			finding("record passed with a request that takes none");
	} else {
		must_be_addressable(arg, size, "request header");
		if (request == HDIO_DRIVE_CMD)
			size += 512U * static_cast<const std::uint8_t *>(arg)[3];
		must_be_addressable(arg, size, "request record");
		if (d->dir == IN || d->dir == INOUT) {
			for (std::size_t i = 0; i < size; i++)
				sink = sink ^ static_cast<const std::uint8_t *>(arg)[i];
		}
	}
	r = answers.byte();
	if (r < 0x80) {
		result = r;
	} else {
		result = (r & 0x40) != 0 ? -(r & 0x3f) - 2 : -1;
		errno = answers.byte();
	}
	if (d->dir == OUT || d->dir == INOUT) {
		std::size_t len = answers.byte();
		len |= static_cast<std::size_t>(answers.byte()) << 8U;
		len %= size + 1;
		answers.bytes(arg, len);
		std::memset(static_cast<std::uint8_t *>(arg) + len, 0, size - len);
	}
	return result;
}

ssize_t fake_read(int fd, void *buf, std::size_t count)
{
	std::uint8_t n = 0;

	count_call();
	(void)fake_fd_slot(fd);
	must_be_addressable(buf, count, "read buffer");
	n = answers.byte();
	if (n == 0xff) {
		errno = answers.byte();
		return -1;
	}
	if (n > count)
		n = static_cast<std::uint8_t>(count);
	answers.bytes(buf, n);
	return n;
}

int fake_system(const char *command)
{
	static const char probe[] = "/sbin/check_scsi_devfile.sh sd";
	std::uint8_t kind = 0;
	std::uint8_t value = 0;

	count_call();
	if (command == nullptr || !starts_with(command, probe))
		finding("system() with an unexpected command");
	kind = answers.byte();
	value = answers.byte();
	switch (kind % 4) {
	case 0:
		return value << 8;
	case 1:
		return value % 31 + 1;
	case 2:
		return -1;
	default:
		return value * 257;
	}
}

// the report file's descriptor becomes the stream's
std::FILE *fake_fdopen(int fd, const char *mode)
{
	int slot = 0;

	count_call();
	slot = fake_fd_slot(fd);
	if (!fd_checked[slot])
		finding("report file handed to stdio before its type was checked");
	fd_open[slot] = false;
	if (mode == nullptr || (std::strcmp(mode, "w") != 0 && std::strcmp(mode, "a") != 0))
		finding("report file opened with an unexpected mode");
	for (slot = 0; slot < MAX_FILES && files[slot] != nullptr; slot++)
		;
	if (slot == MAX_FILES)
		finding("too many report files open at once");
	files[slot] = std::fopen("/dev/null", mode);
	if (files[slot] == nullptr)
		finding("cannot open /dev/null");
	return files[slot];
}

// the program's state before each run: drive tables as at its start
void reset_program()
{
	if (!saved) {
		for (int i = 0; i < 3; i++) {
			initial_devname[i] = devname[i];
			initial_devname2[i] = devname2[i];
		}
		saved = true;
	}
	for (int i = 0; i < 3; i++) {
		devname[i] = initial_devname[i];
		devname2[i] = initial_devname2[i];
		if (devname[i] != nullptr)
			std::memset(devname[i], 0, std::strlen(devname[i]));
		if (devname2[i] != nullptr)
			std::memset(devname2[i], 0, std::strlen(devname2[i]));
	}
	port = 0;
}

// closes what an abandoned run left open
void release_all()
{
	for (bool &o : fd_open)
		o = false;
	for (std::FILE *&f : files) {
		if (f != nullptr)
			std::fclose(f);
		f = nullptr;
	}
}

void check_all_closed()
{
	for (const bool o : fd_open)
		if (o)
			finding("a device node or sysfs file was left open");
	for (const std::FILE *f : files)
		if (f != nullptr)
			finding("a report file was left open");
}

} // namespace

extern "C" {

int fuzz_open(const char *path, int flags, ...)
{
	return fake_open(path, flags);
}

int fuzz_open64(const char *path, int flags, ...)
{
	return fake_open(path, flags);
}

int fuzz_close(int fd)
{
	count_call();
	fd_open[fake_fd_slot(fd)] = false;
	return 0;
}

ssize_t fuzz_read(int fd, void *buf, std::size_t count)
{
	return fake_read(fd, buf, count);
}

int fuzz_ioctl(int fd, unsigned long request, ...)
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);
	return fake_ioctl(fd, request, arg);
}

int fuzz_system(const char *command)
{
	return fake_system(command);
}

// only report files are opened for writing: each is a regular file of one link
int fuzz_fstat(int fd, struct stat *st)
{
	count_call();
	fd_checked[fake_fd_slot(fd)] = true;
	must_be_addressable(st, sizeof(*st), "stat record");
	*st = {};
	st->st_mode = S_IFREG | 0644;
	st->st_nlink = 1;
	return 0;
}

int fuzz_ftruncate(int fd, off_t length)
{
	count_call();
	if (!fd_checked[fake_fd_slot(fd)])
		finding("report file truncated before its type was checked");
	if (length != 0)
		finding("report file truncated to a length other than 0");
	return 0;
}

std::FILE *fuzz_fdopen(int fd, const char *mode)
{
	return fake_fdopen(fd, mode);
}

int fuzz_fclose(std::FILE *fp)
{
	count_call();
	for (std::FILE *&f : files) {
		if (f == fp && fp != nullptr) {
			f = nullptr;
			return std::fclose(fp);
		}
	}
	finding("fclose of a file the program did not open");
}

unsigned int fuzz_sleep(unsigned int)
{
	count_call();
	sleeps++;
	return 0;
}

void *fuzz_malloc(std::size_t size)
{
	if (answers.byte() != 0) {
		errno = ENOMEM;
		return nullptr;
	}
	return std::malloc(size);
}

int LLVMFuzzerInitialize(int *, char ***)
{
	// what the program prints is of no interest here, unless OSTRAUTIL_FUZZ_STDOUT
	// is set (to look at what one input does)
	const int null = open("/dev/null", O_WRONLY);
	if (std::getenv("OSTRAUTIL_FUZZ_STDOUT") != nullptr)
		return 0;
	if (null < 0 || dup2(null, STDOUT_FILENO) < 0)
		finding("cannot send standard output to /dev/null");
	close(null);
	return 0;
}

int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	char *args[MAX_ARGS + 1] = {};
	char **argv = nullptr;
	int argc = 1;
	Answers input{data, size};
	int count = 0;

	// the argument vector and each string in an allocation of its own exact
	// size, so that a read past either shows
	args[0] = strdup("ostrautil");
	count = input.byte() % MAX_ARGS;
	for (int i = 0; i < count; i++) {
		char text[MAX_ARG_LEN + 1] = {};
		input.bytes(text, input.byte() % MAX_ARG_LEN);
		args[argc++] = strdup(text);
	}
	argv = static_cast<char **>(
		std::calloc(static_cast<std::size_t>(argc) + 1, sizeof(char *)));
	std::memcpy(argv, args, static_cast<std::size_t>(argc) * sizeof(char *));

	reset_program();
	answers = input;
	sleeps = 0;
	calls = 0;
	if (setjmp(abandon) == 0) {
		(void)ostrautil_main(argc, argv);
		std::fflush(stdout);
		check_all_closed();
	} else {
		release_all();
	}
	for (int i = 0; i < argc; i++)
		std::free(args[i]);
	std::free(static_cast<void *>(argv));
	return 0;
}

} // extern "C"
