// ostrasim - runs programs against a simulated controller board.
//
//   ostrasim init DIR [--preset NAME]   write a new board (presets: ostrasim presets)
//   ostrasim run DIR -- PROGRAM ARGS... run PROGRAM against the board
//   ostrasim run --kernel DIR -- PROGRAM ARGS...  the same through `serve`'s devices
//   ostrasim serve DIR                  the board's drive nodes as character devices
//   ostrasim trace DIR [--raw]          print the request trace readably (raw: as stored)
//   ostrasim show DIR                   print what the driver keeps per drive
//   ostrasim presets                    list the built-in boards
//
// `run` lays out the board's files from board.json (device nodes, sysfs files,
// probe script), then starts PROGRAM with the simulator preloaded: directly
// for a native program, under qemu-ppc with the PowerPC library for a 32-bit
// PowerPC one.
#include "cuse.h"
#include "trace.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
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

const char usage_text[] = "usage: ostrasim init DIR [--preset NAME] [--force]\n"
			  "                    [--host NAME=DEVICE]... [--destructive]\n"
			  "       ostrasim run [--kernel] DIR -- PROGRAM [ARGS...]\n"
			  "       ostrasim serve DIR\n"
			  "       ostrasim trace DIR [--raw | --clear]\n"
			  "       ostrasim show DIR\n"
			  "       ostrasim presets\n"
			  "       ostrasim keys\n"
			  "       ostrasim --help | --version\n";

// A wrong command line: what is wrong, the usage, status 2.
int usage(const std::string &what)
{
	std::cerr << "ostrasim: " << what << "\n" << usage_text;
	return 2;
}

std::string preset_names()
{
	std::string names;
	for (const ostrasim_preset *p = ostrasim_presets; p->name != nullptr; p++)
		names += (names.empty() ? "" : ", ") + std::string(p->name);
	return names;
}

// The board in dir, which must be there.
std::string board_dir_of(const std::string &dir)
{
	std::error_code ec;
	if (!fs::exists(fs::path(dir) / "board.json", ec))
		throw sim::Error(dir + ": no board here (ostrasim init " + dir + " makes one)");
	return fs::canonical(dir).string();
}

// Writes a file atomically (temporary file and rename) unless it already
// holds text with these permissions.
void put_file(const fs::path &path, const std::string &text, fs::perms perms)
{
	std::error_code ec;
	const fs::file_status st = fs::symlink_status(path, ec);
	if (fs::is_regular_file(st) && (st.permissions() & fs::perms::all) == perms &&
	    sim::read_text(path.string(), false) == text)
		return;
	const fs::path tmp = path.parent_path() / ("." + path.filename().string() + ".new");
	{
		std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
		out << text;
		out.close();
		if (!out)
			throw sim::Error("cannot write " + tmp.string());
	}
	fs::permissions(tmp, perms);
	if (fs::is_directory(st))
		fs::remove_all(path);
	fs::rename(tmp, path);
}

// The probe script answers with the exit status the board gives the name
// (1 or 2: a drive), 0 for every other name; "signal" kills the probe.
std::string probe_script(const sim::BoardDesc &desc)
{
	// shell built-ins only: no process beyond the shell itself
	std::string s = "#!/bin/sh\n# simulated board probe: exit status per drive name\n"
			"case $0 in */*) d=${0%/*} ;; *) d=. ;; esac\n"
			"echo \"$1\" >> \"$d/../probe.log\"\ncase \"$1\" in\n";
	for (const auto &[name, answer] : desc.probe)
		s += name + (answer < 0 ? ") kill -KILL $$ ;;\n"
					: ") exit " + std::to_string(answer) + " ;;\n");
	return s + "esac\nexit 0\n";
}

// Lays out dev/, sys/block/ and sbin/ from the description, under the
// board's lock: files are replaced atomically where they differ and only
// what the description no longer holds is removed, so that runs at once see
// their nodes throughout.  tmp/ and the driver state are kept.  A drive's
// rotational flag and model file follow its identify data unless its sysfs
// map names them.
void lay_out(const sim::Board &board)
{
	const fs::path dir = board.dir;
	const fs::perms file = fs::perms::owner_read | fs::perms::owner_write |
			       fs::perms::group_read | fs::perms::others_read;
	const fs::perms script =
		file | fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec;
	std::map<fs::path, std::pair<std::string, fs::perms>> want;
	std::set<fs::path> dirs = {"dev", "sys", "sys/block"};
	if (board.info.has_probe)
		want["sbin/check_scsi_devfile.sh"] = {probe_script(board.info), script};
	for (const auto &[name, drive] : board.info.drives) {
		for (const std::string &node : drive.nodes)
			want[fs::path("dev") / node] = {"", file};
		for (const auto &[rel, content] : sim::sysfs_files(drive))
			want[fs::path("sys/block") / name / rel] = {content, file};
	}
	for (const auto &[rel, f] : want)
		for (fs::path p = rel.parent_path(); !p.empty(); p = p.parent_path())
			dirs.insert(p);
	// the board's folders are its own: never one through a symbolic link
	for (const char *top : {"dev", "sys", "sbin", "tmp"}) {
		const fs::file_status st = fs::symlink_status(dir / top);
		if (fs::exists(st) && !fs::is_directory(st))
			throw sim::Error(
				(dir / top).string() +
				" is no folder of the board's (a symbolic link?): remove it");
	}
	sim::with_lock(board, [&] {
		for (const char *top : {"dev", "sys", "sbin"}) {
			if (!fs::exists(dir / top))
				continue;
			std::vector<fs::path> gone;
			for (auto it = fs::recursive_directory_iterator(dir / top);
			     it != fs::recursive_directory_iterator(); ++it) {
				const fs::path rel = fs::relative(it->path(), dir);
				const bool is_dir = it->is_directory() && !it->is_symlink();
				if (is_dir ? dirs.count(rel) == 0 : want.count(rel) == 0) {
					gone.push_back(it->path());
					if (is_dir)
						it.disable_recursion_pending();
				}
			}
			for (const fs::path &p : gone)
				fs::remove_all(p);
		}
		for (const fs::path &d : dirs)
			fs::create_directories(dir / d);
		fs::create_directories(dir / "tmp");
		for (const auto &[rel, f] : want)
			put_file(dir / rel, f.first, f.second);
	});
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

std::string env_or(const char *name, const std::string &fallback)
{
	const char *v = std::getenv(name);
	return v != nullptr && *v != '\0' ? v : fallback;
}

// A library of the simulator: the environment's, else the first of the
// places beside the runner (build tree) or below its install prefix.
std::string library(const char *env, std::initializer_list<const char *> places)
{
	const std::string self = fs::canonical("/proc/self/exe").parent_path().string();
	const char *given = std::getenv(env);
	const bool named = given != nullptr && *given != '\0';
	std::string tried;
	for (const char *place : places) {
		const std::string lib = named ? std::string(given) : self + place;
		if (fs::exists(lib))
			return fs::canonical(lib).string();
		tried += (tried.empty() ? "" : ", ") + lib;
		if (named)
			break;
	}
	throw sim::Error("no simulator library at " + tried + " (" + env + " names one)");
}

// The preset's board with the given real devices as its drives: each
// drive's identify data read once from its device, its capacity from there,
// its overwrite partition the disk's partition 5 where the kernel found one;
// the overwrite function writes at most 64 MiB a second.
constexpr std::uint64_t HOST_OVERWRITE_RATE = 131072;
json host_board(json board, const std::map<std::string, std::string> &hosts, bool destructive)
{
	board["drives"] = json::object();
	board["probe"] = json::object();
	board["destructive"] = destructive;
	board["comment"] = "Real ATA devices as the drives.";
	for (const auto &[name, given] : hosts) {
		const std::string dev = sim::resolve_host(given);
		sim::Page raw{};
		sim::Ata a;
		a.command = sim::ata::IDENTIFY;
		a.count = 1;
		a.data = raw.data();
		a.len = raw.size();
		if (const int err = sim::sgio_drive(dev)->send(a))
			throw sim::Error("cannot identify " + dev + ": " +
					 (a.note.empty() ? std::strerror(err) : a.note) +
					 (err == EIO ? " (not an ATA device?)" : ""));
		const sim::IdentifyWords words = sim::words_of(raw);
		const std::uint64_t sectors = sim::capacity_of(words);
		board["drives"][name] = {
			{"nodes", {name, name + "5"}}, // the whole disk, the overwrite partition
			{"host", dev},
			{"capacity", sectors},
			{"overwrite", {{"rate", HOST_OVERWRITE_RATE}}},
			{"identify", {{"words", words}}}};
		if (const auto part = sim::host_partition(dev, 5))
			board["drives"][name]["partitions"]["5"] = {{"start", part->start},
								    {"sectors", part->sectors}};
		board["probe"][name] = 1;
	}
	return board;
}

int cmd_init(const std::string &dir, const std::string &preset, bool force,
	     const std::map<std::string, std::string> &hosts, bool destructive)
{
	const ostrasim_preset *p = ostrasim_presets;
	while (p->name != nullptr && preset != p->name)
		p++;
	if (p->name == nullptr)
		return usage("no preset " + sim::node_name(preset) +
			     " (presets: " + preset_names() + ")");
	// a new or empty folder, or with --force a board: nothing else is
	// touched, and nothing is written before everything is known
	std::error_code ec;
	const fs::file_status st = fs::symlink_status(dir, ec);
	const bool board_here =
		fs::is_regular_file(fs::symlink_status(fs::path(dir) / "board.json", ec));
	if (fs::exists(st) && !fs::is_directory(st))
		throw sim::Error(dir + " is no folder (a symbolic link, or a file)");
	if (fs::exists(st) && !board_here && !fs::is_empty(dir, ec))
		throw sim::Error(dir +
				 " is not empty and holds no board: init writes a new or empty "
				 "folder, or with --force a board");
	if (board_here && !force)
		throw sim::Error(dir + " already holds a board (--force writes a new one)");
	const json desc = hosts.empty() ? json::parse(p->text)
					: host_board(json::parse(p->text), hosts, destructive);
	(void)sim::load(desc, dir); // as run will check it
	fs::create_directories(dir);
	sim::Board board;
	board.dir = fs::canonical(dir).string();
	const fs::perms file = fs::perms::owner_read | fs::perms::owner_write |
			       fs::perms::group_read | fs::perms::others_read;
	sim::with_lock(board, [&] {
		put_file(fs::path(board.dir) / "board.json", desc.dump(2) + "\n", file);
		put_file(fs::path(board.dir) / "state.json", "{}\n", file);
		put_file(fs::path(board.dir) / "trace.jsonl", "", file);
	});
	setenv("OSTRASIM_BOARD", board.dir.c_str(), 1);
	lay_out(sim::load(board.dir));
	return 0;
}

int cmd_run(const std::string &dir, char **prog, bool kernel)
{
	const std::string where = board_dir_of(dir);
	setenv("OSTRASIM_BOARD", where.c_str(), 1); // drive files relative to the board
	const sim::Board board = sim::load(where);
	// the state is checked before anything runs
	sim::with_state(board, [](const json &) {});
	lay_out(board);
	// a preload library of the caller's stays, after the simulator's
	const std::string own = env_or("LD_PRELOAD", "");
	unsetenv("LD_PRELOAD");
	std::vector<std::string> args;
	if (kernel) {
		// the run's header, as the library writes it for a preloaded program
		// (the program keeps this process's pid)
		int argc = 0;
		while (prog[argc] != nullptr)
			argc++;
		sim::trace_run(board, argc, prog);
		sim::enter_kernel_view(board); // the drive nodes are `serve`'s
		unsetenv("OSTRASIM_BOARD");
	} else if (is_ppc32(prog[0])) {
		const std::string lib =
			library("OSTRASIM_PPC_LIB", {"/../ppc/libostrasim.so",
						     "/../lib/ostrasim/powerpc/libostrasim.so"});
		args = {"qemu-ppc", "-L", env_or("OSTRASIM_PPC_SYSROOT", OSTRASIM_PPC_SYSROOT),
			"-E", "LD_PRELOAD=" + lib};
	} else {
		const std::string lib = library(
			"OSTRASIM_LIB", {"/libostrasim.so", "/../lib/ostrasim/libostrasim.so"});
		setenv("LD_PRELOAD", (own.empty() ? lib : lib + " " + own).c_str(), 1);
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
	std::cerr << "ostrasim: cannot run " << sim::node_name(argv[0]) << ": "
		  << std::strerror(errno) << "\n";
	return 127;
}

// Needs read access only: the state is replaced atomically, so it is read
// without the lock.
int cmd_show(const std::string &dir)
{
	const sim::Board board = sim::load(board_dir_of(dir));
	const json state = sim::read_state(board);
	for (const auto &[name, drive] : board.info.drives) {
		std::printf("%s:", name.c_str());
		for (const std::string &node : drive.nodes)
			std::printf(" /dev/%s", node.c_str());
		std::printf("\n");
		sim::show_drive(board, state, name, stdout);
	}
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	try {
		const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
		const std::size_t n = args.size();
		const std::string cmd = n > 0 ? args[0] : "";
		if (cmd == "--help" || cmd == "-h" || cmd == "help") {
			std::printf("%s", usage_text);
			return 0;
		}
		if (cmd == "--version") {
			std::printf("ostrasim %s\n", OSTRASIM_VERSION);
			return 0;
		}
		if (cmd == "init" && n >= 2) {
			std::string preset = "default";
			bool force = false, destructive = false;
			std::map<std::string, std::string> hosts;
			for (std::size_t i = 2; i < n; i++) {
				if (args[i] == "--force")
					force = true;
				else if (args[i] == "--preset" && i + 1 < n)
					preset = args[++i];
				else if (args[i] == "--host" && i + 1 < n &&
					 args[i + 1].find('=') != std::string::npos) {
					const std::string &h = args[++i];
					hosts[h.substr(0, h.find('='))] = h.substr(h.find('=') + 1);
				} else if (args[i] == "--destructive")
					destructive = true;
				else
					return usage("init: unknown option " +
						     sim::node_name(args[i]));
			}
			return cmd_init(args[1], preset, force, hosts, destructive);
		}
		if (cmd == "run" && n >= 4 && args[2] == "--")
			return cmd_run(args[1], argv + 4, false);
		if (cmd == "run" && n >= 5 && args[1] == "--kernel" && args[3] == "--")
			return cmd_run(args[2], argv + 5, true);
		if (cmd == "serve" && n == 2) {
			sim::Board board = sim::load(board_dir_of(args[1]));
			return sim::serve(board);
		}
		if (cmd == "trace" && n >= 2 && n <= 3) {
			// DIR, then --raw or --clear, in either order
			const bool flag_first = n == 3 && args[1].rfind("--", 0) == 0;
			const std::string &dir = args[flag_first ? 2 : 1];
			const std::string flag = n == 3 ? args[flag_first ? 1 : 2] : "";
			if (flag.empty() || flag == "--raw")
				return sim::print_trace(board_dir_of(dir) + "/trace.jsonl",
							!flag.empty(), stdout);
			if (flag != "--clear")
				return usage("trace: unknown option " + sim::node_name(flag));
			sim::Board board;
			board.dir = board_dir_of(dir);
			sim::clear_trace(board);
			return 0;
		}
		if (cmd == "show" && n == 2)
			return cmd_show(args[1]);
		if (cmd == "presets" && n == 1) {
			for (const ostrasim_preset *p = ostrasim_presets; p->name != nullptr; p++)
				std::printf("%-10s %s\n", p->name,
					    json::parse(p->text).value("comment", "").c_str());
			return 0;
		}
		if (cmd == "keys" && n == 1) {
			for (const std::string &key : sim::board_keys())
				std::printf("%s\n", key.c_str());
			return 0;
		}
		for (const char *known :
		     {"init", "run", "serve", "trace", "show", "presets", "keys"})
			if (cmd == known)
				return usage(cmd + ": wrong arguments");
		return usage(cmd.empty() ? "no command"
					 : "unknown command " + sim::node_name(cmd) +
						   " (commands: init, run, serve, trace, show, "
						   "presets, keys)");
	} catch (const std::exception &e) {
		std::cerr << "ostrasim: " << e.what() << "\n";
		return 2;
	}
}
