/*
 * osl_mdev_aes.cpp - drive encryption keys: load a 128-bit or 256-bit AES key
 * into the driver for the drives named on the command line, or switch their
 * encryption off.
 *
 * The key is typed as tagged hexadecimal words ("LL=1234abcd") after the drive
 * names.  Key material never leaves this module except in the one record
 * handed to the driver: no message echoes a key word and the record is wiped
 * from the stack before a handler returns.
 */
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "osl_mdev_ostrautil.h"

/* key-word tags: a tag's position is the realkey word it fills and its findflag bit */
const char *const keytag[] = {"LL=", "LH=", "HL=", "HH=", nullptr};
const char *const keytag256[] = {"LL=", "LH=", "HL=", "HH=", "UA=", "UB=", "UC=", "UD=", nullptr};

static_assert(sizeof(keytag) / sizeof(keytag[0]) == 5, "keytag: 4 tags and a null");
static_assert(sizeof(keytag256) / sizeof(keytag256[0]) == 9, "keytag256: 8 tags and a null");

namespace {

/* longest name that fits "/dev/" and the terminating zero in a device path */
constexpr std::size_t AES_NAME_MAX = OSTRAUTIL_DEVFILE_LEN - sizeof("/dev/");

static_assert(AES_NAME_MAX == 34, "devfile holds a name of at most 34 characters");

/*
 * Clears memory that held key material.  The stores go through a volatile
 * pointer and a compiler barrier follows, so that they are not dropped as
 * dead stores to a local that is about to go out of scope.
 */
void ostrautil_aes_wipe(void *buf, std::size_t len)
{
	volatile unsigned char *p = static_cast<volatile unsigned char *>(buf);
	std::size_t n = 0;

	for (n = 0; n < len; n++)
		p[n] = 0;
	__asm__ __volatile__("" : : "r"(buf) : "memory");
}

/* Position in tags of the tag that arg begins with (case-sensitive), or -1. */
int ostrautil_aes_find_tag(const char *arg, const char *const *tags)
{
	int retcode = ERROR;
	int index = 0;

	for (index = 0; tags[index] != nullptr; index++) {
		if (std::strncmp(arg, tags[index], std::strlen(tags[index])) == 0) {
			retcode = index;
			break;
		}
	}
	return retcode;
}

} // namespace

/*
 * Commands 0x21 and 0x23: loads the key given by the tagged words of argv
 * into every drive named before them.  The row gives the handler's name for
 * the messages, its tag table and the set of tags that must all be present.
 */
int ostrautil_aes_set_key(int argc, char **argv, const ostrautil_command &row)
{
	struct aeskey aesinfo;
	ostrautil_frame frame = {};
	unsigned int findflag = 0;
	int retcode = ERROR;
	int loop = 0;
	int index = 0;
	int i = 0;

	(void)argc;
	std::memset(&aesinfo, 0, sizeof(aesinfo));
	if (argv == nullptr || argv[0] == nullptr || argv[1] == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", row.name, __LINE__);
		goto end;
	}

	/* key words anywhere after the command; a later word replaces an earlier one */
	for (loop = 2; argv[loop] != nullptr; loop++) {
		index = ostrautil_aes_find_tag(argv[loop], row.tags);
		if (index < 0)
			continue;
		aesinfo.realkey[index] =
			ostrautil_strtoul(argv[loop] + std::strlen(row.tags[index]), nullptr, 16);
		findflag |= 1U << static_cast<unsigned int>(index);
	}
	if (findflag != row.value) {
		std::printf("%s() : aes real key not found - 0x%02X.\n", row.name, findflag);
		goto end;
	}
	aesinfo.aesmode = DSC_AESMODE_ECB;

	/*
	 * Drive names come first: the loop ends, silently, at the first argument
	 * that is no openable node, which on a correct command line is the first
	 * key word.  A key word (of either width) ends it before it is tried as a
	 * path, so that no key reaches a system call but the request itself; a
	 * name too long for the path ends it the same way, without echoing it.
	 */
	for (i = 2; argv[i] != nullptr; i++) {
		if (ostrautil_aes_find_tag(argv[i], keytag256) >= 0 ||
		    std::strlen(argv[i]) > AES_NAME_MAX)
			goto end;
		frame = {argv[i], row.name, __LINE__,
			 OSTRAUTIL_REPORT_LINE | OSTRAUTIL_FRAME_QUIET};
		frame.req[0] = {ZTOSTRA_SET_AES, &aesinfo};
		retcode = ostrautil_issue_requests(frame);
		if (retcode < 0)
			goto end;
	}
end:
	ostrautil_aes_wipe(&aesinfo, sizeof(aesinfo));
	return retcode;
}

/* Commands 0x22 and 0x24: switches encryption off on every drive named in argv, in order. */
int ostrautil_aes_set_through(int argc, char **argv, const ostrautil_command &row)
{
	struct aeskey aesinfo;
	ostrautil_frame frame = {};
	int retcode = ERROR;
	int i = 0;

	(void)argc;
	std::memset(&aesinfo, 0, sizeof(aesinfo));
	aesinfo.aesmode = DSC_AESMODE_THROUGH;
	if (argv == nullptr || argv[0] == nullptr || argv[1] == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", row.name, __LINE__);
		goto end;
	}
	for (i = 2; argv[i] != nullptr; i++) {
		frame = {argv[i], row.name, __LINE__, OSTRAUTIL_REPORT_LINE};
		frame.req[0] = {ZTOSTRA_SET_AES, &aesinfo};
		retcode = ostrautil_issue_requests(frame);
		if (retcode < 0)
			goto end;
	}
end:
	return retcode;
}
