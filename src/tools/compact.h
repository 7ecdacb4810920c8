// compact: writes the live records of every collection (each one's latest
// record, byte for byte, in file order) and backlink files rebuilt from them
// into `out`, which must not exist (its parent must) or be an empty
// directory. Every collection under the source is carried, those in
// subdirectories and the one with the empty name included; a file named like
// a log that no database can open by its name is refused, by name. The
// source is only read. Refuses a source with a damaged record (damage_to_skip) unless
// `skip_damaged`, when only whole, valid records are read and the stretches
// left out are listed; on any failure the files made in `out` are removed
// again.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "tools/common.h"
#include "tools/live_records.h"
#include "tools/progress.h"

namespace quillet {

struct CompactReport {
  std::uint64_t collections = 0;
  std::uint64_t records_read = 0;
  std::uint64_t records_written = 0;
  std::uint64_t backlink_entries = 0;
  std::uint64_t bytes_read = 0;     // the source's collection and backlink files
  std::uint64_t bytes_written = 0;
  std::vector<Skipped> skipped;
};

std::expected<CompactReport, Error> compact_database(const std::string& dir, const std::string& out,
                                                         const Progress& progress = {}, bool skip_damaged = false);

}  // namespace quillet
