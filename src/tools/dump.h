// dump: every live record of a database directory as JSON Lines, read from
// the collection files as the tools read them (never through an open
// database), so that every collection under the directory is seen and
// damage can be stepped over.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common.h"
#include "tools/live_records.h"
#include "tools/progress.h"

namespace quillet {

struct DumpReport {
  std::uint64_t records = 0;
  std::vector<Skipped> skipped;  // with skip_damaged: the stretches left out
};

// Writes every live record of `collection` (of every collection when
// nullopt; "unknown collection" when it has no file), collections and keys in
// sorted order, as JSON Lines {"collection": ..., "key": ..., "value": ...},
// handing `write` chunks of whole lines. Damage fails before anything is
// written (damage_to_skip), unless `skip_damaged`.
std::expected<DumpReport, Error> dump_records(const std::string& dir, std::optional<std::string_view> collection,
                                                  const std::function<Step(std::string_view)>& write,
                                                  const Progress& progress = {}, bool skip_damaged = false);

}  // namespace quillet
