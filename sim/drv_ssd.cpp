// drv_ssd.cpp - the driver's security erase of a solid-state drive.
//
//   state.drives.X.erases   security erases done on the drive
//
// An erase runs through every block of the drive once: the average and the
// maximum erase count of SMART attribute 173 rise by one (see
// smart_attr_page), and what was on the media is gone: the overwrite
// function's state (state.drives.X.ow) and the sectors marked uncorrectable
// (state.drives.X.uncorrectable).  The driver erases whole solid-state
// drives only, through the drive's security feature set: a partition node
// gets EINVAL, a rotational drive or one without the feature set (identify
// word 128) EOPNOTSUPP, and one whose security is locked or frozen EACCES.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <exception>

#include "drive_data.h"
#include "sim.h"

namespace {

using sim::json;

int security_erase(sim::Ctx &ctx, unsigned char *)
{
	const sim::EraseRefusal *refusal = nullptr;
	if (ctx.partition != 0)
		return ctx.fail(EINVAL);
	try {
		const sim::IdentifyWords w = sim::identify_words(ctx.drive_desc());
		refusal = sim::erase_refusal(w[sim::ID_ROTATION_RATE], w[sim::ID_SECURITY]);
	} catch (const std::exception &e) {
		std::fprintf(stderr, "ostrasim: drive %s: %s\n", ctx.drive.c_str(), e.what());
		return ctx.fail(EIO);
	}
	if (refusal != nullptr)
		return ctx.fail(refusal->err);
	json &drive = ctx.drive_state();
	drive["erases"] = drive.value("erases", std::uint64_t{0}) + 1;
	drive.erase("ow");
	drive.erase("uncorrectable");
	return 0;
}

void show_ssd(const sim::Board &board, const json &state, const std::string &drive, std::FILE *out)
{
	const json &ds = sim::drive_state(state, drive);
	const std::uint64_t erases = ds.value("erases", std::uint64_t{0});
	std::fprintf(out, "  erase count:");
	try {
		const sim::Page page = sim::smart_attr_page(board.desc.at("drives").at(drive), ds);
		const unsigned char *found = sim::smart_entry(page, sim::SMART_ID_ERASE_COUNT);
		if (found != nullptr)
			std::fprintf(out, " average %u, maximum %u", found[5] + 256U * found[6],
				     found[7] + 256U * found[8]);
		else
			std::fprintf(out, " not reported");
	} catch (const std::exception &e) {
		std::fprintf(out, " %s", e.what());
	}
	std::fprintf(out, "; security erases: %llu\n", static_cast<unsigned long long>(erases));
}

const sim::Request requests[] = {
	{0x0A40, "ZTOSTRA_SSD_SECURITY_ERASE", 0, security_erase},
};

[[maybe_unused]] const bool registered =
	sim::register_requests(requests) && sim::register_show(show_ssd);

} // namespace
