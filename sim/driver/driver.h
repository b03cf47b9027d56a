// driver.h - the simulated ztostra driver: one row per request of its
// interface (and of the block layer's that reach the same nodes), and the
// driver model that carries them out as a SATA host driver does: ATA
// commands to the drive, link and port actions on the controller, and the
// settings the driver only keeps.
//
// The driver keeps per drive (state.drives.X): its port ("ready", "offline"
// while the link sleeps, "asleep" once the drive was sent to sleep: only a
// port reset reaches it), the overwrite function ("ow") and the AES key
// ("aes"); the controller keeps its link (state.controller.link).  The drive
// keeps its own state in state.drives.X.drive (drive.h).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "drive.h"

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

// What a request touches.
enum Touch : unsigned {
	CONTROLLER = 1U, // the controller alone, whatever the link, the port and the drive
	MEDIA = 2U,      // the drive's media
	WRITES = 4U,     // writes the media or changes the drive's security
};

// A request's record: its name, its fields as sent and as answered (empty: as sent).
struct Layout {
	const char *record;
	std::vector<Field> in, out = {};
};

struct Ctx;
struct Request {
	unsigned long code;
	const char *name;
	std::size_t argsize; // bytes behind the argument pointer; 0: no record
	unsigned touches;
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
	Ctx(const Board &b, json &s, json &l, std::string n, std::string d, int p)
	    : board(b), state(s), line(l), node(std::move(n)), drive(std::move(d)), partition(p)
	{
	}
	const Board &board;
	json &state;
	json &line; // its trace line
	std::string node, drive;
	int partition = 0; // 5 for sda5, 0 for the whole disk
	int err = 0;       // errno that goes with a negative result

	const DriveDesc &desc() const
	{
		return board.info.drives.at(drive);
	}
	json &kept()
	{
		return sim::kept(state, drive);
	}
	// result -1 with errno e
	int fail(int e)
	{
		err = e;
		return -1;
	}
	// Sends one command to the drive and traces it: 0, or -1 with err set.
	// A command that writes the media or changes the drive's security goes
	// only to a drive of a board that allows it.
	int ata(Ata &a);
	// The drive's port reset, or its link's power, traced.
	int port(bool reset, bool sleep = false);
	// The most sectors one command of the drive may carry.
	std::uint64_t max_sectors()
	{
		return dev().max_sectors();
	}
	// The drive's state, once the request is done.
	void finish()
	{
		if (drive_)
			drive_->finish();
	}

      private:
	std::unique_ptr<Drive> drive_;
	Drive &dev();
	// the previous command, for a run of them in one trace line
	std::string last_, first_;
	std::uint64_t run_ = 0, next_lba_ = 0;
};

// The board of OSTRASIM_BOARD (loaded once; null when unset), and any board
// directory, its faults checked against the request table.
const Board *current_board();
Board load(const std::string &dir);

// An injected fault for this call of `request` on `node`, if the board asks
// for one: counts the call, fills result and err.
bool injected_fault(const Board &board, const std::string &node, const std::string &request,
		    int &result, int &err);
// The driver's answer to one ioctl on a board node.
int driver_ioctl(const Board &board, const std::string &node, unsigned long code, void *arg,
		 int &err);
// What the driver and the drive keep, for `ostrasim show`.
void show_drive(const Board &board, const json &state, const std::string &drive, Shown &out);

// The overwrite function (overwrite.cpp): its requests' handlers, the writes
// due by the board's time, and what `ostrasim show` says of it.
int get_owcount(Ctx &ctx, unsigned char *arg);
int issue_owfunc(Ctx &ctx, unsigned char *arg);
int ow_op(Ctx &ctx, unsigned char *arg);
int set_total(Ctx &ctx, unsigned char *arg);
int clear_total(Ctx &ctx, unsigned char *arg);
void overwrite_catch_up(Ctx &ctx);
void show_overwrite(const Board &board, const json &state, const std::string &drive, Shown &out);

} // namespace sim
