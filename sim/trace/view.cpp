// view.cpp - the readable form of the request trace (`ostrasim trace`).
//
// Each run starts with its header: the program, its arguments and the byte
// order of its numbers.  Each request shows its argument record before (in)
// and after (out) the driver answered it: the fields by name, decoded from
// their offsets in the run's byte order, and data areas as a hexdump of the
// bytes as they lie in the program's memory, runs of zero lines folded; then
// the ATA commands it became and the registers the drive answered.  No
// times, process ids, descriptor numbers or paths: the same runs give the
// same text.
#include "trace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const json &line, const char *key)
{
	const std::string text = line.at(key).get<std::string>();
	Bytes bytes;
	for (std::size_t i = 0; i < text.size(); i += 2) {
		const std::string pair = text.substr(i, 2);
		if (pair.size() != 2 ||
		    pair.find_first_not_of("0123456789abcdef") != std::string::npos)
			throw std::runtime_error(std::string("\"") + key + "\" is not hex bytes");
		bytes.push_back(static_cast<unsigned char>(std::stoul(pair, nullptr, 16)));
	}
	return bytes;
}

std::uint64_t number(const unsigned char *p, std::size_t size, bool big)
{
	std::uint64_t v = 0;
	for (std::size_t i = 0; i < size; i++)
		v |= std::uint64_t{p[i]} << (8U * (big ? size - 1 - i : i));
	return v;
}

std::string field_text(const Field &f, const unsigned char *p, std::size_t size, bool big,
		       bool masked)
{
	char buf[32];
	if (size > 8 && f.kind != Kind::Words)
		return "(" + std::to_string(size) + " bytes)";
	const std::uint64_t v = size <= 8 ? number(p, size, big) : 0; // (words: one at a time)
	switch (f.kind) {
	case Kind::Signed: {
		const bool negative = size < 8 && (v >> (8U * size - 1)) != 0;
		std::snprintf(buf, sizeof buf, "%lld",
			      static_cast<long long>(v) - (negative ? 1LL << (8U * size) : 0));
		return buf;
	}
	case Kind::Hex:
		std::snprintf(buf, sizeof buf, "0x%0*llx", static_cast<int>(2 * size),
			      static_cast<unsigned long long>(v));
		return buf;
	case Kind::Words: {
		if (masked)
			return "(masked)";
		std::string s;
		for (std::size_t i = 0; i + 4 <= size; i += 4) {
			std::snprintf(buf, sizeof buf, "%s%08llx", i == 0 ? "" : " ",
				      static_cast<unsigned long long>(number(p + i, 4, big)));
			s += buf;
		}
		return s;
	}
	default:
		std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
		return buf;
	}
}

// 16 bytes a line: offset, bytes, characters; runs of zero lines folded
void hexdump(const unsigned char *p, std::size_t n, std::FILE *out)
{
	std::size_t at = 0;
	while (at < n) {
		const std::size_t len = std::min<std::size_t>(16, n - at);
		std::size_t next = at;
		while (next < n && p[next] == 0)
			next++;
		if (next >= at + len) {
			const std::size_t end = next == n ? n : next - next % 16;
			std::fprintf(out, "          %04zx-%04zx  zero\n", at, end - 1);
			at = end;
			continue;
		}
		std::fprintf(out, "          %04zx ", at);
		for (std::size_t i = 0; i < 16; i++)
			std::fprintf(out, i < len ? " %02x" : "   ", i < len ? p[at + i] : 0);
		std::fprintf(out, "  |");
		for (std::size_t i = 0; i < len; i++)
			std::fputc(p[at + i] >= 0x20 && p[at + i] < 0x7F ? p[at + i] : '.', out);
		std::fprintf(out, "|\n");
		at += len;
	}
}

// The bytes of field f, or null when the record is too short for it.
const unsigned char *at(const Field &f, const Bytes &bytes, std::size_t &size)
{
	if (f.off >= bytes.size())
		return nullptr;
	size = f.size == 0 || f.off + f.size > bytes.size() ? bytes.size() - f.off : f.size;
	return bytes.data() + f.off;
}

// One side of a record: its fields on one line ("fields unchanged" when the
// driver left them alone), then its data areas.
void print_record(const char *side, const char *record, const std::vector<Field> &fields,
		  const Bytes &bytes, const Bytes *before, bool big, bool masked, std::FILE *out)
{
	bool changed = before == nullptr ||
		       std::all_of(fields.begin(), fields.end(),
				   [](const Field &f) { return f.kind == Kind::Data; });
	for (const Field &f : fields) {
		std::size_t size = 0;
		const unsigned char *p = at(f, bytes, size);
		changed = changed || (f.kind != Kind::Data && p != nullptr &&
				      (before->size() != bytes.size() ||
				       std::memcmp(before->data() + f.off, p, size) != 0));
	}
	std::string text = changed ? "" : "fields unchanged";
	std::vector<std::pair<std::size_t, std::size_t>> dumps;
	for (const Field &f : fields) {
		std::size_t size = 0;
		const unsigned char *p = at(f, bytes, size);
		if (p == nullptr || (f.kind != Kind::Data && !changed))
			continue;
		text += std::string(text.empty() ? "" : ", ") + f.name;
		if (f.kind != Kind::Data) {
			text += " " + field_text(f, p, size, big, masked);
		} else if (before != nullptr && before->size() == bytes.size() &&
			   std::memcmp(before->data() + f.off, p, size) == 0) {
			text += " unchanged";
		} else if (std::all_of(p, p + size, [](unsigned char c) { return c == 0; })) {
			text += " " + std::to_string(size) + " zero bytes";
		} else {
			text += " " + std::to_string(size) + " bytes:";
			dumps.emplace_back(f.off, size);
		}
	}
	std::fprintf(out, "        %-3s %s: %s\n", side, record, text.c_str());
	for (const auto &[off, size] : dumps)
		hexdump(bytes.data() + off, size, out);
}

// What the driver changed in the record, on one line: the fields by name,
// data areas by size.
std::string brief_fields(const json &line, bool big)
{
	const Request *r = find_request(line.value("request", ""));
	if (!line.contains("before"))
		return "";
	const Bytes before = from_hex(line, "before");
	const Bytes after = from_hex(line, "after");
	if (r == nullptr || r->layout == nullptr)
		return before == after ? "" : std::to_string(after.size()) + " bytes changed";
	const Layout &l = *r->layout;
	std::string text;
	for (const Field &f : l.out.empty() ? l.in : l.out) {
		std::size_t size = 0;
		const unsigned char *p = at(f, after, size);
		if (p == nullptr || (before.size() == after.size() &&
				     std::memcmp(before.data() + f.off, p, size) == 0))
			continue;
		text += std::string(text.empty() ? "" : ", ") + f.name + " " +
			(f.kind == Kind::Data
				 ? std::to_string(size) + " bytes"
				 : field_text(f, p, size, big, line.value("masked", false)));
	}
	return text;
}

void print_request(const json &line, bool big, std::FILE *out)
{
	const Request *r = find_request(line.value("request", ""));
	if (!line.contains("before"))
		return;
	const Bytes before = from_hex(line, "before");
	const Bytes after = from_hex(line, "after");
	const bool masked = line.value("masked", false);
	if (r == nullptr || r->layout == nullptr) {
		std::fprintf(out, "        in:  %zu bytes\n", before.size());
		hexdump(before.data(), before.size(), out);
		std::fprintf(out, "        out: %zu bytes\n", after.size());
		hexdump(after.data(), after.size(), out);
		return;
	}
	const Layout &l = *r->layout;
	print_record("in", l.record, l.in, before, nullptr, big, masked, out);
	print_record("out", l.record, l.out.empty() ? l.in : l.out, after, &before, big, masked,
		     out);
}

std::string joined(const json &args)
{
	std::string s;
	for (const json &a : args) {
		const std::string text = a.get<std::string>();
		const bool quote = text.empty() || text.find(' ') != std::string::npos;
		s += " " + (quote ? "'" + text + "'" : text);
	}
	return s;
}

// An error number by name and text: "EIO (Input/output error)".
std::string errno_text(int err)
{
	const char *name = strerrorname_np(err);
	return std::string(name != nullptr ? name : "errno " + std::to_string(err)) + " (" +
	       std::strerror(err) + ")";
}

// One line of the trace, numbered n; order_of keeps the byte order of each
// process's run.
void print_line(const json &line, unsigned long long n, const TraceView &view,
		std::map<long, std::string> &order_of, std::FILE *out)
{
	const std::string op = line.value("op", "");
	const long pid = line.value("pid", 0L);
	if (op == "run") {
		const std::string order = line.value("byte_order", "");
		order_of[pid] = order;
		std::fprintf(out, "run %s%s (%s%s", line.value("program", "").c_str(),
			     joined(line.value("args", json::array())).c_str(),
			     line.contains("child_of")   ? "a child of the run's program, "
			     : line.contains("in_place") ? "in the same process, "
							 : "",
			     order.c_str());
		std::fprintf(out,
			     view.brief ? ")\n"
					: ": record fields read %s, bytes shown in the "
					  "program's memory order)\n",
			     order.c_str());
		return;
	}
	std::fprintf(out, "%5llu %-6s %-6s", n, op.c_str(), line.value("node", "").c_str());
	if (op == "exit") {
		const json open = line.value("open", json::array());
		std::fprintf(out, " nodes left open:%s", open.empty() ? " none" : "");
		for (const json &node : open)
			std::fprintf(out, " %s", node.get<std::string>().c_str());
		std::fprintf(out, "\n");
		return;
	}
	if (op == "refused") {
		std::fprintf(out, " %s: %s [preload only]\n", line.value("path", "").c_str(),
			     line.value("why", "").c_str());
		return;
	}
	if (op == "intent") {
		std::fprintf(out, " %s\n", line.value("intent", "").c_str());
		return;
	}
	if (op == "write") { // a command sent whose request was never traced
		std::fprintf(out, " %s: no answer traced\n", line.value("command", "").c_str());
		return;
	}
	if (op == "reload") {
		std::fprintf(out, " board.json kept as it was: %s\n",
			     line.value("error", "").c_str());
		return;
	}
	if (op == "sleep") {
		const auto ns = line.value("ns", 0ULL);
		std::fprintf(out, " %llu.%09llu s\n", ns / 1000000000ULL, ns % 1000000000ULL);
		return;
	}
	if (op == "show") { // show or watch brought the overwrite to the board's time
		const json failed = line.value("failed", json());
		std::fprintf(out, " the overwrite to the board's time: %llu sectors written%s\n",
			     line.value("written", 0ULL),
			     failed.is_string() ? ("; failed: " + failed.get<std::string>()).c_str()
						: "");
		for (const json &ata : line.value("ata", json::array()))
			if (ata.is_string() && !view.brief)
				std::fprintf(out, "        ata: %s\n",
					     ata.get<std::string>().c_str());
		return;
	}
	if (op == "ioctl")
		std::fprintf(out, view.brief ? " %s" : " %s (0x%04lx)",
			     line.value("request", "").c_str(), line.value("code", 0UL));
	if (op == "clear")
		std::fprintf(out, " the password the security erase may have left");
	const int result = line.value("result", 0);
	const int err = line.value("errno", 0);
	// a descriptor's number depends on what the process inherited: left out
	if (op == "open" && result >= 0)
		std::fprintf(out, " -> ok");
	else
		std::fprintf(out, " -> %d", result);
	if (err != 0)
		std::fprintf(out, " %s", errno_text(err).c_str());
	// the fault that failed the call, by id (a trace of older versions: true)
	if (const json id = line.value("injected", json()); id.is_number_unsigned())
		std::fprintf(out, " [injected by fault %llu]", id.get<unsigned long long>());
	else if (id == true)
		std::fprintf(out, " [injected]");
	if (line.value("masked", false))
		std::fprintf(out, " [masked]");
	if (line.value("front", "") == "preload")
		std::fprintf(out, " [preload only]");
	const auto [order, unknown] = order_of.try_emplace(pid, "little-endian");
	const bool big = order->second == "big-endian";
	if (view.brief) {
		const std::string changed = op == "ioctl" ? brief_fields(line, big) : "";
		const json refused = line.value("refused", json());
		std::string why =
			refused.is_string() ? "; refused: " + refused.get<std::string>() : "";
		// else a failure's cause: what the drive answered its last command
		const json ata = line.value("ata", json::array());
		const std::string last = !ata.empty() && ata.back().is_string() ? ata.back() : "";
		if (why.empty() && result < 0 && last.find(": status ") != std::string::npos)
			why = "; the drive answered " + last.substr(last.find(": status ") + 2);
		std::fprintf(out, "%s%s%s\n", changed.empty() ? "" : ": ", changed.c_str(),
			     why.c_str());
		return;
	}
	std::fprintf(out, "\n");
	if (line.contains("bound") && line.at("bound").is_string()) // a real drive's check
		std::fprintf(out, "        bound: %s\n",
			     line.at("bound").get<std::string>().c_str());
	if (op == "open" && line.contains("refused") && line.at("refused").is_string())
		std::fprintf(out, "        refused: %s\n",
			     line.at("refused").get<std::string>().c_str());
	if (op != "ioctl" && op != "clear")
		return;
	if (unknown)
		std::fprintf(out, "        (no run header: record fields read little-endian)\n");
	print_request(line, big, out);
	// a real drive's commands and the registers it answered with
	for (const json &ata : line.value("ata", json::array()))
		if (ata.is_string())
			std::fprintf(out, "        ata: %s\n", ata.get<std::string>().c_str());
	// and what else the driver did for it, or why it did not
	// (a command the write gate refused says why on its own line already)
	std::string commands;
	for (const json &ata : line.value("ata", json::array()))
		commands += ata.is_string() ? ata.get<std::string>() + "\n" : "";
	for (const char *what : {"port", "refused"})
		if (line.contains(what) && line.at(what).is_string() &&
		    commands.find("refused: " + line.at(what).get<std::string>() + "\n") ==
			    std::string::npos)
			std::fprintf(out, "        %s: %s\n", what,
				     line.at(what).get<std::string>().c_str());
}

} // namespace

namespace {

// A whole line that is the header of a run: not that of a program the run
// started, nor of one exec started in its place.
bool is_run(const std::string &text)
{
	if (text.find("\"run\"") == std::string::npos)
		return false;
	const json line = json::parse(text, nullptr, false);
	return line.is_object() && line.value("op", json()) == "run" &&
	       !line.contains("child_of") && !line.contains("in_place");
}

// The offset of the last run's header, found from the end of the file in
// chunks, so that the time does not grow with the trace; -1: none.
off_t last_run(int fd, off_t size, const std::string &path)
{
	std::string carry; // the start of a line that began further back
	for (off_t end = size; end > 0;) {
		const off_t len = std::min<off_t>(65536, end);
		std::string block(static_cast<std::size_t>(len), '\0');
		if (::pread(fd, block.data(), block.size(), end - len) != len)
			throw Error("cannot read " + path + ": " + std::strerror(errno));
		end -= len;
		block += carry;
		std::size_t stop = block.size(); // the end of the line looked at
		for (std::size_t nl = 0;
		     stop > 0 && (nl = block.rfind('\n', stop - 1)) != std::string::npos; stop = nl)
			if (is_run(block.substr(nl + 1, stop - nl - 1)))
				return end + static_cast<off_t>(nl) + 1;
		carry = block.substr(0, stop);
	}
	return is_run(carry) ? 0 : -1;
}

} // namespace

int print_trace(const BoardDir &root, const TraceView &view, std::FILE *out)
{
	const std::string path = root.name("trace.jsonl");
	const Fd fd = root.open("trace.jsonl", O_RDONLY);
	struct stat st {};
	if (!fd || ::fstat(fd.get(), &st) != 0) {
		std::fprintf(stderr, "ostrasim: cannot read %s: %s\n", path.c_str(),
			     std::strerror(errno));
		return 2;
	}
	const off_t from = view.last ? last_run(fd.get(), st.st_size, path) : 0;
	if (from < 0)
		return 0; // no run yet
	std::string text;
	char buf[65536];
	for (off_t at = from;;) {
		const ssize_t n = ::pread(fd.get(), buf, sizeof buf, at);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			throw Error("cannot read " + path + ": " + std::strerror(errno));
		if (n == 0)
			break;
		text.append(buf, static_cast<std::size_t>(n));
		at += n;
	}
	std::vector<std::string> texts;
	for (std::size_t at = 0; at < text.size();) {
		const std::size_t nl = std::min(text.find('\n', at), text.size());
		texts.push_back(text.substr(at, nl - at));
		at = nl + 1;
	}
	std::vector<json> lines;
	try {
		for (const std::string &t : texts)
			lines.push_back(view.raw && !view.last ? json() : json::parse(t));
	} catch (const std::exception &e) {
		// the line's number in the whole file
		std::string before(static_cast<std::size_t>(from), '\0');
		const bool read = ::pread(fd.get(), before.data(), before.size(), 0) == from;
		std::fprintf(stderr, "ostrasim: %s line %zu: %s\n", path.c_str(),
			     lines.size() + 1 +
				     (read ? static_cast<std::size_t>(
						     std::count(before.begin(), before.end(), '\n'))
					   : 0),
			     e.what());
		return 2;
	}
	// the record of a write shows only where no line of its request follows
	std::vector<bool> answered(lines.size());
	std::set<std::pair<long, std::string>> requests;
	for (std::size_t i = lines.size(); !view.raw && i-- > 0;) {
		const std::pair<long, std::string> key{lines[i].value("pid", 0L),
						       lines[i].value("node", "")};
		if (lines[i].value("op", "") == "ioctl")
			requests.insert(key);
		answered[i] = lines[i].value("op", "") == "write" && requests.count(key) != 0;
	}
	// the last run: its header and the lines of its process and of the
	// programs it started after it
	const long pid = view.last ? lines.front().value("pid", 0L) : 0;
	std::map<long, std::string> order_of;
	unsigned long long n = 0;
	std::set<long> pids = {pid};
	for (std::size_t i = 0; i < texts.size(); i++) {
		if (view.last && lines[i].value("op", "") == "run" &&
		    lines[i].value("child_of", 0L) == pid)
			pids.insert(lines[i].value("pid", 0L));
		if ((view.last && pids.count(lines[i].value("pid", 0L)) == 0) || answered[i])
			continue;
		if (view.raw)
			std::fprintf(out, "%s\n", texts[i].c_str());
		else
			print_line(lines[i], view.last ? n++ : lines[i].value("seq", 0ULL), view,
				   order_of, out);
	}
	return 0;
}

} // namespace sim
