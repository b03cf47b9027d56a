// harness.h - runs the real ostrautil binary against a simulated board.
#pragma once

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using nlohmann::json;

struct RunResult {
	int status;      // exit status, or 128 + signal
	std::string out; // standard output
	std::string err; // standard error
};

// A fresh board directory from a preset, removed again at the end.
class Board {
      public:
	explicit Board(const std::string &preset = "default");
	~Board();
	Board(const Board &) = delete;
	Board &operator=(const Board &) = delete;

	json &desc()
	{
		return desc_;
	} // board.json; save() writes it back
	json &drive(const std::string &name)
	{
		return desc_["drives"][name];
	}
	void save() const;
	// adds a fault: request on node fails with result/errno from its from-th call on
	void fault(const std::string &node, const std::string &request, int result, int err,
		   int from = 1, int count = -1);

	RunResult run(const std::vector<std::string> &args) const;         // ostrautil ARGS
	RunResult run_program(const std::vector<std::string> &argv) const; // any program

	// trace lines, optionally only those of one op ("open", "ioctl", "close",
	// "sleep"); the process's "run" header and "exit" line (the nodes it left
	// open) only when asked for by name
	std::vector<json> trace(const std::string &op = "") const;
	// "node REQUEST" per ioctl, in order
	std::vector<std::string> requests() const;
	json state() const;
	// `ostrasim show` for this board; only the lines that begin with one of
	// the prefixes when any are given
	std::string show(const std::vector<std::string> &prefixes = {}) const;

	std::string read(const std::string &rel) const;
	bool exists(const std::string &rel) const;
	void write(const std::string &rel, const std::string &text) const;
	void remove(const std::string &rel) const;

	std::string dir;

      private:
	json desc_;
};

// what the tests run: set from the command line of the test program
extern std::string ostrautil_bin;
extern std::string ostrasim_bin;
extern std::string ppc_lib;
bool target_is_ppc();
// ../shared/drives, or empty when it is absent
std::string real_drives_dir();
