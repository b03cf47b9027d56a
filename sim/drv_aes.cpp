// drv_aes.cpp - the driver's encryption: ZTOSTRA_SET_AES loads the AES mode
// and key material of a drive.
//
// The 104-byte record: hddkey (8 words at 0), realkey (8 words at 32),
// ivdata (8 words at 64), aesmode (int at 96), ivtype (int at 100).  The
// driver keeps what it was given per drive, as the real one keeps it in
// memory; a key is 256 bits long when realkey words 4 to 7 are not all zero.
// Key material never shows: `ostrasim show` gives mode and key length only,
// and the trace masks the key bytes unless the board sets trace_raw.
#include "sim.h"

#include <cerrno>

namespace {

constexpr std::size_t AESKEY_SIZE = 104;
constexpr std::size_t HDDKEY_OFF = 0;
constexpr std::size_t REALKEY_OFF = 32;
constexpr std::size_t IVDATA_OFF = 64;
constexpr std::size_t AESMODE_OFF = 96;
constexpr std::size_t IVTYPE_OFF = 100;
constexpr int AESMODE_THROUGH = 0;
constexpr int AESMODE_ECB = 2;
constexpr int AESMODE_CBC = 3;

sim::json words(const unsigned char *p)
{
	sim::json w = sim::json::array();
	for (std::size_t i = 0; i < 8; i++)
		w.push_back(sim::get<std::uint32_t>(p + 4 * i));
	return w;
}

const char *mode_name(int mode)
{
	switch (mode) {
	case AESMODE_THROUGH:
		return "through";
	case AESMODE_ECB:
		return "ECB";
	case AESMODE_CBC:
		return "CBC";
	default:
		return nullptr;
	}
}

int set_aes(sim::Ctx &ctx, unsigned char *arg)
{
	const int mode = sim::get<std::int32_t>(arg + AESMODE_OFF);
	if (mode_name(mode) == nullptr)
		return ctx.fail(EINVAL);
	sim::json aes = {{"aesmode", mode}, {"mode", mode_name(mode)}};
	if (mode != AESMODE_THROUGH) {
		bool upper = false;
		for (std::size_t i = 4; i < 8; i++)
			upper = upper || sim::get<std::uint32_t>(arg + REALKEY_OFF + 4 * i) != 0;
		aes["keybits"] = upper ? 256 : 128;
		aes["hddkey"] = words(arg + HDDKEY_OFF);
		aes["realkey"] = words(arg + REALKEY_OFF);
		aes["ivdata"] = words(arg + IVDATA_OFF);
		aes["ivtype"] = sim::get<std::int32_t>(arg + IVTYPE_OFF);
	}
	// switching to through drops the key the drive had
	ctx.drive_state()["aes"] = aes;
	return 0;
}

// key material (hddkey, realkey, ivdata) reads as zero bytes in the trace
void mask_key(std::vector<unsigned char> &bytes)
{
	for (std::size_t i = HDDKEY_OFF; i < AESMODE_OFF && i < bytes.size(); i++)
		bytes[i] = 0;
}

void show_aes(const sim::Board &, const sim::json &state, const std::string &drive, std::FILE *out)
{
	const sim::json &kept = sim::drive_state(state, drive);
	const sim::json *aes = kept.contains("aes") ? &kept.at("aes") : nullptr;
	if (aes == nullptr) {
		std::fprintf(out, "  aes: mode through (never set)\n");
		return;
	}
	const std::string mode = aes->value("mode", "through");
	if (aes->contains("keybits"))
		std::fprintf(out, "  aes: mode %s, %d-bit key\n", mode.c_str(),
			     aes->at("keybits").get<int>());
	else
		std::fprintf(out, "  aes: mode %s\n", mode.c_str());
}

const sim::Request requests[] = {
	{0x0A0F, "ZTOSTRA_SET_AES", AESKEY_SIZE, set_aes, nullptr, mask_key},
};

[[maybe_unused]] const bool registered = sim::register_requests(requests);
[[maybe_unused]] const bool shown = sim::register_show(show_aes);

} // namespace
