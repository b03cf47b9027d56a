// board.h - the board: its description (board.json, read into typed records
// once), the state the driver and the drives keep between runs (state.json,
// changed under the board's lock), the trace those changes append to, and
// the board's clock.
//
// A board lives in a directory:
//   board.json   the description (drives, nodes, probe answers, faults, ...)
//   state.json   what the driver and the drives keep between runs
//   state.lock   taken around every change, so that runs at once agree
//   trace.jsonl  one JSON line per run, open, request and close on a drive node
//   dev/ sys/ sbin/ tmp/   the board's files, laid out by `ostrasim run`
#pragma once

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "boarddir.h"
#include "checked.h"

namespace sim {

using json = nlohmann::json;

// What the simulator cannot do, said in one line ("BOARD/board.json:
// drives.sda.capacity: ..."): the runner exits 2 with it, the driver fails
// the request with it.
struct Error : std::runtime_error {
	using std::runtime_error::runtime_error;
};

using IdentifyWords = std::array<std::uint16_t, 256>;
using Page = std::array<unsigned char, 512>;

// identify words: texts (first word, words), and the words the simulator reads
constexpr int ID_SERIAL = 10, ID_SERIAL_WORDS = 10;
constexpr int ID_FIRMWARE = 23, ID_FIRMWARE_WORDS = 4;
constexpr int ID_MODEL = 27, ID_MODEL_WORDS = 20;
constexpr int ID_MULTIPLE = 59;       // bit 8: the multiple count in the low byte is valid
constexpr int ID_ERASE_TIME = 89;     // security erase time, in units of 2 minutes
constexpr int ID_SECURITY = 128;      // bit 0: feature set, 1: enabled, 2: locked, 3: frozen
constexpr int ID_ROTATION_RATE = 217; // 1: non-rotating media
constexpr int ID_INTEGRITY = 255;     // 0xA5 and the checksum of all 512 bytes

// SMART pages: 30 entries of 12 bytes from byte 2, checksum in byte 511
constexpr int SMART_ENTRIES = 30, SMART_ENTRY_SIZE = 12, SMART_FIRST_ENTRY = 2;

// --- the description ---------------------------------------------------------------
// A key that is not listed, a value of the wrong type or out of range is
// refused with the key's path and the reason.

// An injected failure: the calls of request on node after the first `after`
// that the fault saw, `times` of them, get result and err.  Calls are counted
// per fault in the state, from the moment it was added (ostrasim fault add)
// or first seen.
struct Fault {
	std::optional<std::uint32_t> id; // absent: the state gives one when it first sees it
	std::string node = "*";          // "*": any node
	std::string request;             // a request name, or "open"
	int result = -1;
	std::optional<int> err; // absent: EIO for a negative result, else 0
	std::uint64_t after = 0;
	std::optional<std::uint64_t> times; // absent: every call after those
	// The same fault, its id aside.
	bool operator==(const Fault &o) const
	{
		return node == o.node && request == o.request && result == o.result &&
		       err == o.err && after == o.after && times == o.times;
	}
	// errno as the call gets it
	int errno_value() const
	{
		return err.value_or(result < 0 ? EIO : 0);
	}
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
	std::optional<std::uint32_t> rotational; // the driver's flag; absent: from word 217
	std::map<int, Partition> partitions;
	OverwriteDesc overwrite;
	// what the drive reports: identify words (texts with their first
	// character in the high byte), SMART READ DATA and READ THRESHOLDS pages
	IdentifyWords identify{};
	Page attr{}, thrs{};
	// files below /sys/block/NAME/ as given; nullopt leaves one out
	std::map<std::string, std::optional<std::string>> sysfs;
	std::optional<std::string> host; // a real ATA device answers
};

struct BoardDesc {
	std::string comment;
	bool has_probe = true;            // false: "probe": null, no script
	std::map<std::string, int> probe; // exit status per name; -1: killed by a signal
	bool virtual_clock = false;
	bool trace_raw = false;
	bool destructive = false; // the drives' media may be written
	std::vector<Fault> faults;
	std::map<std::string, DriveDesc> drives;
};

struct Board {
	std::string dir; // for messages and the paths a program is given
	Root root;       // the folder itself, every file in it reached from there
	BoardDesc info;
	std::string error; // why the board cannot be used; every request fails with it
};

// Why a request name is unknown ("no request X (did you mean Y?)"), or "".
using RequestCheck = std::string (*)(const std::string &name);
// A fault as board.json holds it; on a board, its node must be one of the
// board's.  Throws Bad naming the key.
Fault fault_of(const json &j, RequestCheck check, const BoardDesc *board);
// One line of JSON, its keys in a fixed order, values as fault_of reads them.
std::string fault_text(const Fault &f);
// The errno of a name (EIO) or of a number as text (5); -1: neither.
int errno_of(const std::string &name);
// An errno's name ("EIO"), or its number.
std::string errno_name(int err);
// board.json's text (that parsed) with its top-level "faults" member made
// faults (added where there is none), everything else as it was.
std::string with_faults(const std::string &text, const std::vector<Fault> &faults);

// Reads and checks BOARD/board.json, with the drive files it names, and
// each fault's request by check; throws Error.
Board load_board(const Root &root, RequestCheck check);
// Every key a board description may hold, by path ("drives.NAME.nodes").
struct Key {
	std::string path;
	const char *type, *meaning;
};
std::vector<Key> board_keys();
// The same of a description not (yet) in a file; without a folder (a board
// not yet made) a drive file relative to it is refused.
Board board_of(const json &desc, const std::string &dir, const Root &root, RequestCheck check);
// A real drive's device resolved: an absolute path to something that exists,
// not a partition's block node; throws Error.
std::string resolve_host(const std::string &path);
// Identify words from the 512 bytes as the drive sends them (words little-endian).
IdentifyWords words_of(const Page &raw);
// Sectors of the drive: identify words 100-103, else 60-61.
std::uint64_t capacity_of(const IdentifyWords &w);
// Text of count identify words from word first, in reading order.
std::string identify_text(const IdentifyWords &words, int first, int count);
// The files under /sys/block/NAME/ as the kernel shows them: the drive's
// "sysfs" map, plus queue/rotational and device/model where it names neither.
std::map<std::string, std::string> sysfs_files(const DriveDesc &drive);
// The driver's rotational flag: the board's, else from identify word 217.
std::uint32_t rotational(const DriveDesc &drive);
// Sets byte 511 so that all 512 bytes add up to 0 modulo 256.
void set_checksum(Page &page);

// What `ostrasim show` says of a drive, built once for both its forms: each
// value goes into the JSON object (under the current line's label) and, in
// words, into the current line of text.
struct Shown {
	json values = json::object();
	std::string text;
	// starts the line "  LABEL:"; the values after it go under values[LABEL]
	void line(const std::string &label);
	// value under key, and words (a printf format of the arguments) in the text
	void put(const char *key, const json &value, const char *format, ...)
		__attribute__((format(printf, 4, 5)));
	// the value alone, or the words alone
	void set(const char *key, const json &value);
	void say(const char *format, ...) __attribute__((format(printf, 2, 3)));

      private:
	std::string label_;
};

// Drive and partition of a node name: "sda5" -> sda, 5; false when the name
// is not of that form.
bool split_node(const std::string &node, std::string &drive, int &partition);
// A file's text as JSON; throws Error naming path:line:column of a syntax
// error or of a key an object holds twice, with hint after it.
json parse_json(const std::string &text, const std::string &path, const std::string &hint);
// Where a member of an object stands in JSON text that parsed: its key's
// quote, its value's first and past-last character, its object's depth (1:
// the top level) and number (in the order the objects open).
struct Member {
	std::string key;
	std::size_t key_at = 0, value_at = 0, value_end = 0, depth = 0, object = 0;
};
std::vector<Member> members(const std::string &text);
// Line and column (from 1) of offset in text, as "L:C".
std::string line_column(const std::string &text, std::size_t offset);
// A whole file; "" for a missing one unless it must exist (throws Error).
std::string read_text(const std::string &path, bool must_exist);

// --- the state -------------------------------------------------------------------
// state.json holds the board's own numbers (the commit and trace sequence
// numbers, the virtual clock) and the parts the modules above the board own
// (the driver's, the overwrite function's, each drive kind's, the faults'
// counts): the board layer reads and commits the whole, each module reads
// and writes its part with its own from_json and to_json.

// The modules' part of state.json, all of it but the board's numbers: read
// after each lock, written at each commit.  A Txn without one keeps the part
// as it was read, unchecked.
class StateParts {
      public:
	StateParts() = default;
	StateParts(const StateParts &) = default;
	StateParts &operator=(const StateParts &) = default;
	virtual ~StateParts() = default;
	// Takes the part as read; throws Bad naming the key.
	virtual void read(const json &parts) = 0;
	// The part as it is to be saved: an object, without empty members.
	virtual json write() const = 0;
};

// state.json read without the lock (it is replaced atomically): its virtual
// clock, the parts given to parts (when not null); throws Error naming the key.
struct StateNumbers {
	std::uint64_t commit = 0, seq = 0, clock_ns = 0;
};
StateNumbers read_state(const Board &board, StateParts *parts);

// One change of the board under its lock: the state is read and checked,
// an uncommitted trace tail left by a killed run is cut off; commit()
// appends the trace lines, then replaces state.json if the state changed.
// A trace line carries the state's commit number, so that a line whose
// state never got saved is recognised.
class Txn {
      public:
	explicit Txn(const Board &board, StateParts *parts = nullptr);
	Txn(Board &&, StateParts * = nullptr) = delete; // (it keeps a reference)
	virtual ~Txn();
	Txn(const Txn &) = delete;
	Txn &operator=(const Txn &) = delete;
	// Appends the trace lines so far and saves the state if it changed.
	void commit();
	// Appends a record of what is about to happen at once, before the
	// change is committed: it carries the number of the next trace line
	// (which tells what became of it) and the last saved state's commit,
	// so that it outlives a run killed meanwhile.  Throws Error.
	void record(const json &line);
	// Commits and lets other processes change the board, then takes it back
	// (the state read anew), for a command that takes long.
	void unlock();
	void lock();
	std::uint64_t next_seq() const
	{
		return next_seq_;
	}
	const Board &board() const
	{
		return board_;
	}
	// The board's time on a virtual clock, in nanoseconds.
	std::uint64_t clock_ns = 0;

      private:
	friend void append_trace(const json &line);
	friend void clear_trace(const Board &board);
	static std::string trace_text(const json &line, std::uint64_t seq, std::uint64_t commit);
	void append(const std::string &text);
	json whole() const;
	// without a StateParts: the parts as read
	struct Raw final : StateParts {
		json parts;
		void read(const json &p) override
		{
			parts = p;
		}
		json write() const override
		{
			return parts;
		}
	} raw_;
	const Board &board_;
	StateParts *parts_;
	json before_;
	int lockfd_ = -1;
	std::uint64_t commit_ = 0, seq_ = 0;
	std::uint64_t next_seq_ = 1;
	std::vector<json> lines_;
};

// Runs fn() under the board's lock, then commits the trace lines it queued
// (the modules' parts of the state as they were).
template <typename Fn> void with_trace(const Board &board, Fn fn)
{
	Txn txn(board);
	fn();
	txn.commit();
}
// Runs fn() under the board's lock without touching the state.
void with_lock(const Board &board, const std::function<void()> &fn);
// Queues a trace line for the commit of the running Txn.
void append_trace(const json &line);
// Empties the trace under the lock; sequence numbers go on.
void clear_trace(const Board &board);
// The process the next trace lines are about; 0: this one. `serve` answers
// for the calling program, whose pid ties its lines to its run header.
extern long trace_pid;

// --- busy marks -------------------------------------------------------------------
// A drive busy with a long command that does not hold the board's lock: an
// open-file-description lock on its byte of busy.lock (sda: byte 0, sdb: 1,
// ...), held while the command runs.  The kernel drops it with the holder's
// descriptor, when the holder exits or is killed (a zombie holds none), so
// that no process id is ever compared.
class BusyMark {
      public:
	// Takes the mark of drive; throws Error when another holds it.
	BusyMark(const Board &board, const std::string &drive);
	// Whether some process holds the mark of drive.
	static bool held(const Board &board, const std::string &drive);

      private:
	Fd fd_;
};

// --- the clock ---------------------------------------------------------------------
// Board key "clock": "real" (the default) runs on the wall clock; "virtual"
// keeps the board's time in the state (clock_ns), where the program's sleep
// and nanosleep advance it instead of waiting.
std::uint64_t now_ns(const BoardDesc &board, std::uint64_t clock_ns);
// Advances the virtual clock by ns and traces the sleep.
void advance_clock(const Board &board, std::uint64_t ns);

// --- record fields in the process's byte order --------------------------------------
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

} // namespace sim
