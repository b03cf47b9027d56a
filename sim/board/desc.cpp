// desc.cpp - board.json read into typed records in one step: an unknown key,
// a value of the wrong type or out of range is refused with the key's path
// and the reason.
#include "board.h"
#include "pages.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace sim {

using namespace checked;

namespace {

// The largest overwrite rate taken: far above any drive (sectors per second).
constexpr std::uint64_t MAX_RATE = 1000000000000ULL;

// Every key a description may hold, with its type and meaning: what the
// checks below accept and what `ostrasim keys` lists.
const KeyDef board_fields[] = {
	{"comment", "text", "what `ostrasim presets` shows; no other use"},
	{"probe", "object", "probe script's exit status per drive name; null: no script"},
	{"clock", "text", "\"real\" (the wall clock) or \"virtual\" (sleeps return at once)"},
	{"trace_raw", "boolean", "show the key material of the encryption request unmasked"},
	{"faults", "array", "injected failures"},
	{"drives", "object", "the drives by name (sd and one letter)"},
	{"destructive", "boolean", "let commands write to the media or change security"}};
const KeyDef drive_fields[] = {
	{"nodes", "array", "the device nodes: the drive's name, or it and a partition number"},
	{"capacity", "number", "sectors of the drive, reported in the identify data"},
	{"rotational", "number", "the driver's rotational flag, 0 or 1; absent: from identify"},
	{"partitions", "object", "partitions by number; 5 is the overwrite partition"},
	{"overwrite", "object", "the overwrite function"},
	{"identify", "object", "identify texts as the drive reports them, or all its words"},
	{"smart", "object", "SMART attributes and thresholds, or whole pages"},
	{"sysfs", "object", "files below /sys/block/NAME/ and their texts; null leaves one out"},
	{"drive_file", "text", "a drive data file (IDFY, SMDT, SMTH), or relative to the board"},
	{"host", "text", "a real ATA device (SCSI generic or block node) that answers"}};
const KeyDef fault_fields[] = {
	{"id", "number", "the fault's number (absent: given when a run first sees it)"},
	{"request", "text", "the request name (ostrasim requests), or \"open\"; required"},
	{"node", "text", "the node (\"*\" or absent: any)"},
	{"result", "number", "the result (absent: -1)"},
	{"errno", "text", "the error, EIO or 5 (absent: EIO for a negative result, else 0)"},
	{"after", "number", "the calls it lets through first, counted from its adding"},
	{"times", "number", "how many calls after those fail (absent: every one)"}};
constexpr std::uint32_t MAX_FAULT_ID = 999999;
const KeyDef partition_fields[] = {{"start", "number", "first sector"},
				   {"sectors", "number", "size in sectors"}};
const KeyDef overwrite_fields[] = {
	{"rate", "number", "sectors per second once started; absent: never gets on"},
	{"counts", "array", "progress counts that successive count requests answer instead"},
	{"mode", "number", "mode before any request set it, 0 to 3"},
	{"fixdata", "number", "fixed data word before any request set it"},
	{"pranddata", "number", "random seed before any request set it"},
	{"owsw", "number", "the driver's own switch word"}};
const KeyDef identify_fields[] = {{"model", "text", "up to 40 characters"},
				  {"serial", "text", "up to 20 characters"},
				  {"firmware", "text", "up to 8 characters"},
				  {"words", "array", "all 256 words in place of the texts"}};
const KeyDef smart_fields[] = {
	{"attributes", "array", "up to 30 attribute records, in page order"},
	{"thresholds", "array", "up to 30 threshold records replacing the attributes'"},
	{"attr_page", "text", "the attribute page as 1024 hex digits"},
	{"thrs_page", "text", "the threshold page as 1024 hex digits"}};
const KeyDef attribute_fields[] = {{"id", "number", "attribute number"},
				   {"flags", "number", "flags"},
				   {"current", "number", "current value (absent: 100)"},
				   {"worst", "number", "worst value (absent: 100)"},
				   {"raw", "number", "raw value, 48 bits"},
				   {"vendor", "number", "vendor byte"},
				   {"threshold", "number", "threshold of the attribute"}};
const KeyDef threshold_fields[] = {{"id", "number", "attribute number"},
				   {"threshold", "number", "its threshold"}};

bool plain(const std::string &name)
{
	return !name.empty() && name.size() <= 32 && name != "." && name != ".." &&
	       std::all_of(name.begin(), name.end(), [](char c) {
		       return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
			      (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
	       });
}

void check_name(const std::string &name, const char *what)
{
	if (!plain(name))
		throw Bad{node_name(name), std::string("not a plain ") + what +
						   " name (letters, digits, '.', '_', '-')"};
}

void check_page(const json &j)
{
	const std::string s = text(j);
	if (s.size() != 1024 || s.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
		throw Bad{"", "must be 1024 hex digits (a 512-byte page)"};
}

void check_identify(const json &j)
{
	object_of(j, identify_fields);
	opt(j, "model", [](const json &v) { text(v, 40); });
	opt(j, "serial", [](const json &v) { text(v, 20); });
	opt(j, "firmware", [](const json &v) { text(v, 8); });
	opt(j, "words", [&](const json &v) {
		if (j.size() != 1)
			throw Bad{"", "given whole, the words take the place of the texts"};
		each(v, 256, [](const json &w) { whole<std::uint16_t>(w); });
		if (v.size() != 256)
			throw Bad{"", "must hold 256 words"};
	});
}

void check_smart(const json &j)
{
	object_of(j, smart_fields);
	opt(j, "attributes", [](const json &v) {
		each(v, 30, [](const json &a) {
			object_of(a, attribute_fields);
			for (const char *k : {"id", "current", "worst", "vendor", "threshold"})
				opt(a, k, [](const json &x) { whole<std::uint8_t>(x); });
			opt(a, "flags", [](const json &x) { whole<std::uint16_t>(x); });
			opt(a, "raw", [](const json &x) {
				whole<std::uint64_t>(x, 0, (std::uint64_t{1} << 48U) - 1);
			});
		});
	});
	opt(j, "thresholds", [](const json &v) {
		each(v, 30, [](const json &t) {
			object_of(t, threshold_fields);
			for (const char *k : {"id", "threshold"})
				opt(t, k, [](const json &x) { whole<std::uint8_t>(x); });
		});
	});
	opt(j, "attr_page", check_page);
	opt(j, "thrs_page", check_page);
}

// a file below /sys/block/NAME/: plain names joined by '/'
void check_sysfs(const json &j, std::map<std::string, std::optional<std::string>> &files)
{
	if (!j.is_object())
		throw Bad{"", "must be an object, not " + article(j)};
	for (const auto &item : j.items()) {
		const std::string &rel = item.key();
		const json &content = item.value();
		std::size_t from = 0;
		while (true) {
			const std::size_t slash = rel.find('/', from);
			if (!plain(rel.substr(from, slash - from)))
				throw Bad{node_name(rel), "not a relative path of plain names"};
			if (slash == std::string::npos)
				break;
			from = slash + 1;
		}
		files[rel] = std::nullopt;
		if (!content.is_null())
			at(rel, [&] { files[rel] = text(content); });
	}
}

// A real drive's device, resolved now: an absolute path to something that
// exists, not a partition's block node.
std::string resolved_host(const std::string &path)
{
	char real[PATH_MAX];
	if (path.empty() || path[0] != '/')
		throw Bad{"", (path.empty() ? "" : node_name(path) + ": ") +
				      "must be an absolute path (/dev/sgN)"};
	if (::realpath(path.c_str(), real) == nullptr)
		throw Bad{"", node_name(path) + ": " + std::strerror(errno)};
	struct stat st {};
	char sys[64];
	if (::stat(real, &st) == 0 && S_ISBLK(st.st_mode)) {
		std::snprintf(sys, sizeof sys, "/sys/dev/block/%u:%u/partition", major(st.st_rdev),
			      minor(st.st_rdev));
		if (::access(sys, F_OK) == 0)
			throw Bad{"", node_name(path) +
					      " is a partition: name the disk's SCSI generic node "
					      "(/dev/sgN)"};
	}
	return real;
}

} // namespace

std::string node_name(const std::string &raw)
{
	static const char digits[] = "0123456789abcdef";
	std::string s;
	for (const char c : raw) {
		const auto u = static_cast<unsigned char>(c);
		if (u > 0x20 && u < 0x7F && u != '\\') {
			s += c;
		} else {
			s += "\\x";
			s += digits[u >> 4U];
			s += digits[u & 15U];
		}
	}
	return s;
}

namespace {

void parse_drive(const json &j, DriveDesc &d, const BoardDir *root)
{
	object_of(j, drive_fields);
	opt(j, "nodes", [&](const json &v) {
		each(v, 64, [&](const json &n) { d.nodes.push_back(text(n)); });
	});
	opt(j, "capacity",
	    [&](const json &v) { d.capacity = whole<std::uint64_t>(v, 0, (1ULL << 48U) - 1); });
	opt(j, "rotational", [&](const json &v) {
		d.rotational = v.is_boolean() ? std::uint32_t{v.get<bool>()}
					      : whole<std::uint32_t>(v, 0, 1);
	});
	opt(j, "partitions", [&](const json &v) {
		if (!v.is_object())
			throw Bad{"", "must be an object, not " + article(v)};
		for (const auto &[num, part] : v.items()) {
			if (num.empty() || num.size() > 3 ||
			    num.find_first_not_of("0123456789") != std::string::npos ||
			    num[0] == '0')
				throw Bad{node_name(num), "not a partition number (1 to 999)"};
			at(num, [&, &part = part, &num = num] {
				object_of(part, partition_fields);
				Partition &p = d.partitions[std::stoi(num)];
				opt(part, "start",
				    [&](const json &x) { p.start = whole<std::uint64_t>(x); });
				opt(part, "sectors",
				    [&](const json &x) { p.sectors = whole<std::uint64_t>(x); });
			});
		}
	});
	opt(j, "overwrite", [&](const json &v) {
		OverwriteDesc &o = d.overwrite;
		object_of(v, overwrite_fields);
		opt(v, "rate",
		    [&](const json &x) { o.rate = whole<std::uint64_t>(x, 1, MAX_RATE); });
		opt(v, "counts", [&](const json &x) {
			each(x, 100000,
			     [&](const json &c) { o.counts.push_back(whole<std::uint32_t>(c)); });
		});
		opt(v, "mode", [&](const json &x) { o.mode = whole<std::int32_t>(x, 0, 3); });
		opt(v, "fixdata", [&](const json &x) { o.fixdata = whole<std::uint16_t>(x); });
		opt(v, "pranddata", [&](const json &x) { o.pranddata = whole<std::uint32_t>(x); });
		opt(v, "owsw", [&](const json &x) { o.owsw = whole<std::uint16_t>(x); });
	});
	opt(j, "identify", check_identify);
	opt(j, "smart", check_smart);
	opt(j, "sysfs", [&](const json &v) { check_sysfs(v, d.sysfs); });
	std::string file;
	opt(j, "drive_file", [&](const json &v) { file = text(v); });
	opt(j, "host", [&](const json &v) { d.host = resolved_host(text(v)); });
	// what the drive reports: identify and smart before the drive file's sections
	const auto data = [&](const char *key, auto build) {
		try {
			build();
		} catch (const std::runtime_error &e) {
			throw Bad{key, e.what()};
		}
	};
	Sections sections;
	data("drive_file",
	     [&] { sections = file.empty() ? Sections{} : read_drive_file(file, root); });
	data(j.contains("identify") ? "identify" : "drive_file", [&] {
		d.identify = j.contains("identify") || file.empty()
				     ? build_identify(j, j.value("identify", json::object()))
				     : words_of(section(sections, "IDFY"));
	});
	data(j.contains("smart") ? "smart" : "drive_file", [&] {
		const bool paged = file.empty() || j.contains("smart");
		const json smart = j.value("smart", json::object());
		d.attr = paged ? build_attr(smart) : section(sections, "SMDT");
		d.thrs = paged ? build_thrs(smart) : section(sections, "SMTH");
	});
}

void parse_board(const json &j, BoardDesc &d, const BoardDir *root, RequestCheck check)
{
	object_of(j, board_fields);
	opt(j, "comment", [&](const json &v) { d.comment = text(v); });
	opt(j, "probe", [&](const json &v) {
		d.has_probe = !v.is_null();
		if (v.is_null())
			return;
		if (!v.is_object())
			throw Bad{"", "must be an object or null, not " + article(v)};
		for (const auto &[name, answer] : v.items()) {
			check_name(name, "drive");
			at(name, [&, &answer = answer, &name = name] {
				d.probe[name] =
					answer == "signal" ? -1 : whole<int>(answer, 0, 255);
			});
		}
	});
	opt(j, "clock", [&](const json &v) {
		const std::string c = text(v);
		if (c != "real" && c != "virtual")
			throw Bad{"", "must be \"real\" or \"virtual\", not " + v.dump()};
		d.virtual_clock = c == "virtual";
	});
	opt(j, "trace_raw", [&](const json &v) { d.trace_raw = flag(v); });
	opt(j, "destructive", [&](const json &v) { d.destructive = flag(v); });
	opt(j, "drives", [&](const json &v) {
		if (!v.is_object())
			throw Bad{"", "must be an object, not " + article(v)};
		for (const auto &[name, drive] : v.items()) {
			std::string dname;
			int part = 0;
			if (!split_node(name, dname, part) || part != 0)
				throw Bad{node_name(name), "not a drive name (sd and one letter)"};
			at(name, [&, &drive = drive, &name = name] {
				DriveDesc dd;
				parse_drive(drive, dd, root);
				for (std::size_t i = 0; i < dd.nodes.size(); i++) {
					std::string of;
					if (!split_node(dd.nodes[i], of, part) || of != name)
						throw Bad{"nodes[" + std::to_string(i) + "]",
							  node_name(dd.nodes[i]) + " is not " +
								  name +
								  " or one of its partitions"};
				}
				d.drives[name] = std::move(dd);
			});
		}
	});
	// (after the drives: a fault names one of their nodes)
	opt(j, "faults", [&](const json &v) {
		each(v, 1000, [&](const json &f) { d.faults.push_back(fault_of(f, check, &d)); });
		std::map<std::uint32_t, std::size_t> ids;
		for (std::size_t i = 0; i < d.faults.size(); i++)
			if (const auto id = d.faults[i].id; id && !ids.emplace(*id, i).second)
				throw Bad{"[" + std::to_string(i) + "].id",
					  "fault " + std::to_string(*id) + " is faults[" +
						  std::to_string(ids[*id]) + "] already"};
	});
}

// Every object's keys once: a key given twice is refused where it stands.
void no_twice(const std::string &text, const std::string &path, const std::string &hint)
{
	std::map<std::pair<std::size_t, std::string>, std::size_t> seen; // (object, key): at
	for (const Member &m : members(text))
		if (const auto [first, fresh] = seen.emplace(std::pair{m.object, m.key}, m.key_at);
		    !fresh) {
			std::string why = path;
			for (const std::string &part :
			     {":" + line_column(text, m.key_at), ": key \"" + node_name(m.key),
			      "\" given twice (first at " + line_column(text, first->second) + ")",
			      hint})
				why += part;
			throw Error(why);
		}
}

} // namespace

std::string line_column(const std::string &text, std::size_t offset)
{
	const std::size_t at = std::min(text.size(), offset);
	const std::size_t line_start = at == 0 ? std::string::npos : text.rfind('\n', at - 1);
	const auto line = 1 + std::count(text.data(), text.data() + at, '\n');
	const std::size_t column = at - (line_start == std::string::npos ? 0 : line_start + 1);
	return std::to_string(line) + ":" + std::to_string(column + 1);
}

json parse_json(const std::string &text, const std::string &path, const std::string &hint)
{
	json j;
	try {
		j = json::parse(text);
	} catch (const json::parse_error &e) {
		// e.byte: the position, from 1, of the last character read
		throw Error(path + ":" + line_column(text, e.byte > 0 ? e.byte - 1 : 0) +
			    ": not valid JSON (truncated or edited?)" + hint);
	}
	no_twice(text, path, hint);
	return j;
}

std::vector<Member> members(const std::string &text)
{
	struct Open {
		bool object;
		std::size_t number;
		std::size_t member; // the member whose value is open (npos: none)
	};
	constexpr std::size_t none = std::string::npos;
	std::vector<Member> out;
	std::vector<Open> open;
	std::size_t objects = 0, last = 0; // last: past the last token's end
	bool want_key = false;
	// the open member's value ends with the token before a ',' or the close
	const auto end_member = [&] {
		if (!open.empty() && open.back().member != none)
			out[open.back().member].value_end = last;
		if (!open.empty())
			open.back().member = none;
	};
	for (std::size_t i = 0; i < text.size(); i++) {
		const char c = text[i];
		if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ':')
			continue;
		if (c == '"') {
			std::size_t end = i + 1;
			while (end < text.size() && text[end] != '"')
				end += text[end] == '\\' ? 2 : 1;
			end = std::min(end, text.size() - 1);
			if (want_key && !open.empty()) {
				Member m;
				m.key = json::parse(text.substr(i, end - i + 1)).get<std::string>();
				m.key_at = i;
				m.value_at = std::min(text.find_first_not_of(" \t\r\n:", end + 1),
						      text.size());
				m.depth = open.size();
				m.object = open.back().number;
				open.back().member = out.size();
				out.push_back(m);
				want_key = false;
			}
			i = end;
		} else if (c == '{' || c == '[') {
			open.push_back({c == '{', c == '{' ? ++objects : 0, none});
			want_key = c == '{';
		} else if (c == '}' || c == ']') {
			end_member();
			if (!open.empty())
				open.pop_back();
		} else if (c == ',') {
			end_member();
			want_key = !open.empty() && open.back().object;
			continue;
		}
		last = i + 1;
	}
	return out;
}

Board board_of(const json &desc, const std::string &dir, const Root &root, RequestCheck check)
{
	Board b;
	b.dir = root ? root->path() : dir;
	b.root = root;
	try {
		parse_board(desc, b.info, root.get(), check);
	} catch (const Bad &bad) {
		throw Error(b.dir + "/board.json: " + (bad.path.empty() ? "" : bad.path + ": ") +
			    bad.why);
	}
	return b;
}

Board load_board(const Root &root, RequestCheck check)
{
	const std::string path = root->name("board.json");
	struct stat st {};
	if (!root->stat("board.json", st))
		throw Error("cannot read " + path + ": " + std::strerror(ENOENT));
	return board_of(parse_json(root->read("board.json"), path, ""), root->path(), root, check);
}

std::string resolve_host(const std::string &path)
{
	try {
		return resolved_host(path);
	} catch (const Bad &bad) {
		throw Error(bad.why);
	}
}

int errno_of(const std::string &name)
{
	if (!name.empty() && name.size() <= 4 &&
	    name.find_first_not_of("0123456789") == std::string::npos)
		return std::stoi(name);
	for (int e = 1; e < 4096 && !name.empty(); e++) {
		const char *n = strerrorname_np(e);
		if (n != nullptr && name == n)
			return e;
	}
	return -1;
}

std::string errno_name(int err)
{
	const char *name = err > 0 ? strerrorname_np(err) : nullptr;
	return name != nullptr ? name : std::to_string(err);
}

Fault fault_of(const json &j, RequestCheck check, const BoardDesc *board)
{
	Fault f;
	object_of(j, fault_fields);
	opt(j, "id", [&](const json &x) { f.id = whole<std::uint32_t>(x, 1, MAX_FAULT_ID); });
	if (!j.contains("request"))
		throw Bad{"request", "missing"};
	opt(j, "request", [&](const json &x) {
		f.request = text(x);
		const std::string why = f.request == "open" ? "" : check(f.request);
		if (!why.empty())
			throw Bad{"", why};
	});
	opt(j, "node", [&](const json &x) {
		f.node = text(x);
		if (f.node == "*" || board == nullptr)
			return;
		std::string nodes;
		for (const auto &[name, drive] : board->drives)
			for (const std::string &node : drive.nodes) {
				if (node == f.node)
					return;
				nodes += (nodes.empty() ? "" : ", ") + node;
			}
		throw Bad{"", "no node " + node_name(f.node) + " on this board (nodes: " +
				      (nodes.empty() ? "none" : nodes) + ")"};
	});
	opt(j, "result", [&](const json &x) { f.result = whole<int>(x); });
	opt(j, "errno", [&](const json &x) {
		const int e =
			x.is_string() ? errno_of(x.get<std::string>()) : whole<int>(x, 0, 4095);
		if (e < 0 || e > 4095)
			throw Bad{"", "no errno " + node_name(text(x)) +
					      " (a name as EIO, or 0 to 4095)"};
		f.err = e;
	});
	opt(j, "after", [&](const json &x) { f.after = whole<std::uint64_t>(x); });
	opt(j, "times", [&](const json &x) { f.times = whole<std::uint64_t>(x, 1); });
	return f;
}

std::string fault_text(const Fault &f)
{
	std::string s = "{";
	const auto put = [&](const char *key, const json &value) {
		s += (s.size() > 1 ? ", \"" : "\"") + std::string(key) + "\": " + value.dump();
	};
	if (f.id)
		put("id", *f.id);
	put("request", f.request);
	if (f.node != "*")
		put("node", f.node);
	if (f.result != -1)
		put("result", f.result);
	if (f.err)
		put("errno", errno_name(*f.err).find_first_not_of("0123456789") == std::string::npos
				     ? json(*f.err)
				     : json(errno_name(*f.err)));
	if (f.after != 0)
		put("after", f.after);
	if (f.times)
		put("times", *f.times);
	return s + "}";
}

std::string with_faults(const std::string &text, const std::vector<Fault> &faults)
{
	const std::vector<Member> all = members(text);
	const Member *at = nullptr, *last = nullptr;
	for (const Member &m : all)
		if (m.depth == 1) {
			at = m.key == "faults" ? &m : at;
			last = &m;
		}
	const Member *key = at != nullptr ? at : last;
	// the key's indent where the members stand a line each (the faults one
	// more), else one line
	std::string pad = "  ";
	bool lines = key == nullptr;
	if (key != nullptr) {
		const std::size_t start = text.find_last_not_of(" \t", key->key_at - 1);
		lines = start != std::string::npos && text[start] == '\n';
		pad = lines ? text.substr(start + 1, key->key_at - start - 1) : "";
	}
	std::string array = "[";
	for (std::size_t i = 0; i < faults.size(); i++)
		array += (i == 0 ? "" : ",") +
			 std::string(lines    ? "\n" + pad + (pad.empty() ? "  " : pad)
				     : i == 0 ? ""
					      : " ") +
			 fault_text(faults[i]);
	array += faults.empty() || !lines ? "]" : "\n" + pad + "]";
	if (at != nullptr)
		return text.substr(0, at->value_at) + array + text.substr(at->value_end);
	const std::string member = "\"faults\": " + array;
	if (last != nullptr)
		return text.substr(0, last->value_end) + "," + (lines ? "\n" + pad : " ") + member +
		       text.substr(last->value_end);
	const std::size_t brace = text.find('{') + 1;
	return text.substr(0, brace) + "\n  " + member + "\n" + text.substr(brace);
}

std::vector<Key> board_keys()
{
	std::vector<Key> keys;
	auto add = [&](const std::string &prefix, const auto &names) {
		for (const KeyDef &n : names)
			keys.push_back({prefix + n.name, n.type, n.meaning});
	};
	add("", board_fields);
	add("faults[].", fault_fields);
	add("drives.NAME.", drive_fields);
	add("drives.NAME.partitions.N.", partition_fields);
	add("drives.NAME.overwrite.", overwrite_fields);
	add("drives.NAME.identify.", identify_fields);
	add("drives.NAME.smart.", smart_fields);
	add("drives.NAME.smart.attributes[].", attribute_fields);
	add("drives.NAME.smart.thresholds[].", threshold_fields);
	return keys;
}

} // namespace sim
