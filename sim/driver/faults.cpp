// faults.cpp - the faults a board injects: which call each one fails, counted
// per fault in the state (state.faults) from the moment it was added, so that
// neither the trace nor its clearing changes which calls fail; the ids of
// faults written into board.json by hand; the request names a fault may name.
//
//   faults.next      the next id to give (ids are never given twice)
//   faults.seen      calls of its request and node each fault saw, by id
//   faults.unnamed   the faults of board.json without an id, by the id the
//                    state gave them when it first saw them
#include <algorithm>
#include <set>

#include <sys/stat.h>

#include "driver.h"

namespace sim {

using namespace checked;

namespace {

// Edits that make a into b (letters compared without case).
std::size_t distance(const std::string &a, const std::string &b)
{
	std::vector<std::size_t> row(b.size() + 1);
	for (std::size_t j = 0; j <= b.size(); j++)
		row[j] = j;
	for (std::size_t i = 1; i <= a.size(); i++) {
		std::size_t diagonal = row[0];
		row[0] = i;
		for (std::size_t j = 1; j <= b.size(); j++) {
			const std::size_t up = row[j];
			const bool same = std::toupper(static_cast<unsigned char>(a[i - 1])) ==
					  std::toupper(static_cast<unsigned char>(b[j - 1]));
			row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
			diagonal = up;
		}
	}
	return row[b.size()];
}

std::string none(const std::string &)
{
	return "";
}

std::string calls(std::uint64_t n)
{
	return std::to_string(n) + (n == 1 ? " call" : " calls");
}

} // namespace

std::string request_refusal(const std::string &name)
{
	if (find_request(name) != nullptr)
		return "";
	// the nearest names, when they are near: a quarter of the name changed
	std::size_t best = std::max<std::size_t>(1, name.size() / 4);
	std::vector<std::string> nearest;
	std::vector<std::string> names = {"open"};
	for (const Request &r : requests())
		names.emplace_back(r.name);
	for (const std::string &n : names) {
		const std::size_t d = distance(name, n);
		if (d < best)
			nearest.clear();
		if (d <= best) {
			best = d;
			nearest.push_back(n);
		}
	}
	std::string hint;
	for (std::size_t i = 0; i < nearest.size() && i < 3; i++)
		hint += (i == 0 ? " (did you mean " : " or ") + nearest[i];
	return "no request " + node_name(name) + (hint.empty() ? "" : hint + "?)");
}

std::vector<std::uint32_t> FaultCounts::ids_of(const std::vector<Fault> &faults)
{
	std::vector<std::uint32_t> ids(faults.size());
	std::set<std::uint32_t> taken;
	for (const Fault &f : faults)
		if (f.id) {
			taken.insert(*f.id);
			next = std::max(next, *f.id + 1);
		}
	std::map<std::uint32_t, Fault> before;
	before.swap(unnamed);
	for (std::size_t i = 0; i < faults.size(); i++) {
		const Fault &f = faults[i];
		if (f.id) {
			// an id the state gave another fault: that count is not this one's
			const auto was = before.find(*f.id);
			if (was != before.end() && !(was->second == f))
				seen.erase(*f.id);
			ids[i] = *f.id;
			continue;
		}
		const auto same = std::find_if(before.begin(), before.end(), [&](const auto &e) {
			return e.second == f && taken.count(e.first) == 0;
		});
		std::uint32_t id = 0;
		if (same != before.end()) {
			id = same->first;
		} else {
			while (taken.count(next) != 0)
				next++;
			id = next++;
			seen.erase(id);
		}
		taken.insert(id);
		unnamed[id] = f;
		ids[i] = id;
	}
	for (auto it = seen.begin(); it != seen.end();)
		it = taken.count(it->first) != 0 ? std::next(it) : seen.erase(it);
	return ids;
}

bool FaultCounts::armed(const Fault &fault, std::uint64_t seen)
{
	return !fault.times || seen < fault.after || seen - fault.after < *fault.times;
}

FaultCounts FaultCounts::from_json(const json &j)
{
	static const char *const fields[] = {"next", "seen", "unnamed"};
	FaultCounts c;
	object_of(j, fields);
	const auto id_of = [](const std::string &key) {
		if (key.empty() || key.size() > 6 ||
		    key.find_first_not_of("0123456789") != std::string::npos || key[0] == '0')
			throw Bad{"", "not a fault's id (1 to 999999)"};
		return static_cast<std::uint32_t>(std::stoul(key));
	};
	const auto by_id = [&](const json &v, auto read) {
		if (!v.is_object())
			throw Bad{"", "must be an object, not " + article(v)};
		for (const auto &[key, value] : v.items())
			at(node_name(key),
			   [&, &key = key, &value = value] { read(id_of(key), value); });
	};
	opt(j, "next", [&](const json &x) { c.next = whole<std::uint32_t>(x, 1, 1000000); });
	opt(j, "seen", [&](const json &v) {
		by_id(v, [&](std::uint32_t id, const json &n) {
			c.seen[id] = whole<std::uint64_t>(n);
		});
	});
	opt(j, "unnamed", [&](const json &v) {
		by_id(v, [&](std::uint32_t id, const json &f) {
			c.unnamed[id] = fault_of(f, none, nullptr);
		});
	});
	return c;
}

json FaultCounts::to_json() const
{
	json j = json::object();
	if (next != 1)
		j["next"] = next;
	for (const auto &[id, n] : seen)
		j["seen"][std::to_string(id)] = n;
	for (const auto &[id, f] : unnamed)
		j["unnamed"][std::to_string(id)] = json::parse(fault_text(f));
	return j;
}

std::optional<std::uint32_t> injected_fault(const Board &board, State &state,
					    const std::string &node, const std::string &request,
					    int &result, int &err)
{
	const std::vector<Fault> &faults = board.info.faults;
	if (faults.empty())
		return std::nullopt;
	const std::vector<std::uint32_t> ids = state.faults.ids_of(faults);
	std::optional<std::uint32_t> hit;
	// every fault of the call counts it; the first whose turn it is fails it
	for (std::size_t i = 0; i < faults.size(); i++) {
		const Fault &f = faults[i];
		if (f.request != request || (f.node != "*" && f.node != node))
			continue;
		const std::uint64_t n = ++state.faults.seen[ids[i]];
		if (hit || n <= f.after || !FaultCounts::armed(f, n - 1))
			continue;
		hit = ids[i];
		result = f.result;
		err = f.errno_value();
	}
	return hit;
}

std::string fault_line(const Fault &f, std::uint32_t id, std::uint64_t seen)
{
	std::string s = "fault " + std::to_string(id) + ": " + f.request + " on " +
			(f.node == "*" ? "any node" : f.node) + " -> " + std::to_string(f.result);
	if (f.errno_value() != 0)
		s += " " + errno_name(f.errno_value());
	// "every call", "the first 2 calls", "1 call after the first 3"
	if (!f.times)
		s += ", every call";
	else if (f.after == 0)
		s += ", the first " + (*f.times == 1 ? std::string("call") : calls(*f.times));
	else
		s += ", " + calls(*f.times);
	if (f.after != 0)
		s += " after the first " + std::to_string(f.after);
	return s + "; " + (FaultCounts::armed(f, seen) ? "armed" : "spent") + ", " + calls(seen) +
	       " seen";
}

std::vector<FaultShown> show_faults(const Board &board, State state)
{
	const std::vector<std::uint32_t> ids = state.faults.ids_of(board.info.faults);
	std::vector<FaultShown> out;
	for (std::size_t i = 0; i < ids.size(); i++) {
		const Fault &f = board.info.faults[i];
		const std::uint64_t seen =
			state.faults.seen.count(ids[i]) != 0 ? state.faults.seen.at(ids[i]) : 0;
		json values = json::parse(fault_text(f));
		values["id"] = ids[i];
		values["errno"] = f.errno_value();
		values["seen"] = seen;
		values["state"] = FaultCounts::armed(f, seen) ? "armed" : "spent";
		out.push_back({ids[i], fault_line(f, ids[i], seen), values});
	}
	return out;
}

namespace {

// Runs edit(faults, counts) on the board's faults, each with its id, under
// the board's lock, then writes board.json and the state.
template <typename Edit> void edit_faults(const Root &root, Edit edit)
{
	const Board locked = load(root); // (the lock's board)
	StateTxn txn(locked);
	// board.json as it is now that no other edit runs
	const std::string text = root->read("board.json");
	const Board board =
		load(parse_json(text, root->name("board.json"), ""), root->path(), root);
	std::vector<Fault> faults = board.info.faults;
	const std::vector<std::uint32_t> ids = txn.state.faults.ids_of(faults);
	for (std::size_t i = 0; i < faults.size(); i++)
		faults[i].id = ids[i];
	txn.state.faults.unnamed.clear(); // each named in board.json from now on
	edit(faults, txn.state.faults);
	const std::string changed = with_faults(text, faults);
	(void)load(parse_json(changed, root->name("board.json"), ""), root->path(), root);
	struct stat st {};
	root->replace("board.json", changed,
		      root->stat("board.json", st) ? st.st_mode & 07777 : 0644);
	txn.commit();
}

} // namespace

std::string add_fault(const Root &root, const json &fault)
{
	std::string line;
	const Board board = load(root);
	Fault f = fault_of(fault, request_refusal, &board.info);
	if (f.id)
		throw Bad{"id", "given by ostrasim fault add"};
	edit_faults(root, [&](std::vector<Fault> &faults, FaultCounts &counts) {
		std::set<std::uint32_t> taken;
		for (const Fault &each : faults)
			taken.insert(*each.id);
		while (taken.count(counts.next) != 0)
			counts.next++;
		f.id = counts.next++;
		counts.seen.erase(*f.id); // counted from now on
		faults.push_back(f);
		line = fault_line(f, *f.id, 0);
	});
	return line;
}

std::vector<std::string> clear_faults(const Root &root, std::optional<std::uint32_t> id)
{
	std::vector<std::string> lines;
	edit_faults(root, [&](std::vector<Fault> &faults, FaultCounts &counts) {
		std::string known;
		for (auto it = faults.begin(); it != faults.end();) {
			known += (known.empty() ? "" : ", ") + std::to_string(*it->id);
			if (id && *it->id != *id) {
				++it;
				continue;
			}
			const auto seen = counts.seen.find(*it->id);
			lines.push_back(fault_line(*it, *it->id,
						   seen != counts.seen.end() ? seen->second : 0));
			counts.seen.erase(*it->id);
			it = faults.erase(it);
		}
		if (id && lines.empty())
			throw Error("fault clear: no fault " + std::to_string(*id) +
				    " (faults: " + (known.empty() ? "none" : known) + ")");
	});
	return lines;
}

} // namespace sim
