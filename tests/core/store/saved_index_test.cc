// The key index file a collection writes beside its log at close: an open
// that loads it sees exactly what a full scan sees, and one that does not
// match the log is not used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>

#include "format/codec.h"
#include "format/key_index.h"
#include "store/collection.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::TempDir;

constexpr int kKeys = 16000;  // enough for the index to be written

std::string encoded(const Value& value) {
  std::string out;
  encode(value, out);
  return out;
}
std::string encoded(std::int64_t i) { return encoded(Value::integer(i)); }

std::unique_ptr<Collection> open_log(const std::string& path) {
  auto opened = Collection::open(path);
  EXPECT_TRUE(opened) << opened.error().text();
  return std::move(*opened);
}

// Random sets and deletes over kKeys keys, mirrored in `model`.
void write_random(const std::string& path, std::map<std::string, std::string>& model, std::mt19937& rng, int n) {
  auto c = open_log(path);
  for (int i = 0; i < n; ++i) {
    const std::string key = "k" + std::to_string(rng() % kKeys);
    if (rng() % 8 == 0) {
      ASSERT_TRUE(c->set_encoded(key, encoded(Value::tombstone())));
      model.erase(key);
    } else {
      // Values long enough that overwritten ones make the cached values'
      // arena rebuild itself, moving the entries that hold the offsets.
      const std::string value = encoded(Value::text(std::string(40, 'v') + std::to_string(rng())));
      ASSERT_TRUE(c->set_encoded(key, value));
      model[key] = value;
    }
  }
}

// What an open of `path` sees, as a map from key to encoded value.
std::map<std::string, std::string> contents(const std::string& path) {
  auto c = open_log(path);
  std::map<std::string, std::string> seen;
  for (const std::string& key : c->live_keys()) EXPECT_TRUE(c->get_encoded(key, seen[key]));
  return seen;
}

// Rewrites the index file with one extra key pointing at the first record:
// an open that shows "planted" has used the index.
void plant_key(const std::string& log_path) {
  const std::string path = log_path + std::string(key_index::kSuffix);
  auto loaded = key_index::read(path);
  ASSERT_TRUE(loaded);
  auto writer = key_index::Writer::start(path, loaded->count() + 1, loaded->key_bytes() + 7);
  ASSERT_TRUE(writer && *writer);
  loaded->for_each([&](std::string_view key, std::uint64_t offset) { ASSERT_TRUE((*writer)->add(key, offset)); });
  ASSERT_TRUE((*writer)->add("planted", 0));
  ASSERT_TRUE((*writer)->finish(loaded->coverage()));
}

bool has_planted(const std::string& log_path) { return contents(log_path).contains("planted"); }

TEST(SavedIndex, ReopenWithIndexEqualsTheLog) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  std::mt19937 rng(7);
  std::map<std::string, std::string> model;
  for (int cycle = 0; cycle < 6; ++cycle) {
    // Cycles alternate between tails under and over the rewrite threshold.
    write_random(path, model, rng, cycle == 0 ? 3 * kKeys : (cycle % 2 ? 300 : kKeys));
    ASSERT_TRUE(testing::file_exists(path + "-index"));
    ASSERT_EQ(contents(path), model) << "cycle " << cycle;
  }
}

TEST(SavedIndex, UsedOnlyWhileItMatchesTheLog) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  std::mt19937 rng(11);
  std::map<std::string, std::string> model;
  write_random(path, model, rng, 2 * kKeys);
  plant_key(path);
  ASSERT_TRUE(has_planted(path));  // a matching index is loaded

  // Appended after close: the index is used and the tail read after it.
  std::string record;
  records::append_data_record(record, "late", encoded(1));
  testing::append_file(path, record);
  auto seen = contents(path);
  EXPECT_TRUE(seen.contains("planted"));
  EXPECT_EQ(seen["late"], encoded(1));

  const std::string log = testing::read_file(path);
  const std::string index = testing::read_file(path + "-index");
  auto restore = [&] {
    testing::write_file(path, log);
    testing::write_file(path + "-index", index);
  };
  // Shorter than the index covers (the last record torn).
  testing::truncate_file(path, log.size() - record.size() - 3);
  EXPECT_FALSE(has_planted(path));
  restore();
  // A byte changed just before the covered length.
  std::string changed = log;
  changed[log.size() - record.size() - 1] ^= 1;
  ASSERT_TRUE(has_planted(path));
  testing::write_file(path, changed);
  EXPECT_FALSE(has_planted(path));
  // Any damaged byte of the index itself, in each of its parts.
  restore();
  for (std::size_t at : {std::size_t{20}, std::size_t{100}, index.size() / 2, index.size() - 1}) {
    std::string damaged = index;
    damaged[at] ^= 0x40;
    testing::write_file(path + "-index", damaged);
    EXPECT_FALSE(has_planted(path)) << "byte " << at;
    EXPECT_EQ(contents(path).size(), model.size() + 1) << "byte " << at;
  }
  restore();
  // The same bytes under another inode (a replaced file).
  testing::write_file(path + ".new", log);
  ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
  EXPECT_FALSE(has_planted(path));
}

}  // namespace
}  // namespace quillet
