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

struct ResolveError {
  enum class Kind : std::uint8_t { Storage, InvalidPath, CyclicLink, FieldNotFound };
  Kind kind = Kind::FieldNotFound;
  StorageError storage;
  std::string path_text;

  static ResolveError from_storage(StorageError e) { return {Kind::Storage, std::move(e), {}}; }
  static ResolveError invalid_path(std::string text) { return {Kind::InvalidPath, {}, std::move(text)}; }
  static ResolveError cyclic_link() { return {Kind::CyclicLink, {}, {}}; }
  static ResolveError field_not_found() { return {Kind::FieldNotFound, {}, {}}; }

  // "storage: {}", "invalid path: {}", "cyclic link detected", "field not found".
  std::string text() const;
};

inline constexpr std::uint32_t kMaxLinkDepth = 32;

// Made for one get_field call; reads only through Database::get.
class Resolver {
 public:
  explicit Resolver(Database& db) : db_(db) {}
  std::expected<Value, ResolveError> get_field(std::string_view collection, std::string_view key,
                                               std::span<const std::string> path);

 private:
  Database& db_;
};

}  // namespace quillet
