// kept.h - what the driver keeps between runs, typed, each part owned by the
// module that changes it, which reads and writes it (from_json, to_json):
//   controller.link        the controller's one link (driver.cpp)
//   drives.X.port, unbound, password, busy   per drive (driver.cpp)
//   drives.X.aes           the AES key request's settings (requests.cpp)
//   drives.X.ow            the overwrite function (overwrite.cpp)
//   drives.X.drive         the drive kind's own state (drive.h)
//   faults                 the injected faults' counts and ids (faults.cpp)
// A part that keeps nothing is left out of state.json; absent and empty mean
// the same.  The board layer reads and commits the whole (StateTxn).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "drive.h"

namespace sim {

// The AES mode and key material as the driver keeps them in memory.
struct AesKept {
	std::optional<std::int32_t> aesmode, keybits, ivtype;
	std::optional<std::string> mode; // "through", "ECB", "CBC"
	std::optional<std::vector<std::uint32_t>> hddkey, realkey, ivdata;
	static AesKept from_json(const json &j);
	json to_json() const;
};

// The overwrite function: the settings a request set (absent: the board's),
// the total, and from its start on the run.
struct OverwriteKept {
	std::optional<std::int32_t> mode;
	std::optional<std::uint16_t> fixdata;
	std::optional<std::uint32_t> pranddata;
	std::optional<std::uint64_t> total;
	struct Run {
		std::uint64_t start_ns = 0, start_count = 0, run_total = 0;
		std::uint64_t written = 0;         // sectors written since the start
		std::optional<std::string> failed; // why it stopped
	};
	std::optional<Run> run;
	std::optional<std::uint64_t> polls; // scripted counts answered so far
	static OverwriteKept from_json(const json &j);
	json to_json() const;
};

// What the driver keeps per drive.
struct DriveKept {
	enum Port { Ready, Offline, Asleep };
	// "ready"; "offline" while the link sleeps; "asleep" once the drive was
	// sent to sleep: only a port reset reaches it
	std::optional<Port> port;
	std::optional<std::string> unbound;  // why the device is not the board's disk
	std::optional<std::string> password; // a password the erase may have left
	struct Busy {
		std::optional<int> pid; // (kept by older versions; not compared)
		std::string command;
	};
	std::optional<Busy> busy; // a long command going on
	std::optional<AesKept> aes;
	OverwriteKept ow;
	SimDriveState drive; // the simulated drive's own; a real one keeps none
	Port port_now() const
	{
		return port.value_or(Ready);
	}
	static DriveKept from_json(const json &j);
	json to_json() const;
};

// Calls of each injected fault, counted from the moment it was added (or
// first seen, for one written into board.json by hand), and the ids given.
struct FaultCounts {
	std::uint32_t next = 1;                      // the next id to give
	std::map<std::uint32_t, std::uint64_t> seen; // calls each fault applied to
	std::map<std::uint32_t, Fault> unnamed;      // faults written without an id
	// The id of each of faults: its own, or the one it was given when first
	// seen (given now to a new one); the counts of faults gone are dropped.
	std::vector<std::uint32_t> ids_of(const std::vector<Fault> &faults);
	// Whether fault (counting seen calls) can still fail a call.
	static bool armed(const Fault &fault, std::uint64_t seen);
	static FaultCounts from_json(const json &j);
	json to_json() const;
};

// The whole of what the modules above the board keep in state.json.
struct State {
	std::optional<bool> link_up; // the controller's link; absent: up
	std::map<std::string, DriveKept> drives;
	FaultCounts faults;
	bool link_is_up() const
	{
		return link_up.value_or(true);
	}
	// The drive's part, made on first use.
	DriveKept &kept(const std::string &drive)
	{
		return drives[drive];
	}
	// For reading: an empty part while nothing is kept.
	const DriveKept &kept(const std::string &drive) const;
	static State from_json(const json &j);
	json to_json() const;
};

namespace detail {
struct StateHolder : StateParts {
	State state;
	void read(const json &parts) override
	{
		state = State::from_json(parts);
	}
	json write() const override
	{
		return state.to_json();
	}
};
} // namespace detail

// One change of the board under its lock, its state typed.
class StateTxn : private detail::StateHolder, public Txn {
      public:
	explicit StateTxn(const Board &board) : Txn(board, this)
	{
	}
	StateTxn(Board &&) = delete; // (it keeps a reference)
	using detail::StateHolder::state;
};

// Runs fn(state) under the board's lock, then commits.
template <typename Fn> void with_state(const Board &board, Fn fn)
{
	StateTxn txn(board);
	fn(txn.state);
	txn.commit();
}

// The state read without the lock, and the board's virtual clock.
struct StateView {
	State state;
	std::uint64_t clock_ns = 0;
};
StateView read_state(const Board &board);

} // namespace sim
