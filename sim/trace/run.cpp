// run.cpp - the header line of one run in the request trace.
#include "trace.h"

#include <cstring>

namespace sim {

namespace {

// An argument as the trace keeps it: printable ASCII as it is, every other
// byte (and the backslash) as \xNN, so that any byte string goes into JSON.
std::string printable(const char *arg, bool masked)
{
	static const char digits[] = "0123456789abcdef";
	const char *eq = masked ? std::strchr(arg, '=') : nullptr;
	std::string s;
	for (const char *p = arg; *p != '\0' && (eq == nullptr || p <= eq); p++) {
		const auto c = static_cast<unsigned char>(*p);
		if (c >= 0x20 && c < 0x7F && c != '\\') {
			s += static_cast<char>(c);
		} else {
			s += "\\x";
			s += digits[c >> 4U];
			s += digits[c & 15U];
		}
	}
	return eq != nullptr ? s + "*" : s;
}

} // namespace

void trace_run(const Board &board, int argc, char **argv, const json &extra)
{
	const bool masked = !board.info.trace_raw;
	std::string program = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : "";
	program = printable(program.substr(program.find_last_of('/') + 1).c_str(), false);
	json args = json::array();
	for (int i = 1; i < argc && argv != nullptr && argv[i] != nullptr; i++)
		args.push_back(printable(argv[i], masked));
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
	const char *order = "big-endian";
#else
	const char *order = "little-endian";
#endif
	json line = {{"op", "run"}, {"program", program}, {"args", args}, {"byte_order", order}};
	line.update(extra);
	with_trace(board, [&] { append_trace(line); });
}

} // namespace sim
