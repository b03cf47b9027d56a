/*
 * osl_mdev_ssd.cpp - SSD wear and erase: the wear report file and the
 * security erase request.
 *
 *   0x52  /tmp/ostra_ssd_life.info: model, average, maximum and limit erase
 *         counts of the named solid-state drive, from its SMART attribute
 *         173; "SSD is not detected?" alone when the run fails on the way
 *   0x46  the driver's security erase of the named drive
 */
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "osl_mdev_ostrautil.h"

namespace {

constexpr const char SSD_LIFE_FILE[] = "/tmp/ostra_ssd_life.info";
constexpr const char SSD_NOT_DETECTED[] = "SSD is not detected?";

/* the attribute that counts erase cycles, and the wear limit reported with it */
constexpr unsigned char SMART_ID_ERASE_COUNT = 0xAD;
constexpr unsigned int ERASE_COUNT_LIMIT = 10000;

/* HDIO_DRIVE_CMD buffer: command, sector number, feature, sector count, data */
constexpr std::size_t DRIVE_CMD_HEADER = 4;
constexpr std::size_t SMART_PAGE_SIZE = 512;
constexpr std::size_t SMART_CMD_SIZE = DRIVE_CMD_HEADER + SMART_PAGE_SIZE;

/*
 * The attribute walk looks at 41 entries: the 30 of the table and the bytes
 * behind it, read the same way.  The last one still ends inside the page.
 */
constexpr int SMART_SEARCH_ENTRIES = 41;
static_assert(2 + SMART_SEARCH_ENTRIES * SMART_ATTR_SIZE <= SMART_PAGE_SIZE,
	      "every searched entry lies within the page");

/* only the first 8 characters of a path are compared: "/dev/" and "sdX" */
constexpr std::size_t DEVICE_MATCH_LEN = 8;
/* paths of one drive's files and nodes */
constexpr std::size_t SSD_PATH_LEN = 64;

/* what is read of the two sysfs files */
constexpr std::size_t ROTATIONAL_READ = 4;
constexpr std::size_t MODEL_READ = 30;
static_assert(MODEL_READ < SMART_MODEL_LENGTH, "the model text and its NUL fit `model`");

/*
 * Reads at most len bytes of /sys/block/sdX<leaf>, X the drive letter 'a' +
 * device_number: what read gives, or -1 when the file does not open, which
 * is reported with the caller's name.
 */
ssize_t sysfs_read(int device_number, const char *leaf, const char *func, char *buf,
		   std::size_t len)
{
	char sysfile[SSD_PATH_LEN];
	ssize_t got = -1;
	int fd = -1;

	std::snprintf(sysfile, sizeof(sysfile), "%s%s%c%s", "/sys/block/", "sd",
		      static_cast<char>('a' + device_number), leaf);
	fd = open(sysfile, O_RDONLY);
	if (fd < 0) {
		std::printf("error (ostrautil) : %s - open error.\n", func);
		goto end;
	}
	got = read(fd, buf, len);
	close(fd);
end:
	return got;
}

} // namespace

/*
 * Command 0x52: the wear report of the solid-state drive named by dev.  The
 * report file holds the placeholder from the start, and the report only once
 * every step has succeeded.
 */
int ostrautil_get_ssdlife(char *dev)
{
	char devfile[OSTRAUTIL_DEVFILE_LEN];
	char model[SMART_MODEL_LENGTH];
	unsigned char smart[SMART_CMD_SIZE];
	unsigned char *const page = smart + DRIVE_CMD_HEADER; /* the data behind the header */
	unsigned char erase_count[SMART_ATTR_SIZE];
	int device_number = 0;
	int retcode = ERROR;

	std::memset(model, 0, sizeof(model));
	std::memset(smart, 0, sizeof(smart));
	std::memset(erase_count, 0, sizeof(erase_count));
	if (dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	if (ostrautil_output_erasecount_init() != OK) {
		std::printf("%s() ostrautil_output_erasecount_init failed.\n", __func__);
		goto end;
	}
	/* a name too long for the path is refused; the placeholder stays */
	if (ostrautil_make_devfile(devfile, "/dev/", dev, __func__, __LINE__) != OK)
		goto end;
	if (ostrautil_get_devicenum(devfile, &device_number) != OK) {
		std::printf("%s() Invalid device file.(%s)\n", __func__, devfile);
		goto end;
	}
	if (ostrautil_check_ssd(devfile, device_number) != 0) {
		std::printf("%s() This device is not SSD.\n", __func__);
		goto end;
	}
	if (ostrautil_ssd_get_model(devfile, model, device_number) != OK) {
		std::printf("%s() ostrautil_ssd_get_model failed.\n", __func__);
		goto end;
	}
	if (ostrautil_issue_smart_ioctl(devfile, reinterpret_cast<char *>(smart)) != 0) {
		std::printf("%s() ostrautil_issue_smart_ioctl failed.\n", __func__);
		goto end;
	}
	if (ostrautil_smart_serch_id(page, SMART_ID_ERASE_COUNT, erase_count) != OK) {
		std::printf("%s() ostrautil_smart_serch_id failed.\n", __func__);
		goto end;
	}
	if (ostrautil_output_erasecount(0, model, erase_count) != OK) {
		std::printf("%s() ostrautil_output_erasecount failed.\n", __func__);
		goto end;
	}
	retcode = OK;
end:
	return retcode;
}

/* replaces the report file's contents by the placeholder, without a line end */
int ostrautil_output_erasecount_init(void)
{
	std::FILE *fp = nullptr;
	int retcode = ERROR;

	fp = ostrautil_open_report(SSD_LIFE_FILE, false);
	if (fp == nullptr) {
		std::printf("%s() : hdd ssd life file init open failure - %s.\n", __func__,
			    SSD_LIFE_FILE);
		goto end;
	}
	std::fprintf(fp, "%s", SSD_NOT_DETECTED);
	std::fflush(fp);
	std::fclose(fp);
	retcode = OK;
end:
	return retcode;
}

/*
 * The drive behind the path dev among the discovered whole disks: only
 * "/dev/sdX" is compared, so a partition such as /dev/sda5 finds sda.
 * device_number is the drive letter's index (sda 0, sdb 1).
 */
int ostrautil_get_devicenum(char *dev, int *device_number)
{
	char dev_path[SSD_PATH_LEN];
	int i = 0;
	int retcode = ERROR;

	if (dev == nullptr || device_number == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	for (i = 0; devname[i] != nullptr; i++) {
		std::snprintf(dev_path, sizeof(dev_path), "/dev/%s", devname[i]);
		if (std::strncmp(dev_path, dev, DEVICE_MATCH_LEN) == 0) {
			*device_number = static_cast<signed char>(devname[i][2]) - 'a';
			retcode = OK;
			break;
		}
	}
end:
	return retcode;
}

/*
 * 0 when the kernel reports the drive as non-rotational: the first byte of
 * /sys/block/sdX/queue/rotational is '0'.  ERROR otherwise, an empty file
 * included.
 */
int ostrautil_check_ssd(char *dev, int device_number)
{
	char rotational[ROTATIONAL_READ];
	ssize_t len = 0;
	int retcode = ERROR;

	(void)dev;
	std::memset(rotational, 0, sizeof(rotational));
	if (device_number < 0 || device_number > 7) {
		std::printf("%s(%d):Invalid parameter error. device_number = %d\n", __func__,
			    __LINE__, device_number);
		goto end;
	}
	len = sysfs_read(device_number, "/queue/rotational", __func__, rotational,
			 sizeof(rotational));
	if (len <= 0 || rotational[0] != '0')
		goto end;
	retcode = OK;
end:
	return retcode;
}

/*
 * The model text of the drive as the kernel shows it in
 * /sys/block/sdX/device/model: at most 30 bytes, whatever follows the name
 * (blanks, the line end) included, NUL-terminated in model.
 */
int ostrautil_ssd_get_model(char *dev, char *model, int device_number)
{
	char text[MODEL_READ];
	ssize_t len = 0;
	int retcode = ERROR;

	(void)dev;
	if (model == nullptr || device_number < 0 || device_number > 7) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	len = sysfs_read(device_number, "/device/model", __func__, text, sizeof(text));
	if (len < 0)
		goto end;
	std::memcpy(model, text, static_cast<std::size_t>(len));
	model[len] = '\0';
	retcode = OK;
end:
	return retcode;
}

/*
 * SMART READ DATA through the block layer's drive command on devfile: req
 * is the 4-byte command header followed by room for the 512-byte page.
 * Gives the request's result, or ERROR when the node does not open.
 */
int ostrautil_issue_smart_ioctl(char *devfile, char *req)
{
	ostrautil_frame frame = {devfile, __func__, __LINE__,
				 OSTRAUTIL_REPORT_ERRNO | OSTRAUTIL_FRAME_PATH};
	int retcode = ERROR;

	if (devfile == nullptr || req == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	req[0] = static_cast<char>(ATA_CMD_SMART);
	req[1] = 1; /* sector number */
	req[2] = static_cast<char>(ATA_SUBCMD_SMART_READATTR);
	req[3] = 1; /* one block of data */
	frame.req[0] = {HDIO_DRIVE_CMD, req};
	retcode = ostrautil_issue_requests(frame);
	if (retcode < 0)
		goto end;
	smart_dump(reinterpret_cast<unsigned char *>(req));
end:
	return retcode;
}

/*
 * Copies the 12-byte entry of attribute id from the SMART attribute page
 * smart into member.  The walk ends at an empty slot (id 0) or after 41
 * entries.
 */
int ostrautil_smart_serch_id(unsigned char *smart, unsigned char id, unsigned char *member)
{
	const unsigned char *entry = nullptr;
	int i = 0;
	int retcode = ERROR;

	if (smart == nullptr || member == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	for (i = 0; i < SMART_SEARCH_ENTRIES; i++) {
		entry = &smart[2 + SMART_ATTR_SIZE * i];
		if (entry[0] == id) {
			std::memcpy(member, entry, SMART_ATTR_SIZE);
			retcode = OK;
			break;
		}
		if (entry[0] == 0)
			break;
	}
end:
	return retcode;
}

/*
 * Writes the four-line report: the first 11 characters of the model, then
 * the average and maximum erase counts (raw value bytes 0-1 and 2-3, least
 * significant first) and the limit.  rotational is 0 from the handler; the
 * report does not depend on it.
 */
int ostrautil_output_erasecount(int rotational, char *model, unsigned char *erase_count)
{
	unsigned int ave_erase_count = 0;
	unsigned int max_erase_count = 0;
	unsigned int limit_erase_count = ERASE_COUNT_LIMIT;
	std::FILE *fp = nullptr;
	int retcode = ERROR;

	(void)rotational;
	if (model == nullptr || erase_count == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	fp = ostrautil_open_report(SSD_LIFE_FILE, false);
	if (fp == nullptr) {
		std::printf("%s() : hdd ssd life file open failure - %s.\n", __func__,
			    SSD_LIFE_FILE);
		goto end;
	}
	ave_erase_count = erase_count[5] + 256U * erase_count[6];
	max_erase_count = erase_count[7] + 256U * erase_count[8];
	std::fprintf(fp, "SSD Model : %.11s\n", model);
	std::fprintf(fp, "Average Erase Count : %d\n", static_cast<int>(ave_erase_count));
	std::fprintf(fp, "Max     Erase Count : %d\n", static_cast<int>(max_erase_count));
	std::fprintf(fp, "Limit   Erase Count : %d\n", static_cast<int>(limit_erase_count));
	std::fflush(fp);
	std::fclose(fp);
	retcode = OK;
end:
	return retcode;
}

/*
 * Command 0x46: the driver's security erase of the drive at /dev/<dev>.  Only
 * `ostrautil 46 NAME` is accepted; nothing is printed on success.
 */
int ostrautil_ssd_security_erase(int argc, char *dev)
{
	ostrautil_frame frame = {dev, __func__, __LINE__, OSTRAUTIL_REPORT_PLAIN};
	int retcode = ERROR;

	if (argc != 3 || dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	frame.req[0] = {ZTOSTRA_SSD_SECURITY_ERASE, nullptr};
	retcode = ostrautil_issue_requests(frame);
end:
	return retcode;
}
