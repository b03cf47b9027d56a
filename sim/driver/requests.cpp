// requests.cpp - the request table of the simulated ztostra driver: one row
// per request, with its code, name, record layout, what it touches and its
// handler; and the handlers but the overwrite function's (overwrite.cpp).
//
// What each request becomes: the driver's own settings (overwrite, AES key,
// partitions, the rotational flag) and the controller's tests send no
// command; the link's sleep and wake and the port's initialisation are the
// controller's; the others send the ATA commands their handlers name.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <optional>

#include <unistd.h>

#include "ata.h"
#include "driver.h"

namespace sim {

namespace {

constexpr std::size_t OW_DATA = offsetof(struct ztostra_ow, data);
constexpr std::size_t START_SECT = offsetof(struct ztostra_read_dma_info, start_sect);
// HDIO_DRIVE_CMD: command, sector, feature, sector count, then the data
constexpr std::size_t DRIVE_CMD_HEAD = 4;
constexpr std::size_t DRIVE_TASK_SIZE = 7; // command/status, feature/error, 5 registers

// identify data as the drive sends it (words little-endian)
int identify(Ctx &ctx, Page &raw)
{
	Ata a = identify_command(raw);
	return ctx.ata(a);
}

unsigned word(const Page &raw, int k)
{
	return raw[2 * static_cast<std::size_t>(k)] | raw[2 * static_cast<std::size_t>(k) + 1]
							      << 8U;
}

// identify words in the process's order, the texts as byte strings: as the
// block layer hands them out
int get_identity(Ctx &ctx, unsigned char *arg)
{
	Page raw{};
	if (identify(ctx, raw) != 0)
		return -1;
	for (int k = 0; k < 256; k++) {
		const bool text = (k >= ID_SERIAL && k < ID_SERIAL + ID_SERIAL_WORDS) ||
				  (k >= ID_FIRMWARE && k < ID_FIRMWARE + ID_FIRMWARE_WORDS) ||
				  (k >= ID_MODEL && k < ID_MODEL + ID_MODEL_WORDS);
		const std::size_t at = 2 * static_cast<std::size_t>(k);
		if (text) {
			arg[at] = raw[at + 1];
			arg[at + 1] = raw[at];
		} else {
			put<std::uint16_t>(arg + at, static_cast<std::uint16_t>(word(raw, k)));
		}
	}
	return 0;
}

// a SMART page into the caller's buffer
template <unsigned char FEATURE> int smart_read(Ctx &ctx, unsigned char *arg)
{
	Ata a;
	a.command = ZT_CMD_SMART;
	a.features = FEATURE;
	a.count = 1;
	a.lba = ata::SMART_LBA;
	a.data = arg;
	a.len = 512;
	return ctx.ata(a);
}

template <unsigned char COMMAND> int nondata(Ctx &ctx, unsigned char *)
{
	Ata a;
	a.command = COMMAND;
	return ctx.ata(a);
}

int answer_ok(Ctx &, unsigned char *)
{
	return 0;
}

int not_offered(Ctx &ctx, unsigned char *)
{
	return ctx.refuse(EINVAL, "the driver does not offer this request");
}

// The controller has one link for all its ports: asleep, every port goes
// offline until the link is woken and the port initialised.
int sleep_in(Ctx &ctx, unsigned char *)
{
	ctx.state.link_up = false;
	for (const auto &[name, desc] : ctx.board.info.drives)
		ctx.state.kept(name).port = DriveKept::Offline;
	return ctx.port(false, true);
}

int sleep_out(Ctx &ctx, unsigned char *)
{
	ctx.state.link_up = true;
	return ctx.port(false, false);
}

// a port reset over a sleeping link finds no drive
int init_port(Ctx &ctx, unsigned char *)
{
	if (!ctx.state.link_is_up())
		return ctx.refuse(EIO, "the link is asleep: a port reset finds no drive until "
				       "sleep-out");
	ctx.kept().port = DriveKept::Ready;
	return ctx.port(true);
}

// the driver's flag, as the block layer took it from the identify data
int def_rotational(Ctx &ctx, unsigned char *arg)
{
	put<std::uint32_t>(arg, rotational(ctx.desc()));
	return 0;
}

int get_multcount(Ctx &ctx, unsigned char *arg)
{
	const unsigned w = ctx.desc().identify[ID_MULTIPLE];
	put<long>(arg, (w & 0x100U) != 0 ? static_cast<long>(w & 0xFFU) : 0);
	return 0;
}

std::uint64_t start_sector(const unsigned char *arg)
{
	return zt_start_sector(get<std::uint32_t>(arg + START_SECT),
			       get<std::uint32_t>(arg + START_SECT + 4));
}

// 16 sectors from the start sector, as far as the drive reaches, into the
// driver's own buffer; the record's data area is left alone
int test_read_dma(Ctx &ctx, unsigned char *arg)
{
	constexpr std::uint64_t count = 16;
	const std::uint64_t first = start_sector(arg);
	if (get<std::uint32_t>(arg) != count)
		return ctx.refuse(EINVAL,
				  "nsect " + std::to_string(get<std::uint32_t>(arg)) + ", not 16");
	if (first >= ctx.desc().capacity)
		return ctx.refuse(EIO, "sector " + std::to_string(first) +
					       " is past the drive's end (" +
					       std::to_string(ctx.desc().capacity) + " sectors)");
	const auto n = static_cast<std::uint16_t>(std::min(count, ctx.desc().capacity - first));
	std::vector<unsigned char> buf(std::size_t{n} * 512);
	Ata a;
	// 28-bit addressing where it reaches
	a.command = first + n > ZT_LBA28 ? ZT_CMD_READ_DMA_EXT : ZT_CMD_READ_DMA;
	a.lba = first;
	a.count = n;
	a.device = ata::DEVICE_LBA;
	a.data = buf.data();
	a.len = buf.size();
	return ctx.ata(a);
}

// the start sector made uncorrectable (pseudo: it reads as a media error)
int test_uncwrite(Ctx &ctx, unsigned char *arg)
{
	Ata a;
	a.command = ZT_CMD_WRITE_UNC_EXT;
	a.features = 0x55;
	a.count = 1;
	a.lba = start_sector(arg);
	a.device = ata::DEVICE_LBA;
	return ctx.ata(a);
}

} // namespace

int security_command(Ctx &ctx, unsigned char command, unsigned timeout_s, Ata *sent)
{
	unsigned char pw[ZT_SECTOR];
	zt_erase_password(pw);
	const bool data = command != ZT_CMD_SECURITY_ERASE_PREPARE;
	Ata a;
	a.command = command;
	a.count = data ? 1 : 0;
	a.timeout_s = timeout_s;
	a.data = data ? pw : nullptr;
	a.len = data ? sizeof pw : 0;
	const int r = ctx.ata(a);
	if (sent != nullptr)
		*sent = a;
	return r;
}

namespace {

// The security erase of a solid-state drive through its security feature set:
// a user password, ERASE PREPARE, ERASE UNIT with that password (which also
// clears it); if a step fails, DISABLE PASSWORD, so that no password stays.
// A partition, a rotating drive, a drive without the feature set, or one
// frozen or locked gets no security command.
int security_erase(Ctx &ctx, unsigned char *)
{
	if (ctx.partition != 0)
		return ctx.refuse(EINVAL, "a partition's node: the erase is the whole disk's");
	Page id{};
	if (identify(ctx, id) != 0)
		return -1;
	int err = 0;
	if (const char *why =
		    zt_erase_refusal(static_cast<std::uint16_t>(word(id, ID_ROTATION_RATE)),
				     static_cast<std::uint16_t>(word(id, ID_SECURITY)), &err)) {
		ctx.line["refused"] = why;
		return ctx.fail(err);
	}
	// the intent goes into the state and the trace first: from here on the
	// drive may hold a password until the erase or DISABLE PASSWORD clears it
	DriveKept &k = ctx.kept();
	k.password = "may be set: the security erase is setting it";
	append_trace({{"op", "intent"}, {"node", ctx.node}, {"intent", *k.password}});
	// a real drive's erase takes long: the board's lock goes meanwhile, and the
	// drive is busy for other programs
	const bool real = ctx.desc().host.has_value();
	std::optional<BusyMark> mark; // held until the erase is done, or dropped at death
	if (real) {
		mark.emplace(ctx.board, ctx.drive);
		k.busy = DriveKept::Busy{std::nullopt, "the security erase"};
		ctx.txn.unlock();
	} else {
		ctx.txn.commit();
	}
	Ata set;
	int r = security_command(ctx, ZT_CMD_SECURITY_SET_PASSWORD, 60, &set);
	// a password the drive refused (its status says so) was never set
	bool cleared = r != 0 && (set.status & ata::STATUS_ERR) != 0;
	if (r == 0) {
		r = security_command(ctx, ZT_CMD_SECURITY_ERASE_PREPARE);
		if (r == 0)
			r = security_command(ctx, ZT_CMD_SECURITY_ERASE_UNIT,
					     zt_erase_seconds(static_cast<std::uint16_t>(
						     word(id, ID_ERASE_TIME))));
		cleared = r == 0;
	}
	if (!cleared) {
		const int err = ctx.err;
		cleared = security_command(ctx, ZT_CMD_SECURITY_DISABLE_PASSWORD) == 0;
		ctx.err = err;
	}
	if (real)
		ctx.txn.lock();
	DriveKept &now = ctx.kept();
	now.busy.reset();
	if (cleared)
		now.password.reset();
	else
		now.password = "may be set: the security erase failed, and so did DISABLE "
			       "PASSWORD";
	if (r == 0)
		now.ow = {}; // what the overwrite function did is gone with the media
	return r;
}

// HDIO_DRIVE_CMD and HDIO_DRIVE_TASK pass on commands that only read or set
// the power mode; the registers come back where the block layer puts them
bool passes(unsigned char command, unsigned char feature, bool data)
{
	if (command == ZT_CMD_SMART)
		return data ? feature == ata::SMART_READ_DATA ||
				       feature == ata::SMART_READ_THRESHOLDS ||
				       feature == ata::SMART_READ_LOG
			    : feature == ata::SMART_RETURN_STATUS;
	if (data)
		return command == ZT_CMD_IDENTIFY || command == ZT_CMD_IDENTIFY_PACKET;
	return command == ZT_CMD_CHECK_POWER_MODE || command == ZT_CMD_STANDBY_IMMEDIATE ||
	       command == ZT_CMD_IDLE_IMMEDIATE || command == ZT_CMD_STANDBY ||
	       command == ZT_CMD_IDLE || command == ZT_CMD_SLEEP || command == ZT_CMD_FLUSH_CACHE ||
	       command == ZT_CMD_FLUSH_CACHE_EXT;
}

// a command the driver does not pass on is answered as a drive aborts it
int aborted(Ctx &ctx, unsigned char *regs)
{
	regs[0] = ata::STATUS_OK | ata::STATUS_ERR;
	regs[1] = ata::ABRT;
	ctx.line["refused"] = "not passed to the drive";
	return ctx.fail(EIO);
}

std::size_t drive_cmd_size(const unsigned char *arg)
{
	return DRIVE_CMD_HEAD + 512 * std::size_t{arg[3]};
}

// command, sector number, feature, sector count; then the count's sectors of
// data.  A command with data gets its registers back only when it fails.
int drive_cmd(Ctx &ctx, unsigned char *arg)
{
	const unsigned char count = arg[3];
	if (!passes(arg[0], arg[2], count != 0) || count > 1)
		return aborted(ctx, arg);
	Ata a;
	a.command = arg[0];
	a.features = arg[2];
	a.count = count;
	a.lba = arg[0] == ZT_CMD_SMART ? ata::SMART_LBA | arg[1] : arg[1];
	a.data = count != 0 ? arg + DRIVE_CMD_HEAD : nullptr;
	a.len = count != 0 ? 512 : 0;
	const int r = ctx.ata(a);
	if (count == 0 || r != 0) {
		arg[0] = a.status;
		arg[1] = a.error;
		arg[2] = static_cast<unsigned char>(a.count);
	}
	return r;
}

// command, feature, count, lba low, mid, high, device; the answer replaces them
int drive_task(Ctx &ctx, unsigned char *arg)
{
	if (!passes(arg[0], arg[1], false))
		return aborted(ctx, arg);
	Ata a;
	a.command = arg[0];
	a.features = arg[1];
	a.count = arg[2];
	a.lba = arg[3] | std::uint64_t{arg[4]} << 8U | std::uint64_t{arg[5]} << 16U;
	a.device = arg[6];
	const int r = ctx.ata(a);
	const unsigned char regs[DRIVE_TASK_SIZE] = {a.status,
						     a.error,
						     static_cast<unsigned char>(a.count),
						     static_cast<unsigned char>(a.lba),
						     static_cast<unsigned char>(a.lba >> 8U),
						     static_cast<unsigned char>(a.lba >> 16U),
						     a.device};
	std::copy(regs, regs + DRIVE_TASK_SIZE, arg);
	return r;
}

// The AES mode and key material of the drive, kept as the real driver keeps
// them in memory; a key is 256 bits long when realkey words 4 to 7 are not
// all zero.  Switching to through drops the key.
int set_aes(Ctx &ctx, unsigned char *arg)
{
	static const char *const modes[] = {"through", nullptr, "ECB", "CBC"};
	const int mode = get<std::int32_t>(arg + offsetof(struct aeskey, aesmode));
	if (mode < 0 || mode > 3 || modes[mode] == nullptr)
		return ctx.refuse(EINVAL, "aesmode " + std::to_string(mode) +
						  " is not 0 (through), 2 (ECB) or 3 (CBC)");
	AesKept aes;
	aes.aesmode = mode;
	aes.mode = modes[mode];
	const auto words = [&](std::size_t off) {
		std::vector<std::uint32_t> w;
		for (std::size_t i = 0; i < 8; i++)
			w.push_back(get<std::uint32_t>(arg + off + 4 * i));
		return w;
	};
	if (mode != DSC_AESMODE_THROUGH) {
		const std::vector<std::uint32_t> real = words(offsetof(struct aeskey, realkey));
		aes.keybits = std::any_of(real.begin() + 4, real.end(),
					  [](std::uint32_t w) { return w != 0; })
				      ? 256
				      : 128;
		aes.hddkey = words(offsetof(struct aeskey, hddkey));
		aes.realkey = real;
		aes.ivdata = words(offsetof(struct aeskey, ivdata));
		aes.ivtype = get<std::int32_t>(arg + offsetof(struct aeskey, ivtype));
	}
	ctx.kept().aes = aes;
	return 0;
}

} // namespace

AesKept AesKept::from_json(const json &j)
{
	using namespace checked;
	static const char *const fields[] = {"aesmode", "mode",   "keybits", "hddkey",
					     "realkey", "ivdata", "ivtype"};
	AesKept a;
	object_of(j, fields);
	const auto number = [](const json &x) { return whole<std::int32_t>(x); };
	opt_into(j, "aesmode", a.aesmode, number);
	opt_into(j, "keybits", a.keybits, number);
	opt_into(j, "ivtype", a.ivtype, number);
	opt_into(j, "mode", a.mode, [](const json &x) { return text(x); });
	const auto words = [](const json &x) {
		std::vector<std::uint32_t> w;
		each(x, 8, [&](const json &v) { w.push_back(whole<std::uint32_t>(v)); });
		return w;
	};
	opt_into(j, "hddkey", a.hddkey, words);
	opt_into(j, "realkey", a.realkey, words);
	opt_into(j, "ivdata", a.ivdata, words);
	return a;
}

json AesKept::to_json() const
{
	json j = json::object();
	checked::put_opt(j, "aesmode", aesmode);
	checked::put_opt(j, "mode", mode);
	checked::put_opt(j, "keybits", keybits);
	checked::put_opt(j, "hddkey", hddkey);
	checked::put_opt(j, "realkey", realkey);
	checked::put_opt(j, "ivdata", ivdata);
	checked::put_opt(j, "ivtype", ivtype);
	return j;
}

namespace {

// key material (hddkey, realkey, ivdata) reads as zero bytes in the trace
void mask_key(std::vector<unsigned char> &bytes)
{
	for (std::size_t i = 0; i < bytes.size() && i < offsetof(struct aeskey, aesmode); i++)
		bytes[i] = 0;
}

// The partition behind the node; on the whole-disk node the whole disk,
// from sector 0, as partition 0.  Sector numbers are the low 32 bits.
int get_part(Ctx &ctx, unsigned char *arg)
{
	const DriveDesc &drive = ctx.desc();
	Partition p{0, drive.capacity};
	if (ctx.partition != 0) {
		const auto part = drive.partitions.find(ctx.partition);
		if (part == drive.partitions.end())
			return ctx.refuse(ENXIO, "the board has no partition " +
							 std::to_string(ctx.partition));
		p = part->second;
	}
	put<std::uint32_t>(arg + offsetof(struct ztostra_part_info, start_sect),
			   static_cast<std::uint32_t>(p.start));
	put<std::uint32_t>(arg + offsetof(struct ztostra_part_info, nr_sects),
			   static_cast<std::uint32_t>(p.sectors));
	put<std::int32_t>(arg + offsetof(struct ztostra_part_info, partno), ctx.partition);
	return 0;
}

constexpr std::size_t OW(std::size_t field)
{
	return OW_DATA + field;
}

// the records, as the trace shows them
const Layout count{"count", {{"count", 0, 4, Kind::Dec}}};
const Layout total{"total", {{"total", 0, 8, Kind::Dec}}};
const Layout flag{"flag", {{"rotational", 0, 4, Kind::Dec}}};
const Layout multcount{"long", {{"multcount", 0, 0, Kind::Signed}}};
const Layout id{"smartinfo.id", {{"id", 0, 512, Kind::Data}}};
const Layout attr{"smartinfo.attr", {{"attr", 0, 512, Kind::Data}}};
const Layout thrs{"smartinfo.thrs", {{"thrs", 0, 512, Kind::Data}}};
const Layout identity{"identify", {{"identify", 0, 512, Kind::Data}}};
const std::vector<Field> dma_info = {
	{"nsect", offsetof(struct ztostra_read_dma_info, nsect), 4, Kind::Dec},
	{"start_sect[0]", START_SECT, 4, Kind::Dec},
	{"start_sect[1]", START_SECT + 4, 4, Kind::Dec},
	{"buff", offsetof(struct ztostra_read_dma_info, buff), HDD_SECTOR_SIZE, Kind::Data}};
const Layout read_dma{"ztostra_read_dma_info", dma_info};
const Layout write_dma{"ztostra_write_dma_info", dma_info};
const Layout ow{"ztostra_ow",
		{{"op", offsetof(struct ztostra_ow, op), 4, Kind::Dec},
		 {"data.owmode", OW(offsetof(struct overwrite, owmode)), 4, Kind::Signed},
		 {"data.owsw", OW(offsetof(struct overwrite, owsw)), 2, Kind::Hex},
		 {"data.fixdata", OW(offsetof(struct overwrite, fixdata)), 2, Kind::Hex},
		 {"data.pranddata", OW(offsetof(struct overwrite, pranddata)), 4, Kind::Hex},
		 {"data.trcount", OW(offsetof(struct overwrite, trcount)), 8, Kind::Dec},
		 {"data.partsect", OW(offsetof(struct overwrite, partsect)), 8, Kind::Dec}}};
const Layout part{"ztostra_part_info",
		  {{"start_sect", offsetof(struct ztostra_part_info, start_sect), 4, Kind::Dec},
		   {"nr_sects", offsetof(struct ztostra_part_info, nr_sects), 4, Kind::Dec},
		   {"partno", offsetof(struct ztostra_part_info, partno), 4, Kind::Signed}}};
const Layout key{"aeskey",
		 {{"hddkey", offsetof(struct aeskey, hddkey), 32, Kind::Words},
		  {"realkey", offsetof(struct aeskey, realkey), 32, Kind::Words},
		  {"ivdata", offsetof(struct aeskey, ivdata), 32, Kind::Words},
		  {"aesmode", offsetof(struct aeskey, aesmode), 4, Kind::Signed},
		  {"ivtype", offsetof(struct aeskey, ivtype), 4, Kind::Signed}}};
const Layout command{"drive command",
		     {{"command", 0, 1, Kind::Hex},
		      {"sector", 1, 1, Kind::Hex},
		      {"feature", 2, 1, Kind::Hex},
		      {"nsector", 3, 1, Kind::Dec},
		      {"data", 4, 0, Kind::Data}},
		     {{"status", 0, 1, Kind::Hex},
		      {"error", 1, 1, Kind::Hex},
		      {"nsector", 2, 1, Kind::Dec},
		      {"data", 4, 0, Kind::Data}}};
std::vector<Field> registers(const char *first, const char *second)
{
	return {{first, 0, 1, Kind::Hex},     {second, 1, 1, Kind::Hex},
		{"nsector", 2, 1, Kind::Dec}, {"sector", 3, 1, Kind::Hex},
		{"lcyl", 4, 1, Kind::Hex},    {"hcyl", 5, 1, Kind::Hex},
		{"select", 6, 1, Kind::Hex}};
}
const Layout task{"task registers", registers("command", "feature"), registers("status", "error")};

// what the simulator makes of each request of the driver core's table
struct Answer {
	unsigned long code;
	int (*handle)(Ctx &ctx, unsigned char *arg);
	const Layout *layout = nullptr;
	std::size_t (*size_of)(const unsigned char *arg) = nullptr;
	void (*mask)(std::vector<unsigned char> &bytes) = nullptr;
};

const Answer answers[] = {
	{ZTOSTRA_HDD_STANDBY_IMD, nondata<ZT_CMD_STANDBY_IMMEDIATE>},
	{ZTOSTRA_HDD_SLEEP, nondata<ZT_CMD_SLEEP>},
	{ZTOSTRA_HDD_FLUSH_CACHE, nondata<ZT_CMD_FLUSH_CACHE>},
	{ZTOSTRA_SLEEP_IN, sleep_in},
	{ZTOSTRA_SLEEP_OUT, sleep_out},
	{ZTOSTRA_INIT_PORT, init_port},
	{ZTOSTRA_GET_OWCOUNT, get_owcount, &count},
	{ZTOSTRA_ISUEE_OWFUNC, issue_owfunc, &count},
	{ZTOSTRA_OW_OP, ow_op, &ow},
	{ZTOSTRA_SET_TOTAL, set_total, &total},
	{ZTOSTRA_CLEAR_TOTAL, clear_total},
	{ZTOSTRA_SET_AES, set_aes, &key, nullptr, mask_key},
	{ZTOSTRA_GET_SMARTATTR, smart_read<ata::SMART_READ_DATA>, &attr},
	{ZTOSTRA_GET_SMARTTHRS, smart_read<ata::SMART_READ_THRESHOLDS>, &thrs},
	{ZTOSTRA_GET_IDENTDATA, get_identity, &id},
	{ZTOSTRA_HDD_DEF_ROTATIONAL, def_rotational, &flag},
	{ZTOSTRA_SSD_SECURITY_ERASE, security_erase},
	{ZTOSTRA_TEST_REG_READ, answer_ok},
	{ZTOSTRA_TEST_REG_WRITE, answer_ok},
	{ZTOSTRA_TEST_24v_DOWN_INTR, answer_ok},
	{ZTOSTRA_TEST_READ_DMA, test_read_dma, &read_dma},
	{ZTOSTRA_GET_PART, get_part, &part},
	{ZTOSTRA_TEST_UNCWRITE, test_uncwrite, &write_dma},
	{HDIO_GET_IDENTITY, get_identity, &identity},
	{HDIO_DRIVE_CMD, drive_cmd, &command, drive_cmd_size},
	{HDIO_DRIVE_TASK, drive_task, &task},
	{HDIO_GET_MULTCOUNT, get_multcount, &multcount},
	// neither SCSI generic nor taskfile requests: as a block driver without
	// them answers, so that standard tools fall back to HDIO_DRIVE_CMD
	{SG_IO, not_offered},
	{HDIO_DRIVE_TASKFILE, not_offered},
};

// the core's rows with the simulator's answers: one for each row
const std::vector<Request> table = [] {
	std::vector<Request> t;
	for (const zt_request *r = zt_requests; r->name != nullptr; r++) {
		const Answer *a = std::find_if(std::begin(answers), std::end(answers),
					       [&](const Answer &x) { return x.code == r->code; });
		if (a == std::end(answers)) {
			std::fprintf(stderr, "ostrasim: no answer to %s\n", r->name);
			std::abort();
		}
		t.push_back({r->code, r->name, r->size, r->touches, a->handle, a->layout,
			     a->size_of, a->mask});
	}
	return t;
}();

} // namespace

const std::vector<Request> &requests()
{
	return table;
}

const Request *find_request(unsigned long code)
{
	for (const Request &r : table)
		if (r.code == code)
			return &r;
	return nullptr;
}

const Request *find_request(const std::string &name)
{
	for (const Request &r : table)
		if (name == r.name)
			return &r;
	return nullptr;
}

} // namespace sim
