// checked.h - reading JSON that a user may have written: each reader takes a
// value or refuses it with the reason, and each enclosing key puts its name
// in front, so that a refusal names the key's whole path
// ("drives.sda.drive.power: must be a string, not a number").  The board's
// description and every module's part of the state are read with these.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include <nlohmann/json.hpp>

namespace sim {

using json = nlohmann::json;

// A refusal on its way out; each enclosing key puts its name in front.
struct Bad {
	std::string path;
	std::string why;
};

// A key of a checked object: its name, type and meaning.
struct KeyDef {
	const char *name, *type, *meaning;
};

// A name as the trace and the state keep it: bytes other than printable
// ASCII as \xHH, so that any node a program asks for can be stored.
std::string node_name(const std::string &raw);

namespace checked {

inline const char *name_of(const char *name)
{
	return name;
}
inline const char *name_of(const KeyDef &def)
{
	return def.name;
}

template <typename Def, std::size_t N> std::string listing(const Def (&names)[N])
{
	std::string s;
	for (const Def &n : names)
		s += (s.empty() ? "" : ", ") + std::string(name_of(n));
	return s;
}

inline std::string article(const json &j)
{
	const std::string t = j.type_name();
	return (t == "array" || t == "object" ? "an " : "a ") + t;
}

// Runs fn for the value at key, naming the key in whatever it refuses.
template <typename Fn> void at(const std::string &key, Fn fn)
{
	try {
		fn();
	} catch (Bad &b) {
		b.path = key + (b.path.empty() || b.path[0] == '[' ? "" : ".") + b.path;
		throw;
	}
}

// An object whose keys are all among names.
template <typename Def, std::size_t N> void object_of(const json &j, const Def (&names)[N])
{
	if (!j.is_object())
		throw Bad{"", "must be an object, not " + article(j)};
	for (const auto &item : j.items()) {
		const std::string &key = item.key();
		if (std::find_if(names, names + N,
				 [&](const Def &n) { return key == name_of(n); }) == names + N)
			throw Bad{node_name(key), "unknown key (known: " + listing(names) + ")"};
	}
}

template <typename T>
T whole(const json &j, T lo = std::numeric_limits<T>::min(), T hi = std::numeric_limits<T>::max())
{
	if (!j.is_number() || j.is_number_float())
		throw Bad{"", "must be a whole number, not " +
				      (j.is_number_float() ? j.dump() : article(j))};
	bool inside = false;
	if (!j.is_number_unsigned() && j.get<std::int64_t>() < 0) {
		if constexpr (std::is_signed_v<T>)
			inside = j.get<std::int64_t>() >= std::int64_t{lo};
	} else {
		const auto v = j.get<std::uint64_t>();
		bool above_lo = true;
		if constexpr (std::is_signed_v<T>)
			above_lo = lo < 0 || v >= static_cast<std::uint64_t>(lo);
		else
			above_lo = v >= lo;
		inside = above_lo && v <= static_cast<std::uint64_t>(hi);
	}
	if (!inside)
		throw Bad{"", "must be " + std::to_string(lo) + " to " + std::to_string(hi) +
				      ", not " + j.dump()};
	return j.is_number_unsigned() ? static_cast<T>(j.get<std::uint64_t>())
				      : static_cast<T>(j.get<std::int64_t>());
}

inline std::string text(const json &j, std::size_t max = std::string::npos)
{
	if (!j.is_string())
		throw Bad{"", "must be a string, not " + article(j)};
	const auto &s = j.get_ref<const std::string &>();
	if (s.size() > max)
		throw Bad{"", "must be at most " + std::to_string(max) + " characters long"};
	return s;
}

inline bool flag(const json &j)
{
	if (!j.is_boolean())
		throw Bad{"", "must be true or false, not " + article(j)};
	return j.get<bool>();
}

// The index of the value among names (a string that is one of them).
template <std::size_t N> std::size_t one_of(const json &j, const char *const (&names)[N])
{
	const std::string s = text(j);
	for (std::size_t i = 0; i < N; i++)
		if (s == names[i])
			return i;
	throw Bad{"", "unknown value " + j.dump()};
}

// fn(element) for each element of an array of at most max.
template <typename Fn> void each(const json &j, std::size_t max, Fn fn)
{
	if (!j.is_array())
		throw Bad{"", "must be an array, not " + article(j)};
	if (j.size() > max)
		throw Bad{"", "holds at most " + std::to_string(max) + " entries"};
	for (std::size_t i = 0; i < j.size(); i++)
		at("[" + std::to_string(i) + "]", [&] { fn(j[i]); });
}

// Runs fn(value) for the key when it is there.
template <typename Fn> void opt(const json &j, const char *key, Fn fn)
{
	if (j.contains(key))
		at(key, [&] { fn(j.at(key)); });
}

// The key's value read by read(value), when it is there.
template <typename T, typename Read>
void opt_into(const json &j, const char *key, std::optional<T> &into, Read read)
{
	opt(j, key, [&](const json &v) { into = read(v); });
}

// The other way: the key set to the value when there is one.
template <typename T> void put_opt(json &j, const char *key, const std::optional<T> &value)
{
	if (value)
		j[key] = *value;
}

} // namespace checked

} // namespace sim
