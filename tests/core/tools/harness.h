// What the tools' tests share: databases written through the store, records
// built by hand, and snapshots of a directory's files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <dirent.h>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>

#include "format/codec.h"
#include "format/records.h"
#include "io/lock_file.h"
#include "store/links.h"
#include "test_support.h"
#include "tools/tools.h"

namespace quillet::tools_test {

using testing::TempDir;

inline std::unique_ptr<Database> open_db(const std::string& path, OpenMode mode = OpenMode::ReadWrite) {
  auto db = Database::open(path, mode);
  EXPECT_TRUE(db.has_value()) << db.error().text();
  if (!db) std::abort();
  return std::move(*db);
}

inline std::string encoded(const Value& v) {
  std::string out;
  encode(v, out);
  return out;
}

inline std::string data_record(std::string_view key, std::string_view value) {
  std::string out;
  records::append_data_record(out, key, value);
  return out;
}

inline std::string link_record(std::uint8_t op, std::string_view key, std::string_view collection,
                               std::string_view source_key, std::string_view path) {
  std::string out;
  records::append_link_record(out, op, key, collection, source_key, path);
  return out;
}

inline Value post(std::initializer_list<std::pair<std::string, std::string>> links, std::int64_t n = 0) {
  Map m;
  m.insert_or_assign("n", Value::integer(n));
  for (const auto& [field, path] : links) m.insert_or_assign(field, Value::link(path));
  return Value::map(std::move(m));
}

// Every data file of a directory with its bytes (the lock file, which only
// coordinates open databases, left out).
inline std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != ".." && name != kLockFileName) files[name] = testing::read_file(dir + "/" + name);
    }
    ::closedir(d);
  }
  return files;
}

inline CheckReport check(const std::string& dir) {
  auto report = check_database(dir);
  EXPECT_TRUE(report.has_value()) << report.error().text();
  if (!report) std::abort();
  return std::move(*report);
}

inline std::string problems_text(const CheckReport& report) {
  std::string out;
  for (const Problem& p : report.problems) {
    out += p.file + (p.offset ? " @" + std::to_string(*p.offset) : "") + ": " + p.message + "\n";
  }
  return out;
}

// A seeded history of writes, deletes and transactions over three
// collections whose records link to each other, rewriting each key many times.
inline void write_history(const std::string& dir, unsigned seed, int steps) {
  auto db = open_db(dir);
  std::mt19937 rng(seed);
  const char* collections[] = {"users", "posts", "tags"};
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  for (int i = 0; i < steps; ++i) {
    if (pick(20) == 0) db->begin();
    const std::string collection = collections[pick(3)];
    const std::string key = "k" + std::to_string(pick(15));
    const int roll = pick(10);
    Value value;
    if (roll < 2) {
      value = Value::tombstone();
    } else if (roll < 4) {
      value = Value::integer(i);
    } else {
      Map m;
      m.insert_or_assign("n", Value::integer(i));
      for (int l = pick(4); l > 0; --l) {
        m.insert_or_assign("l" + std::to_string(l),
                           Value::link(std::string(collections[pick(3)]) + "/k" + std::to_string(pick(15))));
      }
      Array list;
      list.push_back(Value::link("users/k" + std::to_string(pick(15)), Map{}));
      m.insert_or_assign("list", Value::array(std::move(list)));
      value = Value::map(std::move(m));
    }
    ASSERT_TRUE(db->set(collection, key, value).has_value());
    if (db->in_transaction() && pick(5) == 0) {
      ASSERT_TRUE(db->commit().has_value());
    }
  }
  if (db->in_transaction()) {
    ASSERT_TRUE(db->commit().has_value());
  }
}

// Every live record and every backlink list of a database, read through the
// store itself (encoded values, so they compare exactly).
struct Contents {
  std::map<std::string, std::map<std::string, std::string>> records;
  std::map<std::string, std::set<std::string>> backlinks;  // "target/key" -> entries
  bool operator==(const Contents&) const = default;
};

inline Contents contents_of(const std::string& dir) {
  Contents c;
  auto db = open_db(dir, OpenMode::ReadOnly);
  for (const std::string& name : sorted_collection_names(*db)) {
    auto guarded = db->collection(name);
    std::vector<std::string> keys = (*guarded)->collection->live_keys();
    for (const std::string& key : keys) {
      auto value = db->get(name, key);
      EXPECT_TRUE(value.has_value()) << name << "/" << key;
      if (!value) continue;
      c.records[name][key] = encoded(*value);
      for (const LinkRef& l : collect_links(*value)) {
        auto entries = db->get_backlinks(l.target_collection, l.target_key);
        EXPECT_TRUE(entries.has_value());
        for (const BacklinkEntry& e : *entries) {
          c.backlinks[l.target_collection + "/" + l.target_key].insert(e.source_collection + "|" + e.source_key +
                                                                       "|" + e.source_path);
        }
      }
    }
  }
  return c;
}

// Overwrites bytes of a file in place.
inline void patch(const std::string& path, std::uint64_t offset, std::string_view bytes) {
  std::string file = testing::read_file(path);
  file.replace(offset, bytes.size(), bytes);
  testing::write_file(path, file);
}

}  // namespace quillet::tools_test
