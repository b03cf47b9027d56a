// drv_ata.cpp - the block layer's remaining ATA requests, as standard tools
// (smartctl -d ata, hdparm) send them to a drive node.
//
// HDIO_DRIVE_TASK carries seven task registers: command, feature, sector
// count, sector number, cylinder low, cylinder high, device; the answer
// replaces them with status, error and the five others as the drive left
// them.  The drive answers SMART RETURN STATUS there and aborts everything
// else.  HDIO_GET_MULTCOUNT gives the sectors per READ/WRITE MULTIPLE as set
// in identify word 59.  The driver has neither SCSI generic nor taskfile
// support: SG_IO and HDIO_DRIVE_TASKFILE fail with EINVAL, as a block driver
// without them answers, so that the tools fall back to HDIO_DRIVE_CMD.
#include <cerrno>
#include <cstdio>
#include <exception>

#include "drive_data.h"
#include "sim.h"

namespace {

using sim::ATA_ERROR_ABRT;
using sim::ATA_SMART;
using sim::ATA_STATUS_ABORTED;
using sim::ATA_STATUS_OK;
using sim::SMART_RETURN_STATUS;

// cylinder registers of SMART RETURN STATUS: no threshold exceeded / exceeded
constexpr unsigned char SMART_OK_LCYL = 0x4F;
constexpr unsigned char SMART_OK_HCYL = 0xC2;
constexpr unsigned char SMART_FAIL_LCYL = 0xF4;
constexpr unsigned char SMART_FAIL_HCYL = 0x2C;
// A pre-failure attribute at or below its non-zero threshold: the drive
// reports the threshold exceeded.
bool threshold_exceeded(const sim::Page &attr, const sim::Page &thrs)
{
	for (int j = 0; j < sim::SMART_ENTRIES; j++) {
		const unsigned char *a = &attr[sim::SMART_FIRST_ENTRY + sim::SMART_ENTRY_SIZE * j];
		const unsigned char *t =
			a[0] != 0 && (a[1] & 1U) != 0 ? sim::smart_entry(thrs, a[0]) : nullptr;
		if (t != nullptr && t[1] != 0 && a[3] <= t[1])
			return true;
	}
	return false;
}

int drive_task(sim::Ctx &ctx, unsigned char *arg)
{
	if (arg[0] != ATA_SMART || arg[1] != SMART_RETURN_STATUS) {
		arg[0] = ATA_STATUS_ABORTED;
		arg[1] = ATA_ERROR_ABRT;
		return ctx.fail(EIO);
	}
	try {
		const bool failing = threshold_exceeded(
			sim::smart_attr_page(ctx.drive_desc(), ctx.drive_state()),
			sim::smart_thrs_page(ctx.drive_desc()));
		arg[0] = ATA_STATUS_OK;
		arg[1] = 0;
		arg[4] = failing ? SMART_FAIL_LCYL : SMART_OK_LCYL;
		arg[5] = failing ? SMART_FAIL_HCYL : SMART_OK_HCYL;
		return 0;
	} catch (const std::exception &e) {
		std::fprintf(stderr, "ostrasim: drive %s: %s\n", ctx.drive.c_str(), e.what());
		return ctx.fail(EIO);
	}
}

int get_multcount(sim::Ctx &ctx, unsigned char *arg)
{
	try {
		const unsigned w = sim::identify_words(ctx.drive_desc())[sim::ID_MULTIPLE];
		sim::put<long>(arg, (w & 0x100U) != 0 ? static_cast<long>(w & 0xFFU) : 0);
		return 0;
	} catch (const std::exception &e) {
		std::fprintf(stderr, "ostrasim: drive %s: %s\n", ctx.drive.c_str(), e.what());
		return ctx.fail(EIO);
	}
}

int not_offered(sim::Ctx &ctx, unsigned char *)
{
	return ctx.fail(EINVAL);
}

const sim::Request requests[] = {
	{0x031E, "HDIO_DRIVE_TASK", 7, drive_task},
	{0x0304, "HDIO_GET_MULTCOUNT", sizeof(long), get_multcount},
	{0x2285, "SG_IO", 0, not_offered},
	{0x031D, "HDIO_DRIVE_TASKFILE", 0, not_offered},
};

[[maybe_unused]] const bool registered = sim::register_requests(requests);

} // namespace
