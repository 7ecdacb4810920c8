// Damage of every kind, in the middle and at the end of a log: repair keeps
// every record the damage did not touch, moves exactly the bytes it removes
// to side files, and check then finds nothing.
#include <gtest/gtest.h>

#include "harness.h"

namespace quillet::tools_test {
namespace {

enum class Kind { FlippedKeyByte, DamagedLength, ZeroedBlock, GarbageInserted };

struct Written {
  std::string file;                                  // posts.qdb as written
  std::vector<std::pair<std::size_t, std::size_t>> records;  // offset, size
};

Written write_posts(const TempDir& dir, int count) {
  Written w;
  auto db = open_db(dir.path());
  std::size_t offset = 0;
  for (int i = 0; i < count; ++i) {
    const std::string key = "p" + std::to_string(i);
    const Value value = post({{"a", "users/u" + std::to_string(i % 4)}}, i);
    EXPECT_TRUE(db->set("posts", key, value).has_value());
    w.records.emplace_back(offset, data_record(key, encoded(value)).size());
    offset += w.records.back().second;
  }
  db.reset();
  w.file = testing::read_file(dir.file("posts.qdb"));
  return w;
}

// Damages record `at` (or the gap after it) in place; returns the damaged
// bytes' range, empty for inserted garbage, which touches no record.
std::pair<std::size_t, std::size_t> damage(std::string& file, const Written& w, std::size_t at, Kind kind,
                                           std::mt19937& rng) {
  const auto [offset, size] = w.records[at];
  switch (kind) {
    case Kind::FlippedKeyByte:
      file[offset + 4] = '\xFF';
      return {offset, offset + 1};
    case Kind::DamagedLength:
      file[offset + 3] = '\x40';
      return {offset, offset + 1};
    case Kind::ZeroedBlock: {
      const std::size_t end = std::min(file.size(), offset + 3 + size);
      std::fill(file.begin() + static_cast<std::ptrdiff_t>(offset + 3), file.begin() + static_cast<std::ptrdiff_t>(end),
                '\0');
      return {offset + 3, end};
    }
    case Kind::GarbageInserted: {
      std::string garbage(1 + rng() % 40, '\0');
      // High bytes make every length huge, so no record can start in it.
      for (char& c : garbage) c = static_cast<char>(0x80 | (rng() & 0x7F));
      file.insert(offset + size, garbage);
      return {offset + size, offset + size};
    }
  }
  return {};
}

TEST(Damage, RepairKeepsEveryUntouchedRecordAndMovesTheRestToSideFiles) {
  std::mt19937 rng(7);
  // Each round damages another record in the middle, and inserts other garbage.
  for (int round = 0; round < 3; ++round)
  for (Kind kind : {Kind::FlippedKeyByte, Kind::DamagedLength, Kind::ZeroedBlock, Kind::GarbageInserted}) {
    for (bool at_end : {false, true}) {
      SCOPED_TRACE("round " + std::to_string(round) + ", kind " + std::to_string(static_cast<int>(kind)) +
                   (at_end ? " at the end" : " in the middle"));
      TempDir dir;
      const Written w = write_posts(dir, 12);
      const std::size_t at = at_end ? w.records.size() - 1 : 1 + rng() % (w.records.size() - 2);
      std::string file = w.file;
      const auto [from, to] = damage(file, w, at, kind, rng);
      testing::write_file(dir.file("posts.qdb"), file);

      // What survives: the records the damage did not touch, byte for byte.
      std::string kept;
      std::set<std::string> keys;
      for (std::size_t i = 0; i < w.records.size(); ++i) {
        const auto [offset, size] = w.records[i];
        if (from < offset + size && offset < to) continue;
        kept += w.file.substr(offset, size);
        keys.insert("p" + std::to_string(i));
      }
      auto repaired = repair_database(dir.path(), {});
      ASSERT_TRUE(repaired.has_value()) << repaired.error().text();
      EXPECT_EQ(testing::read_file(dir.file("posts.qdb")), kept);
      // Nothing thrown away: each side file holds the bytes at its offset.
      std::size_t removed = 0;
      for (const std::string& side : repaired->side_files) {
        const std::string bytes = testing::read_file(dir.file(side));
        const std::size_t offset = std::stoull(side.substr(side.rfind('-') + 1));
        EXPECT_EQ(bytes, file.substr(offset, bytes.size())) << side;
        removed += bytes.size();
      }
      EXPECT_EQ(kept.size() + removed, file.size());
      CheckReport after = check(dir.path());
      EXPECT_TRUE(after.sound()) << problems_text(after);
      EXPECT_EQ(after.side_files, repaired->side_files);
      std::set<std::string> live;
      const Contents contents = contents_of(dir.path());
      for (const auto& [key, value] : contents.records.at("posts")) live.insert(key);
      EXPECT_EQ(live, keys);
    }
  }
}

TEST(Damage, AnOpenDoesNotCutRecordsThatResumeAfterADamagedLength) {
  TempDir dir;
  const Written w = write_posts(dir, 6);
  std::string file = w.file;
  file[w.records[4].first + 3] = '\x40';  // the key length of the last but one record
  testing::write_file(dir.file("posts.qdb"), file);
  {
    auto db = open_db(dir.path());
    auto written = db->set("posts", "new", Value::integer(1));
    ASSERT_FALSE(written.has_value());
    EXPECT_TRUE(written.error().is(ErrorKind::Corruption)) << written.error().text();
  }
  EXPECT_EQ(testing::read_file(dir.file("posts.qdb")), file);
  auto repaired = repair_database(dir.path(), {});
  ASSERT_TRUE(repaired.has_value()) << repaired.error().text();
  EXPECT_TRUE(repaired->removed_damage());
  EXPECT_TRUE(open_db(dir.path())->set("posts", "new", Value::integer(1)).has_value());
  EXPECT_EQ(contents_of(dir.path()).records["posts"].size(), 6u);
}

TEST(Damage, EveryCollectionUnderTheDirectoryIsSeen) {
  TempDir dir;
  {
    auto db = open_db(dir.path());
    ASSERT_TRUE(make_directories(dir.file("a")).has_value());
    ASSERT_TRUE(make_directories(dir.file("x")).has_value());
    ASSERT_TRUE(db->set("", "e", post({{"a", "users/u"}})).has_value());
    auto set = db->set("a/b", "k", post({{"a", "users/u"}, {"b", "x/y/k"}}));
    ASSERT_TRUE(set.has_value()) << set.error().text();
  }
  CheckReport report = check(dir.path());
  EXPECT_TRUE(report.sound()) << problems_text(report);
  EXPECT_EQ(report.live_keys, 2u);
  auto repaired = repair_database(dir.path(), {});
  ASSERT_TRUE(repaired.has_value()) << repaired.error().text();
  EXPECT_EQ(repaired->backlink_entries_dropped, 0u);
  ASSERT_TRUE(compact_database(dir.path(), dir.file("out")).has_value());
  auto dumped = dump_records(dir.file("out"), std::nullopt, [](std::string_view) -> Step { return {}; });
  ASSERT_TRUE(dumped.has_value());
  EXPECT_EQ(dumped->records, 2u);
  EXPECT_EQ(testing::read_file(dir.file("out/a/b.qdb")), testing::read_file(dir.file("a/b.qdb")));
  EXPECT_EQ(testing::read_file(dir.file("out/.qdb")), testing::read_file(dir.file(".qdb")));
  EXPECT_TRUE(check(dir.file("out")).sound());
  // A log no database can open by its name is named, never dropped.
  testing::write_file(dir.file("a/\xFF.qdb"), "");
  auto refused = compact_database(dir.path(), dir.file("out2"));
  ASSERT_FALSE(refused.has_value());
  EXPECT_TRUE(refused.error().text().starts_with("a/\xFF.qdb is named like a log")) << refused.error().text();
}

}  // namespace
}  // namespace quillet::tools_test
