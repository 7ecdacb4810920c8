// Resolver: reads the value at a field path, starting from one record and
// following links from record to record, at most 32 links deep.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "store/database.h"
#include "value/value.h"

namespace quillet {

inline constexpr std::uint32_t kMaxLinkDepth = 32;

// Made for one get_field call; reads only through Database::get.
// Fails with "storage: {}" (the store's error), "invalid path: {}",
// "cyclic link detected" or "field not found".
class Resolver {
 public:
  explicit Resolver(Database& db) : db_(db) {}
  std::expected<Value, Error> get_field(std::string_view collection, std::string_view key,
                                               std::span<const std::string> path);

 private:
  Database& db_;
};

}  // namespace quillet
