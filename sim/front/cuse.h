// cuse.h - the kernel front end: the board's drive nodes as character
// devices (CUSE), and the view of the board's files that a program started by
// `ostrasim run --kernel` gets.
#pragma once

#include "driver.h"

namespace sim {

// Serves the board's drive nodes as character devices until SIGINT or SIGTERM.
int serve(Board &board);
// Gives this process a mount namespace that shows the board's probe script,
// /sys/block entries and tmp at the real paths.
void enter_kernel_view(const Board &board);

} // namespace sim
