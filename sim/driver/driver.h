// driver.h - the simulated ztostra driver: one row per request of its
// interface (and of the block layer's that reach the same nodes), and the
// driver model that carries them out as a SATA host driver does: ATA
// commands to the drive, link and port actions on the controller, and the
// settings the driver only keeps.
//
// What the driver keeps between runs is typed in kept.h, each part owned by
// the module that changes it.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kept.h"

namespace sim {

// How the trace shows a field of a request's record.
enum class Kind {
	Dec,    // unsigned, decimal
	Signed, // signed, decimal
	Hex,    // unsigned, hexadecimal
	Words,  // 32-bit words in hexadecimal (key material, masked unless trace_raw)
	Data,   // bytes, as a hexdump
};
struct Field {
	const char *name;
	std::size_t off;
	std::size_t size; // 0: the rest of the argument
	Kind kind;
};

// A request's record: its name, its fields as sent and as answered (empty: as sent).
struct Layout {
	const char *record;
	std::vector<Field> in, out = {};
};

struct Ctx;
// One request: the driver core's row (zt_requests) and the simulator's answer.
struct Request {
	unsigned long code;
	const char *name;
	std::size_t argsize; // bytes behind the argument pointer; 0: no record
	unsigned touches;    // ZT_CONTROLLER, ZT_MEDIA, ZT_WRITES, ZT_BLOCK
	int (*handle)(Ctx &ctx, unsigned char *arg);
	const Layout *layout = nullptr; // for the trace
	// the argument's size when it depends on its head (HDIO_DRIVE_CMD)
	std::size_t (*size_of)(const unsigned char *arg) = nullptr;
	// sensitive bytes, hidden in the trace unless the board sets trace_raw
	void (*mask)(std::vector<unsigned char> &bytes) = nullptr;
};

const std::vector<Request> &requests();
const Request *find_request(unsigned long code);
const Request *find_request(const std::string &name);

// One request on one node, as the driver carries it out.
struct Ctx {
	Ctx(const Board &b, StateTxn &t, json &l, std::string n, std::string d, int p)
	    : board(b), txn(t), state(t.state), line(l), node(std::move(n)), drive(std::move(d)),
	      partition(p)
	{
	}
	const Board &board;
	StateTxn &txn;
	State &state;
	json &line; // its trace line
	std::string node, drive;
	int partition = 0; // 5 for sda5, 0 for the whole disk
	int err = 0;       // errno that goes with a negative result

	const DriveDesc &desc() const
	{
		return board.info.drives.at(drive);
	}
	DriveKept &kept()
	{
		return state.kept(drive);
	}
	// The board's time now.
	std::uint64_t now() const
	{
		return now_ns(board.info, txn.clock_ns);
	}
	// result -1 with errno e
	int fail(int e)
	{
		err = e;
		return -1;
	}
	// result -1 with errno e, refused: why says so in the trace line
	int refuse(int e, const std::string &why)
	{
		line["refused"] = why;
		return fail(e);
	}
	// Sends one command to the drive and traces it: 0, or -1 with err set.
	// A command that writes the media or changes the drive's security goes
	// through the write gate.
	int ata(Ata &a);
	// Why the board allows no writes now ("" when it does): its
	// "destructive" as board.json says now, and the drive's binding.
	std::string write_refusal();
	// The drive's port reset, or its link's power, traced.
	int port(bool reset, bool sleep = false);
	// The most sectors one command of the drive may carry.
	std::uint64_t max_sectors()
	{
		return dev().max_sectors();
	}

      private:
	friend class WriteGate;
	std::unique_ptr<Drive> drive_;
	Drive &dev();
	std::optional<bool> destructive_; // board.json's, read at the first write
	bool part5_read_ = false;         // partition 5 now, read at the first write
	std::optional<Partition> part5_;
	// the previous command, for a run of them in one trace line
	std::string last_, first_;
	std::uint64_t run_ = 0, next_lba_ = 0;
};

// A board directory, its faults checked against the request table.
Board load(const std::string &dir);
Board load(const Root &root);
Board load(const json &desc, const std::string &dir, const Root &root = nullptr);

// The board a front end answers for.  Both front ends read board.json again
// at each open of a drive node (reload) and replace the description whole,
// so that an edited board (faults, probe answers, "destructive") applies
// from the next open on.  A description that cannot be used leaves the one
// before in force and says why, on standard error and in the trace; with
// none before, every request fails with why.
class LiveBoard {
      public:
	explicit LiveBoard(std::shared_ptr<const Board> board) : board_(std::move(board))
	{
	}
	// The board in dir, or one whose requests fail with why it cannot be read.
	static std::shared_ptr<const Board> first(const std::string &dir);
	// The board as last read; the caller's copy stays whole through a reload.
	std::shared_ptr<const Board> get() const;
	// Reads the description again; check, when given, refuses one (throws).
	void reload(const std::function<void(const Board &)> &check = nullptr);

      private:
	mutable std::mutex mutex_;
	std::shared_ptr<const Board> board_;
};
// The board of OSTRASIM_BOARD (null when unset), for the preload library.
LiveBoard *current_board();

// Why a request name is unknown, with the nearest names ("no request X
// (did you mean Y?)"), or "".
std::string request_refusal(const std::string &name);
// The fault of the board that fails this call of `request` on `node`, if
// one does: every fault of the call counts it in the state; fills result
// and err.
std::optional<std::uint32_t> injected_fault(const Board &board, State &state,
					    const std::string &node, const std::string &request,
					    int &result, int &err);
// A fault in words, with its id and the calls it has seen.
std::string fault_line(const Fault &f, std::uint32_t id, std::uint64_t seen);
// The board's faults as `ostrasim show` and `fault list` give them: a line
// each and the same as JSON (ids of faults without one as a run would give
// them; the state is not changed).
struct FaultShown {
	std::uint32_t id;
	std::string line;
	json values;
};
std::vector<FaultShown> show_faults(const Board &board, State state);
// `ostrasim fault`: the faults of the board in root changed under its lock,
// board.json's "faults" member written anew (checked as a whole board, the
// rest of the file as it was, replaced atomically), their counts in the
// state with them; every fault gets its id written.  Adds fault (as
// board.json holds one, without an id: throws Bad naming its key) and gives
// its line; clears the fault id, or all (nullopt), and gives their lines.
std::string add_fault(const Root &root, const json &fault);
std::vector<std::string> clear_faults(const Root &root, std::optional<std::uint32_t> id);
// The board's probe script run for a drive name, as system() reports it: the
// name goes to probe.log, the exit status the board gives it comes back (a
// probe the board kills: SIGKILL; a board without the script: 127).
int probe(const Board &board, const std::string &name);
// The driver's answer to an open of a board node (0, or -1 with err): an
// injected fault.  Fields for its trace line go into line.
int driver_open(const Board &board, const std::string &node, int &err, json &line);
// Once the node is open: for a real drive, the check that the device is the
// disk the board was made for (its model, serial, capacity and partition 5);
// until it is again, its requests fail with EIO.
void driver_bind(const Board &board, const std::string &node, json &line);
// The driver's answer to one ioctl on a board node.
int driver_ioctl(const Board &board, const std::string &node, unsigned long code, void *arg,
		 int &err);
// The board's time brought to now for `ostrasim show` and `watch`, a virtual
// clock first moved on by advance_ns: each drive's overwrite writes what is
// due, as it would before the drive's next request (a drive that request
// would not reach writes nothing), under the board's lock, committed with a
// trace line of its writes.  Nothing is locked while nothing is due.
void bring_to_now(const Board &board, std::uint64_t advance_ns = 0);
// What the driver and the drive keep, for `ostrasim show`.
void show_drive(const Board &board, const StateView &view, const std::string &drive, Shown &out);

// A security command with the user password of the driver's security erase.
int security_command(Ctx &ctx, unsigned char command, unsigned timeout_s = 60, Ata *sent = nullptr);

// The overwrite function (overwrite.cpp): its requests' handlers, the writes
// due by the board's time, and what `ostrasim show` says of it.
int get_owcount(Ctx &ctx, unsigned char *arg);
int issue_owfunc(Ctx &ctx, unsigned char *arg);
int ow_op(Ctx &ctx, unsigned char *arg);
int set_total(Ctx &ctx, unsigned char *arg);
int clear_total(Ctx &ctx, unsigned char *arg);
void overwrite_catch_up(Ctx &ctx);
// Whether a drive's overwrite has writes due by the board's time.
bool overwrite_behind(const Board &board, const StateView &view, const std::string &drive);
void show_overwrite(const Board &board, const StateView &view, const std::string &drive,
		    Shown &out);

} // namespace sim
