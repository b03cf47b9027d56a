// Every node open and every driver request of representative command lines
// fails once, injected by the simulated board.  Each command line runs once
// clean to learn its calls; then once more per call, on a fresh board, with
// exactly that call failing.  The program must print that failure's message,
// send nothing after it that the command does not send, leave the report
// files as the command promises and close every node it opened.
#include <cerrno>
#include <functional>
#include <map>
#include <regex>

#include "harness.h"

namespace {

const char *const reports[] = {"tmp/ostra_smart.info", "tmp/ostra_serial.info",
			       "tmp/ostra_ssd_life.info"};
const std::string earlier_report = "report of an earlier run\n";

// a point where the command can fail: an open or a request, the nth of its
// kind on its node
struct Call {
	std::size_t line; // in the clean run's trace
	std::string op;   // "open" or "ioctl"
	std::string node;
	std::string request; // "open" or the request's name
	int nth;

	std::string key() const
	{
		return request + "#" + std::to_string(nth);
	}
};

// what the command does once the call has failed
enum class After {
	Stops,     // sends nothing more; a node whose request failed is closed
	GoesOn,    // sends everything it sends without the failure
	SkipsNode, // leaves out what it would have sent on the node it could not open
};

struct Outcome {
	std::string out; // standard output; "(%d)" stands for a source line number
	After after;
	std::map<std::string, std::string> files; // report files not left as they were
};

struct Clean {
	RunResult run;
	std::vector<json> trace;
	std::vector<Call> calls;
	std::map<std::string, std::string> files;
};

using Expect = std::function<Outcome(const Clean &, const Call &)>;

struct FaultCase {
	const char *name;
	const char *preset;
	std::vector<std::string> args;
	Expect expect;
	void (*setup)(Board &) = nullptr;
};

std::ostream &operator<<(std::ostream &o, const FaultCase &c)
{
	return o << c.name;
}

std::string open_error(const Call &c)
{
	return "/dev/" + c.node + " open error\n";
}

// source line numbers as "(%d)"
std::string numbered(const std::string &out)
{
	static const std::regex line_number(R"(\(([0-9]+)\):)");
	return std::regex_replace(out, line_number, "(%d):");
}

// the first n lines of a text
std::string first_lines(const std::string &text, std::size_t n)
{
	std::size_t at = 0;
	for (std::size_t i = 0; i < n && at != std::string::npos; i++) {
		at = text.find('\n', at);
		at = at == std::string::npos ? at : at + 1;
	}
	return text.substr(0, at);
}

// text with msg inserted after its line i (from 0)
std::string after_line(const std::string &text, std::size_t i, const std::string &msg)
{
	const std::string head = first_lines(text, i + 1);
	return head + msg + text.substr(head.size());
}

std::string step(const json &line)
{
	const std::string op = line.value("op", "");
	if (op == "sleep")
		return op;
	return op + " " + line.value("node", "") + " " + line.value("request", "");
}

std::vector<Call> calls_of(const std::vector<json> &trace)
{
	std::vector<Call> calls;
	std::map<std::string, int> seen;
	for (std::size_t i = 0; i < trace.size(); i++) {
		const std::string op = trace[i].value("op", "");
		if (op != "open" && op != "ioctl")
			continue;
		const std::string node = trace[i].value("node", "");
		const std::string request = op == "open" ? "open" : trace[i].value("request", "");
		calls.push_back({i, op, node, request, ++seen[node + " " + request]});
	}
	return calls;
}

// the steps the command should take when call c fails
std::vector<std::string> expected_steps(const std::vector<json> &clean, const Call &c, After after)
{
	std::vector<std::string> steps;
	std::size_t i = 0;
	for (const json &line : clean)
		steps.push_back(step(line));
	if (after == After::Stops) {
		steps.resize(c.line + 1);
		if (c.op == "ioctl")
			steps.push_back("close " + c.node + " ");
	} else if (after == After::SkipsNode) {
		for (i = c.line + 1; i < steps.size() && steps[i] != "close " + c.node + " "; i++)
			;
		steps.erase(steps.begin() + static_cast<std::ptrdiff_t>(c.line) + 1,
			    steps.begin() +
				    static_cast<std::ptrdiff_t>(std::min(i + 1, steps.size())));
	}
	return steps;
}

std::vector<std::string> steps_of(const std::vector<json> &trace)
{
	std::vector<std::string> steps;
	for (const json &line : trace)
		steps.push_back(step(line));
	return steps;
}

void prepare(Board &b, const FaultCase &c)
{
	if (c.setup)
		c.setup(b);
	b.save();
	for (const char *report : reports)
		b.write(report, earlier_report);
}

std::map<std::string, std::string> files_of(const Board &b)
{
	std::map<std::string, std::string> files;
	for (const char *report : reports)
		files[report] = b.read(report);
	return files;
}

// the process's exit line lists no node left open
void expect_all_closed(const Board &b)
{
	const std::vector<json> exits = b.trace("exit");
	ASSERT_EQ(exits.size(), 1U);
	EXPECT_EQ(exits[0].at("open"), json::array());
}

// --- what each command does after a failure -------------------------------------

// an open error, or the request's own message; the command ends either way
Expect ends(const std::function<std::string(const Call &)> &request_error)
{
	return [request_error](const Clean &, const Call &c) {
		return Outcome{c.op == "open" ? open_error(c) : request_error(c), After::Stops, {}};
	};
}

Expect ends(const std::string &request_error)
{
	return ends([request_error](const Call &) { return request_error; });
}

// outcomes by call ("open#2", "ZTOSTRA_SET_TOTAL#1"); a call not listed fails the test
Expect by_call(const std::map<std::string, Outcome> &table)
{
	return [table](const Clean &, const Call &c) {
		const auto it = table.find(c.key());
		if (it == table.end()) {
			ADD_FAILURE() << "no outcome for " << c.key();
			return Outcome{};
		}
		return it->second;
	};
}

const std::string frame_error = "ostrautil_issue_ioctl(%d):ioctl() error\n";
const std::string plain_error = "ioctl() error\n";

Outcome serial_outcome(const Clean &clean, const Call &c)
{
	const std::size_t drive = c.node == "sda5" ? 0 : 1;
	std::string out = first_lines(clean.run.out, drive);
	out += c.op == "open" ? open_error(c)
			      : "/dev/" + c.node + " ioctl error. ret = -1, errno= 5\n";
	out += "ostrautil_get_serial() ostrautil_get_identify failed.\n";
	return Outcome{out,
		       After::Stops,
		       {{"tmp/ostra_serial.info",
			 first_lines(clean.files.at("tmp/ostra_serial.info"), 2 * drive)}}};
}

// "ow": the bars drawn before the failing poll, then the message
Outcome ow_outcome(const Clean &clean, const Call &c)
{
	std::size_t at = 0;
	for (int poll = 0; poll < c.nth; poll++)
		at = clean.run.out.find("\r|", at + 1);
	return Outcome{clean.run.out.substr(0, at) + (c.op == "open" ? open_error(c) : plain_error),
		       After::Stops,
		       {}};
}

// "pp": a failed sector read is reported and the next sector follows
Outcome pp_outcome(const Clean &clean, const Call &c)
{
	if (c.request == "ZTOSTRA_GET_PART" || c.key() == "open#1")
		return ends(plain_error)(clean, c);
	if (c.op == "open")
		return Outcome{
			after_line(clean.run.out, c.nth - 2, open_error(c)), After::SkipsNode, {}};
	return Outcome{after_line(clean.run.out, c.nth - 1, plain_error), After::GoesOn, {}};
}

const std::string owfunc_error = "ostrautil_issue_owfunc(%d):ioctl() error\n";
const std::string ow_get_error = "ostrautil_ow_get(%d):ioctl() error\n";
const std::string set_total_error = "ostrautil_set_total(%d):ioctl() error\n";
const std::string test_set_total_error = "ostrautil_test_set_total(%d):ioctl() error\n";
const std::string sda_open_error = "/dev/sda open error\n";
const std::string total_lines = "-------- owdata --------\ntotal      = 811910160\nset total\n"
				"------------------------\n";

void virtual_overwrite(Board &b)
{
	b.desc()["clock"] = "virtual";
	b.drive("sda")["overwrite"]["counts"] = {0, 50, 100};
}

// the read test of "pp" reaches past the partition's end
void large_disk(Board &b)
{
	b.drive("sda")["capacity"] = 400000000;
}

// 0x52: the placeholder stays in the wear report
Outcome ssd_life_outcome(const Clean &, const Call &c)
{
	return Outcome{
		(c.op == "open" ? open_error(c) : "/dev/sda ioctl error. ret = -1, errno= 5\n") +
			"ostrautil_get_ssdlife() ostrautil_issue_smart_ioctl failed.\n",
		After::Stops,
		{{"tmp/ostra_ssd_life.info", "SSD is not detected?"}}};
}

const FaultCase cases[] = {
	{"sleep_in", "two", {"12", "sda"}, ends([](const Call &c) {
		 return "/dev/" + c.node + " ioctl error\n";
	 })},
	{"sleep_out", "two", {"13", "sda"}, ends([](const Call &c) {
		 return "/dev/" + c.node + " ioctl error\n";
	 })},
	{"hdsleep", "default", {"hdsleep", "/dev/sda"}, ends(frame_error)},
	{"ow_clear", "default", {"ow_clear", "/dev/sda"}, ends(frame_error)},
	{"sleepin", "default", {"sleepin", "/dev/sda"}, ends(frame_error)},
	{"read",
	 "default",
	 {"read", "sda", "0", "100", "3"},
	 by_call({{"open#1", {sda_open_error, After::Stops, {}}},
		  {"ZTOSTRA_TEST_READ_DMA#1", {"", After::GoesOn, {}}},
		  {"ZTOSTRA_TEST_READ_DMA#2", {"", After::GoesOn, {}}},
		  {"ZTOSTRA_TEST_READ_DMA#3", {plain_error, After::GoesOn, {}}}})},
	{"uncwrite", "default", {"uncwrite", "sda", "0", "1000"}, ends(plain_error)},
	{"rotational", "default", {"rotational", "sda"}, ends(plain_error)},
	{"smart_report", "two", {"51", "sda"}, ends("ostratuil_get_smartattr(%d):ioctl() error\n")},
	{"serial_report", "two", {"53", "sda"}, serial_outcome},
	{"ssd_life", "ssd", {"52", "sda"}, ssd_life_outcome},
	{"security_erase", "ssd", {"46", "sda"}, ends(plain_error)},
	{"identify",
	 "default",
	 {"identify", "/dev/sda"},
	 ends("/dev/sda ioctl error. ret = -1, errno= 5\n")},
	{"aes_on",
	 "two",
	 {"21", "sda", "sdb", "LL=1", "LH=2", "HL=3", "HH=4"},
	 by_call({{"open#1", {"", After::Stops, {}}},
		  {"ZTOSTRA_SET_AES#1",
		   {"ostrautil_aes_on(%d):ioctl() error\n", After::Stops, {}}}})},
	{"aes_off", "two", {"22", "sda", "sdb"}, ends("ostrautil_aes_off(%d):ioctl() error\n")},
	{"aes_256_on",
	 "default",
	 {"23", "sda", "LL=1", "LH=2", "HL=3", "HH=4", "UA=5", "UB=6", "UC=7", "UD=8"},
	 by_call({{"open#1", {"", After::Stops, {}}},
		  {"ZTOSTRA_SET_AES#1",
		   {"ostrautil_aes_256_on(%d):ioctl() error\n", After::Stops, {}}}})},
	{"aes_256_off",
	 "default",
	 {"24", "sda"},
	 ends("ostrautil_aes_256_off(%d):ioctl() error\n")},
	{"owfunc",
	 "default",
	 {"31", "sda", "1", "ffff", "12345678", "5"},
	 by_call({{"open#1", {sda_open_error, After::Stops, {}}},
		  {"ZTOSTRA_CLEAR_TOTAL#1", {owfunc_error, After::Stops, {}}},
		  {"open#2", {sda_open_error + owfunc_error, After::Stops, {}}},
		  {"ZTOSTRA_OW_OP#1", {ow_get_error + owfunc_error, After::Stops, {}}},
		  {"open#3", {sda_open_error, After::SkipsNode, {}}},
		  {"ZTOSTRA_SET_TOTAL#1", {set_total_error, After::GoesOn, {}}},
		  {"open#4", {sda_open_error, After::Stops, {}}},
		  {"ZTOSTRA_OW_OP#2", {owfunc_error, After::Stops, {}}},
		  {"ZTOSTRA_ISUEE_OWFUNC#1", {owfunc_error, After::Stops, {}}}})},
	{"owfunc_current_mode",
	 "default",
	 {"31", "sda", "-1", "7"},
	 by_call({{"open#1", {sda_open_error, After::Stops, {}}},
		  {"ZTOSTRA_CLEAR_TOTAL#1", {owfunc_error, After::Stops, {}}},
		  {"open#2", {sda_open_error + owfunc_error, After::Stops, {}}},
		  {"ZTOSTRA_OW_OP#1", {ow_get_error + owfunc_error, After::Stops, {}}},
		  {"open#3", {sda_open_error, After::SkipsNode, {}}},
		  {"ZTOSTRA_SET_TOTAL#1", {set_total_error, After::GoesOn, {}}},
		  {"open#4", {sda_open_error, After::Stops, {}}},
		  {"ZTOSTRA_ISUEE_OWFUNC#1", {owfunc_error, After::Stops, {}}}})},
	{"owcnt", "default", {"32", "sda"}, ends(plain_error)},
	{"ow_get_mode", "default", {"40", "sda"}, ends(plain_error)},
	{"ow_set", "default", {"41", "sda"}, ends(plain_error)},
	{"ow_set_fixdata", "default", {"44", "sda", "1234"}, ends(plain_error)},
	{"ow_get_test", "default", {"ff", "sda"}, ends(plain_error)},
	{"progress", "default", {"ow", "sda"}, ow_outcome, virtual_overwrite},
	{"partition", "default", {"pp", "sda5", "50"}, pp_outcome, large_disk},
	{"superblock",
	 "default",
	 {"psb", "sda5", "1"},
	 by_call({{"open#1", {"/dev/sda5 open error\n", After::Stops, {}}},
		  {"ZTOSTRA_GET_PART#1", {plain_error, After::Stops, {}}},
		  {"open#2", {"/dev/sda5 open error\n", After::Stops, {}}},
		  {"ZTOSTRA_TEST_READ_DMA#1", {plain_error, After::Stops, {}}}})},
	{"set_total",
	 "default",
	 {"ow_set_total", "sda", "3"},
	 by_call({{"open#1", {sda_open_error + test_set_total_error, After::Stops, {}}},
		  {"ZTOSTRA_OW_OP#1", {ow_get_error + test_set_total_error, After::Stops, {}}},
		  {"open#2", {total_lines + sda_open_error, After::Stops, {}}},
		  {"ZTOSTRA_SET_TOTAL#1", {total_lines + set_total_error, After::Stops, {}}}})},
};

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, EveryCallFailsOnce)
{
	const FaultCase &c = GetParam();
	Clean clean;
	{
		Board b(c.preset);
		prepare(b, c);
		clean.run = b.run(c.args);
		clean.trace = b.trace();
		clean.files = files_of(b);
		expect_all_closed(b);
	}
	ASSERT_EQ(clean.run.status, 0) << clean.run.out;
	clean.calls = calls_of(clean.trace);
	ASSERT_FALSE(clean.calls.empty());

	for (const Call &call : clean.calls) {
		SCOPED_TRACE("failing " + call.node + " " + call.key());
		Board b(c.preset);
		prepare(b, c);
		b.fault(call.node, call.request, -1, EIO, call.nth, 1);
		const RunResult r = b.run(c.args);
		const Outcome o = c.expect(clean, call);
		const std::vector<json> trace = b.trace();

		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(numbered(r.out), o.out);
		ASSERT_GT(trace.size(), call.line);
		EXPECT_EQ(trace[call.line].value("result", 0), -1);
		EXPECT_EQ(steps_of(trace), expected_steps(clean.trace, call, o.after));
		for (const char *report : reports) {
			const auto it = o.files.find(report);
			EXPECT_EQ(b.read(report), it != o.files.end() ? it->second : earlier_report)
				<< report;
		}
		expect_all_closed(b);
	}
	std::printf("%s: %zu failure points\n", c.name, clean.calls.size());
}

INSTANTIATE_TEST_SUITE_P(Command, Faults, testing::ValuesIn(cases),
			 [](const testing::TestParamInfo<FaultCase> &i) {
				 return std::string(i.param.name);
			 });

// The exit line names the nodes a process leaves open.
TEST(ExitTrace, ListsTheNodesLeftOpen)
{
	Board b;
	const RunResult r =
		b.run_program({"/bin/bash", "-c", "exec 3<>/dev/sda; exec 4<>/dev/sda5; exit 0"});
	EXPECT_EQ(r.status, 0) << r.err;
	const std::vector<json> exits = b.trace("exit");
	ASSERT_EQ(exits.size(), 1U);
	EXPECT_EQ(exits[0].at("open"), json::array({"sda", "sda5"}));
	EXPECT_EQ(steps_of(b.trace()), (std::vector<std::string>{"open sda ", "open sda5 "}));
}

} // namespace
