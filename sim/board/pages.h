// pages.h - what a simulated drive reports about itself, built once from its
// entry in board.json: identify words and SMART pages, from the texts and
// attributes given, or from a drive data file (sections IDFY, SMDT, SMTH).
#pragma once

#include <map>
#include <string>

#include "board.h"

namespace sim {

// The sections of a drive data file (4-byte tag, 4-byte big-endian length,
// data), absolute or relative to the board directory; throws runtime_error.
using Sections = std::map<std::string, std::string>;
Sections read_drive_file(const std::string &file, const BoardDir *root);
// A 512-byte section; throws runtime_error when there is none.
Page section(const Sections &sections, const char *tag);
// The identify words of the drive entry: "identify.words" given whole, or a
// plausible SATA drive with the entry's texts, capacity and rotational flag.
IdentifyWords build_identify(const json &drive, const json &identify);
// SMART READ DATA and READ THRESHOLDS pages from "smart" (attributes,
// thresholds, or attr_page / thrs_page given whole).
Page build_attr(const json &smart);
Page build_thrs(const json &smart);

} // namespace sim
