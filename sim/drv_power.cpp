// drv_power.cpp - power, link and register/interrupt/media test requests.
//
// The controller keeps one link for all its ports and, per drive, the
// drive's power mode and whether its port is ready:
//
//   state.controller.link    "up" | "asleep"        (absent: up)
//   state.drives.X.power     "active" | "standby" | "sleeping"  (absent: active)
//   state.drives.X.port      "ready" | "offline"    (absent: ready)
//   state.drives.X.uncorrectable   sectors marked by the uncorrectable write
//
// Sleep-in puts the link to sleep and takes every port offline; from then on
// requests to the drives fail with EIO until sleep-out has woken the link and
// a port initialisation has brought that drive's port back.  A drive put to
// sleep answers nothing but a port initialisation; a drive in stand-by spins
// up for a request that needs its media.
#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "drive_data.h"
#include "sim.h"

namespace {

using sim::json;

// requests the controller or the driver answers alone, whatever the link and
// the drive do
const char *const controller_requests[] = {
	"ZTOSTRA_SLEEP_IN",           "ZTOSTRA_SLEEP_OUT",      "ZTOSTRA_INIT_PORT",
	"ZTOSTRA_TEST_REG_READ",      "ZTOSTRA_TEST_REG_WRITE", "ZTOSTRA_TEST_24v_DOWN_INTR",
	"ZTOSTRA_HDD_DEF_ROTATIONAL", "HDIO_GET_MULTCOUNT",     "SG_IO",
	"HDIO_DRIVE_TASKFILE",
};

// requests that need the media: a drive in stand-by spins up for them
const char *const media_requests[] = {
	"ZTOSTRA_HDD_FLUSH_CACHE",    "ZTOSTRA_TEST_READ_DMA", "ZTOSTRA_TEST_UNCWRITE",
	"ZTOSTRA_GET_SMARTATTR",      "ZTOSTRA_GET_SMARTTHRS", "ZTOSTRA_ISUEE_OWFUNC",
	"ZTOSTRA_SSD_SECURITY_ERASE", "HDIO_DRIVE_CMD",
};

template <std::size_t N> bool listed(const char *const (&names)[N], const char *name)
{
	return std::any_of(names, names + N,
			   [name](const char *n) { return std::string(n) == name; });
}

std::string text_or(const json &obj, const char *key, const char *fallback)
{
	if (!obj.is_object() || !obj.contains(key) || !obj.at(key).is_string())
		return fallback;
	return obj.at(key).get<std::string>();
}

std::string link_of(const json &state)
{
	return state.contains("controller") ? text_or(state.at("controller"), "link", "up") : "up";
}

int power_gate(sim::Ctx &ctx, const sim::Request &req)
{
	if (listed(controller_requests, req.name))
		return 0;
	const json &drive = ctx.drive_state_view();
	if (link_of(ctx.state) != "up" || text_or(drive, "port", "ready") != "ready" ||
	    text_or(drive, "power", "active") == "sleeping")
		return ctx.fail(EIO);
	if (text_or(drive, "power", "active") == "standby" && listed(media_requests, req.name))
		ctx.drive_state()["power"] = "active";
	return 0;
}

int answer_ok(sim::Ctx &, unsigned char *)
{
	return 0;
}

int standby_immediate(sim::Ctx &ctx, unsigned char *)
{
	ctx.drive_state()["power"] = "standby";
	return 0;
}

int drive_sleep(sim::Ctx &ctx, unsigned char *)
{
	ctx.drive_state()["power"] = "sleeping";
	return 0;
}

int link_sleep_in(sim::Ctx &ctx, unsigned char *)
{
	ctx.state["controller"]["link"] = "asleep";
	for (const auto &[name, desc] : ctx.info.drives)
		sim::drive_state(ctx.state, name)["port"] = "offline";
	return 0;
}

int link_sleep_out(sim::Ctx &ctx, unsigned char *)
{
	ctx.state["controller"]["link"] = "up";
	return 0;
}

// a port reset over a sleeping link finds no drive; otherwise it brings the
// drive back active, from stand-by and from sleep alike
int init_port(sim::Ctx &ctx, unsigned char *)
{
	if (link_of(ctx.state) != "up")
		return ctx.fail(EIO);
	ctx.drive_state()["port"] = "ready";
	ctx.drive_state()["power"] = "active";
	return 0;
}

// the two start-sector words: word 0 holds the address from bit 24 up
std::uint64_t start_sector(const unsigned char *arg)
{
	return (std::uint64_t{sim::get<std::uint32_t>(arg + 4)} << 24U) +
	       sim::get<std::uint32_t>(arg + 8);
}

std::uint64_t capacity(const sim::Ctx &ctx)
{
	return ctx.drive_info().capacity;
}

bool uncorrectable_in(sim::Ctx &ctx, std::uint64_t first, std::uint64_t count)
{
	const json &drive = ctx.drive_state_view();
	if (!drive.contains("uncorrectable"))
		return false;
	const json &marked = drive.at("uncorrectable");
	return std::any_of(marked.begin(), marked.end(), [&](const json &s) {
		const auto sect = s.get<std::uint64_t>();
		return sect >= first && sect - first < count;
	});
}

// 16 sectors from the start sector, as far as the drive reaches, into the
// driver's own buffer; the record's data area is left alone
int test_read_dma(sim::Ctx &ctx, unsigned char *arg)
{
	constexpr std::uint64_t count = 16;
	const std::uint64_t first = start_sector(arg);
	if (sim::get<std::uint32_t>(arg) != count)
		return ctx.fail(EINVAL);
	if (first >= capacity(ctx) || uncorrectable_in(ctx, first, count))
		return ctx.fail(EIO);
	return 0;
}

// marks the start sector uncorrectable; it stays so across runs
int test_uncwrite(sim::Ctx &ctx, unsigned char *arg)
{
	const std::uint64_t sect = start_sector(arg);
	if (sect >= capacity(ctx))
		return ctx.fail(EIO);
	json &marked = ctx.drive_state()["uncorrectable"];
	if (!marked.is_array())
		marked = json::array();
	if (!uncorrectable_in(ctx, sect, 1)) {
		marked.push_back(sect);
		std::sort(marked.begin(), marked.end());
	}
	return 0;
}

// The drive's own flag; without one, what its identify data says (a
// solid-state drive reports rotation rate 1 in word 217).
int def_rotational(sim::Ctx &ctx, unsigned char *arg)
{
	const sim::DriveDesc &drive = ctx.drive_info();
	std::uint32_t value = 1;
	if (drive.rotational) {
		value = *drive.rotational;
	} else if (drive.drive_file || !drive.identify.is_null()) {
		try {
			value = sim::solid_state(ctx.drive_desc()) ? 0 : 1;
		} catch (const std::exception &) {
			return ctx.fail(EIO);
		}
	}
	sim::put<std::uint32_t>(arg, value);
	return 0;
}

void show_power(const sim::Board &, const json &state, const std::string &drive, std::FILE *out)
{
	const json &ds = sim::drive_state(state, drive);
	std::fprintf(out, "  power: %s, port: %s, link: %s\n",
		     text_or(ds, "power", "active").c_str(), text_or(ds, "port", "ready").c_str(),
		     link_of(state).c_str());
	std::fprintf(out, "  uncorrectable sectors:");
	if (ds.contains("uncorrectable") && !ds.at("uncorrectable").empty()) {
		for (const json &s : ds.at("uncorrectable"))
			std::fprintf(out, " 0x%llx",
				     static_cast<unsigned long long>(s.get<std::uint64_t>()));
	} else {
		std::fprintf(out, " none");
	}
	std::fprintf(out, "\n");
}

const sim::Request requests[] = {
	{0x0A00, "ZTOSTRA_HDD_STANDBY_IMD", 0, standby_immediate},
	{0x0A01, "ZTOSTRA_HDD_SLEEP", 0, drive_sleep},
	{0x0A02, "ZTOSTRA_HDD_FLUSH_CACHE", 0, answer_ok},
	{0x0A03, "ZTOSTRA_SLEEP_IN", 0, link_sleep_in},
	{0x0A04, "ZTOSTRA_SLEEP_OUT", 0, link_sleep_out},
	{0x0A05, "ZTOSTRA_INIT_PORT", 0, init_port},
	{0x0A18, "ZTOSTRA_HDD_DEF_ROTATIONAL", 4, def_rotational},
	{0x0F00, "ZTOSTRA_TEST_REG_READ", 0, answer_ok},
	{0x0F01, "ZTOSTRA_TEST_REG_WRITE", 0, answer_ok},
	{0x0F02, "ZTOSTRA_TEST_24v_DOWN_INTR", 0, answer_ok},
	{0x0F03, "ZTOSTRA_TEST_READ_DMA", 524, test_read_dma},
	{0x0F09, "ZTOSTRA_TEST_UNCWRITE", 524, test_uncwrite},
};

[[maybe_unused]] const bool registered = sim::register_requests(requests) &&
					 sim::register_gate(power_gate) &&
					 sim::register_show(show_power);

} // namespace
