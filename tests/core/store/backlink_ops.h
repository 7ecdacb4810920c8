// One backlink operation through BacklinkIndex::apply, the way the database
// makes them, for tests that add or remove entries one at a time.
#pragma once

#include "store/backlinks.h"

namespace quillet::testing {

inline std::expected<void, Error> apply_one(BacklinkIndex& index, BacklinkIndex::Op op, std::string_view target_key,
                                              const BacklinkEntry& entry) {
  const BacklinkIndex::Change change{op, target_key, &entry};
  std::size_t made = 0;
  return index.apply({&change, 1}, made);
}

inline std::expected<void, Error> add(BacklinkIndex& index, std::string_view target_key,
                                        const BacklinkEntry& entry) {
  return apply_one(index, BacklinkIndex::Op::Add, target_key, entry);
}

inline std::expected<void, Error> remove(BacklinkIndex& index, std::string_view target_key,
                                           const BacklinkEntry& entry) {
  return apply_one(index, BacklinkIndex::Op::Remove, target_key, entry);
}

}  // namespace quillet::testing
