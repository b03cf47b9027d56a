// watch.h - `ostrasim watch`: the board's drives, power, link and overwrite
// progress, redrawn on a terminal (plain lines elsewhere) until an overwrite
// that ran ends, a signal ends the watch, or the board cannot be read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

namespace sim {

struct WatchView {
	std::string title;             // the board, its clock
	std::uint64_t interval_ns = 0; // between two looks
	bool terminal = false, colour = false;
	// the drives as `ostrasim show --json` gives them, the board's time
	// brought to now; throws what keeps it from reading the board
	std::function<nlohmann::json()> look;
};

// Watches until an overwrite that was running has finished (0) or failed
// (1), or SIGINT, SIGTERM or SIGHUP ends it (0).  What look throws is passed on.
int watch(const WatchView &view, std::FILE *out);

// The interval of `--interval S`: 0.1 to 3600 seconds, in nanoseconds; 0 for
// anything else.
std::uint64_t interval_ns(const std::string &seconds);

} // namespace sim
