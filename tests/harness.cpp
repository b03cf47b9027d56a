// harness.cpp - board directories, runs through ostrasim, trace reading.
#include "harness.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

std::string ostrautil_bin;
std::string ostrasim_bin;
std::string ppc_lib;

bool target_is_ppc()
{
	return !ppc_lib.empty();
}

std::string real_drives_dir()
{
	const char *env = std::getenv("OSTRAUTIL_DRIVES");
	const std::string dir = env != nullptr ? env : OSTRAUTIL_SHARED_DRIVES;
	return fs::is_directory(dir) ? dir : std::string();
}

namespace {

std::string slurp(const fs::path &path)
{
	std::ifstream in(path, std::ios::binary);
	std::ostringstream ss;
	ss << in.rdbuf();
	return ss.str();
}

RunResult spawn(const std::vector<std::string> &argv, const std::string &cwd)
{
	const std::string out = cwd + "/.stdout";
	const std::string err = cwd + "/.stderr";
	const pid_t pid = fork();
	if (pid == 0) {
		const int fo = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		const int fe = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
		const int fi = open("/dev/null", O_RDONLY);
		if (fo < 0 || fe < 0 || fi < 0 || chdir(cwd.c_str()) != 0)
			_exit(126);
		dup2(fi, 0);
		dup2(fo, 1);
		dup2(fe, 2);
		// the program starts with standard input, output and error only
		for (int fd = 3; fd < 1024; fd++)
			close(fd);
		if (!ppc_lib.empty())
			setenv("OSTRASIM_PPC_LIB", ppc_lib.c_str(), 1);
		std::vector<char *> args;
		for (const std::string &a : argv)
			args.push_back(const_cast<char *>(a.c_str()));
		args.push_back(nullptr);
		execv(args[0], args.data());
		_exit(127);
	}
	int st = 0;
	waitpid(pid, &st, 0);
	RunResult r{WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), slurp(out), slurp(err)};
	fs::remove(out);
	fs::remove(err);
	return r;
}

} // namespace

Board::Board(const std::string &preset)
{
	char tmpl[] = "/tmp/ostrasim-test.XXXXXX";
	const char *made = mkdtemp(tmpl);
	if (made == nullptr)
		throw std::runtime_error("mkdtemp failed");
	dir = made;
	const RunResult r = spawn({ostrasim_bin, "init", dir + "/board", "--preset", preset}, dir);
	if (r.status != 0)
		throw std::runtime_error("ostrasim init failed: " + r.err);
	dir += "/board";
	desc_ = json::parse(slurp(dir + "/board.json"));
}

Board::~Board()
{
	if (std::getenv("OSTRAUTIL_KEEP_BOARDS") == nullptr)
		fs::remove_all(fs::path(dir).parent_path());
}

void Board::save() const
{
	std::ofstream(dir + "/board.json") << desc_.dump(2) << "\n";
}

void Board::fault(const std::string &node, const std::string &request, int result, int err,
		  int from, int count)
{
	json f = {{"node", node},
		  {"request", request},
		  {"result", result},
		  {"errno", err},
		  {"from", from}};
	if (count >= 0)
		f["count"] = count;
	desc_["faults"].push_back(f);
	save();
}

RunResult Board::run(const std::vector<std::string> &args) const
{
	std::vector<std::string> argv = {ostrautil_bin};
	argv.insert(argv.end(), args.begin(), args.end());
	return run_program(argv);
}

RunResult Board::run_program(const std::vector<std::string> &argv) const
{
	std::vector<std::string> full = {ostrasim_bin, "run", dir, "--"};
	full.insert(full.end(), argv.begin(), argv.end());
	return spawn(full, dir);
}

std::vector<json> Board::trace(const std::string &op) const
{
	std::vector<json> lines;
	std::istringstream in(slurp(dir + "/trace.jsonl"));
	std::string text;
	while (std::getline(in, text)) {
		json line = json::parse(text);
		const std::string line_op = line.value("op", "");
		if (op.empty() ? line_op != "exit" && line_op != "run" : line_op == op)
			lines.push_back(line);
	}
	return lines;
}

std::vector<std::string> Board::requests() const
{
	std::vector<std::string> reqs;
	for (const json &line : trace("ioctl"))
		reqs.push_back(line.at("node").get<std::string>() + " " +
			       line.at("request").get<std::string>());
	return reqs;
}

std::string Board::show(const std::vector<std::string> &prefixes) const
{
	std::istringstream in(spawn({ostrasim_bin, "show", dir}, dir).out);
	std::string out;
	for (std::string line; std::getline(in, line);) {
		bool keep = prefixes.empty();
		for (const std::string &p : prefixes)
			keep = keep || line.rfind(p, 0) == 0;
		if (keep)
			out += line + "\n";
	}
	return out;
}

json Board::state() const
{
	return json::parse(slurp(dir + "/state.json"));
}

std::string Board::read(const std::string &rel) const
{
	return slurp(dir + "/" + rel);
}

bool Board::exists(const std::string &rel) const
{
	return fs::exists(dir + "/" + rel);
}

void Board::write(const std::string &rel, const std::string &text) const
{
	fs::create_directories(fs::path(dir + "/" + rel).parent_path());
	std::ofstream(dir + "/" + rel, std::ios::binary) << text;
}

void Board::remove(const std::string &rel) const
{
	fs::remove(dir + "/" + rel);
}

int main(int argc, char **argv)
{
	testing::InitGoogleTest(&argc, argv);
	for (int i = 1; i < argc; i++) {
		const std::string a = argv[i];
		if (a.rfind("--ostrautil=", 0) == 0)
			ostrautil_bin = a.substr(12);
		else if (a.rfind("--ostrasim=", 0) == 0)
			ostrasim_bin = a.substr(11);
		else if (a.rfind("--ppc-lib=", 0) == 0)
			ppc_lib = a.substr(10);
	}
	if (!GTEST_FLAG_GET(list_tests) && (ostrautil_bin.empty() || ostrasim_bin.empty())) {
		std::fprintf(stderr,
			     "usage: %s --ostrautil=PATH --ostrasim=PATH [--ppc-lib=PATH]\n",
			     argv[0]);
		return 2;
	}
	return RUN_ALL_TESTS();
}
