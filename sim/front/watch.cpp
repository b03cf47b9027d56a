// watch.cpp - `ostrasim watch`: a look at the board at every interval,
// drawn as one frame on a terminal (the screen cleared once, then each frame
// over the one before, the cursor hidden meanwhile) or as plain lines, one a
// drive whenever what it shows changed.  The signals that end it are
// blocked and waited for between two looks, so that a look (a state
// committed) is never cut short.
#include "watch.h"

#include <csignal>
#include <ctime>
#include <map>
#include <set>

namespace sim {

using nlohmann::json;

namespace {

constexpr std::uint64_t NS_PER_S = 1000000000;
constexpr int BAR = 30; // the progress bar's width

std::string text(const json &j, const char *key, const char *absent = "")
{
	return j.contains(key) && j.at(key).is_string() ? j.at(key).get<std::string>() : absent;
}
std::uint64_t number(const json &j, const char *key)
{
	return j.contains(key) && j.at(key).is_number_unsigned() ? j.at(key).get<std::uint64_t>()
								 : 0;
}

// "port ready, link up, power active" (a real drive's power is not kept)
std::string drive_line(const json &d)
{
	const json &port = d.value("port", json::object());
	std::string s = "port " + text(port, "state", "?") + ", link " + text(port, "link", "?");
	if (d.contains("power"))
		s += ", power " + text(d.at("power"), "mode", "?");
	return s;
}

// "running 37% (100136586 of 270636720)", "failed after 12 of 34 (why)"
std::string overwrite_line(const json &ow)
{
	std::string state = text(ow, "state", "?");
	char done[64];
	std::snprintf(done, sizeof done, "%llu of %llu",
		      static_cast<unsigned long long>(number(ow, "trcount")),
		      static_cast<unsigned long long>(number(ow, "of")));
	if (state == "failed")
		return state + " after " + done + " (" + text(ow, "failed") + ")";
	if (state != "running" && state != "finished")
		return state;
	return state + " " + std::to_string(number(ow, "count")) + "% (" + done + ")";
}

std::string bar(const json &ow, bool colour)
{
	const std::string state = text(ow, "state");
	const auto count = static_cast<int>(std::min<std::uint64_t>(number(ow, "count"), 100));
	const int full = count * BAR / 100;
	const char *on = !colour               ? ""
			 : state == "finished" ? "\033[32m"
			 : state == "failed"   ? "\033[31m"
					       : "\033[36m";
	return "[" + std::string(on) + std::string(static_cast<std::size_t>(full), '#') +
	       (colour ? "\033[0m" : "") + std::string(static_cast<std::size_t>(BAR - full), '.') +
	       "]";
}

// The frame of one look: each drive, its port, link and power, then its
// overwrite with a bar while one has started.
std::string frame(const WatchView &view, const json &drives)
{
	std::string s = view.title + "\033[K\n";
	for (const auto &[name, d] : drives.items()) {
		const json &ow = d.value("overwrite", json::object());
		s += name + ": " + drive_line(d) + "\033[K\n  overwrite " + overwrite_line(ow);
		if (text(ow, "state") == "running" || text(ow, "state") == "finished" ||
		    text(ow, "state") == "failed")
			s += "\033[K\n            " + bar(ow, view.colour);
		s += "\033[K\n";
	}
	return s + "\033[J";
}

// The signals that end a watch, blocked while it runs.
struct Blocked {
	sigset_t set{}, before{};
	Blocked()
	{
		sigemptyset(&set);
		// but one ignored when the watch started (nohup's SIGHUP)
		for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
			struct sigaction was {};
			if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
				sigaddset(&set, sig);
		}
		sigprocmask(SIG_BLOCK, &set, &before);
	}
	~Blocked()
	{
		sigprocmask(SIG_SETMASK, &before, nullptr);
	}
	Blocked(const Blocked &) = delete;
	Blocked &operator=(const Blocked &) = delete;
	// Waits ns; false when a signal came meanwhile.
	bool wait(std::uint64_t ns) const
	{
		timespec left{static_cast<time_t>(ns / NS_PER_S), static_cast<long>(ns % NS_PER_S)};
		timespec until{};
		clock_gettime(CLOCK_MONOTONIC, &until);
		until.tv_sec += left.tv_sec;
		until.tv_nsec += left.tv_nsec;
		if (until.tv_nsec >= static_cast<long>(NS_PER_S)) {
			until.tv_sec++;
			until.tv_nsec -= static_cast<long>(NS_PER_S);
		}
		for (;;) {
			if (sigtimedwait(&set, nullptr, &left) > 0)
				return false;
			if (errno != EINTR)
				return true;
			// another signal: wait what is left
			timespec now{};
			clock_gettime(CLOCK_MONOTONIC, &now);
			std::int64_t rest = (until.tv_sec - now.tv_sec) * std::int64_t{NS_PER_S} +
					    (until.tv_nsec - now.tv_nsec);
			if (rest <= 0)
				return true;
			left = {static_cast<time_t>(rest / NS_PER_S),
				static_cast<long>(rest % NS_PER_S)};
		}
	}
};

// The cursor, hidden on a terminal while the watch runs.
struct Cursor {
	std::FILE *out;
	bool hidden;
	Cursor(std::FILE *o, bool terminal) : out(o), hidden(terminal)
	{
		if (hidden)
			std::fputs("\033[?25l\033[H\033[2J", out); // and the screen cleared
	}
	~Cursor()
	{
		if (!hidden)
			return;
		std::fputs("\033[?25h", out);
		std::fflush(out);
	}
	Cursor(const Cursor &) = delete;
	Cursor &operator=(const Cursor &) = delete;
};

} // namespace

int watch(const WatchView &view, std::FILE *out)
{
	const Blocked signals;
	const Cursor cursor(out, view.terminal);
	std::set<std::string> ran;              // drives seen with an overwrite running
	std::map<std::string, std::string> was; // each drive's last plain line
	for (;;) {
		const json drives = view.look();
		bool running = false, ended = false, failed = false;
		for (const auto &[name, d] : drives.items()) {
			const std::string state =
				text(d.value("overwrite", json::object()), "state");
			if (state == "running") {
				ran.insert(name);
				running = true;
			} else if (ran.count(name) != 0) {
				ended = true;
				failed = failed || state == "failed";
			}
		}
		if (view.terminal)
			std::fprintf(out, "\033[H%s", frame(view, drives).c_str());
		for (const auto &[name, d] : drives.items()) {
			const std::string line =
				name + ": " + drive_line(d) + "; overwrite " +
				overwrite_line(d.value("overwrite", json::object()));
			if (!view.terminal && was[name] != line)
				std::fprintf(out, "%s\n", line.c_str());
			was[name] = line;
		}
		std::fflush(out);
		if (ended && !running)
			return failed ? 1 : 0;
		if (!signals.wait(view.interval_ns))
			return 0;
	}
}

std::uint64_t interval_ns(const std::string &seconds)
{
	std::uint64_t ns = 0;
	std::size_t i = 0;
	for (; i < seconds.size() && seconds[i] >= '0' && seconds[i] <= '9' && ns <= 3600; i++)
		ns = ns * 10 + static_cast<unsigned>(seconds[i] - '0');
	const bool whole = i > 0;
	ns *= NS_PER_S;
	if (i < seconds.size() && seconds[i] == '.') {
		std::uint64_t unit = NS_PER_S;
		for (i++; i < seconds.size() && seconds[i] >= '0' && seconds[i] <= '9'; i++) {
			unit /= 10;
			ns += unit * static_cast<unsigned>(seconds[i] - '0');
		}
	}
	const bool ok = i == seconds.size() && (whole || seconds.size() > 1) &&
			ns >= NS_PER_S / 10 && ns <= 3600 * NS_PER_S;
	return ok ? ns : 0;
}

} // namespace sim
