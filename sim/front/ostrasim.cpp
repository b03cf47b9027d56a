// ostrasim - runs programs against a simulated controller board.
//
// Each subcommand is a row of one table: its synopsis, what it does and its
// options, which getopt_long, its --help and the shell completion all read.
// `run` lays out the board's files from board.json (device nodes, sysfs files,
// probe script), then starts PROGRAM with the simulator preloaded: directly
// for a native program, under qemu-ppc with the PowerPC library for a 32-bit
// PowerPC one.
#include "cuse.h"
#include "program.h"
#include "trace.h"
#include "watch.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>

#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using sim::json;

struct ostrasim_preset {
	const char *name;
	const char *text;
};
extern const ostrasim_preset ostrasim_presets[];

namespace {

// A wrong command line: what is wrong, said as `ostrasim CMD: what` (CMD
// null: the command itself is wrong) and followed by where help is.
struct Usage {
	const char *cmd;
	std::string what;
};
// Whatever keeps `run` from starting a program, with env(1)'s status: 126
// (it cannot be run here), 127 (there is no such program).
struct NoStart : sim::Error {
	NoStart(const std::string &what, int status) : sim::Error(what), status(status)
	{
	}
	int status;
};
// ostrasim's own failure: 2, but run's 125, as env(1)'s, apart from any status
// the program could give.
int failure = 2;

struct Opt {
	const char *name;
	const char *arg; // the value's name; null: a flag
	const char *help;
};
struct Command {
	const char *name;
	const char *synopsis; // after "ostrasim NAME"
	const char *what;
	std::vector<Opt> opts;
	std::size_t operands; // exactly so many, but `help` (at most one)
	std::size_t most = 0; // more than operands allowed: up to so many
};

const std::vector<Command> &commands()
{
	static const std::vector<Command> table = {
		{"init",
		 "DIR [--preset NAME] [--force] [--host NAME=DEVICE]... [--destructive]",
		 "Write a new board into DIR.",
		 {{"preset", "NAME", "the built-in board (ostrasim presets; default: default)"},
		  {"force", nullptr, "write a new board over the one DIR holds"},
		  {"host", "NAME=DEVICE", "drive NAME is the real ATA device DEVICE (/dev/sgN)"},
		  {"destructive", nullptr, "let commands write to those real drives"}},
		 1},
		{"run",
		 "[--kernel] DIR -- PROGRAM [ARG...]",
		 "Run PROGRAM, native or PowerPC, against the board in DIR.",
		 {{"kernel", nullptr, "without the library, on the nodes of `ostrasim serve DIR`"}},
		 1},
		{"serve",
		 "DIR",
		 "Make the board's drive nodes /dev/NODE (CUSE) and answer them until stopped.",
		 {},
		 1},
		{"trace",
		 "DIR [--brief | --raw | --clear] [--last]",
		 "Print the requests made on the board's drive nodes, records decoded.",
		 {{"brief", nullptr, "one line a request: its result and the fields it changed"},
		  {"raw", nullptr, "the JSON lines as stored"},
		  {"clear", nullptr, "empty the trace"},
		  {"last", nullptr, "the last program run only, its lines numbered from 1"}},
		 1},
		{"show",
		 "DIR [--json]",
		 "Print what the driver keeps for each drive.",
		 {{"json", nullptr, "as one JSON object"}},
		 1},
		{"watch",
		 "DIR [--interval S]",
		 "Redraw the board's drives and overwrite progress until an overwrite ends.",
		 {{"interval", "S", "seconds between two looks, 0.1 to 3600 (default: 1)"}},
		 1},
		{"fault",
		 "DIR add REQUEST [OPTION]... | DIR list | DIR clear [ID]",
		 "Add an injected failure to the board, list its faults, clear one or all.",
		 {{"node", "NODE", "add: on this node only (sda, sda5; default: any)"},
		  {"errno", "ERRNO", "add: the error, EIO or 5 (default: EIO)"},
		  {"result", "R", "add: the result (default: -1)"},
		  {"after", "N", "add: let the first N calls through (default: 0)"},
		  {"times", "N", "add: fail N calls (default: every one)"}},
		 2,
		 3},
		{"requests",
		 "",
		 "List the requests a fault may name, with code and record.",
		 {},
		 0},
		{"presets", "", "List the built-in boards.", {}, 0},
		{"keys", "", "List the keys board.json may hold, their types and meanings.", {}, 0},
		{"help", "[COMMAND]", "Print the usage of COMMAND, or of every command.", {}, 1},
	};
	return table;
}

const Command *find_command(const std::string &name)
{
	for (const Command &c : commands())
		if (name == c.name)
			return &c;
	return nullptr;
}

// Prints lead, then text from column `at` (or after a blank where lead is
// longer), broken between words so that no line passes 80 columns, each
// further line indented to `at`; a bracketed group is one word.
void print_wrapped(std::string line, std::size_t at, const std::string &text)
{
	const auto print = [&line] {
		std::printf("%s\n", line.substr(0, line.find_last_not_of(' ') + 1).c_str());
	};
	line.resize(std::max(line.size() + 1, at), ' ');
	bool first = true; // no word on this line yet
	int depth = 0;
	std::string word;
	const auto put = [&] {
		if (word.empty())
			return;
		if (!first && line.size() + 1 + word.size() > 80) {
			print();
			line.assign(at, ' ');
			first = true;
		}
		line += (first ? "" : " ") + word;
		first = false;
		word.clear();
	};
	for (const char c : text) {
		depth += c == '[' ? 1 : c == ']' ? -1 : 0;
		if (c == ' ' && depth <= 0)
			put();
		else
			word += c;
	}
	put();
	print();
}

// Every command's synopsis; with a command, its synopsis, what it does and
// its options.
void print_help(const Command *c)
{
	const auto usage = [](const char *lead, const Command &each) {
		const std::string head = std::string(lead) + "ostrasim " + each.name;
		print_wrapped(head, head.size() + 1, each.synopsis);
	};
	if (c == nullptr) {
		const char *lead = "usage: ";
		for (const Command &each : commands()) {
			usage(lead, each);
			lead = "       ";
		}
		std::printf("%sostrasim --help | --version\n"
			    "ostrasim help COMMAND: its options; ostrasim(1): everything.\n",
			    lead);
		return;
	}
	usage("usage: ", *c);
	std::printf("%s\n", c->what);
	for (const Opt &o : c->opts)
		print_wrapped(std::string("  --") + o.name +
				      (o.arg != nullptr ? std::string(" ") + o.arg : ""),
			      25, o.help);
}

// A command's options and operands; run's program and its arguments follow
// "--" and are not read.
struct Args {
	std::map<std::string, std::vector<std::string>> opts;
	std::vector<std::string> operands;
	char **program = nullptr;
	bool has(const char *name) const
	{
		return opts.count(name) != 0;
	}
	std::string last(const char *name, const std::string &absent) const
	{
		return has(name) ? opts.at(name).back() : absent;
	}
};

// What getopt_long found wrong (c: ':' or '?'), in its place: the option's
// value is 256 and its place in longopts.
std::string option_error(const std::vector<option> &longopts, int c, const std::string &word)
{
	if (optopt >= 256) {
		const std::string named = std::string("--") + longopts[optopt - 256].name;
		return "option '" + named + (c == ':' ? "' requires a value" : "' takes no value");
	}
	// an unknown word, or the start of several options' names
	const std::string given = optopt != 0 ? std::string("-") + static_cast<char>(optopt)
					      : word.substr(0, word.find('='));
	std::string like;
	for (const option &o : longopts)
		if (o.name != nullptr && ("--" + std::string(o.name)).rfind(given, 0) == 0)
			like.append(like.empty() ? " (" : ", ").append("--").append(o.name);
	if (like.empty() || given.size() < 3)
		return "unknown option '" + sim::node_name(given) + "'";
	return "option '" + given + "' is ambiguous" + like + ")";
}

// Options anywhere among the operands, "--opt=value" or "--opt value";
// null after --help.
std::optional<Args> parse(const Command &cmd, int argc, char **argv)
{
	Args a;
	int end = argc;
	if (std::string(cmd.name) == "run") {
		end = static_cast<int>(
			std::find_if(argv, argv + argc,
				     [](const char *s) { return std::strcmp(s, "--") == 0; }) -
			argv);
		if (end + 1 < argc)
			a.program = argv + end + 1;
	}
	// each option's value is 256 and its place in the table; getopt_long's
	// own messages lack the command, so they are said here
	std::vector<option> longopts;
	for (const Opt &o : cmd.opts)
		longopts.push_back({o.name, o.arg != nullptr ? required_argument : no_argument,
				    nullptr, 256 + static_cast<int>(longopts.size())});
	const int help = 256 + static_cast<int>(longopts.size());
	longopts.push_back({"help", no_argument, nullptr, help});
	longopts.push_back({});
	std::string me = "ostrasim";
	std::vector<char *> av(argv, argv + end);
	av[0] = me.data();
	av.push_back(nullptr);
	optind = 0; // a new scan
	opterr = 0;
	for (int c = 0; (c = getopt_long(end, av.data(), ":h", longopts.data(), nullptr)) != -1;) {
		if (c == 'h' || c == help)
			return std::nullopt;
		if (c == ':' || c == '?')
			throw Usage{cmd.name, option_error(longopts, c, av[optind - 1])};
		a.opts[longopts[c - 256].name].push_back(optarg != nullptr ? optarg : "");
	}
	for (int i = optind; i < end; i++)
		a.operands.emplace_back(av[i]);
	if (std::string(cmd.name) == "run" && a.program == nullptr)
		throw Usage{cmd.name,
			    end == argc ? "no '--' before the program" : "no program after '--'"};
	const bool any = std::string(cmd.name) == "help";
	if (a.operands.size() > std::max(cmd.operands, cmd.most) ||
	    (!any && a.operands.size() < cmd.operands))
		throw Usage{cmd.name,
			    a.operands.size() < cmd.operands
				    ? "missing operand"
				    : "unexpected operand " + sim::node_name(a.operands.back())};
	return a;
}

// Prints a usage error: what is wrong, then where help is.
int usage(const Usage &u)
{
	const std::string cmd = u.cmd != nullptr ? std::string(" ") + u.cmd : "";
	std::cerr << "ostrasim" << cmd << ": " << u.what << "\nTry 'ostrasim" << cmd
		  << " --help'.\n";
	return failure;
}

std::string preset_names()
{
	std::string names;
	for (const ostrasim_preset *p = ostrasim_presets; p->name != nullptr; p++)
		names += (names.empty() ? "" : ", ") + std::string(p->name);
	return names;
}

// The board in dir, which must be there: the folder opened once.
sim::Root board_dir_of(const std::string &dir)
{
	struct stat st {};
	if (::lstat(dir.c_str(), &st) != 0)
		throw sim::Error(dir + ": no board here (ostrasim init " + dir + " makes one)");
	auto root = std::make_shared<const sim::BoardDir>(dir);
	if (!root->stat("board.json", st))
		throw sim::Error(dir + ": no board here (ostrasim init " + dir + " makes one)");
	return root;
}

// The probe script answers with the exit status the board gives the name
// (1 or 2: a drive), 0 for every other name; "signal" kills the probe.  It
// logs the name into the board folder by the folder's path, wherever the
// script itself is seen (under run --kernel: in /sbin).
std::string probe_script(const sim::BoardDesc &desc, const std::string &dir)
{
	std::string quoted = "'";
	for (const char c : dir + "/probe.log")
		quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
	// shell built-ins only: no process beyond the shell itself
	std::string s = "#!/bin/sh\n# simulated board probe: exit status per drive name\n"
			"echo \"$1\" >> " +
			quoted + "'\ncase \"$1\" in\n";
	for (const auto &[name, answer] : desc.probe)
		s += name + (answer < 0 ? ") kill -KILL $$ ;;\n"
					: ") exit " + std::to_string(answer) + " ;;\n");
	return s + "esac\nexit 0\n";
}

// The board's folders, which are never links, and the files it writes.
const char *const board_folders[] = {"dev", "sys", "sbin", "tmp"};
const char *const board_files[] = {"board.json", "state.json", "trace.jsonl", "state.lock",
				   "busy.lock",  "serve.lock", "probe.log"};

// Lays out dev/, sys/block/ and sbin/ from the description, under the
// board's lock: files are replaced atomically where they differ and only
// what the description no longer holds is removed, so that runs at once see
// their nodes throughout.  tmp/ and the driver state are kept.  A drive's
// rotational flag and model file follow its identify data unless its sysfs
// map names them.  Every name is reached from the board folder, never
// through a link: a folder swapped for one is refused, or was opened before.
void lay_out(const sim::Board &board)
{
	const sim::BoardDir &root = *board.root;
	const mode_t file = 0644, script = 0755;
	std::map<std::string, std::pair<std::string, mode_t>> want;
	std::set<std::string> dirs = {"dev", "sys", "sys/block"};
	if (board.info.has_probe)
		want["sbin/check_scsi_devfile.sh"] = {probe_script(board.info, board.dir), script};
	for (const auto &[name, drive] : board.info.drives) {
		for (const std::string &node : drive.nodes)
			want["dev/" + node] = {"", file};
		for (const auto &[rel, content] : sim::sysfs_files(drive))
			want[std::string("sys/block/").append(name).append("/").append(rel)] = {
				content, file};
	}
	for (const auto &[rel, f] : want)
		for (std::size_t slash = rel.rfind('/'); slash != std::string::npos && slash > 0;
		     slash = rel.rfind('/', slash - 1))
			dirs.insert(rel.substr(0, slash));
	sim::with_lock(board, [&] {
		for (const char *top : board_folders)
			root.check(top, true);
		for (const char *top : {"dev", "sys", "sbin"}) {
			struct stat st {};
			if (!root.stat(top, st))
				continue;
			std::vector<std::string> gone;
			root.walk(top, [&](const std::string &rel, bool is_dir) {
				if (is_dir ? dirs.count(rel) != 0 : want.count(rel) != 0)
					return true;
				gone.push_back(rel);
				return false;
			});
			for (const std::string &rel : gone)
				root.remove(rel);
		}
		for (const std::string &d : dirs)
			root.make_dirs(d);
		root.make_dirs("tmp");
		for (const auto &[rel, f] : want)
			root.replace(rel, f.first, f.second, true);
	});
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
		sim::Ata a = sim::identify_command(raw);
		// a device that cannot be opened is said as such, not as an ATA error
		if (const int err = sim::sgio_drive(dev)->send(a))
			throw sim::Error(
				a.note.rfind("cannot open ", 0) == 0
					? a.note
					: "cannot identify " + dev + ": " +
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
		throw Usage{"init", "no preset " + sim::node_name(preset) +
					    " (presets: " + preset_names() + ")"};
	// a new or empty folder, or with --force a board: nothing else is
	// touched, and nothing is written before everything is checked
	struct stat st {};
	std::shared_ptr<const sim::BoardDir> root;
	if (::lstat(dir.c_str(), &st) == 0) {
		if (!S_ISDIR(st.st_mode))
			throw sim::Error(dir + " is no folder (a symbolic link, or a file)");
		root = std::make_shared<const sim::BoardDir>(dir);
		const bool board_here = root->stat("board.json", st) && S_ISREG(st.st_mode);
		bool empty = true;
		root->walk("", [&](const std::string &, bool) { return empty = false; });
		if (!board_here && !empty)
			throw sim::Error(dir +
					 " is not empty and holds no board: init writes a new "
					 "or empty folder, or with --force a board");
		if (board_here && !force)
			throw sim::Error(dir + " already holds a board (--force writes a new one)");
		for (const char *f : board_files)
			root->check(f);
		for (const char *f : board_folders)
			root->check(f, true);
	}
	const json desc = hosts.empty() ? json::parse(p->text)
					: host_board(json::parse(p->text), hosts, destructive);
	(void)sim::load(desc, dir, root); // as run will check it
	if (!root) {
		for (std::size_t slash = dir.find('/', 1);; slash = dir.find('/', slash + 1)) {
			const std::string part = dir.substr(0, slash);
			if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
				throw sim::Error(dir + ": " + std::strerror(errno));
			if (slash == std::string::npos)
				break;
		}
		root = std::make_shared<const sim::BoardDir>(dir);
	}
	sim::Board board;
	board.dir = root->path();
	board.root = root;
	sim::with_lock(board, [&] {
		for (const char *f : board_files) // again, now that no run changes them
			root->check(f);
		root->replace("board.json", desc.dump(2) + "\n", 0644);
		root->replace("state.json", "{}\n", 0644);
		root->replace("trace.jsonl", "", 0644);
	});
	setenv("OSTRASIM_BOARD", board.dir.c_str(), 1);
	const sim::Board made = sim::load(root);
	lay_out(made);
	// what it made: the drives, their nodes, what answers them
	std::string drives;
	for (const auto &[name, d] : made.info.drives) {
		drives += (drives.empty() ? "" : "; ") + name +
			  (d.host ? " real drive " + *d.host : " simulated") + ", nodes";
		for (const std::string &node : d.nodes)
			drives += " /dev/" + node;
	}
	std::printf("made board %s%s: %s%s\n", dir.c_str(),
		    hosts.empty() ? (" from preset " + preset).c_str() : "",
		    drives.empty() ? "no drives" : drives.c_str(),
		    hosts.empty() || destructive
			    ? ""
			    : "; writes to the real drives refused (--destructive allows them)");
	return 0;
}

int cmd_run(const std::string &dir, char **prog, bool kernel)
{
	const sim::Root root = board_dir_of(dir);
	setenv("OSTRASIM_BOARD", root->path().c_str(), 1);
	const sim::Board board = sim::load(root);
	// the state is checked before anything runs
	sim::with_state(board, [](const sim::State &) {});
	if (kernel)
		sim::check_served(board, dir);
	lay_out(board);
	// a preload library of the caller's stays, after the simulator's
	const std::string own = env_or("LD_PRELOAD", "");
	unsetenv("LD_PRELOAD");
	std::vector<std::string> args;
	int argc = 0;
	while (prog[argc] != nullptr)
		argc++;
	const std::string found = sim::find_program(prog[0], std::getenv("PATH"));
	// (execvp would say EACCES where a folder of PATH cannot be searched)
	if (found.empty())
		throw NoStart("cannot run " + sim::node_name(prog[0]) + ": no such program in PATH",
			      127);
	const sim::ProgramFile program = sim::program_file(found);
	if (kernel) {
		try {
			sim::enter_kernel_view(board); // the drive nodes are `serve`'s
		} catch (const std::runtime_error &e) {
			throw sim::Error(e.what());
		}
		// the run's header, as the library writes it for a preloaded program
		// (the program keeps this process's pid)
		sim::trace_run(board, argc, prog);
		unsetenv("OSTRASIM_BOARD");
	} else {
		if (program.kind != sim::ProgramFile::none && !program.dynamic)
			throw NoStart(sim::node_name(prog[0]) + ": " + sim::static_refusal +
					      sim::kernel_hint(dir),
				      126);
		// the libraries and the PowerPC system root for the programs the
		// program starts, of either kind; its children know it by its pid,
		// which it keeps
		const bool ppc = program.kind == sim::ProgramFile::ppc && program.path == found;
		const auto maybe = [](const std::function<std::string()> &find) {
			try {
				return find();
			} catch (const sim::Error &) {
				return std::string();
			}
		};
		const auto host_lib = [] {
			return library("OSTRASIM_LIB",
				       {"/libostrasim.so", "/../lib/ostrasim/libostrasim.so"});
		};
		const auto ppc_lib = [] {
			return library("OSTRASIM_PPC_LIB",
				       {"/../ppc/libostrasim.so",
					"/../lib/ostrasim/powerpc/libostrasim.so"});
		};
		const std::string lib = ppc ? maybe(host_lib) : host_lib();
		const std::string plib = ppc ? ppc_lib() : maybe(ppc_lib);
		const std::string root = env_or("OSTRASIM_PPC_SYSROOT", OSTRASIM_PPC_SYSROOT);
		for (const auto &[name, value] : {std::pair{"OSTRASIM_LIB", lib},
						  {"OSTRASIM_PPC_LIB", plib},
						  {"OSTRASIM_PPC_SYSROOT", root},
						  {"OSTRASIM_RUN_PID", std::to_string(getpid())}})
			if (!value.empty())
				setenv(name, value.c_str(), 1);
		if (ppc && !fs::exists(root + "/lib/ld.so.1"))
			throw NoStart("no PowerPC C library at " + root +
					      " (Debian package libc6-powerpc-cross; "
					      "OSTRASIM_PPC_SYSROOT "
					      "names another)",
				      126);
		if (ppc)
			args = {"qemu-ppc", "-L", root, "-E", "LD_PRELOAD=" + plib};
		else
			setenv("LD_PRELOAD", (own.empty() ? lib : lib + " " + own).c_str(), 1);
		// the run's header, before any line of the program or of its children
		sim::trace_run(board, argc, prog,
			       ppc ? json{{"byte_order", "big-endian"}} : json::object());
		setenv("OSTRASIM_HEADER_PID", std::to_string(getpid()).c_str(), 1);
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
	const int err = errno;
	std::string hint;
	const bool qemu = args[0] == "qemu-ppc";
	if (qemu && err == ENOENT)
		hint = " (Debian package qemu-user)";
	else if (kernel && std::string(prog[0]).rfind("/tmp/", 0) == 0)
		hint = " (the board's tmp is mounted over /tmp: put the program elsewhere)";
	// a PowerPC program found but no qemu-ppc to run it: it cannot be run here
	throw NoStart("cannot run " + sim::node_name(argv[0]) + ": " + std::strerror(err) + hint,
		      (err == ENOENT || err == ENOTDIR) && !qemu ? 127 : 126);
}

// What the driver keeps for each drive, as show prints it, the board's time
// brought to now (a virtual clock moved on by advance_ns) first: that alone
// takes the board's lock, while an overwrite has writes due; the state is
// replaced atomically, so it is read without the lock.
std::map<std::string, sim::Shown> look(const sim::Board &board, std::uint64_t advance_ns = 0)
{
	sim::bring_to_now(board, advance_ns);
	const sim::StateView state = sim::read_state(board);
	std::map<std::string, sim::Shown> all;
	for (const auto &[name, drive] : board.info.drives) {
		sim::Shown &shown = all[name];
		shown.values["nodes"] = drive.nodes;
		sim::show_drive(board, state, name, shown);
	}
	return all;
}

int cmd_show(const std::string &dir, bool as_json)
{
	const sim::Board board = sim::load(board_dir_of(dir));
	json values = json::object();
	for (const auto &[name, shown] : look(board)) {
		values[name] = shown.values;
		if (as_json)
			continue;
		std::printf("%s:", name.c_str());
		for (const std::string &node : board.info.drives.at(name).nodes)
			std::printf(" /dev/%s", node.c_str());
		std::printf("\n%s\n", shown.text.c_str());
	}
	// the injected faults, armed and spent
	const std::vector<sim::FaultShown> faults =
		sim::show_faults(board, sim::read_state(board).state);
	for (const sim::FaultShown &f : faults) {
		values["faults"].push_back(f.values);
		if (!as_json)
			std::printf("%s%s\n", &f == faults.data() ? "faults:\n  " : "  ",
				    f.line.c_str());
	}
	if (as_json)
		std::printf("%s\n", values.dump(2).c_str());
	return 0;
}

// ostrasim fault DIR add|list|clear
int cmd_fault(const std::string &dir, const Args &a)
{
	const std::string what = a.operands[1];
	const bool add = what == "add";
	if (!add && what != "list" && what != "clear")
		throw Usage{"fault", "add, list or clear, not " + sim::node_name(what)};
	if (a.operands.size() != (add ? 3U : what == "list" ? 2U : a.operands.size()))
		throw Usage{"fault", add ? "add wants a REQUEST" : "list takes no operand"};
	if (!add && !a.opts.empty())
		throw Usage{"fault", "--" + a.opts.begin()->first + " goes with add only"};
	const sim::Root root = board_dir_of(dir);
	if (what == "list") {
		const sim::Board board = sim::load(root);
		for (const sim::FaultShown &f :
		     sim::show_faults(board, sim::read_state(board).state))
			std::printf("%s\n", f.line.c_str());
		if (board.info.faults.empty())
			std::printf("no faults\n");
		return 0;
	}
	if (!add) {
		std::optional<std::uint32_t> id;
		if (a.operands.size() == 3) {
			const std::string &n = a.operands[2];
			if (n.empty() || n.size() > 6 ||
			    n.find_first_not_of("0123456789") != std::string::npos)
				throw Usage{"fault",
					    "clear wants a fault's id, not " + sim::node_name(n)};
			id = static_cast<std::uint32_t>(std::stoul(n));
		}
		for (const std::string &line : sim::clear_faults(root, id))
			std::printf("cleared %s\n", line.c_str());
		return 0;
	}
	// the fault as board.json holds one; a number given as one
	json fault = {{"request", a.operands[2]}};
	for (const auto &[key, values] : a.opts) {
		const json number = json::parse(values.back(), nullptr, false);
		fault[key] = number.is_number() ? number : json(values.back());
	}
	try {
		std::printf("added %s\n", sim::add_fault(root, fault).c_str());
	} catch (const sim::Bad &bad) {
		throw sim::Error("fault add: " +
				 (bad.path == "request" ? "" : "--" + bad.path + ": ") + bad.why);
	}
	return 0;
}

int cmd_watch(const std::string &dir, const std::string &interval)
{
	sim::WatchView view;
	view.interval_ns = sim::interval_ns(interval);
	if (view.interval_ns == 0)
		throw Usage{"watch", "--interval wants seconds, 0.1 to 3600, not " +
					     sim::node_name(interval)};
	const sim::Board board = sim::load(board_dir_of(dir));
	const char *no_colour = std::getenv("NO_COLOR");
	view.terminal = ::isatty(STDOUT_FILENO) != 0;
	view.colour = view.terminal && (no_colour == nullptr || *no_colour == '\0') &&
		      env_or("TERM", "dumb") != "dumb";
	view.title = "ostrasim watch " + dir + ": every " + interval + " s" +
		     (board.info.virtual_clock ? " of the board's virtual clock" : "") +
		     "; Ctrl-C ends";
	// a virtual clock moves on by the interval at each look after the first
	std::uint64_t advance = 0;
	view.look = [&board, &advance, &view] {
		json values = json::object();
		for (const auto &[name, shown] : look(board, advance))
			values[name] = shown.values;
		advance = view.interval_ns;
		return values;
	};
	return sim::watch(view, stdout);
}

int cmd_trace(const std::string &dir, const Args &a)
{
	if (a.has("brief") + a.has("raw") + a.has("clear") > 1 || (a.has("clear") && a.has("last")))
		throw Usage{"trace", "--brief, --raw and --clear go one at a time, --clear alone"};
	const sim::Root root = board_dir_of(dir);
	if (!a.has("clear"))
		return sim::print_trace(*root, {a.has("raw"), a.has("brief"), a.has("last")},
					stdout);
	sim::Board board;
	board.dir = root->path();
	board.root = root;
	sim::clear_trace(board);
	return 0;
}

int dispatch(const Command &cmd, const Args &a)
{
	const std::string name = cmd.name;
	const std::string dir = a.operands.empty() ? "" : a.operands[0];
	if (name == "init") {
		std::map<std::string, std::string> hosts;
		for (const std::string &h :
		     a.has("host") ? a.opts.at("host") : std::vector<std::string>{}) {
			// every name checked before any device is opened
			const std::size_t eq = h.find('=');
			if (eq == 0 || eq == std::string::npos || eq + 1 == h.size())
				throw Usage{"init",
					    "--host wants NAME=DEVICE, not " + sim::node_name(h)};
			const std::string drive = h.substr(0, eq);
			std::string of;
			int part = 0;
			if (!sim::split_node(drive, of, part) || part != 0)
				throw Usage{"init",
					    "--host " + sim::node_name(h) + ": " +
						    sim::node_name(drive) +
						    " is not a drive name (sd and one letter)"};
			if (!hosts.emplace(drive, h.substr(eq + 1)).second)
				throw Usage{"init", "--host " + drive + " given twice"};
		}
		if (a.has("destructive") && hosts.empty())
			throw Usage{"init", "--destructive is for --host drives (a preset's "
					    "simulated drives are written anyway)"};
		return cmd_init(dir, a.last("preset", "default"), a.has("force"), hosts,
				a.has("destructive"));
	}
	if (name == "run")
		return cmd_run(dir, a.program, a.has("kernel"));
	if (name == "serve") {
		sim::Board board = sim::load(board_dir_of(dir));
		return sim::serve(board);
	}
	if (name == "trace")
		return cmd_trace(dir, a);
	if (name == "show")
		return cmd_show(dir, a.has("json"));
	if (name == "fault")
		return cmd_fault(dir, a);
	if (name == "requests") {
		// the records' names and sizes, as the trace decodes them
		std::printf("%-27s %-6s  %s\n", "REQUEST", "CODE", "RECORD");
		std::printf("%-27s %-6s  %s\n", "open", "-", "(opening the node)");
		for (const sim::Request &r : sim::requests()) {
			std::string record = r.layout != nullptr ? r.layout->record : "";
			if (r.argsize != 0)
				record += (record.empty() ? "" : ", ") + std::to_string(r.argsize) +
					  " bytes" +
					  (r.size_of != nullptr ? " and 512 a sector" : "");
			std::printf("%-27s 0x%04lx  %s\n", r.name, r.code,
				    record.empty() ? "none" : record.c_str());
		}
		return 0;
	}
	if (name == "watch")
		return cmd_watch(dir, a.last("interval", "1"));
	if (name == "presets") {
		for (const ostrasim_preset *p = ostrasim_presets; p->name != nullptr; p++)
			print_wrapped(p->name, 11, json::parse(p->text).value("comment", ""));
		return 0;
	}
	if (name == "keys") {
		for (const sim::Key &k : sim::board_keys()) {
			std::string head = k.path;
			head.resize(std::max<std::size_t>(head.size() + 1, 41), ' ');
			print_wrapped(head + k.type, 50, k.meaning);
		}
		return 0;
	}
	const Command *of = dir.empty() ? nullptr : find_command(dir);
	if (!dir.empty() && of == nullptr)
		throw Usage{"help", "no command " + sim::node_name(dir)};
	print_help(of);
	return 0;
}

// The command line: ostrasim [--help | --version] or ostrasim COMMAND ...
int command_line(int argc, char **argv)
{
	const std::string first = argc > 1 ? argv[1] : "";
	if (first == "--help" || first == "-h" || first == "--version") {
		if (argc > 2)
			throw Usage{nullptr, first + " takes no operand"};
		if (first == "--version")
			std::printf("ostrasim %s\n", OSTRASIM_VERSION);
		else
			print_help(nullptr);
		return 0;
	}
	const Command *cmd = find_command(first);
	if (cmd == nullptr) {
		std::string names;
		for (const Command &c : commands())
			names += (names.empty() ? "" : ", ") + std::string(c.name);
		throw Usage{nullptr, first.empty() ? "no command (commands: " + names + ")"
						   : "unknown command " + sim::node_name(first) +
							     " (commands: " + names + ")"};
	}
	if (std::string(cmd->name) == "run")
		failure = 125;
	const std::optional<Args> a = parse(*cmd, argc - 1, argv + 1);
	if (!a) {
		print_help(cmd);
		return 0;
	}
	return dispatch(*cmd, *a);
}

} // namespace

int main(int argc, char **argv)
{
	// every failure in one line, in the user's terms
	try {
		return command_line(argc, argv);
	} catch (const Usage &u) {
		return usage(u);
	} catch (const NoStart &e) {
		std::cerr << "ostrasim: " << e.what() << "\n";
		return e.status;
	} catch (const sim::Error &e) {
		std::cerr << "ostrasim: " << e.what() << "\n";
	} catch (const fs::filesystem_error &e) {
		std::cerr << "ostrasim: " << e.path1().string() << ": " << e.code().message()
			  << "\n";
	} catch (const std::bad_alloc &) {
		std::cerr << "ostrasim: out of memory\n";
	} catch (const std::exception &e) {
		std::cerr << "ostrasim: internal error (" << e.what() << ")\n";
	}
	return failure;
}
