/*
 * osl_mdev_report.cpp - opening the report files under /tmp.
 *
 * The program runs as root and writes fixed names in a directory that every
 * user may write to.  A report file is opened only when its name holds
 * nothing or a regular file with no other name: never through a symbolic
 * link, never waiting on a FIFO, never truncating a device or a file that is
 * linked in from elsewhere.  Anything else fails as a file that cannot be
 * created does.
 */
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "osl_mdev_ostrautil.h"

/*
 * Opens path for writing as fopen(path, "w") would, or "a" with append: the
 * same mode for a new file (0666 less the umask), truncated unless appended
 * to.  Gives null when the name cannot be created or holds anything but a
 * regular file of one link.  Truncation waits until the type is known.
 */
std::FILE *ostrautil_open_report(const char *path, bool append)
{
	struct stat st = {};
	std::FILE *fp = nullptr;
	int fd = -1;

	fd = open(path,
		  O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | (append ? O_APPEND : 0),
		  0666);
	if (fd < 0)
		goto end;
	if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
	    (append || ftruncate(fd, 0) == 0))
		fp = fdopen(fd, append ? "a" : "w");
	if (fp == nullptr)
		close(fd);
end:
	return fp;
}
