// Replaying a backlink file as the store does: which entries it lists, and in
// which order they were added.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>
#include <utility>
#include <vector>

#include "store/collection.h"
#include "tools/listing.h"
#include "tools/problems.h"
#include "tools/progress.h"
#include "tools/scan.h"

namespace quillet {

// The state a replay of a backlink file leaves: each listed entry with the
// position of the add that listed it (a remove drops every equal entry; an
// entry added again afterwards takes a new position).
struct Replay {
  KeyTable listed;                    // entry body -> its position
  std::vector<std::uint32_t> counts;  // by position: times listed, 0 once removed
  std::uint64_t records = 0;
  ScanEnd end;

  void add(std::string_view body);
  void remove(std::string_view body);
  bool lists(std::string_view body) const;
  // Entries listed, an entry added twice counting twice.
  std::uint64_t listed_entries() const;
  // The listed entries in the order they were added; the views are valid
  // while the replay is not changed.
  std::vector<std::pair<std::uint64_t, std::string_view>> in_order() const;
};

// Replays a backlink file as the store does, except that a damaged record is
// reported (when `problems` is given) and skipped rather than ending the
// replay, so that everything else can still be compared. `meter` may be null.
std::expected<Replay, Error> replay_log(const OpenFile& file, ProblemList* problems, ProgressMeter* meter);

}  // namespace quillet
