// sim_drive.cpp - the simulated ATA drive: a table of the ATA commands it
// answers, its media and its own state.
//
//   state.drives.X.drive.power      "active" | "standby" | "sleeping" (absent: active)
//   state.drives.X.drive.media      what was written, as extents [first, count,
//                                   kind, value]: "fixed" (fixdata), "random" (the
//                                   seed), "data" (the bytes in hex), "uncorrectable";
//                                   sectors never written read as zeros
//   state.drives.X.drive.erases     security erases done (SMART attribute 173)
//   state.drives.X.drive.security   user password, level, frozen, erase prepared
//
// A drive in stand-by spins up for a command that needs the media; a drive
// put to sleep answers nothing until its port is reset.  Its identify data and
// SMART pages are the description's; word 128 follows its security state, and
// attribute 173 counts the security erases (average and maximum, raw bytes 0-1
// and 2-3).  Writes of a generated pattern are kept as the pattern, and so are
// written bytes that are one, so that an overwrite of a whole partition costs
// an extent.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

#include "drive.h"

namespace sim {

namespace {

constexpr std::size_t SECTOR = ZT_SECTOR;
constexpr unsigned char SMART_ID_ERASE_COUNT = 173;

// One extent of written sectors.
struct Extent {
	std::uint64_t first = 0, count = 0;
	std::string kind = {}; // fixed, random, data, uncorrectable
	std::uint32_t value = 0;
	std::string bytes; // data: count * 512 bytes
	std::uint64_t end() const
	{
		return first + count;
	}
	// the bytes from sector `from` on, for `n` sectors
	Extent part(std::uint64_t from, std::uint64_t n) const
	{
		Extent e = *this;
		e.first = from;
		e.count = n;
		if (kind == "data")
			e.bytes = bytes.substr((from - first) * SECTOR, n * SECTOR);
		return e;
	}
};

std::string to_hex(const std::string &bytes)
{
	return hex(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

std::string from_hex(const std::string &text)
{
	std::string b;
	for (std::size_t i = 0; i + 1 < text.size(); i += 2)
		b += static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16));
	return b;
}

class SimDrive final : public Drive {
      public:
	SimDrive(const DriveDesc &d, json &st) : d_(d), st_(st)
	{
		for (const json &e : st.value("media", json::array())) {
			Extent x;
			x.first = e[0].get<std::uint64_t>();
			x.count = e[1].get<std::uint64_t>();
			x.kind = e[2].get<std::string>();
			if (x.kind == "data")
				x.bytes = from_hex(e.at(3).get<std::string>());
			else if (e.size() == 4)
				x.value = e[3].get<std::uint32_t>();
			media_.push_back(std::move(x));
		}
	}
	SimDrive(const SimDrive &) = delete;
	SimDrive &operator=(const SimDrive &) = delete;
	void finish() override
	{
		save();
	}
	// the media are in the state: a write takes effect with its commit
	bool writes_at_once() const override
	{
		return false;
	}
	int answer(Ata &a) override;
	int reset(std::string &) override
	{
		st_["power"] = "active";
		security().erase("frozen");
		security().erase("prepared");
		return 0;
	}
	int link(bool, std::string &) override
	{
		return 0;
	}

      private:
	const DriveDesc &d_;
	json &st_;
	std::vector<Extent> media_;

	json &security()
	{
		json &s = st_["security"];
		if (!s.is_object())
			s = json::object();
		return s;
	}
	static int ok(Ata &a)
	{
		a.status = ata::STATUS_OK;
		a.error = 0;
		return 0;
	}
	static int abort(Ata &a, unsigned char error = ata::ABRT)
	{
		a.status = ata::STATUS_OK | ata::STATUS_ERR;
		a.error = error;
		return EIO;
	}
	void save();
	void write(Extent e);
	int check_range(Ata &a);
	int read(Ata &a);
	int write_dma(Ata &a);
	int smart(Ata &a);
	int security_command(Ata &a);
	int in(Ata &a, const Page &page);
};

void SimDrive::save()
{
	json m = json::array();
	for (const Extent &e : media_) {
		json x = {e.first, e.count, e.kind};
		if (e.kind == "data")
			x.push_back(to_hex(e.bytes));
		else if (e.kind != "uncorrectable")
			x.push_back(e.value);
		m.push_back(x);
	}
	if (m.empty())
		st_.erase("media");
	else
		st_["media"] = m;
}

// e replaces what lay there; neighbours of the same pattern join
void SimDrive::write(Extent e)
{
	std::vector<Extent> out;
	for (const Extent &x : media_) {
		if (x.end() <= e.first || x.first >= e.end()) {
			out.push_back(x);
			continue;
		}
		if (x.first < e.first)
			out.push_back(x.part(x.first, e.first - x.first));
		if (x.end() > e.end())
			out.push_back(x.part(e.end(), x.end() - e.end()));
	}
	out.push_back(std::move(e));
	std::sort(out.begin(), out.end(),
		  [](const Extent &l, const Extent &r) { return l.first < r.first; });
	media_.clear();
	for (Extent &x : out) {
		Extent *last = media_.empty() ? nullptr : &media_.back();
		if (last != nullptr && last->end() == x.first && last->kind == x.kind &&
		    last->value == x.value && x.kind != "data")
			last->count += x.count;
		else
			media_.push_back(std::move(x));
	}
}

// a transfer within the drive, of the length its count gives
int SimDrive::check_range(Ata &a)
{
	const std::uint64_t n = a.sectors();
	if (a.lba >= d_.capacity || n > d_.capacity - a.lba)
		return abort(a, ata::IDNF);
	const bool data = (ata_flags(a.command) & (ZT_ATA_IN | ZT_ATA_OUT)) != 0;
	if (data && a.data == nullptr && !a.pattern)
		return abort(a);
	if (a.data != nullptr && a.len != n * SECTOR)
		return abort(a);
	return 0;
}

// the sectors as they were written; the first uncorrectable one fails the read
int SimDrive::read(Ata &a)
{
	if (const int err = check_range(a))
		return err;
	const std::uint64_t n = a.sectors();
	for (const Extent &x : media_)
		if (x.kind == "uncorrectable" && x.end() > a.lba && x.first < a.lba + n) {
			a.lba = std::max(x.first, a.lba);
			return abort(a, ata::UNC);
		}
	for (std::uint64_t i = 0; a.data != nullptr && i < n; i++) {
		unsigned char *s = a.data + i * SECTOR;
		const std::uint64_t lba = a.lba + i;
		std::fill(s, s + SECTOR, 0);
		for (const Extent &x : media_)
			if (x.first <= lba && lba < x.end()) {
				if (x.kind == "data")
					std::copy_n(x.bytes.data() + (lba - x.first) * SECTOR,
						    SECTOR, s);
				else
					fill(Pattern{x.kind == "random", x.value}, lba, s);
			}
	}
	return ok(a);
}

int SimDrive::write_dma(Ata &a)
{
	if (const int err = check_range(a))
		return err;
	Extent e;
	e.first = a.lba;
	e.count = a.sectors();
	std::optional<Pattern> p = a.pattern;
	if (!p && a.data != nullptr) {
		// bytes that are one of the patterns are kept as that pattern
		const std::uint32_t word = std::uint32_t{a.data[0]} << 24U | a.data[1] << 16U |
					   a.data[2] << 8U | a.data[3];
		const std::uint32_t seed = zt_fill_seed(a.lba, a.data);
		for (const Pattern &c : {Pattern{false, word >> 16U}, Pattern{true, seed}}) {
			unsigned char sector[SECTOR];
			bool same = !p;
			for (std::uint64_t i = 0; same && i < e.count; i++) {
				fill(c, a.lba + i, sector);
				same = std::equal(sector, sector + SECTOR, a.data + i * SECTOR);
			}
			if (same)
				p = c;
		}
	}
	if (p) {
		e.kind = p->random ? "random" : "fixed";
		e.value = p->value;
	} else {
		e.kind = "data";
		e.bytes.assign(reinterpret_cast<const char *>(a.data), a.len);
	}
	write(std::move(e));
	return ok(a);
}

int SimDrive::in(Ata &a, const Page &page)
{
	if (a.data == nullptr || a.len != SECTOR)
		return abort(a);
	std::copy(page.begin(), page.end(), a.data);
	return ok(a);
}

int SimDrive::smart(Ata &a)
{
	if ((a.lba & 0xFFFF00U) != ata::SMART_LBA)
		return abort(a);
	switch (a.features) {
	case ata::SMART_READ_DATA:
		return in(a, simulated_attr(d_, st_));
	case ata::SMART_READ_THRESHOLDS:
		return in(a, d_.thrs);
	case ata::SMART_READ_LOG: {
		// the SMART error log, self-test log and selective self-test log: empty
		const unsigned char log = a.lba & 0xFFU;
		if (log != 0x01 && log != 0x06 && log != 0x09)
			return abort(a);
		Page page{};
		page[0] = 1; // revision; no entries
		set_checksum(page);
		return in(a, page);
	}
	case ata::SMART_RETURN_STATUS: {
		// a pre-failure attribute at or below its non-zero threshold
		const Page attr = simulated_attr(d_, st_);
		bool exceeded = false;
		for (int j = 0; j < SMART_ENTRIES; j++) {
			const unsigned char *e = &attr[SMART_FIRST_ENTRY + SMART_ENTRY_SIZE * j];
			for (int k = 0; e[0] != 0 && (e[1] & 1U) != 0 && k < SMART_ENTRIES; k++) {
				const unsigned char *t =
					&d_.thrs[SMART_FIRST_ENTRY + SMART_ENTRY_SIZE * k];
				exceeded = exceeded || (t[0] == e[0] && t[1] != 0 && e[3] <= t[1]);
			}
		}
		a.lba = (a.lba & 0xFFU) | (exceeded ? ata::SMART_LBA_EXCEEDED : ata::SMART_LBA);
		return ok(a);
	}
	default:
		return abort(a);
	}
}

// the user password (words 1-16 of the data), and the level of word 0 bit 8
int SimDrive::security_command(Ata &a)
{
	json &s = security();
	const unsigned word128 = d_.identify[ID_SECURITY];
	const bool frozen = s.value("frozen", (word128 & 8U) != 0);
	const bool locked = (word128 & 4U) != 0;
	const bool prepared = s.value("prepared", false);
	s.erase("prepared");
	if ((word128 & 1U) == 0 || frozen || locked)
		return abort(a);
	if (a.command == ZT_CMD_SECURITY_FREEZE_LOCK) {
		s["frozen"] = true;
		return ok(a);
	}
	if (a.command == ZT_CMD_SECURITY_ERASE_PREPARE) {
		s["prepared"] = true;
		return ok(a);
	}
	if (a.data == nullptr || a.len != SECTOR)
		return abort(a);
	const bool master = (a.data[0] & 1U) != 0;
	const std::string password = hex(a.data + 2, 32);
	const bool matches =
		s.value("enabled", false) && !master && s.value("password", "") == password;
	switch (a.command) {
	case ZT_CMD_SECURITY_SET_PASSWORD:
		if (!master) {
			s["enabled"] = true;
			s["password"] = password;
			s["level"] = (a.data[1] & 1U) != 0 ? "maximum" : "high";
		}
		return ok(a);
	case ZT_CMD_SECURITY_ERASE_UNIT:
		if (!prepared || !matches)
			return abort(a);
		media_.clear();
		st_["erases"] = st_.value("erases", std::uint64_t{0}) + 1;
		st_.erase("security");
		return ok(a);
	case ZT_CMD_SECURITY_DISABLE_PASSWORD:
		if (!matches)
			return abort(a);
		st_.erase("security");
		return ok(a);
	default:
		return abort(a);
	}
}

int SimDrive::answer(Ata &a)
{
	const unsigned flags = ata_flags(a.command);
	const std::string power = st_.value("power", "active");
	if (power == "sleeping") { // no answer: the host's command times out
		a.status = a.error = 0;
		a.note = "no answer (asleep)";
		return ETIMEDOUT;
	}
	if ((flags & ZT_ATA_MEDIA) != 0 && power == "standby")
		st_["power"] = "active";
	if ((flags & ZT_ATA_SECURITY) != 0)
		return security_command(a);
	security().erase("prepared");
	switch (a.command) {
	case ZT_CMD_IDENTIFY: {
		IdentifyWords w = d_.identify;
		const json &s = security();
		if (s.value("enabled", false))
			w[ID_SECURITY] = static_cast<std::uint16_t>(
				(w[ID_SECURITY] & ~0x0100U) | 0x02U |
				(s.value("level", "") == "maximum" ? 0x100U : 0U));
		if (s.value("frozen", false))
			w[ID_SECURITY] |= 0x08U;
		Page page{};
		for (std::size_t k = 0; k < w.size(); k++) {
			page[2 * k] = static_cast<unsigned char>(w[k] & 0xFFU);
			page[2 * k + 1] = static_cast<unsigned char>(w[k] >> 8U);
		}
		if (page[std::size_t{2} * ID_INTEGRITY] == 0xA5)
			set_checksum(page);
		return in(a, page);
	}
	case ZT_CMD_SMART:
		return smart(a);
	case ZT_CMD_READ_DMA:
	case ZT_CMD_READ_DMA_EXT:
	case ZT_CMD_READ_VERIFY:
	case ZT_CMD_READ_VERIFY_EXT:
		return read(a);
	case ZT_CMD_WRITE_DMA:
	case ZT_CMD_WRITE_DMA_EXT:
		return write_dma(a);
	case ZT_CMD_WRITE_UNC_EXT: {
		if (a.features != 0x55 && a.features != 0xAA)
			return abort(a);
		if (const int err = check_range(a))
			return err;
		Extent e;
		e.first = a.lba;
		e.count = a.sectors();
		e.kind = "uncorrectable";
		write(std::move(e));
		return ok(a);
	}
	case ZT_CMD_CHECK_POWER_MODE:
		a.count = power == "standby" ? 0x00 : 0xFF;
		return ok(a);
	case ZT_CMD_STANDBY_IMMEDIATE:
	case ZT_CMD_STANDBY:
		st_["power"] = "standby";
		return ok(a);
	case ZT_CMD_IDLE_IMMEDIATE:
	case ZT_CMD_IDLE:
		st_["power"] = "active";
		return ok(a);
	case ZT_CMD_SLEEP:
		st_["power"] = "sleeping";
		return ok(a);
	case ZT_CMD_FLUSH_CACHE:
	case ZT_CMD_FLUSH_CACHE_EXT:
		return ok(a);
	default:
		return abort(a);
	}
}

} // namespace

Page simulated_attr(const DriveDesc &desc, const json &state)
{
	Page page = desc.attr;
	const std::uint64_t erases = state.value("erases", std::uint64_t{0});
	for (int j = 0; erases != 0 && j < SMART_ENTRIES; j++) {
		unsigned char *e = &page[SMART_FIRST_ENTRY + SMART_ENTRY_SIZE * j];
		if (e[0] != SMART_ID_ERASE_COUNT)
			continue;
		// raw bytes 0-1 average, 2-3 maximum, least significant first; the
		// counters stop at their largest value
		for (int k : {5, 7}) {
			const std::uint64_t count = e[k] + (e[k + 1] << 8U) + erases;
			const std::uint64_t kept = count < 0xFFFF ? count : 0xFFFF;
			e[k] = static_cast<unsigned char>(kept & 0xFFU);
			e[k + 1] = static_cast<unsigned char>(kept >> 8U);
		}
		set_checksum(page);
		break;
	}
	return page;
}

std::unique_ptr<Drive> simulated_drive(const DriveDesc &desc, json &state)
{
	return std::make_unique<SimDrive>(desc, state);
}

void show_simulated(const DriveDesc &desc, const json &state, Shown &out)
{
	const Page attr = simulated_attr(desc, state);
	const unsigned char *e173 = nullptr;
	int attributes = 0;
	for (int j = 0; j < SMART_ENTRIES; j++) {
		const unsigned char *e = &attr[SMART_FIRST_ENTRY + SMART_ENTRY_SIZE * j];
		attributes += e[0] != 0 ? 1 : 0;
		e173 = e[0] == SMART_ID_ERASE_COUNT && e173 == nullptr ? e : e173;
	}
	out.line("smart");
	out.put("attributes", attributes, " %d attributes", attributes);
	out.line("power");
	out.put("mode", state.value("power", "active"), " %s",
		state.value("power", "active").c_str());
	// the written ranges, in sectors
	out.line("media");
	json ranges = json::array();
	for (const json &x : state.value("media", json::array())) {
		const auto first = x[0].get<unsigned long long>();
		const auto last = first + x[1].get<unsigned long long>() - 1;
		const std::string kind = x[2].get<std::string>();
		ranges.push_back({{"first", first}, {"last", last}, {"kind", kind}});
		out.say(first == last ? " 0x%llx" : " 0x%llx-0x%llx", first, last);
		if (kind == "fixed" || kind == "random") {
			ranges.back()["value"] = x[3];
			out.say(" %s 0x%0*x", kind.c_str(), kind == "fixed" ? 4 : 8,
				x[3].get<unsigned>());
		} else {
			out.say(" %s", kind.c_str());
		}
		out.say(";");
	}
	out.set("ranges", ranges);
	out.say("%s", state.contains("media") ? "" : " never written");
	out.line("erase count");
	if (e173 != nullptr)
		out.put("average", e173[5] + 256U * e173[6], " average %u",
			e173[5] + 256U * e173[6]);
	if (e173 != nullptr)
		out.put("maximum", e173[7] + 256U * e173[8], ", maximum %u",
			e173[7] + 256U * e173[8]);
	else
		out.say(" not reported");
	const auto erases = state.value("erases", std::uint64_t{0});
	out.put("security_erases", erases, "; security erases: %llu",
		static_cast<unsigned long long>(erases));
	const json &s = state.value("security", json::object());
	if (s.value("enabled", false)) {
		out.line("security");
		out.put("password", s.value("level", "high"), " user password set (%s)",
			s.value("level", "high").c_str());
	}
}

} // namespace sim
