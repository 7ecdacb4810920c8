// The resolver over small linked data sets built from the input: records of
// three collections holding maps, arrays, local values and links with literal,
// "$self" and "$self.x" keys, written through Database::set. Resolving any
// path may fail but must neither crash nor hang. The backlinks the database
// keeps while the records change must match the links of the live records.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "store/backlinks.h"
#include "store/database.h"
#include "fuzz_support.h"
#include "store/resolver.h"

using namespace quillet;

namespace {

const char* const kCollections[] = {"a", "b", "c"};
const char* const kKeys[] = {"k0", "k1", "k2", ""};
const char* const kFields[] = {"x", "y", "k1", "", "$self", "a/b"};
constexpr std::size_t kMaxNestingBuilt = 4;

std::string pick(FuzzedDataProvider& in, const auto& choices) { return in.PickValueInArray(choices); }

// Texts hold UTF-8 only (the Python layer guarantees it): ASCII, NUL and
// the separators "/" and "." included, and "é" for a multi-byte character.
std::string some_text(FuzzedDataProvider& in, std::size_t max_length) {
  std::string out;
  for (char c : in.ConsumeRandomLengthString(max_length)) {
    if (static_cast<unsigned char>(c) < 0x80) {
      out.push_back(c);
    } else {
      out += "\xC3\xA9";
    }
  }
  return out;
}

std::string key_spec(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      return "$self";
    case 1:
      return "$self." + pick(in, kFields);
    case 2:
      return "$self." + pick(in, kFields) + "." + pick(in, kFields);
    case 3:
      return "$" + pick(in, kFields);
    default:
      return pick(in, kKeys);
  }
}

// collection/key, sometimes followed by field segments; now and then a path
// without a "/" or with an odd collection.
std::string link_path(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 9)) {
    case 0:
      return pick(in, kCollections);
    case 1:
      return "/" + pick(in, kKeys);
    case 2:
      return some_text(in, 12);
    default:
      break;
  }
  std::string path = pick(in, kCollections) + "/" + key_spec(in);
  for (int extra = in.ConsumeIntegralInRange(0, 2); extra > 0; --extra) path += "/" + pick(in, kFields);
  return path;
}

Value build_value(FuzzedDataProvider& in, std::size_t depth);

Map build_map(FuzzedDataProvider& in, std::size_t depth, int max_entries) {
  Map map;
  for (int n = in.ConsumeIntegralInRange(0, max_entries); n > 0; --n) {
    map.insert_or_assign(pick(in, kFields), build_value(in, depth + 1));
  }
  return map;
}

Value build_value(FuzzedDataProvider& in, std::size_t depth) {
  const int leaf_kinds = 5;
  const int kinds = depth >= kMaxNestingBuilt ? leaf_kinds : leaf_kinds + 4;
  switch (in.ConsumeIntegralInRange(0, kinds - 1)) {
    case 0:
      return Value::null();
    case 1:
      return Value::integer(in.ConsumeIntegral<std::int8_t>());
    case 2:
      return Value::text(pick(in, kKeys));
    case 3:
      return Value::text(some_text(in, 8));
    case 4:
      return Value::boolean(in.ConsumeBool());
    case 5: {
      Array items;
      for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n) items.push_back(build_value(in, depth + 1));
      return Value::array(std::move(items));
    }
    case 6:
      return Value::map(build_map(in, depth, 4));
    default:  // links are the point: two of the nine choices
      return Value::link(link_path(in), in.ConsumeBool() ? build_map(in, depth, 2) : Map{});
  }
}

// (target collection, target key, source collection, source key, source path)
using Backlink = std::tuple<std::string, std::string, std::string, std::string, std::string>;

// The backlinks recomputed from the live records, against those the
// database lists. Compared as sets: two links of one record can share a
// source path (a "/" inside a map key), and the index keeps such a pair once
// or twice depending on the record's history.
void check_backlinks(Database& db) {
  std::set<Backlink> expected;
  for (const char* collection : kCollections) {
    for (const char* key : kKeys) {
      auto value = db.get(collection, key);
      if (!value) continue;
      for (const LinkRef& l : collect_links(*value)) {
        expected.emplace(l.target_collection, l.target_key, collection, key, l.source_path);
      }
    }
  }
  std::set<Backlink> listed;
  std::set<std::pair<std::string, std::string>> targets;
  for (const auto& [tc, tk, sc, sk, sp] : expected) targets.emplace(tc, tk);
  for (const char* collection : kCollections) {
    for (const char* key : kKeys) targets.emplace(collection, key);
  }
  for (const auto& [tc, tk] : targets) {
    auto entries = db.get_backlinks(tc, tk);
    if (!entries) continue;  // a target collection whose name is no file name
    for (const BacklinkEntry& e : *entries) listed.emplace(tc, tk, e.source_collection, e.source_key, e.source_path);
  }
  // Entries of targets that no live record names any more must be gone too:
  // every listed entry has to be expected, and the reverse.
  if (listed != expected) fuzz::fail("backlinks differ from the links of the live records");
}

// One database reused across inputs (its files append only, so it is made
// afresh now and then); every input first overwrites all of its records.
Database& database() {
  static std::unique_ptr<Database> db;
  static unsigned uses = 0;
  if (!db || ++uses % 256 == 0) {
    db.reset();
    const std::string dir = fuzz::scratch_dir() + "/db";
    std::filesystem::remove_all(dir);
    auto opened = Database::open(dir);
    if (!opened) fuzz::fail("cannot open the scratch database", opened.error().text());
    db = std::move(*opened);
  }
  return *db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Database& db = database();

  const bool transaction = in.ConsumeBool();
  if (transaction) db.begin();
  for (const char* collection : kCollections) {
    for (const char* key : kKeys) {
      Value value = in.ConsumeIntegralInRange(0, 7) == 0 ? Value::tombstone() : build_value(in, 0);
      // A link into a collection whose name holds NUL is refused; nothing
      // else may fail on a memory-backed directory.
      auto written = db.set(collection, key, value);
      if (!written && written.error().text() != "io: " + std::string(kNulInName)) {
        fuzz::fail("set failed", written.error().text());
      }
    }
  }
  if (transaction) {
    if (auto committed = db.commit(); !committed) fuzz::fail("commit failed", committed.error().text());
  }
  check_backlinks(db);

  Resolver resolver(db);
  for (int n = 0; n < 6 && in.remaining_bytes() > 0; ++n) {
    const std::string collection = pick(in, kCollections);
    const std::string key = pick(in, kKeys);
    std::vector<std::string> path;
    for (int segments = in.ConsumeIntegralInRange(0, 4); segments > 0; --segments) path.push_back(pick(in, kFields));
    auto found = resolver.get_field(collection, key, path);
    (void)(found ? debug_string(*found) : found.error().text());
  }
  return 0;
}
