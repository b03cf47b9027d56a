// drv_power.cpp - power, link and register/interrupt test requests.
#include "sim.h"

namespace {

int answer_ok(sim::Ctx &, unsigned char *)
{
	return 0;
}

const sim::Request requests[] = {
	{0x0A00, "ZTOSTRA_HDD_STANDBY_IMD", 0, answer_ok},
	{0x0A01, "ZTOSTRA_HDD_SLEEP", 0, answer_ok},
	{0x0A02, "ZTOSTRA_HDD_FLUSH_CACHE", 0, answer_ok},
	{0x0A03, "ZTOSTRA_SLEEP_IN", 0, answer_ok},
	{0x0A04, "ZTOSTRA_SLEEP_OUT", 0, answer_ok},
	{0x0A05, "ZTOSTRA_INIT_PORT", 0, answer_ok},
	{0x0F00, "ZTOSTRA_TEST_REG_READ", 0, answer_ok},
	{0x0F01, "ZTOSTRA_TEST_REG_WRITE", 0, answer_ok},
	{0x0F02, "ZTOSTRA_TEST_24v_DOWN_INTR", 0, answer_ok},
	{0x0F03, "ZTOSTRA_TEST_READ_DMA", 524, answer_ok},
};

[[maybe_unused]] const bool registered = sim::register_requests(requests);

} // namespace
