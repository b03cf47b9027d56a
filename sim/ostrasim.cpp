// ostrasim - runs programs against a simulated controller board.
//
//   ostrasim init DIR [--preset NAME]   write a new board (presets: ostrasim presets)
//   ostrasim run DIR -- PROGRAM ARGS... run PROGRAM against the board
//   ostrasim run --kernel DIR -- PROGRAM ARGS...  the same through `serve`'s devices
//   ostrasim serve DIR                  the board's drive nodes as character devices
//   ostrasim trace DIR                  print the request trace readably
//   ostrasim show DIR                   print what the driver keeps per drive
//   ostrasim presets                    list the built-in boards
//
// `run` lays out the board's files from board.json (device nodes, sysfs files,
// probe script), then starts PROGRAM with the simulator preloaded: directly
// for a native program, under qemu-ppc with the PowerPC library for a 32-bit
// PowerPC one.
#include "drive_data.h"
#include "sim.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include <elf.h>
#include <unistd.h>

namespace fs = std::filesystem;
using sim::json;

struct ostrasim_preset {
	const char *name;
	const char *text;
};
extern const ostrasim_preset ostrasim_presets[];

namespace {

int usage()
{
	std::cerr << "usage: ostrasim init DIR [--preset NAME]\n"
		     "       ostrasim run [--kernel] DIR -- PROGRAM [ARGS...]\n"
		     "       ostrasim serve DIR\n"
		     "       ostrasim trace DIR\n"
		     "       ostrasim show DIR\n"
		     "       ostrasim presets\n";
	return 2;
}

void write_file(const fs::path &path, const std::string &text, fs::perms perms = fs::perms::none)
{
	fs::create_directories(path.parent_path());
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	out << text;
	out.close();
	if (!out)
		throw std::runtime_error("cannot write " + path.string());
	if (perms != fs::perms::none)
		fs::permissions(path, perms);
}

// The probe script answers with the exit status the board gives the name
// (1 or 2: a drive), 0 for every other name; "signal" kills the probe.
std::string probe_script(const json &probe)
{
	std::string s = "#!/bin/sh\n# simulated board probe: exit status per drive name\n"
			"echo \"$1\" >> \"$(dirname \"$0\")/../probe.log\"\ncase \"$1\" in\n";
	for (const auto &[name, answer] : probe.items()) {
		if (answer.is_string() && answer.get<std::string>() == "signal")
			s += name + ") kill -KILL $$ ;;\n";
		else
			s += name + ") exit " + std::to_string(answer.get<int>()) + " ;;\n";
	}
	return s + "esac\nexit 0\n";
}

// Lays out dev/, sys/block/ and sbin/ from the description; tmp/ and the
// driver state are kept.  A drive's rotational flag and model file follow its
// identify data unless its sysfs map names them.
void materialize(const sim::Board &board)
{
	const fs::path dir = board.dir;
	fs::remove_all(dir / "dev");
	fs::remove_all(dir / "sys");
	fs::remove_all(dir / "sbin");
	fs::create_directories(dir / "dev");
	fs::create_directories(dir / "sys/block");
	fs::create_directories(dir / "tmp");
	if (board.desc.contains("probe") && !board.desc.at("probe").is_null())
		write_file(dir / "sbin/check_scsi_devfile.sh", probe_script(board.desc.at("probe")),
			   fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
				   fs::perms::others_read | fs::perms::others_exec);
	const json drives = board.desc.value("drives", json::object());
	for (const auto &[name, drive] : drives.items()) {
		for (const auto &node : drive.value("nodes", json::array()))
			write_file(dir / "dev" / node.get<std::string>(), "");
		const json sysfs = sim::sysfs_files(drive);
		for (const auto &[rel, content] : sysfs.items())
			if (!content.is_null())
				write_file(dir / "sys/block" / name / rel,
					   content.get<std::string>());
	}
}

bool is_ppc32(const std::string &program)
{
	std::ifstream in(program, std::ios::binary);
	unsigned char ident[EI_NIDENT + 4] = {};
	if (!in.read(reinterpret_cast<char *>(ident), sizeof ident))
		return false;
	// e_machine follows e_type, both in the file's own byte order
	const bool big = ident[EI_DATA] == ELFDATA2MSB;
	const unsigned machine = big ? (ident[EI_NIDENT + 2] << 8U) | ident[EI_NIDENT + 3]
				     : (ident[EI_NIDENT + 3] << 8U) | ident[EI_NIDENT + 2];
	return std::memcmp(ident, ELFMAG, SELFMAG) == 0 && ident[EI_CLASS] == ELFCLASS32 &&
	       machine == EM_PPC;
}

std::string self_dir()
{
	return fs::canonical("/proc/self/exe").parent_path().string();
}

std::string env_or(const char *name, const std::string &fallback)
{
	const char *v = std::getenv(name);
	return v != nullptr && *v != '\0' ? v : fallback;
}

int cmd_init(const std::string &dir, const std::string &preset)
{
	for (const ostrasim_preset *p = ostrasim_presets; p->name != nullptr; p++) {
		if (preset != p->name)
			continue;
		fs::create_directories(dir);
		const json desc = json::parse(p->text);
		write_file(fs::path(dir) / "board.json", desc.dump(2) + "\n");
		write_file(fs::path(dir) / "state.json", "{}\n");
		write_file(fs::path(dir) / "trace.jsonl", "");
		setenv("OSTRASIM_BOARD", fs::absolute(dir).c_str(), 1);
		materialize(sim::load_board(fs::absolute(dir).string()));
		return 0;
	}
	std::cerr << "ostrasim: no preset " << preset << "\n";
	return 2;
}

int cmd_run(const std::string &dir, char **prog, bool kernel)
{
	const sim::Board board = sim::load_board(fs::canonical(dir).string());
	setenv("OSTRASIM_BOARD", board.dir.c_str(), 1); // drive files relative to the board
	materialize(board);
	unsetenv("LD_PRELOAD");
	std::vector<std::string> args;
	if (kernel) {
		sim::enter_kernel_view(board); // the drive nodes are `serve`'s
		unsetenv("OSTRASIM_BOARD");
	} else if (is_ppc32(prog[0])) {
		const std::string lib =
			env_or("OSTRASIM_PPC_LIB", self_dir() + "/../ppc/libostrasim.so");
		if (!fs::exists(lib)) {
			std::cerr << "ostrasim: no PowerPC simulator library at " << lib << "\n";
			return 127;
		}
		args = {"qemu-ppc", "-L", env_or("OSTRASIM_PPC_SYSROOT", OSTRASIM_PPC_SYSROOT),
			"-E", "LD_PRELOAD=" + fs::canonical(lib).string()};
	} else {
		// beside the runner in a build tree, under lib/ostrasim once installed
		std::string lib = self_dir() + "/libostrasim.so";
		if (!fs::exists(lib))
			lib = self_dir() + "/../lib/ostrasim/libostrasim.so";
		setenv("LD_PRELOAD", env_or("OSTRASIM_LIB", lib).c_str(), 1);
	}
	for (char **a = prog; *a != nullptr; a++)
		args.emplace_back(*a);
	std::vector<char *> argv;
	argv.reserve(args.size() + 1);
	for (std::string &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	std::fflush(nullptr);
	execvp(argv[0], argv.data());
	std::cerr << "ostrasim: cannot run " << argv[0] << ": " << std::strerror(errno) << "\n";
	return 127;
}

int cmd_trace(const std::string &dir)
{
	std::ifstream in(fs::path(dir) / "trace.jsonl");
	std::string text;
	while (std::getline(in, text)) {
		const json line = json::parse(text);
		const std::string op = line.value("op", "");
		std::printf("%5llu %-6s %-6s",
			    static_cast<unsigned long long>(line.value("seq", 0ULL)), op.c_str(),
			    line.value("node", "").c_str());
		if (op == "ioctl")
			std::printf(" %s (0x%04lx)", line.value("request", "").c_str(),
				    line.value("code", 0UL));
		if (op == "exit") {
			std::printf(" nodes left open:");
			for (const json &node : line.value("open", json::array()))
				std::printf(" %s", node.get<std::string>().c_str());
			std::printf("%s\n",
				    line.value("open", json::array()).empty() ? " none" : "");
			continue;
		}
		std::printf(" -> %d", line.value("result", 0));
		if (line.value("errno", 0) != 0)
			std::printf(" (%s)", std::strerror(line.value("errno", 0)));
		if (line.value("injected", false))
			std::printf(" [injected]");
		if (line.value("masked", false))
			std::printf(" [masked]");
		if (line.value("front", "") == "preload")
			std::printf(" [preload only]");
		std::printf("\n");
		if (line.contains("before"))
			std::printf("        in:  %s\n        out: %s\n",
				    line.at("before").get<std::string>().c_str(),
				    line.at("after").get<std::string>().c_str());
	}
	return 0;
}

int cmd_show(const std::string &dir)
{
	const sim::Board board = sim::load_board(fs::canonical(dir).string());
	setenv("OSTRASIM_BOARD", board.dir.c_str(), 1); // relative paths in the description
	json state;
	sim::with_state(board, [&](json &s) { state = s; });
	const json drives = board.desc.value("drives", json::object());
	for (const auto &[name, drive] : drives.items()) {
		std::printf("%s:", name.c_str());
		for (const auto &node : drive.value("nodes", json::array()))
			std::printf(" /dev/%s", node.get<std::string>().c_str());
		std::printf("\n");
		for (sim::Show show : sim::shows())
			show(board.desc, state, name, stdout);
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	try {
		const std::string cmd = argc > 1 ? argv[1] : "";
		if (cmd == "init" &&
		    (argc == 3 || (argc == 5 && std::string(argv[3]) == "--preset")))
			return cmd_init(argv[2], argc == 5 ? argv[4] : "default");
		if (cmd == "run" && argc >= 5 && std::string(argv[3]) == "--")
			return cmd_run(argv[2], argv + 4, false);
		if (cmd == "run" && argc >= 6 && std::string(argv[2]) == "--kernel" &&
		    std::string(argv[4]) == "--")
			return cmd_run(argv[3], argv + 5, true);
		if (cmd == "serve" && argc == 3) {
			sim::Board board = sim::load_board(fs::canonical(argv[2]).string());
			// drive files are relative to the board
			setenv("OSTRASIM_BOARD", board.dir.c_str(), 1);
			return sim::serve(board);
		}
		if (cmd == "trace" && argc == 3)
			return cmd_trace(argv[2]);
		if (cmd == "show" && argc == 3)
			return cmd_show(argv[2]);
		if (cmd == "presets" && argc == 2) {
			for (const ostrasim_preset *p = ostrasim_presets; p->name != nullptr; p++)
				std::printf("%-10s %s\n", p->name,
					    json::parse(p->text).value("comment", "").c_str());
			return 0;
		}
	} catch (const std::exception &e) {
		std::cerr << "ostrasim: " << e.what() << "\n";
		return 2;
	}
	return usage();
}
