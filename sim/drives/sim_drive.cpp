// sim_drive.cpp - the simulated ATA drive: a table of the ATA commands it
// answers, its media and its own state (SimDriveState, drive.h), which it
// reads and writes itself.
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

const char *const kinds[] = {"fixed", "random", "data", "uncorrectable"};
const char *const powers[] = {"active", "standby", "sleeping"};
const char *const levels[] = {"high", "maximum"};

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
	SimDrive(const DriveDesc &d, SimDriveState &st) : d_(d), st_(st)
	{
	}
	SimDrive(const SimDrive &) = delete;
	SimDrive &operator=(const SimDrive &) = delete;
	// the media are in the state: a write takes effect with its commit
	bool writes_at_once() const override
	{
		return false;
	}
	int answer(Ata &a) override;
	int reset(std::string &) override
	{
		st_.power = SimDriveState::Active;
		st_.security.frozen.reset();
		st_.security.prepared = false;
		return 0;
	}
	int link(bool, std::string &) override
	{
		return 0;
	}

      private:
	const DriveDesc &d_;
	SimDriveState &st_;

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
	void write(Extent e);
	int check_range(Ata &a);
	int read(Ata &a);
	int write_dma(Ata &a);
	int smart(Ata &a);
	int security_command(Ata &a);
	int in(Ata &a, const Page &page);
};

// e replaces what lay there; neighbours of the same pattern join
void SimDrive::write(Extent e)
{
	std::vector<Extent> out;
	for (const Extent &x : st_.media) {
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
	std::vector<Extent> &media = st_.media;
	media.clear();
	for (Extent &x : out) {
		Extent *last = media.empty() ? nullptr : &media.back();
		if (last != nullptr && last->end() == x.first && last->kind == x.kind &&
		    last->value == x.value && x.kind != Extent::Data)
			last->count += x.count;
		else
			media.push_back(std::move(x));
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
	for (const Extent &x : st_.media)
		if (x.kind == Extent::Uncorrectable && x.end() > a.lba && x.first < a.lba + n) {
			a.lba = std::max(x.first, a.lba);
			return abort(a, ata::UNC);
		}
	for (std::uint64_t i = 0; a.data != nullptr && i < n; i++) {
		unsigned char *s = a.data + i * SECTOR;
		const std::uint64_t lba = a.lba + i;
		std::fill(s, s + SECTOR, 0);
		for (const Extent &x : st_.media)
			if (x.first <= lba && lba < x.end()) {
				if (x.kind == Extent::Data)
					std::copy_n(x.bytes.data() + (lba - x.first) * SECTOR,
						    SECTOR, s);
				else
					fill(Pattern{x.kind == Extent::Random, x.value}, lba, s);
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
		e.kind = p->random ? Extent::Random : Extent::Fixed;
		e.value = p->value;
	} else {
		e.kind = Extent::Data;
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
	DriveSecurity &s = st_.security;
	const unsigned word128 = d_.identify[ID_SECURITY];
	const bool frozen = s.frozen.value_or((word128 & 8U) != 0);
	const bool locked = (word128 & 4U) != 0;
	const bool prepared = s.prepared;
	s.prepared = false;
	if ((word128 & 1U) == 0 || frozen || locked)
		return abort(a);
	if (a.command == ZT_CMD_SECURITY_FREEZE_LOCK) {
		s.frozen = true;
		return ok(a);
	}
	if (a.command == ZT_CMD_SECURITY_ERASE_PREPARE) {
		s.prepared = true;
		return ok(a);
	}
	if (a.data == nullptr || a.len != SECTOR)
		return abort(a);
	const bool master = (a.data[0] & 1U) != 0;
	const std::string password = hex(a.data + 2, 32);
	const bool matches = s.enabled && !master && s.password == password;
	switch (a.command) {
	case ZT_CMD_SECURITY_SET_PASSWORD:
		if (!master) {
			s.enabled = true;
			s.password = password;
			s.maximum = (a.data[1] & 1U) != 0;
		}
		return ok(a);
	case ZT_CMD_SECURITY_ERASE_UNIT:
		if (!prepared || !matches)
			return abort(a);
		st_.media.clear();
		st_.erases++;
		st_.security = {};
		return ok(a);
	case ZT_CMD_SECURITY_DISABLE_PASSWORD:
		if (!matches)
			return abort(a);
		st_.security = {};
		return ok(a);
	default:
		return abort(a);
	}
}

int SimDrive::answer(Ata &a)
{
	const unsigned flags = ata_flags(a.command);
	const SimDriveState::Power power = st_.power.value_or(SimDriveState::Active);
	if (power == SimDriveState::Sleeping) { // no answer: the host's command times out
		a.status = a.error = 0;
		a.note = "no answer (asleep)";
		return ETIMEDOUT;
	}
	if ((flags & ZT_ATA_MEDIA) != 0 && power == SimDriveState::Standby)
		st_.power = SimDriveState::Active;
	if ((flags & ZT_ATA_SECURITY) != 0)
		return security_command(a);
	st_.security.prepared = false;
	switch (a.command) {
	case ZT_CMD_IDENTIFY: {
		IdentifyWords w = d_.identify;
		const DriveSecurity &s = st_.security;
		if (s.enabled)
			w[ID_SECURITY] = static_cast<std::uint16_t>(
				(w[ID_SECURITY] & ~0x0100U) | 0x02U | (s.maximum ? 0x100U : 0U));
		if (s.frozen.value_or(false))
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
		e.kind = Extent::Uncorrectable;
		write(std::move(e));
		return ok(a);
	}
	case ZT_CMD_CHECK_POWER_MODE:
		a.count = power == SimDriveState::Standby ? 0x00 : 0xFF;
		return ok(a);
	case ZT_CMD_STANDBY_IMMEDIATE:
	case ZT_CMD_STANDBY:
		st_.power = SimDriveState::Standby;
		return ok(a);
	case ZT_CMD_IDLE_IMMEDIATE:
	case ZT_CMD_IDLE:
		st_.power = SimDriveState::Active;
		return ok(a);
	case ZT_CMD_SLEEP:
		st_.power = SimDriveState::Sleeping;
		return ok(a);
	case ZT_CMD_FLUSH_CACHE:
	case ZT_CMD_FLUSH_CACHE_EXT:
		return ok(a);
	default:
		return abort(a);
	}
}

} // namespace

Page simulated_attr(const DriveDesc &desc, const SimDriveState &state)
{
	Page page = desc.attr;
	const std::uint64_t erases = state.erases;
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

Extent Extent::part(std::uint64_t from, std::uint64_t n) const
{
	Extent e = *this;
	e.first = from;
	e.count = n;
	if (kind == Data)
		e.bytes = bytes.substr((from - first) * SECTOR, n * SECTOR);
	return e;
}

std::unique_ptr<Drive> simulated_drive(const DriveDesc &desc, SimDriveState &state)
{
	return std::make_unique<SimDrive>(desc, state);
}

void show_simulated(const DriveDesc &desc, const SimDriveState &state, Shown &out)
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
	const char *power = powers[state.power.value_or(SimDriveState::Active)];
	out.put("mode", power, " %s", power);
	// the written ranges, in sectors
	out.line("media");
	json ranges = json::array();
	for (const Extent &x : state.media) {
		const auto first = static_cast<unsigned long long>(x.first);
		const auto last = static_cast<unsigned long long>(x.end() - 1);
		const char *kind = kinds[x.kind];
		ranges.push_back({{"first", first}, {"last", last}, {"kind", kind}});
		out.say(first == last ? " 0x%llx" : " 0x%llx-0x%llx", first, last);
		if (x.kind == Extent::Fixed || x.kind == Extent::Random) {
			ranges.back()["value"] = x.value;
			out.say(" %s 0x%0*x", kind, x.kind == Extent::Fixed ? 4 : 8, x.value);
		} else {
			out.say(" %s", kind);
		}
		out.say(";");
	}
	out.set("ranges", ranges);
	out.say("%s", state.media.empty() ? " never written" : "");
	out.line("erase count");
	if (e173 != nullptr)
		out.put("average", e173[5] + 256U * e173[6], " average %u",
			e173[5] + 256U * e173[6]);
	if (e173 != nullptr)
		out.put("maximum", e173[7] + 256U * e173[8], ", maximum %u",
			e173[7] + 256U * e173[8]);
	else
		out.say(" not reported");
	out.put("security_erases", state.erases, "; security erases: %llu",
		static_cast<unsigned long long>(state.erases));
	if (state.security.enabled) {
		out.line("security");
		const char *level = levels[state.security.maximum ? 1 : 0];
		out.put("password", level, " user password set (%s)", level);
	}
}

SimDriveState SimDriveState::from_json(const json &j)
{
	using namespace checked;
	static const char *const fields[] = {"power", "media", "erases", "security"};
	static const char *const security_fields[] = {"enabled", "password", "level", "frozen",
						      "prepared"};
	SimDriveState st;
	object_of(j, fields);
	opt(j, "power", [&](const json &x) { st.power = static_cast<Power>(one_of(x, powers)); });
	opt(j, "erases", [&](const json &x) { st.erases = whole<std::uint64_t>(x); });
	opt(j, "media", [&](const json &x) {
		each(x, 100000, [&](const json &e) {
			if (!e.is_array() || e.size() < 3 || e.size() > 4)
				throw Bad{"", "must be [first, count, kind(, value)]"};
			Extent m;
			m.first = whole<std::uint64_t>(e[0], 0, 1ULL << 48U);
			m.count = whole<std::uint64_t>(e[1], 1, (1ULL << 48U) - m.first);
			m.kind = static_cast<Extent::Kind>(one_of(e[2], kinds));
			if (e.size() != (m.kind == Extent::Uncorrectable ? 3U : 4U))
				throw Bad{"", "must hold a value for " + e[2].dump()};
			if (m.kind == Extent::Data) {
				const std::string h =
					e[3].is_string() ? e[3].get<std::string>() : "";
				if (h.size() != m.count * 1024 ||
				    h.find_first_not_of("0123456789abcdef") != std::string::npos)
					throw Bad{"", "must hold 1024 hex digits a sector"};
				m.bytes = from_hex(h);
			} else if (m.kind != Extent::Uncorrectable) {
				m.value = whole<std::uint32_t>(e[3]);
			}
			st.media.push_back(std::move(m));
		});
	});
	opt(j, "security", [&](const json &x) {
		DriveSecurity &s = st.security;
		object_of(x, security_fields);
		opt(x, "enabled", [&](const json &b) { s.enabled = flag(b); });
		opt(x, "frozen", [&](const json &b) { s.frozen = flag(b); });
		opt(x, "prepared", [&](const json &b) { s.prepared = flag(b); });
		opt(x, "password", [&](const json &p) { s.password = text(p, 64); });
		opt(x, "level", [&](const json &l) { s.maximum = one_of(l, levels) == 1; });
	});
	return st;
}

json SimDriveState::to_json() const
{
	json j = json::object();
	if (power)
		j["power"] = powers[*power];
	for (const Extent &e : media) {
		json x = {e.first, e.count, kinds[e.kind]};
		if (e.kind == Extent::Data)
			x.push_back(to_hex(e.bytes));
		else if (e.kind != Extent::Uncorrectable)
			x.push_back(e.value);
		j["media"].push_back(x);
	}
	if (erases != 0)
		j["erases"] = erases;
	json s = json::object();
	if (security.enabled)
		s["enabled"] = true;
	if (security.password)
		s["password"] = *security.password;
	if (security.enabled || security.password)
		s["level"] = levels[security.maximum ? 1 : 0];
	if (security.frozen)
		s["frozen"] = *security.frozen;
	if (security.prepared)
		s["prepared"] = true;
	if (!s.empty())
		j["security"] = s;
	return j;
}

} // namespace sim
