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

constexpr AtaOp ops[] = {
	{ata::READ_DMA_EXT, "READ DMA EXT", ATA_MEDIA | ATA_IN},
	{ata::WRITE_DMA_EXT, "WRITE DMA EXT", ATA_MEDIA | ATA_WRITES | ATA_OUT},
	{ata::READ_VERIFY, "READ VERIFY SECTORS", ATA_MEDIA},
	{ata::READ_VERIFY_EXT, "READ VERIFY SECTORS EXT", ATA_MEDIA},
	{ata::WRITE_UNC_EXT, "WRITE UNCORRECTABLE EXT", ATA_MEDIA | ATA_WRITES},
	{ata::IDENTIFY_PACKET, "IDENTIFY PACKET DEVICE", ATA_IN},
	{ata::SMART, "SMART", ATA_MEDIA | ATA_IN},
	{ata::READ_DMA, "READ DMA", ATA_MEDIA | ATA_IN},
	{ata::WRITE_DMA, "WRITE DMA", ATA_MEDIA | ATA_WRITES | ATA_OUT},
	{ata::STANDBY_IMMEDIATE, "STANDBY IMMEDIATE", 0},
	{ata::IDLE_IMMEDIATE, "IDLE IMMEDIATE", 0},
	{ata::STANDBY, "STANDBY", 0},
	{ata::IDLE, "IDLE", 0},
	{ata::CHECK_POWER_MODE, "CHECK POWER MODE", 0},
	{ata::SLEEP, "SLEEP", 0},
	{ata::FLUSH_CACHE, "FLUSH CACHE", ATA_MEDIA},
	{ata::FLUSH_CACHE_EXT, "FLUSH CACHE EXT", ATA_MEDIA},
	{ata::IDENTIFY, "IDENTIFY DEVICE", ATA_IN},
	{ata::SECURITY_SET_PASSWORD, "SECURITY SET PASSWORD", ATA_SECURITY | ATA_OUT},
	{ata::SECURITY_UNLOCK, "SECURITY UNLOCK", ATA_SECURITY | ATA_OUT},
	{ata::SECURITY_ERASE_PREPARE, "SECURITY ERASE PREPARE", ATA_SECURITY},
	{ata::SECURITY_ERASE_UNIT, "SECURITY ERASE UNIT",
	 ATA_MEDIA | ATA_WRITES | ATA_SECURITY | ATA_OUT},
	{ata::SECURITY_FREEZE_LOCK, "SECURITY FREEZE LOCK", ATA_SECURITY},
	{ata::SECURITY_DISABLE_PASSWORD, "SECURITY DISABLE PASSWORD", ATA_SECURITY | ATA_OUT},
};
constexpr AtaOp unknown_op{0, "(unknown)", ATA_MEDIA | ATA_WRITES | ATA_SECURITY | ATA_OUT};

constexpr std::uint32_t GOLDEN = 0x9E3779B9U, NONZERO = 0x55AA55AAU;
constexpr std::size_t SECTOR = 512;
constexpr unsigned char SMART_ID_ERASE_COUNT = 173;

std::uint32_t xorshift(std::uint32_t x)
{
	x ^= x << 13U;
	x ^= x >> 17U;
	return x ^ (x << 5U);
}

// the state before xorshift(x) == y
std::uint32_t unshift(std::uint32_t y)
{
	std::uint32_t x = y;
	for (int i = 0; i < 7; i++)
		x = y ^ (x << 5U);
	x ^= x >> 17U;
	y = x;
	for (int i = 0; i < 3; i++)
		x = y ^ (x << 13U);
	return x;
}

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
	const bool data = (ata_op(a.command).flags & (ATA_IN | ATA_OUT)) != 0;
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
		const auto seed = unshift(word) ^ (static_cast<std::uint32_t>(a.lba) * GOLDEN);
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
	if (a.command == ata::SECURITY_FREEZE_LOCK) {
		s["frozen"] = true;
		return ok(a);
	}
	if (a.command == ata::SECURITY_ERASE_PREPARE) {
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
	case ata::SECURITY_SET_PASSWORD:
		if (!master) {
			s["enabled"] = true;
			s["password"] = password;
			s["level"] = (a.data[1] & 1U) != 0 ? "maximum" : "high";
		}
		return ok(a);
	case ata::SECURITY_ERASE_UNIT:
		if (!prepared || !matches)
			return abort(a);
		media_.clear();
		st_["erases"] = st_.value("erases", std::uint64_t{0}) + 1;
		st_.erase("security");
		return ok(a);
	case ata::SECURITY_DISABLE_PASSWORD:
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
	const unsigned flags = ata_op(a.command).flags;
	const std::string power = st_.value("power", "active");
	if (power == "sleeping") { // no answer: the host's command times out
		a.status = a.error = 0;
		a.note = "no answer (asleep)";
		return ETIMEDOUT;
	}
	if ((flags & ATA_MEDIA) != 0 && power == "standby")
		st_["power"] = "active";
	if ((flags & ATA_SECURITY) != 0)
		return security_command(a);
	security().erase("prepared");
	switch (a.command) {
	case ata::IDENTIFY: {
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
	case ata::SMART:
		return smart(a);
	case ata::READ_DMA:
	case ata::READ_DMA_EXT:
	case ata::READ_VERIFY:
	case ata::READ_VERIFY_EXT:
		return read(a);
	case ata::WRITE_DMA:
	case ata::WRITE_DMA_EXT:
		return write_dma(a);
	case ata::WRITE_UNC_EXT: {
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
	case ata::CHECK_POWER_MODE:
		a.count = power == "standby" ? 0x00 : 0xFF;
		return ok(a);
	case ata::STANDBY_IMMEDIATE:
	case ata::STANDBY:
		st_["power"] = "standby";
		return ok(a);
	case ata::IDLE_IMMEDIATE:
	case ata::IDLE:
		st_["power"] = "active";
		return ok(a);
	case ata::SLEEP:
		st_["power"] = "sleeping";
		return ok(a);
	case ata::FLUSH_CACHE:
	case ata::FLUSH_CACHE_EXT:
		return ok(a);
	default:
		return abort(a);
	}
}

} // namespace

const AtaOp &ata_op(unsigned char command)
{
	for (const AtaOp &op : ops)
		if (op.command == command)
			return op;
	return unknown_op;
}

void fill(const Pattern &pattern, std::uint64_t lba, unsigned char *sector)
{
	std::uint32_t x = pattern.value ^ static_cast<std::uint32_t>(lba * GOLDEN);
	for (std::size_t i = 0; i < SECTOR; i += 4) {
		x = xorshift(x != 0 ? x : NONZERO);
		const std::uint32_t v =
			pattern.random ? x : (pattern.value << 16U | (pattern.value & 0xFFFFU));
		for (std::size_t b = 0; b < 4; b++)
			sector[i + b] = static_cast<unsigned char>(v >> (24 - 8 * b));
	}
}

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
