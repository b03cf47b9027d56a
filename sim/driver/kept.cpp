// kept.cpp - the driver's own part of the state (the controller's link, per
// drive its port, a binding refused, a password that may be left, a long
// command going on), and the whole of the modules' parts (kept.h).
#include "kept.h"

namespace sim {

using namespace checked;

namespace {

const char *const ports[] = {"ready", "offline", "asleep"};
const char *const links[] = {"asleep", "up"};

} // namespace

DriveKept DriveKept::from_json(const json &j)
{
	static const char *const fields[] = {"port",    "aes",      "ow",  "drive",
					     "unbound", "password", "busy"};
	static const char *const busy_fields[] = {"pid", "command"};
	DriveKept k;
	object_of(j, fields);
	opt(j, "port", [&](const json &x) { k.port = static_cast<Port>(one_of(x, ports)); });
	opt(j, "ow", [&](const json &x) { k.ow = OverwriteKept::from_json(x); });
	opt(j, "aes", [&](const json &x) {
		const AesKept aes = AesKept::from_json(x);
		if (!x.empty()) // (empty: never set)
			k.aes = aes;
	});
	opt(j, "drive", [&](const json &x) { k.drive = SimDriveState::from_json(x); });
	opt(j, "unbound", [&](const json &x) { k.unbound = text(x); });
	opt(j, "password", [&](const json &x) { k.password = text(x); });
	opt(j, "busy", [&](const json &x) {
		object_of(x, busy_fields);
		Busy b;
		opt(x, "pid", [&](const json &p) { b.pid = whole<int>(p, 1); });
		opt(x, "command", [&](const json &c) { b.command = text(c); });
		k.busy = b;
	});
	return k;
}

json DriveKept::to_json() const
{
	json j = json::object();
	if (port)
		j["port"] = ports[*port];
	if (aes)
		j["aes"] = aes->to_json();
	if (json o = ow.to_json(); !o.empty())
		j["ow"] = o;
	if (json d = drive.to_json(); !d.empty())
		j["drive"] = d;
	if (unbound)
		j["unbound"] = *unbound;
	if (password)
		j["password"] = *password;
	if (busy) {
		j["busy"] = {{"command", busy->command}};
		if (busy->pid)
			j["busy"]["pid"] = *busy->pid;
	}
	return j;
}

const DriveKept &State::kept(const std::string &drive) const
{
	static const DriveKept none;
	const auto it = drives.find(drive);
	return it != drives.end() ? it->second : none;
}

State State::from_json(const json &j)
{
	static const char *const fields[] = {"controller", "drives", "faults"};
	static const char *const controller_fields[] = {"link"};
	State s;
	object_of(j, fields);
	opt(j, "controller", [&](const json &v) {
		object_of(v, controller_fields);
		opt(v, "link", [&](const json &x) { s.link_up = one_of(x, links) == 1; });
	});
	opt(j, "drives", [&](const json &v) {
		if (!v.is_object())
			throw Bad{"", "must be an object, not " + article(v)};
		for (const auto &[name, kept] : v.items())
			at(node_name(name), [&, &kept = kept, &name = name] {
				s.drives[name] = DriveKept::from_json(kept);
			});
	});
	opt(j, "faults", [&](const json &v) { s.faults = FaultCounts::from_json(v); });
	return s;
}

json State::to_json() const
{
	json j = json::object();
	if (link_up)
		j["controller"]["link"] = links[*link_up ? 1 : 0];
	for (const auto &[name, kept] : drives)
		if (json k = kept.to_json(); !k.empty())
			j["drives"][name] = k;
	if (json f = faults.to_json(); !f.empty())
		j["faults"] = f;
	return j;
}

StateView read_state(const Board &board)
{
	detail::StateHolder holder;
	const StateNumbers n = read_state(board, &holder);
	return {std::move(holder.state), n.clock_ns};
}

} // namespace sim
