// sim.h - the simulated board: board description, driver state, request
// registry, fault injection and the request trace.
//
// A board lives in a directory:
//   board.json   the description (drives, nodes, probe answers, faults, ...)
//   state.json   what the driver and the drives keep between runs
//   state.lock   taken around every request, so that runs at once agree
//   trace.jsonl  one JSON line per open, request and close on a drive node
//   dev/ sys/ sbin/ tmp/   the board's files, laid out by `ostrasim run`
//
// Each driver module (drv_*.cpp) registers the requests it answers; a
// request's argument is decoded with explicit offsets in the process's own
// byte order, never through the program's record types.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

using json = nlohmann::json;

// What the simulator cannot do, said in one line ("BOARD/board.json:
// drives.sda.rate: ..."): the runner exits 2 with it, the preloaded library
// fails the request with it.
struct Error : std::runtime_error {
	using std::runtime_error::runtime_error;
};

// --- the board description, typed and checked once ----------------------------
// A key that is not listed, a value of the wrong type or out of range is
// refused with the key's path and the reason.

struct Fault {
	std::string node = "*"; // "*": any node
	std::string request;    // a request name, or "open"
	int result = -1;
	std::optional<int> err; // absent: EIO for a negative result, else 0
	std::int64_t from = 1;
	std::optional<std::int64_t> count; // absent: always from `from` on
};

struct Partition {
	std::uint64_t start = 0;
	std::uint64_t sectors = 0;
};

struct OverwriteDesc {
	std::uint64_t rate = 0; // sectors per second; 0: never gets on
	std::vector<std::uint32_t> counts;
	std::int32_t mode = 0;
	std::uint16_t fixdata = 0;
	std::uint32_t pranddata = 0;
	std::uint16_t owsw = 0;
};

struct DriveDesc {
	std::vector<std::string> nodes;
	std::uint64_t capacity = 0;
	std::optional<std::uint32_t> rotational;
	std::map<int, Partition> partitions;
	OverwriteDesc overwrite;
	// checked here, turned into pages by drive_data.cpp
	json identify, smart, sysfs;
	std::optional<std::string> drive_file;
	std::optional<std::string> host; // a real ATA device answers (drv_host.cpp)
};

struct BoardDesc {
	std::string comment;
	bool has_probe = true;            // false: "probe": null, no script
	std::map<std::string, int> probe; // exit status per name; -1: killed by a signal
	bool virtual_clock = false;
	bool trace_raw = false;
	bool destructive = false; // real drives may be written to
	std::vector<Fault> faults;
	std::map<std::string, DriveDesc> drives;
};

void from_json(const json &j, BoardDesc &d);
void from_json(const json &j, DriveDesc &d);
// Checks the driver state (state.json) the same way.
void check_state(const json &state);
// Every key a board description may hold, one path a line ("drives.NAME.nodes").
std::vector<std::string> board_keys();
// A name as the trace and the state keep it: bytes other than printable
// ASCII as \xHH, so that any node a program asks for can be stored.
std::string node_name(const std::string &raw);

// What the driver keeps about one drive (state.drives.NAME): for reading, an
// empty object while nothing is kept; for changing, made on first use.
const json &drive_state(const json &state, const std::string &drive);
json &drive_state(json &state, const std::string &drive);

// One request on one node, as the driver sees it.
struct Ctx {
	const json &board;     // board.json
	const BoardDesc &info; // the same, typed
	json &state;           // driver state; saved after the request
	std::string node;      // "sda5"
	std::string drive;     // "sda"
	int partition = 0;     // 5 for sda5, 0 for the whole disk
	int err = 0;           // errno that goes with a negative result

	const json &drive_desc() const
	{
		return board.at("drives").at(drive);
	}
	const DriveDesc &drive_info() const
	{
		return info.drives.at(drive);
	}
	json &drive_state()
	{
		return sim::drive_state(state, drive);
	}
	const json &drive_state_view() const
	{
		return sim::drive_state(static_cast<const json &>(state), drive);
	}
	// result -1 with errno e
	int fail(int e)
	{
		err = e;
		return -1;
	}
};

struct Request {
	unsigned long code;
	const char *name;
	std::size_t argsize; // bytes behind the argument pointer; 0: no record
	int (*handle)(Ctx &ctx, unsigned char *arg);
	// when set, the argument size depends on its content (HDIO_DRIVE_CMD)
	std::size_t (*size_of)(const unsigned char *arg) = nullptr;
	// when set, hides sensitive bytes of the argument in the trace
	void (*mask)(std::vector<unsigned char> &bytes) = nullptr;
};

// A gate sees every request before its handler (power states, ...):
// it returns 0 to let it through, or the request's result (and sets ctx.err).
using Gate = int (*)(Ctx &ctx, const Request &req);
// Prints what a module keeps about one drive, for `ostrasim show`.
struct Board;
using Show = void (*)(const Board &board, const json &state, const std::string &drive,
		      std::FILE *out);

bool register_requests(const Request *reqs, std::size_t n);
template <std::size_t N> bool register_requests(const Request (&reqs)[N])
{
	return register_requests(reqs, N);
}
bool register_gate(Gate gate);
bool register_show(Show show);

const Request *find_request(unsigned long code);
const Request *find_request(const std::string &name);
const std::vector<Show> &shows();

// --- the board directory ---------------------------------------------------

struct Board {
	std::string dir;
	json desc;
	BoardDesc info;
	std::string error; // why the board cannot be used; every request fails with it
};

// The board of this process (OSTRASIM_BOARD), loaded once; null when unset.
// A board that cannot be loaded keeps its directory (the paths stay
// redirected) and its error.
const Board *current_board();
// Reads and checks board.json; throws Error.
Board load_board(const std::string &dir);
// A whole file; "" for a missing one unless it must exist (throws Error).
std::string read_text(const std::string &path, bool must_exist);
// Reads and checks state.json without the lock (it is replaced atomically).
json read_state(const Board &board);

// One change of the board under its lock: the state is read and checked,
// an uncommitted trace tail left by a killed run is cut off; commit()
// appends the trace lines, then replaces state.json if the state changed.
// A trace line carries the state's commit number, so that a line whose
// state never got saved is recognised.
class Txn {
      public:
	explicit Txn(const Board &board);
	~Txn();
	Txn(const Txn &) = delete;
	Txn &operator=(const Txn &) = delete;
	void commit();
	std::uint64_t next_seq() const
	{
		return next_seq_;
	}
	json state;

      private:
	friend void append_trace(const Board &board, json &state, const json &line);
	const Board &board_;
	json before_;
	int lockfd_ = -1;
	std::uint64_t next_seq_ = 1;
	std::vector<json> lines_;
};

// Runs fn(state) under the board's lock, then commits.
template <typename Fn> void with_state(const Board &board, Fn fn)
{
	Txn txn(board);
	fn(txn.state);
	txn.commit();
}

// The process the next trace lines are about; 0: this one. `serve` answers
// for the calling program, whose pid ties its lines to its run header.
extern long trace_pid;

// Queues a trace line for the commit of the running with_state.
void append_trace(const Board &board, json &state, const json &line);
// Empties the trace under the lock; sequence numbers go on.
void clear_trace(const Board &board);
// Runs fn() under the board's lock without touching the state.
void with_lock(const Board &board, const std::function<void()> &fn);

// Drive and partition of a node name: "sda5" -> sda, 5.  False when the name
// is not of that form.
bool split_node(const std::string &node, std::string &drive, int &partition);

// An injected fault for this call of `request` on `node`, if the board asks
// for one: counts the call, fills result and err.
bool injected_fault(const Board &board, json &state, const std::string &node,
		    const std::string &request, int &result, int &err);

// The driver's answer to one ioctl on a simulated node.
int driver_ioctl(const Board &board, const std::string &node, unsigned long code, void *arg,
		 int &err);

// --- real drives (drv_host.cpp) ------------------------------------------------
// The request on a drive with a host device, as ATA commands through SG_IO;
// each command's registers go into the trace line.
int host_request(Ctx &ctx, const Request &req, unsigned char *arg, json &trace);
// The identify data of a device, as it sends it; throws Error.
std::array<unsigned char, 512> host_identify(const std::string &dev);
// Partition `number` of the disk behind a device, as the kernel found it.
std::optional<Partition> host_partition(const std::string &dev, int number);
// WRITE DMA (EXT) of 1 to 256 sectors within the drive's capacity; 0 or the
// errno of a failed command.
int host_write(Ctx &ctx, json &trace, std::uint64_t lba, unsigned char *data,
	       std::uint32_t sectors);
// The overwrite function of a real drive goes on (drv_overwrite.cpp): the
// sectors due by now are written before the drive answers a request.
void overwrite_catch_up(Ctx &ctx, json &trace);

// --- simulated time -------------------------------------------------------------
// Board key "clock": "real" (the default) runs on the wall clock; "virtual"
// keeps the board's time in the state, where the program's sleep and
// nanosleep advance it instead of waiting.

// The board's time in nanoseconds: wall clock, or the virtual clock.
std::uint64_t now_ns(const BoardDesc &board, const json &state);
// Advances the virtual clock by ns and traces the sleep.
void advance_clock(const Board &board, std::uint64_t ns);

// --- record fields in native byte order -------------------------------------

template <typename T> T get(const unsigned char *p)
{
	T v;
	std::memcpy(&v, p, sizeof v);
	return v;
}
template <typename T> void put(unsigned char *p, T v)
{
	std::memcpy(p, &v, sizeof v);
}

std::string hex(const unsigned char *p, std::size_t n);

// --- the kernel front end (cuse.cpp) -------------------------------------------
// Serves the board's drive nodes as character devices until SIGINT or SIGTERM.
int serve(Board &board);
// Gives this process a mount namespace that shows the board's probe script,
// /sys/block entries and tmp at the real paths.
void enter_kernel_view(const Board &board);

} // namespace sim
