// cuse.h - the kernel front end: the board's drive nodes as character
// devices (CUSE), and the view of the board's files that a program started by
// `ostrasim run --kernel` gets.
#pragma once

#include "driver.h"

namespace sim {

// Serves the board's drive nodes as character devices until SIGINT or SIGTERM.
int serve(const Board &board);
// Throws Error (naming dir as given) unless `ostrasim serve` serves this board
// now and /dev/NODE is the device it made for each of the board's nodes.
void check_served(const Board &board, const std::string &dir);
// Gives this process a mount namespace that shows the board's probe script,
// /sys/block entries and tmp at the real paths; throws Error when the board
// folder itself would be out of sight there.
void enter_kernel_view(const Board &board);

} // namespace sim
