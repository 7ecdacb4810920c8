// repair: refuses unless it can lock every file of the database exclusively
// (no other open database holds any of them). Then salvages every collection
// file (format/salvage.h): it keeps every whole, valid record, resuming after
// damage where whole records resume, and moves every byte it removes (damaged
// stretches, and an incomplete last record of any length) to a side file
// <name>.qdb.damaged-<offset> beside the log, synced before the log changes.
// A log with damage inside is rewritten (<name>.qdb.tmp, synced, renamed over
// it); one that only ends in an incomplete record is cut. Then every backlink
// file is rebuilt from the live records: written to <name>.qbl.tmp, synced,
// and renamed over <name>.qbl. Entries that were already listed keep their
// order; missing ones follow. Every change is announced through `notice`
// before it is made; a dry run announces the same and changes nothing.
// Copies a stopped compaction left behind (*.compact-tmp) are removed.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <vector>

#include "tools/common.h"
#include "tools/progress.h"

namespace quillet {

// Told what repair is about to change, before it changes it; returning false
// stops the repair there with "interrupted".
using Notice = std::function<bool(const std::string& text)>;

struct RepairReport {
  std::uint64_t tails_cut = 0;
  std::uint64_t tail_bytes_cut = 0;
  std::uint64_t damaged_stretches = 0;  // removed from inside the logs, or ending one without being torn
  std::uint64_t damaged_bytes = 0;
  std::vector<std::string> side_files;  // relative to the directory
  std::uint64_t backlink_files_rebuilt = 0;
  std::uint64_t backlink_entries_added = 0;    // missing before the repair
  std::uint64_t backlink_entries_dropped = 0;  // listed before, called for by no record
  // Removed something other than the torn tail an interrupted append leaves.
  bool removed_damage() const { return damaged_stretches > 0; }
};

struct RepairOptions {
  bool dry_run = false;
};

std::expected<RepairReport, Error> repair_database(const std::string& dir, const Notice& notice,
                                                       const Progress& progress = {}, RepairOptions options = {});

}  // namespace quillet
