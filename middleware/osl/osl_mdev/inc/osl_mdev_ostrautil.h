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
int ostrautil_ow_set(int argc, std::uint32_t cmd, char *dev, char *setdata);
int ostrautil_ow_get_test(std::uint32_t cmd, char *dev);
int ostrautil_ow_get(struct ztostra_ow *owdata, char *dev);
int ostrautil_set_total(char *dev, std::uint64_t total);
int ostrautil_print_owcnt(char *dev);
int ostrautil_test_set_total(char *dev, std::uint32_t mode);
int ostrautil_print_partition(char *dev, std::uint32_t cnt);
int ostrautil_print_superblock(char *dev, std::uint32_t cnt);

/* drive encryption keys */
int ostrautil_aes_on(char **argv);
int ostrautil_aes_off(char **argv);
int ostrautil_aes_256_on(char **argv);
int ostrautil_aes_256_off(char **argv);

#endif /* OSL_MDEV_OSTRAUTIL_H */
