// Reads through a read-only open (OpenMode::ReadOnly): nothing is created,
// cut or written. A collection is unknown when it has no .qdb file (nor,
// for backlinks, a .qbl file).
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/database.h"
#include "tools/common.h"
#include "tools/progress.h"
#include "value/value.h"

namespace quillet {

// Fails naming the file when a collection file cannot be read.
std::expected<std::unique_ptr<Database>, Error> open_read_only(const std::string& dir);

std::vector<std::string> sorted_collection_names(const Database& db);

std::expected<Value, Error> read_record(Database& db, std::string_view collection, std::string_view key);
std::expected<std::vector<BacklinkEntry>, Error> read_backlinks(Database& db, std::string_view collection,
                                                                    std::string_view key);
std::expected<Value, Error> read_field(Database& db, std::string_view collection, std::string_view key,
                                           std::span<const std::string> path);

}  // namespace quillet
