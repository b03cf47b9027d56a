/*
 * osl_mdev_power.cpp - drive power and diagnostics: power and link commands,
 * register, interrupt and media test words.
 */
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "osl_mdev_ostrautil.h"

namespace {

/*
 * One step of the power commands: opens /dev/<name>, sends the request with
 * no argument and closes the node.  Any result other than 0 is a failure.
 * func names the command for a name that does not fit the path.
 */
int power_request(const char *func, const char *name, unsigned int code)
{
	char devfile[OSTRAUTIL_DEVFILE_LEN];
	int devfp = -1;
	int result = 0;
	int retcode = ERROR;

	if (ostrautil_make_devfile(devfile, "/dev/", name, func, __LINE__) != OK)
		goto end;
	devfp = open(devfile, O_RDWR);
	if (devfp < 0) {
		std::printf("%s open error\n", devfile);
		goto end;
	}
	result = ioctl(devfp, code, nullptr);
	close(devfp);
	if (result != 0) {
		std::printf("%s ioctl error\n", devfile);
		goto end;
	}
	retcode = OK;
end:
	return retcode;
}

} // namespace

/*
 * Command 0x12: flush and stand-by every drive through its partition node,
 * drive by drive, then put the controller link to sleep through the first
 * whole disk.  The first failure ends the command.
 */
int ostrautil_sleep_in(void)
{
	char devfile[OSTRAUTIL_DEVFILE_LEN];
	int devfp = -1;
	int i = 0;
	int result = 0;
	int retcode = ERROR;

	for (i = 0; devname2[i] != nullptr; i++) {
		if (ostrautil_make_devfile(devfile, "/dev/", devname2[i], __func__, __LINE__) != OK)
			goto end;
		devfp = open(devfile, O_RDWR);
		if (devfp < 0) {
			std::printf("%s open error\n", devfile);
			goto end;
		}
		result = ioctl(devfp, ZTOSTRA_HDD_FLUSH_CACHE, nullptr);
		if (result != 0) {
			std::printf("%s ioctl error\n", devfile);
			close(devfp);
			goto end;
		}
		result = ioctl(devfp, ZTOSTRA_HDD_STANDBY_IMD, nullptr);
		close(devfp);
		if (result != 0) {
			std::printf("%s ioctl error\n", devfile);
			goto end;
		}
	}
	retcode = power_request(__func__, devname[0], ZTOSTRA_SLEEP_IN);
end:
	return retcode;
}

/*
 * Command 0x13: wake the controller link through the first whole disk, then
 * initialise the port of every drive (the first one included).  The first
 * failure ends the command.
 */
int ostrautil_sleep_out(void)
{
	int i = 0;
	int retcode = ERROR;

	if (power_request(__func__, devname[0], ZTOSTRA_SLEEP_OUT) != OK)
		goto end;
	for (i = 0; devname[i] != nullptr; i++) {
		if (power_request(__func__, devname[i], ZTOSTRA_INIT_PORT) != OK)
			goto end;
	}
	retcode = OK;
end:
	return retcode;
}

/*
 * Media read test: nsect requests of 16 sectors each from ssect_hi:ssect.
 * Only the low word steps (it wraps, nothing carries into the high word) and
 * only the last request's result counts.  The data area is never looked at;
 * it goes out cleared, so that no stack contents reach the driver.
 */
int ostrautil_read_dma(char *dev, std::uint32_t ssect_hi, std::uint32_t ssect, std::uint32_t nsect)
{
	char devfile[OSTRAUTIL_DEVFILE_LEN];
	struct ztostra_read_dma_info rarg;
	int devfp = -1;
	int retcode = ERROR;
	std::uint32_t i = 0;

	if (ostrautil_make_devfile(devfile, "/dev/", dev, __func__, __LINE__) != OK)
		goto end;
	devfp = open(devfile, O_RDWR);
	if (devfp < 0) {
		std::printf("%s open error\n", devfile);
		goto end;
	}
	std::memset(&rarg, 0, sizeof(rarg));
	for (i = 0; i != nsect; i++) {
		rarg.start_sect[0] = ssect_hi;
		rarg.start_sect[1] = ssect + 16U * i;
		rarg.nsect = 16;
		retcode = ioctl(devfp, ZTOSTRA_TEST_READ_DMA, &rarg);
	}
	close(devfp);
	if (retcode < 0) {
		std::printf("ioctl() error\n");
		goto end;
	}
	retcode = OK;
end:
	return retcode;
}

/*
 * Uncorrectable-write test: the drive marks the sector at ssect_hi:ssect as
 * unreadable.  Only the start sector is the program's; the rest of the
 * record goes out cleared.
 */
int ostrautil_write_uncerror(char *dev, std::uint32_t ssect_hi, std::uint32_t ssect)
{
	char devfile[OSTRAUTIL_DEVFILE_LEN];
	struct ztostra_write_dma_info warg;
	int devfp = -1;
	int retcode = ERROR;

	if (ostrautil_make_devfile(devfile, "/dev/", dev, __func__, __LINE__) != OK)
		goto end;
	devfp = open(devfile, O_RDWR);
	if (devfp < 0) {
		std::printf("%s open error\n", devfile);
		goto end;
	}
	std::memset(&warg, 0, sizeof(warg));
	warg.start_sect[0] = ssect_hi;
	warg.start_sect[1] = ssect;
	retcode = ioctl(devfp, ZTOSTRA_TEST_UNCWRITE, &warg);
	close(devfp);
	if (retcode < 0) {
		std::printf("ioctl() error\n");
		goto end;
	}
	retcode = OK;
end:
	return retcode;
}

/* Prints the driver's rotational flag of the drive as a bare number. */
int ostrautil_print_def_rotational(char *dev)
{
	char devfile[OSTRAUTIL_DEVFILE_LEN];
	unsigned int rotational = 0;
	int devfp = -1;
	int retcode = ERROR;

	if (ostrautil_make_devfile(devfile, "/dev/", dev, __func__, __LINE__) != OK)
		goto end;
	devfp = open(devfile, O_RDWR);
	if (devfp < 0) {
		std::printf("%s open error\n", devfile);
		goto end;
	}
	retcode = ioctl(devfp, ZTOSTRA_HDD_DEF_ROTATIONAL, &rotational);
	close(devfp);
	if (retcode < 0) {
		std::printf("ioctl() error\n");
		goto end;
	}
	std::printf("%d", static_cast<int>(rotational));
	retcode = OK;
end:
	return retcode;
}
