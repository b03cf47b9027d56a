/*
 * osl_mdev_power.cpp - drive power and diagnostics: power and link commands,
 * register, interrupt and media test words.
 */
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "osl_mdev_ostrautil.h"

namespace {

/* the read test's record and where its requests start */
struct read_test {
	struct ztostra_read_dma_info rarg;
	std::uint32_t ssect_hi;
	std::uint32_t ssect;
};

/* before each request: 16 sectors from the start sector of this step */
void read_test_step(void *ctx, std::uint32_t sent)
{
	auto *test = static_cast<read_test *>(ctx);

	test->rarg.start_sect[0] = test->ssect_hi;
	test->rarg.start_sect[1] = test->ssect + 16U * sent;
	test->rarg.nsect = 16;
}

} // namespace

/*
 * Command 0x12: flush and stand-by every drive through its partition node,
 * drive by drive, then put the controller link to sleep through the first
 * whole disk.  The first failure ends the command; any result but 0 is one.
 */
int ostrautil_sleep_in(void)
{
	ostrautil_frame frame = {};
	int i = 0;
	int retcode = ERROR;

	for (i = 0; devname2[i] != nullptr; i++) {
		frame = {devname2[i], __func__, __LINE__, OSTRAUTIL_REPORT_PATH};
		frame.req[0] = {ZTOSTRA_HDD_FLUSH_CACHE, nullptr, true};
		frame.req[1] = {ZTOSTRA_HDD_STANDBY_IMD, nullptr, true};
		if (ostrautil_issue_requests(frame) != OK)
			goto end;
	}
	frame = {devname[0], __func__, __LINE__, OSTRAUTIL_REPORT_PATH};
	frame.req[0] = {ZTOSTRA_SLEEP_IN, nullptr, true};
	retcode = ostrautil_issue_requests(frame);
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
	ostrautil_frame frame = {devname[0], __func__, __LINE__, OSTRAUTIL_REPORT_PATH};
	int i = 0;
	int retcode = ERROR;

	frame.req[0] = {ZTOSTRA_SLEEP_OUT, nullptr, true};
	if (ostrautil_issue_requests(frame) != OK)
		goto end;
	for (i = 0; devname[i] != nullptr; i++) {
		frame = {devname[i], __func__, __LINE__, OSTRAUTIL_REPORT_PATH};
		frame.req[0] = {ZTOSTRA_INIT_PORT, nullptr, true};
		if (ostrautil_issue_requests(frame) != OK)
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
	read_test test;
	ostrautil_frame frame = {dev, __func__, __LINE__,
				 OSTRAUTIL_REPORT_PLAIN | OSTRAUTIL_FRAME_ALL | OSTRAUTIL_FRAME_OK};
	int retcode = ERROR;

	std::memset(&test, 0, sizeof(test));
	test.ssect_hi = ssect_hi;
	test.ssect = ssect;
	frame.rounds = nsect;
	frame.prepare = read_test_step;
	frame.ctx = &test;
	frame.req[0] = {ZTOSTRA_TEST_READ_DMA, &test.rarg};
	retcode = ostrautil_issue_requests(frame);
	return retcode;
}

/*
 * Uncorrectable-write test: the drive marks the sector at ssect_hi:ssect as
 * unreadable.  Only the start sector is the program's; the rest of the
 * record goes out cleared.
 */
int ostrautil_write_uncerror(char *dev, std::uint32_t ssect_hi, std::uint32_t ssect)
{
	struct ztostra_write_dma_info warg;
	ostrautil_frame frame = {dev, __func__, __LINE__,
				 OSTRAUTIL_REPORT_PLAIN | OSTRAUTIL_FRAME_OK};
	int retcode = ERROR;

	std::memset(&warg, 0, sizeof(warg));
	warg.start_sect[0] = ssect_hi;
	warg.start_sect[1] = ssect;
	frame.req[0] = {ZTOSTRA_TEST_UNCWRITE, &warg};
	retcode = ostrautil_issue_requests(frame);
	return retcode;
}

/* Prints the driver's rotational flag of the drive as a bare number. */
int ostrautil_print_def_rotational(char *dev)
{
	unsigned int rotational = 0;
	ostrautil_frame frame = {dev, __func__, __LINE__, OSTRAUTIL_REPORT_PLAIN};
	int retcode = ERROR;

	frame.req[0] = {ZTOSTRA_HDD_DEF_ROTATIONAL, &rotational};
	retcode = ostrautil_issue_requests(frame);
	if (retcode < 0)
		goto end;
	std::printf("%d", static_cast<int>(rotational));
	retcode = OK;
end:
	return retcode;
}
