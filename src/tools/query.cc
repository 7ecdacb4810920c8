#include "tools/query.h"

#include <algorithm>
#include <mutex>

#include "store/collection.h"
#include "store/resolver.h"
#include "tools/json.h"
#include "tools/listing.h"

namespace quillet {

namespace {

Error unknown_collection(std::string_view name) { return Error::not_found("unknown collection " + quote_text(name)); }

// The collection, when it has a file.
std::expected<std::shared_ptr<GuardedCollection>, Error> known_collection(Database& db, std::string_view name) {
  auto guarded = db.collection(name);
  if (!guarded) return std::unexpected(guarded.error());
  if (!(*guarded)->collection->has_file()) return std::unexpected(unknown_collection(name));
  return std::move(*guarded);
}

}  // namespace

std::expected<std::unique_ptr<Database>, Error> open_read_only(const std::string& dir) {
  auto listing = list_database(dir);
  if (!listing) return std::unexpected(listing.error());
  auto db = Database::open(dir, OpenMode::ReadOnly);
  if (db) return std::move(*db);
  // The store's error does not say which file it came from.
  for (const std::string& name : listing->collections) {
    if (auto opened = Collection::open(join_path(dir, data_file(name)), OpenMode::ReadOnly); !opened) {
      return std::unexpected(Error(opened.error().kind(), data_file(name) + ": " + opened.error().text() +
                                     " (quilletdb check lists the damage)"));
    }
  }
  return std::unexpected(db.error().in_context("cannot open the database " + dir));
}

std::vector<std::string> sorted_collection_names(const Database& db) {
  std::vector<std::string> names = db.collection_names();
  std::ranges::sort(names);
  return names;
}

std::expected<Value, Error> read_record(Database& db, std::string_view collection, std::string_view key) {
  auto guarded = known_collection(db, collection);
  if (!guarded) return std::unexpected(guarded.error());
  auto value = db.get(collection, key);
  if (value) return std::move(*value);
  if (value.error().is(ErrorKind::NotFound)) {
    return std::unexpected(Error::not_found("no record " + quote_text(key) + " in collection " + quote_text(collection)));
  }
  return std::unexpected(value.error().in_context(quote_text(collection) + " " + quote_text(key)));
}

std::expected<std::vector<BacklinkEntry>, Error> read_backlinks(Database& db, std::string_view collection,
                                                                    std::string_view key) {
  auto index = db.backlink_index(collection);
  if (!index) return std::unexpected(index.error().in_context(link_file(collection)));
  if (!(*index)->has_file()) {
    // A collection that is only ever linked to has a backlink file alone.
    auto guarded = known_collection(db, collection);
    if (!guarded) return std::unexpected(guarded.error());
  }
  auto entries = db.get_backlinks(collection, key);
  if (!entries) return std::unexpected(entries.error());
  return std::move(*entries);
}

std::expected<Value, Error> read_field(Database& db, std::string_view collection, std::string_view key,
                                           std::span<const std::string> path) {
  auto guarded = known_collection(db, collection);
  if (!guarded) return std::unexpected(guarded.error());
  auto value = Resolver(db).get_field(collection, key, path);
  if (!value) return std::unexpected(value.error());
  return std::move(*value);
}

}  // namespace quillet
