// clock.cpp - the board's time: the wall clock, or a virtual clock that
// only the program's sleeps move, so that waiting runs take no time.
#include "board.h"

#include <ctime>

namespace sim {

std::uint64_t now_ns(const BoardDesc &board, std::uint64_t clock_ns)
{
	if (board.virtual_clock)
		return clock_ns;
	timespec ts{};
	clock_gettime(CLOCK_REALTIME, &ts);
	return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000U +
	       static_cast<std::uint64_t>(ts.tv_nsec);
}

void advance_clock(const Board &board, std::uint64_t ns)
{
	Txn txn(board);
	txn.clock_ns += ns;
	append_trace({{"op", "sleep"}, {"ns", ns}, {"front", "preload"}});
	txn.commit();
}

} // namespace sim
