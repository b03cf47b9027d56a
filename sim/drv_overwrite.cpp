// drv_overwrite.cpp - the driver's overwrite function: settings, total,
// progress count.
#include "sim.h"

namespace {

int clear_total(sim::Ctx &ctx, unsigned char *)
{
	ctx.drive_state()["ow"]["total"] = 0;
	return 0;
}

const sim::Request requests[] = {
	{0x0A0E, "ZTOSTRA_CLEAR_TOTAL", 0, clear_total},
};

[[maybe_unused]] const bool registered = sim::register_requests(requests);

} // namespace
