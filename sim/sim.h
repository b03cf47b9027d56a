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

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

using json = nlohmann::json;

// One request on one node, as the driver sees it.
struct Ctx {
	const json &board; // board.json
	json &state;       // driver state; saved after the request
	std::string node;  // "sda5"
	std::string drive; // "sda"
	int partition = 0; // 5 for sda5, 0 for the whole disk
	int err = 0;       // errno that goes with a negative result

	const json &drive_desc() const
	{
		return board.at("drives").at(drive);
	}
	json &drive_state()
	{
		return state["drives"][drive];
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
using Show = void (*)(const json &board, const json &state, const std::string &drive,
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
};

// The board of this process (OSTRASIM_BOARD), loaded once; null when unset.
const Board *current_board();
Board load_board(const std::string &dir);

// Runs fn(state) under the board's lock, then writes the state back
// atomically (temporary file and rename).
template <typename Fn> void with_state(const Board &board, Fn fn);
void lock_state(const Board &board, int &lockfd, json &state);
void unlock_state(const Board &board, int lockfd, const json &state);

template <typename Fn> void with_state(const Board &board, Fn fn)
{
	int lockfd = -1;
	json state;
	lock_state(board, lockfd, state);
	fn(state);
	unlock_state(board, lockfd, state);
}

void append_trace(const Board &board, json &state, const json &line);

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

// --- simulated time -------------------------------------------------------------
// Board key "clock": "real" (the default) runs on the wall clock; "virtual"
// keeps the board's time in the state, where the program's sleep and
// nanosleep advance it instead of waiting.

bool virtual_clock(const json &board);
// The board's time in nanoseconds: wall clock, or the virtual clock.
std::uint64_t now_ns(const json &board, const json &state);
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
