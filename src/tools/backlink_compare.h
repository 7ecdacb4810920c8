// Backlink files against the entries the live records call for: comparing
// them (check) and writing the file that lists exactly those entries (repair
// and compact).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "tools/backlink_replay.h"
#include "tools/expected_links.h"
#include "tools/problems.h"

namespace quillet {

// `key "<target key>": the link from "<collection>" "<key>" at "<path>"`.
std::string describe_entry(std::string_view body);

// Reports every entry called for but not listed, then every entry listed but
// called for by no record; returns how many distinct entries are called for.
std::uint64_t compare_backlinks(std::string_view file, const Replay& replay, const EntryList& expected,
                                ProblemList& problems);

// A backlink file listing exactly the distinct `expected` entries: those the
// old replay listed first, in its order, then the others in record order.
struct RebuiltLog {
  std::string bytes;
  std::uint64_t entries = 0;
  std::uint64_t added = 0;
  std::uint64_t dropped = 0;
};

// `old` may be null: there was no backlink file.
RebuiltLog rebuild_log(const Replay* old, const EntryList& expected);

}  // namespace quillet
