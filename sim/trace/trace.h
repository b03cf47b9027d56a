// trace.h - the run header of the request trace and its readable form.
//
// Every process that runs with the simulator on a board starts its part of
// trace.jsonl with one line {"op": "run", "program", "args", "byte_order"}:
// the program's file name, its arguments and the byte order it keeps numbers
// in.  The other lines of that process carry argument bytes in the program's
// memory order; the readable trace decodes their records in the byte order
// of their run's header.
#pragma once

#include <cstdio>
#include <string>

#include "driver.h"

namespace sim {

// Appends the header line of this process's run, with the fields of extra:
// "byte_order" of another kind of program, "child_of" the run's program pid
// in a process it started (or one of theirs), "in_place" in a program that
// exec started in place of one whose header is in the trace.  Unless the
// board sets trace_raw, the value of each NAME=VALUE argument shows as "*"
// (key words).
void trace_run(const Board &board, int argc, char **argv, const json &extra = json::object());

// How to print the trace: the JSON lines as stored (raw), or readably, in
// full or one line a request (brief); the last program run only, its lines
// numbered from 1 (last).
struct TraceView {
	bool raw = false, brief = false, last = false;
};
// Prints the board's trace.  Returns 0, or 2 after a line naming what is
// wrong with the file; throws Error for a trace that is no file of the
// board's own (a link, a FIFO, ...).
int print_trace(const BoardDir &root, const TraceView &view, std::FILE *out);

} // namespace sim
