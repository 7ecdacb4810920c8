// repair: refuses unless it can lock every file of the database exclusively
// (no other open database holds any of them). Then cuts every incomplete last
// record, whatever its length, and rebuilds every backlink file from the live
// records: written to <name>.qbl.tmp, synced, and renamed over <name>.qbl.
// Entries that were already listed keep their order; missing ones follow.
// Copies a stopped compaction left behind (*.compact-tmp) are removed.
// Every change is announced through `notice` before it is made. Records that
// do not decode are left as they are (check still reports them).
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>

#include "tools/common.h"
#include "tools/progress.h"

namespace quillet {

// Told what repair is about to change, before it changes it; returning false
// stops the repair there with "interrupted".
using Notice = std::function<bool(const std::string& text)>;

struct RepairReport {
  std::uint64_t tails_cut = 0;
  std::uint64_t tail_bytes_cut = 0;
  std::uint64_t backlink_files_rebuilt = 0;
  std::uint64_t backlink_entries_added = 0;    // missing before the repair
  std::uint64_t backlink_entries_dropped = 0;  // listed before, called for by no record
  std::uint64_t damaged_records = 0;           // left for a person to look at
};

std::expected<RepairReport, Error> repair_database(const std::string& dir, const Notice& notice,
                                                       const Progress& progress = {});

}  // namespace quillet
