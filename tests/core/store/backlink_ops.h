// One backlink operation through BacklinkIndex::apply, the way the database
// makes them, for tests that add or remove entries one at a time.
#pragma once

#include "store/backlinks.h"

namespace quillet::testing {

inline std::expected<void, IoError> apply_one(BacklinkIndex& index, BacklinkIndex::Op op, std::string_view target_key,
                                              const BacklinkEntry& entry) {
  const BacklinkIndex::Change change{op, target_key, &entry};
  auto applied = index.apply({&change, 1});
  if (!applied) return std::unexpected(applied.error().error);
  return {};
}

inline std::expected<void, IoError> add(BacklinkIndex& index, std::string_view target_key,
                                        const BacklinkEntry& entry) {
  return apply_one(index, BacklinkIndex::Op::Add, target_key, entry);
}

inline std::expected<void, IoError> remove(BacklinkIndex& index, std::string_view target_key,
                                           const BacklinkEntry& entry) {
  return apply_one(index, BacklinkIndex::Op::Remove, target_key, entry);
}

}  // namespace quillet::testing
