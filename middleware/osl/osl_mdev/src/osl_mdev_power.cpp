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

/*
 * Media read test: nsect requests of 16 sectors each from ssect_hi:ssect.
 * Only the low word steps (it wraps, nothing carries into the high word) and
 * only the last request's result counts.
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
