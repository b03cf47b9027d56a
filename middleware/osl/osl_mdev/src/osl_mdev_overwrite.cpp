/*
 * osl_mdev_overwrite.cpp - overwrite control: settings, start, progress count
 * and total of the driver's overwrite function, and the bounds of the
 * overwrite partition.
 *
 * The overwrite itself runs in the driver; this module only configures it,
 * starts it and reads it back.  Every step opens the drive's node, sends its
 * requests and closes the node again; nothing is kept between steps.
 */
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "osl_mdev_ostrautil.h"

namespace {

/* largest start count of the overwrite function */
constexpr std::uint32_t OSTRAUTIL_OWCNT_MAX = 99;
/* width of the progress bar: one cell per two percent */
constexpr std::uint32_t OSTRAUTIL_OWBAR_CELLS = 50;

/*
 * A data value of command 0x31: hexadecimal, "0x" allowed, nothing may follow
 * the number.  An empty text is 0.
 */
bool parse_owdata(const char *text, std::uint32_t &value)
{
	char *end = nullptr;

	value = ostrautil_strtoul(text, &end, 16);
	return *end == '\0';
}

/*
 * The remaining-time estimate after a poll that saw a new count: the seconds
 * the last step took, scaled to the rest of the way, less the seconds gone.
 * Unsigned 32-bit throughout (it wraps), then taken as signed.
 */
std::int32_t ow_remaining(std::uint32_t owcnt, std::uint32_t p_owcnt, std::uint32_t sec,
			  std::uint32_t p_sec)
{
	const std::uint32_t d = owcnt - p_owcnt;
	const std::uint32_t rem = ((((sec - p_sec) / d) * (100U - owcnt)) / d) - sec;

	return static_cast<std::int32_t>(rem);
}

/* what commands 0x41 to 0x45 write back: the settings read and one change */
struct ow_change {
	struct ztostra_ow owdata;
	const ostrautil_command *row;
	const char *setdata;
};

/* between reading and writing the settings: the row's change */
void ow_apply(void *ctx, std::uint32_t sent)
{
	auto *change = static_cast<ow_change *>(ctx);
	std::uint32_t value = 0;

	if (sent == 0)
		return;
	change->owdata.op = ZTOSTRA_OW_SET;
	if (change->row->field == OSTRAUTIL_OW_MODE) {
		change->owdata.data.owmode = static_cast<std::int32_t>(change->row->value);
	} else if (change->setdata != nullptr) {
		value = ostrautil_strtoul(change->setdata, nullptr, 16);
		if (change->row->field == OSTRAUTIL_OW_FIXDATA)
			change->owdata.data.fixdata = static_cast<std::uint16_t>(value & 0xFFFFU);
		else
			change->owdata.data.pranddata = value;
	}
}

/* the sector split for the read test: bits 24 and up, bits 0 to 23 */
void read_sector(char *dev, std::uint32_t sect)
{
	(void)ostrautil_read_dma(dev, sect >> 24, sect & 0x00FFFFFFU, 1);
}

} // namespace

/*
 * Command 0x31: checks the arguments, clears the total, reads the settings,
 * sets the total for the effective mode, writes the new settings (mode 1 or
 * 3 only) and starts the overwrite function with the start count.
 */
int ostrautil_issue_owfunc(char **argv)
{
	struct ztostra_ow owdata;
	struct ztostra_ow owdata2;
	ostrautil_frame frame = {};
	std::uint32_t owcnt = 0;
	std::uint32_t fixdata = 0;
	std::uint32_t pranddata = 0;
	std::int32_t mode = 0;
	std::uint64_t total = 0;
	char *cntarg = nullptr;
	int retcode = ERROR;

	if (argv == nullptr || argv[2] == nullptr || argv[3] == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	std::memset(&owdata, 0, sizeof(owdata));
	owdata.data.owmode = ostrautil_strtol(argv[3], nullptr, 10);
	if (owdata.data.owmode == OVERWRITE_MODE1 || owdata.data.owmode == OVERWRITE_MODE3) {
		if (argv[4] == nullptr || argv[5] == nullptr) {
			std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
			goto end;
		}
		if (!parse_owdata(argv[4], fixdata) || fixdata > 0xFFFFU) {
			std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
			goto end;
		}
		if (!parse_owdata(argv[5], pranddata)) {
			std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
			goto end;
		}
		owdata.op = ZTOSTRA_OW_SET;
		owdata.data.fixdata = static_cast<std::uint16_t>(fixdata);
		owdata.data.pranddata = pranddata;
		cntarg = argv[6];
	} else if (owdata.data.owmode == -1) {
		cntarg = argv[4];
	} else {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	if (cntarg != nullptr)
		owcnt = ostrautil_strtoul(cntarg, nullptr, 10);
	if (owcnt > OSTRAUTIL_OWCNT_MAX) {
		std::printf("%s(%d):Invalid parameter error : owcnt = %d\n", __func__, __LINE__,
			    static_cast<int>(owcnt));
		goto end;
	}
	frame = {argv[2], __func__, __LINE__, OSTRAUTIL_REPORT_LINE};
	frame.req[0] = {ZTOSTRA_CLEAR_TOTAL, nullptr};
	if (ostrautil_issue_requests(frame) < 0)
		goto end;

	std::memset(&owdata2, 0, sizeof(owdata2));
	owdata2.op = ZTOSTRA_OW_GET;
	if (ostrautil_ow_get(&owdata2, argv[2]) != OK) {
		std::printf("%s(%d):ioctl() error\n", __func__, __LINE__);
		goto end;
	}
	/* the total follows the requested mode, or the driver's one for -1 */
	mode = owdata.data.owmode >= 0 ? owdata.data.owmode : owdata2.data.owmode;
	total = owdata2.data.partsect * static_cast<std::uint64_t>(static_cast<std::int64_t>(mode));
	(void)ostrautil_set_total(argv[2], total);

	/* new settings only for mode 1 or 3; then the start with the count */
	frame = {argv[2], __func__, __LINE__, OSTRAUTIL_REPORT_LINE};
	if (owdata.data.owmode > 0)
		frame.req[0] = {ZTOSTRA_OW_OP, &owdata, true, __LINE__};
	frame.req[1] = {ZTOSTRA_ISUEE_OWFUNC, &owcnt, false, __LINE__};
	if (ostrautil_issue_requests(frame) < 0)
		goto end;
	retcode = OK;
end:
	return retcode;
}

/* Command 0x32: the progress count as a bare number, no line end. */
int ostrautil_get_owcnt(int argc, char *dev)
{
	std::uint32_t owcnt = 0;
	ostrautil_frame frame = {dev, __func__, __LINE__, OSTRAUTIL_REPORT_PLAIN};
	int retcode = ERROR;

	if (argc != 3 || dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	frame.req[0] = {ZTOSTRA_GET_OWCOUNT, &owcnt};
	retcode = ostrautil_issue_requests(frame);
	if (retcode < 0)
		goto end;
	std::printf("%d", static_cast<int>(owcnt));
	retcode = OK;
end:
	return retcode;
}

/* Command 0x40: the overwrite mode as a bare number, no line end. */
int ostrautil_ow_get_mode(int argc, char *dev)
{
	struct ztostra_ow owdata;
	ostrautil_frame frame = {dev, __func__, __LINE__, OSTRAUTIL_REPORT_PLAIN};
	int retcode = ERROR;

	if (argc != 3 || dev == nullptr) {
		std::printf("%s() invalid parameter - get overwrite mode.\n", __func__);
		goto end;
	}
	std::memset(&owdata, 0, sizeof(owdata));
	owdata.op = ZTOSTRA_OW_GET;
	frame.req[0] = {ZTOSTRA_OW_OP, &owdata};
	retcode = ostrautil_issue_requests(frame);
	if (retcode < 0)
		goto end;
	std::printf("%d", static_cast<int>(owdata.data.owmode));
	retcode = OK;
end:
	return retcode;
}

/*
 * Commands 0x41 to 0x45: read the settings, change the row's field, write
 * them back, all on one open node.  0x41 to 0x43 take no further argument;
 * 0x44 and 0x45 at most one, and without it the settings are written back
 * unchanged.  argv[3] is the vector's terminating null when argc is 3.
 */
int ostrautil_ow_set(int argc, char **argv, const ostrautil_command &row)
{
	ow_change change;
	ostrautil_frame frame = {argv[2], __func__, __LINE__,
				 OSTRAUTIL_REPORT_PLAIN | OSTRAUTIL_FRAME_OK};
	const bool args_ok = row.field == OSTRAUTIL_OW_MODE ? argc == 3 : argc <= 4;
	int retcode = ERROR;

	if (!args_ok || argv[2] == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	std::memset(&change, 0, sizeof(change));
	change.owdata.op = ZTOSTRA_OW_GET;
	change.row = &row;
	change.setdata = argv[3];
	frame.prepare = ow_apply;
	frame.ctx = &change;
	frame.req[0] = {ZTOSTRA_OW_OP, &change.owdata};
	frame.req[1] = {ZTOSTRA_OW_OP, &change.owdata};
	retcode = ostrautil_issue_requests(frame);
end:
	return retcode;
}

/* Command 0xff: every overwrite setting but the partition size. */
int ostrautil_ow_get_test(std::uint32_t cmd, char *dev)
{
	struct ztostra_ow owdata;
	ostrautil_frame frame = {dev, __func__, __LINE__, OSTRAUTIL_REPORT_PLAIN};
	int retcode = ERROR;

	(void)cmd;
	if (dev == nullptr)
		goto end;
	std::memset(&owdata, 0, sizeof(owdata));
	owdata.op = ZTOSTRA_OW_GET;
	frame.req[0] = {ZTOSTRA_OW_OP, &owdata};
	retcode = ostrautil_issue_requests(frame);
	if (retcode < 0)
		goto end;
	std::printf("-------- owdata --------\n");
	std::printf("mode      = %d\n", static_cast<int>(owdata.data.owmode));
	std::printf("fixdata   = 0x%04x\n", static_cast<unsigned int>(owdata.data.fixdata));
	std::printf("owsw      = 0x%04x\n", static_cast<unsigned int>(owdata.data.owsw));
	std::printf("pranddata = 0x%04x\n", static_cast<unsigned int>(owdata.data.pranddata));
	std::printf("trcount   = %llu\n", static_cast<unsigned long long>(owdata.data.trcount));
	retcode = OK;
end:
	return retcode;
}

/* Reads the driver's overwrite settings into owdata->data. */
int ostrautil_ow_get(struct ztostra_ow *owdata, char *dev)
{
	ostrautil_frame frame = {dev, __func__, __LINE__,
				 OSTRAUTIL_REPORT_LINE | OSTRAUTIL_FRAME_OK};
	int retcode = ERROR;

	if (owdata == nullptr || dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	owdata->op = ZTOSTRA_OW_GET;
	frame.req[0] = {ZTOSTRA_OW_OP, owdata};
	retcode = ostrautil_issue_requests(frame);
end:
	return retcode;
}

/* Hands the overwrite function's total sector count to the driver. */
int ostrautil_set_total(char *dev, std::uint64_t total)
{
	ostrautil_frame frame = {dev, __func__, __LINE__,
				 OSTRAUTIL_REPORT_LINE | OSTRAUTIL_FRAME_OK};
	int retcode = ERROR;

	if (dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	frame.req[0] = {ZTOSTRA_SET_TOTAL, &total};
	retcode = ostrautil_issue_requests(frame);
end:
	return retcode;
}

/*
 * Word "ow": polls the progress count once a second and redraws the bar line
 * until the count is exactly 100.
 */
int ostrautil_print_owcnt(char *dev)
{
	char devfile[OSTRAUTIL_DEVFILE_LEN];
	std::uint32_t owcnt = 0;
	std::uint32_t p_owcnt = 0;
	std::uint32_t sec = 0;
	std::uint32_t p_sec = 0;
	std::uint32_t i = 0;
	std::int32_t rem = 0;
	ostrautil_frame frame = {devfile, __func__, __LINE__,
				 OSTRAUTIL_REPORT_PLAIN | OSTRAUTIL_FRAME_PATH};
	int retcode = ERROR;

	if (dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	if (ostrautil_make_devfile(devfile, "/dev/", dev, __func__, __LINE__) != OK)
		goto end;
	frame.req[0] = {ZTOSTRA_GET_OWCOUNT, &owcnt};
	std::printf("\n============== OverWrite Progress Bar ==============\n");
	std::printf("+--+--+--+--+--+--+--+--+--+--+--+--+--+--+--+--+--+\n");
	for (;;) {
		retcode = ostrautil_issue_requests(frame);
		if (retcode < 0)
			goto end;
		std::printf("\r|");
		for (i = 0; i < OSTRAUTIL_OWBAR_CELLS; i++)
			std::printf("%s", i < owcnt / 2 ? "#" : " ");
		std::printf("|%3d[%%]", static_cast<int>(owcnt));
		std::printf(" remaining:%4d[s]", rem < 0 ? 0 : static_cast<int>(rem));
		std::printf(" total:%4d[s]", static_cast<int>(sec));
		std::fflush(stdout);
		if (owcnt == 100)
			break;
		if (owcnt != p_owcnt) {
			rem = ow_remaining(owcnt, p_owcnt, sec, p_sec);
			p_sec = sec;
		}
		sleep(1);
		sec += 1;
		rem = static_cast<std::int32_t>(static_cast<std::uint32_t>(rem) - 1U);
		p_owcnt = owcnt;
	}
	std::printf("\n====================================================\n\n");
	retcode = OK;
end:
	return retcode;
}

/*
 * Word "ow_set_total": the total for mode 1 or 3 from the partition size the
 * driver reports; prints it (low 32 bits) and sets it.
 */
int ostrautil_test_set_total(char *dev, std::uint32_t mode)
{
	struct ztostra_ow owdata2;
	std::uint64_t total = 0;
	int retcode = ERROR;

	std::memset(&owdata2, 0, sizeof(owdata2));
	owdata2.op = ZTOSTRA_OW_GET;
	if (ostrautil_ow_get(&owdata2, dev) != OK) {
		std::printf("%s(%d):ioctl() error\n", __func__, __LINE__);
		goto end;
	}
	if (mode != OVERWRITE_MODE1 && mode != OVERWRITE_MODE3) {
		std::printf("%s() invalid parameter - set total. mode%d is not support.\n",
			    __func__, static_cast<int>(mode));
		goto end;
	}
	total = owdata2.data.partsect * mode;
	std::printf("-------- owdata --------\n");
	std::printf("total      = %d\n", static_cast<int>(static_cast<std::uint32_t>(total)));
	std::printf("set total\n");
	std::printf("------------------------\n");
	(void)ostrautil_set_total(dev, total);
	retcode = OK;
end:
	return retcode;
}

/*
 * Word "pp": the overwrite partition's bounds, its middle and the two sectors
 * either side of cnt hundredths of it; each printed and test-read.
 */
int ostrautil_print_partition(char *dev, std::uint32_t cnt)
{
	struct ztostra_part_info part = {};
	std::uint32_t sect = 0;
	std::uint32_t s = 0;
	std::uint32_t n = 0;
	ostrautil_frame frame = {dev, __func__, __LINE__, OSTRAUTIL_REPORT_PLAIN};
	int retcode = ERROR;

	if (dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	frame.req[0] = {ZTOSTRA_GET_PART, &part};
	retcode = ostrautil_issue_requests(frame);
	if (retcode < 0)
		goto end;
	s = part.start_sect;
	n = part.nr_sects;

	sect = s - 1U;
	std::printf("--- OverwritePartition(head - 1) :sector = 0x%08lx\n",
		    static_cast<unsigned long>(sect));
	read_sector(dev, sect);
	sect = s;
	std::printf("--- OverwritePartition(head)     :sector = 0x%08lx\n",
		    static_cast<unsigned long>(sect));
	read_sector(dev, sect);
	sect = s + n / 2U;
	std::printf("--- OverwritePartition(center)    :sector = 0x%08lx\n",
		    static_cast<unsigned long>(sect));
	read_sector(dev, sect);
	sect = (s - 1U) + cnt * (n / 100U);
	std::printf("--- OverwritePartition(befor count):sector = 0x%08lx cnt = %lu\n",
		    static_cast<unsigned long>(sect), static_cast<unsigned long>(cnt));
	read_sector(dev, sect);
	sect = s + cnt * (n / 100U);
	std::printf("--- OverwritePartition(after count):sector = 0x%08lx cnt = %lu\n",
		    static_cast<unsigned long>(sect), static_cast<unsigned long>(cnt));
	read_sector(dev, sect);
	sect = s + n - 1U;
	std::printf("--- OverwritePartition(tail)       :sector = 0x%08lx\n",
		    static_cast<unsigned long>(sect));
	read_sector(dev, sect);
	sect = s + n;
	std::printf("--- OverwritePartition(tail + 1)   :sector = 0x%08lx\n",
		    static_cast<unsigned long>(sect));
	read_sector(dev, sect);
	retcode = OK;
end:
	return retcode;
}

/* Word "psb": test-reads the sector just before the overwrite partition. */
int ostrautil_print_superblock(char *dev, std::uint32_t cnt)
{
	struct ztostra_part_info part = {};
	ostrautil_frame frame = {dev, __func__, __LINE__, OSTRAUTIL_REPORT_PLAIN};
	int retcode = ERROR;

	(void)cnt;
	if (dev == nullptr) {
		std::printf("%s(%d):Invalid parameter error\n", __func__, __LINE__);
		goto end;
	}
	frame.req[0] = {ZTOSTRA_GET_PART, &part};
	retcode = ostrautil_issue_requests(frame);
	if (retcode < 0)
		goto end;
	read_sector(dev, part.start_sect - 1U);
	retcode = OK;
end:
	return retcode;
}
