/*
 * osl_mdev_ostrautil.h - ostrautil, maintenance utility of the controller
 * board's SATA drives: shared declarations of its modules.
 */
#ifndef OSL_MDEV_OSTRAUTIL_H
#define OSL_MDEV_OSTRAUTIL_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "ata.h"

/* device paths: "/dev/" and a name of at most 34 characters */
constexpr std::size_t OSTRAUTIL_DEVFILE_LEN = 40;

/* one row of the SMART attribute description table */
struct smartdescription {
	std::uint8_t id;
	std::uint8_t priority;
	char contents[80];
};

/* one row of the drive maker table; null prefix/model mark a passed-over row */
struct hddmaker {
	const char *maker;
	const char *prefix;
	const char *model;
};

/* drive tables, filled once by ostrautil_init */
extern char *devname[3];
extern char *devname2[3];
extern std::uint32_t port;

/*
 * Number conversions with the target's 32-bit long: a value too large for
 * 32 bits gives the largest value (or the smallest, signed), a minus sign
 * negates in 32-bit arithmetic.  Otherwise as strtoul/strtol; end may be null.
 */
std::uint32_t ostrautil_strtoul(const char *str, char **end, int base);
std::int32_t ostrautil_strtol(const char *str, char **end, int base);

/*
 * Formats prefix + name into a device path buffer.  A name that does not fit
 * is refused with a message naming the caller (func, line); ERROR then.
 */
int ostrautil_make_devfile(char (&devfile)[OSTRAUTIL_DEVFILE_LEN], const char *prefix,
			   const char *name, const char *func, int line);

/*
 * Opens a report file for writing ("w", or "a" with append), never through a
 * symbolic link and only when it is a regular file of one link; null otherwise.
 */
std::FILE *ostrautil_open_report(const char *path, bool append);

/*
 * The request frame: opens a drive's node read-write, sends the requests of
 * its slots in order, closes the node and only then judges and reports the
 * result in the caller's message form.
 */
struct ostrautil_request {
	unsigned int code; /* 0: an empty slot, passed over */
	void *arg;
	bool strict = false; /* any result but 0 is a failure, not only a negative one */
	int line = 0;        /* where it stands, when the frame's line is not enough */
};

/* message forms for a failed request (OSTRAUTIL_REPORT_FORM bits of `how`) */
constexpr unsigned int OSTRAUTIL_REPORT_LINE = 0;  /* "%s(%d):ioctl() error\n": caller, line */
constexpr unsigned int OSTRAUTIL_REPORT_PLAIN = 1; /* "ioctl() error\n" */
constexpr unsigned int OSTRAUTIL_REPORT_PATH = 2;  /* "%s ioctl error\n" with the path */
constexpr unsigned int OSTRAUTIL_REPORT_ERRNO = 3; /* the path, the result and errno */
constexpr unsigned int OSTRAUTIL_REPORT_FORM = 3;
/* further bits of `how` */
constexpr unsigned int OSTRAUTIL_FRAME_PATH = 4;  /* `node` is a path, used unchanged */
constexpr unsigned int OSTRAUTIL_FRAME_QUIET = 8; /* an open failure prints nothing */
constexpr unsigned int OSTRAUTIL_FRAME_ALL = 16;  /* no failure stops; the last result counts */
constexpr unsigned int OSTRAUTIL_FRAME_OK = 32;   /* a success gives OK, not the result */

constexpr int OSTRAUTIL_FRAME_SLOTS = 3;

struct ostrautil_frame {
	const char *node; /* a bare device name, "/dev/" goes in front; a path with FRAME_PATH */
	const char *func; /* the caller and the line of its call, for the "%s(%d):" messages */
	int line;
	unsigned int how; /* OSTRAUTIL_REPORT_* and OSTRAUTIL_FRAME_* */
	ostrautil_request req[OSTRAUTIL_FRAME_SLOTS] = {};
	std::uint32_t rounds = 1; /* times the slots go out */
	/* called before each request with the number sent so far, when set */
	void (*prepare)(void *ctx, std::uint32_t sent) = nullptr;
	void *ctx = nullptr;
};

/*
 * ERROR when the path cannot be built, the node does not open or a strict
 * request fails; otherwise the result of the last request sent (ERROR when
 * none went out), OK in its place for a success with OSTRAUTIL_FRAME_OK.
 */
int ostrautil_issue_requests(const ostrautil_frame &frame);

/* a row of the numeric command table: the handler and what tells its commands apart */
struct ostrautil_command {
	std::uint32_t cmd;
	int (*handler)(int argc, char **argv, const ostrautil_command &row);
	const char *name = nullptr;        /* key commands: the handler's name in messages */
	const char *const *tags = nullptr; /* key commands: the tags of the key words */
	std::uint32_t value = 0;           /* key commands: tags required; 0x41 to 0x43: mode */
	std::uint32_t field = 0;           /* 0x41 to 0x45: the setting that changes */
};

/* the settings that commands 0x41 to 0x45 change */
constexpr std::uint32_t OSTRAUTIL_OW_MODE = 0;
constexpr std::uint32_t OSTRAUTIL_OW_FIXDATA = 1;
constexpr std::uint32_t OSTRAUTIL_OW_PRANDDATA = 2;

/* command front end */
int ostrautil_init(void);
int ostrautil_issue_ioctl(char *devfile, unsigned int ioctl_cmd, void *ioctl_arg);

/* power and link, register, interrupt and media tests */
int ostrautil_sleep_in(void);
int ostrautil_sleep_out(void);
int ostrautil_read_dma(char *dev, std::uint32_t ssect_hi, std::uint32_t ssect, std::uint32_t nsect);
int ostrautil_write_uncerror(char *dev, std::uint32_t ssect_hi, std::uint32_t ssect);
int ostrautil_print_def_rotational(char *dev);

/* identity and SMART reporting */
int ostratuil_get_smartattr(char *dev);
int ostrautil_output_smartattr(struct smartinfo *smart);
void smart_dump(unsigned char *buff);
int ostrautil_get_makermodel(struct smartinfo *smart, char *maker, char *model);
int ostratuil_strip_space(char *data, int length);
int ostrautil_get_serial(char *dev);
int ostrautil_output_serial_init(void);
int ostrautil_get_identify(char *devfile, char *model, char *serial);
int ostrautil_output_serial(char (*model)[44], char (*serial)[24], int port_num);
char *strip(char *s);
int ostrautil_print_identify(char *dev);

/* SSD wear and erase */
int ostrautil_get_ssdlife(char *dev);
int ostrautil_output_erasecount_init(void);
int ostrautil_get_devicenum(char *dev, int *device_number);
int ostrautil_check_ssd(char *dev, int device_number);
int ostrautil_ssd_get_model(char *dev, char *model, int device_number);
int ostrautil_issue_smart_ioctl(char *devfile, char *req);
int ostrautil_smart_serch_id(unsigned char *smart, unsigned char id, unsigned char *member);
int ostrautil_output_erasecount(int rotational, char *model, unsigned char *erase_count);
int ostrautil_ssd_security_erase(int argc, char *dev);

/* overwrite control */
int ostrautil_issue_owfunc(char **argv);
int ostrautil_get_owcnt(int argc, char *dev);
int ostrautil_ow_get_mode(int argc, char *dev);
int ostrautil_ow_set(int argc, char **argv, const ostrautil_command &row);
int ostrautil_ow_get_test(std::uint32_t cmd, char *dev);
int ostrautil_ow_get(struct ztostra_ow *owdata, char *dev);
int ostrautil_set_total(char *dev, std::uint64_t total);
int ostrautil_print_owcnt(char *dev);
int ostrautil_test_set_total(char *dev, std::uint32_t mode);
int ostrautil_print_partition(char *dev, std::uint32_t cnt);
int ostrautil_print_superblock(char *dev, std::uint32_t cnt);

/* drive encryption keys */
extern const char *const keytag[];
extern const char *const keytag256[];
constexpr std::uint32_t AES_KEYWORDS_128 = 0x0FU; /* LL= LH= HL= HH= */
constexpr std::uint32_t AES_KEYWORDS_256 = 0xFFU; /* and UA= UB= UC= UD= */
int ostrautil_aes_set_key(int argc, char **argv, const ostrautil_command &row);
int ostrautil_aes_set_through(int argc, char **argv, const ostrautil_command &row);

#endif /* OSL_MDEV_OSTRAUTIL_H */
