// drv_identity.cpp - identify data and SMART pages of the drives: the
// driver's own requests and the block layer's standard ones.
//
// Every node of a drive answers alike, the whole disk (sda) as well as its
// partitions (sda5): the driver and the block layer look only at the drive
// behind the node.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>

#include "drive_data.h"
#include "sim.h"

namespace {

using sim::ATA_ERROR_ABRT;
using sim::ATA_IDENTIFY;
using sim::ATA_SMART;
using sim::ATA_STATUS_ABORTED;
using sim::SMART_READ_DATA;
using sim::SMART_READ_LOG;
using sim::SMART_READ_THRESHOLDS;

// logs the drive keeps, all empty: SMART error log, self-test log, selective
// self-test log
constexpr unsigned char SMART_LOGS[] = {0x01, 0x06, 0x09};

// A page of the drive into the caller's buffer; a board description the
// drive cannot be built from fails the request with EIO.
template <typename Build> int answer(sim::Ctx &ctx, unsigned char *dst, Build build)
{
	try {
		const sim::Page page = build(ctx.drive_desc());
		std::copy(page.begin(), page.end(), dst);
		return 0;
	} catch (const std::exception &e) {
		std::fprintf(stderr, "ostrasim: drive %s: %s\n", ctx.drive.c_str(), e.what());
		return ctx.fail(EIO);
	}
}

// the attribute page as the drive sends it now (erase counts after security erases)
int attr_page_now(sim::Ctx &ctx, unsigned char *dst)
{
	const sim::json &drive_state = ctx.drive_state_view();
	return answer(ctx, dst, [&](const sim::json &drive) {
		return sim::smart_attr_page(drive, drive_state);
	});
}

int get_smartattr(sim::Ctx &ctx, unsigned char *arg)
{
	return attr_page_now(ctx, arg);
}

int get_smartthrs(sim::Ctx &ctx, unsigned char *arg)
{
	return answer(ctx, arg, sim::smart_thrs_page);
}

// the driver hands out the identify words as the block layer does
int get_identity(sim::Ctx &ctx, unsigned char *arg)
{
	return answer(ctx, arg, sim::identify_host);
}

// HDIO_DRIVE_CMD: command, sector number, feature, sector count, then the
// sector count's 512-byte blocks of data as the drive sends them.
std::size_t drive_cmd_size(const unsigned char *arg)
{
	return 4 + 512 * std::size_t{arg[3]};
}

int drive_cmd(sim::Ctx &ctx, unsigned char *arg)
{
	const unsigned char command = arg[0];
	const unsigned char feature = arg[2];
	const unsigned char count = arg[3];

	if (count == 1 && command == ATA_IDENTIFY)
		return answer(ctx, arg + 4, sim::identify_raw);
	if (count == 1 && command == ATA_SMART && feature == SMART_READ_DATA)
		return attr_page_now(ctx, arg + 4);
	if (count == 1 && command == ATA_SMART && feature == SMART_READ_THRESHOLDS)
		return answer(ctx, arg + 4, sim::smart_thrs_page);
	if (count == 1 && command == ATA_SMART && feature == SMART_READ_LOG &&
	    std::find(std::begin(SMART_LOGS), std::end(SMART_LOGS), arg[1]) != std::end(SMART_LOGS))
		return answer(ctx, arg + 4, [](const sim::json &) {
			sim::Page log{};
			log[0] = 1; // revision; no entries
			sim::set_checksum(log);
			return log;
		});
	// anything else the drive aborts; the registers come back in the header
	arg[0] = ATA_STATUS_ABORTED;
	arg[1] = ATA_ERROR_ABRT;
	return ctx.fail(EIO);
}

const sim::Request requests[] = {
	{0x0A10, "ZTOSTRA_GET_SMARTATTR", 512, get_smartattr},
	{0x0A11, "ZTOSTRA_GET_SMARTTHRS", 512, get_smartthrs},
	{0x0A12, "ZTOSTRA_GET_IDENTDATA", 512, get_identity},
	{0x030D, "HDIO_GET_IDENTITY", 512, get_identity},
	{0x031F, "HDIO_DRIVE_CMD", 4, drive_cmd, drive_cmd_size},
};

// printable form of an identify text, trailing spaces dropped
std::string shown(const std::string &text)
{
	std::string s;
	for (char c : text)
		s += (c >= 0x20 && c < 0x7F) ? std::string(1, c) : std::string("\\0");
	return s.substr(0, s.find_last_not_of(' ') + 1);
}

void show(const sim::Board &board, const sim::json &, const std::string &drive, std::FILE *out)
{
	using namespace sim;
	const json &desc = board.desc.at("drives").at(drive);
	try {
		const IdentifyWords w = identify_words(desc);
		const Page attr = smart_attr_page(desc);
		int attributes = 0;
		for (int j = 0; j < SMART_ENTRIES; j++)
			attributes += attr[SMART_FIRST_ENTRY + SMART_ENTRY_SIZE * j] != 0 ? 1 : 0;
		std::fprintf(out, "  identify: model \"%s\", serial \"%s\", firmware \"%s\"\n",
			     shown(identify_text(w, ID_MODEL, ID_MODEL_WORDS)).c_str(),
			     shown(identify_text(w, ID_SERIAL, ID_SERIAL_WORDS)).c_str(),
			     shown(identify_text(w, ID_FIRMWARE, ID_FIRMWARE_WORDS)).c_str());
		const auto &host = board.info.drives.at(drive).host;
		if (host)
			std::fprintf(out, "  real drive: %s (identify data as read at init)\n",
				     host->c_str());
		else
			std::fprintf(out, "  smart: %d attributes\n", attributes);
	} catch (const std::exception &e) {
		std::fprintf(out, "  identify: %s\n", e.what());
	}
}

[[maybe_unused]] const bool registered = sim::register_requests(requests);
[[maybe_unused]] const bool shown_registered = sim::register_show(show);

} // namespace
