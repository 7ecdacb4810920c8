#include "tools/stat.h"

#include <gtest/gtest.h>

#include "harness.h"

namespace quillet::tools_test {
namespace {

TEST(Stat, CountsRecordsLiveKeysAndDeadBytes) {
  TempDir dir;
  {
    auto db = open_db(dir.path());
    ASSERT_TRUE(db->set("c", "a", Value::integer(1)).has_value());
    ASSERT_TRUE(db->set("c", "a", Value::integer(2)).has_value());
    ASSERT_TRUE(db->set("c", "b", Value::link("t/x")).has_value());
    ASSERT_TRUE(db->set("c", "b", Value::tombstone()).has_value());
    // A link moved from t/y to t/z: of its three records, one entry is left.
    ASSERT_TRUE(db->set("e", "k", Value::link("t/y")).has_value());
    ASSERT_TRUE(db->set("e", "k", Value::link("t/z")).has_value());
  }
  testing::append_file(dir.file("c.qdb"), std::string("\x01\x00\x00", 3));
  auto stat = stat_database(dir.path());
  ASSERT_TRUE(stat.has_value()) << stat.error().text();
  ASSERT_EQ(stat->collections.size(), 2u);
  const CollectionStat& c = stat->collections[0];
  const std::uint64_t int_record = data_record("a", encoded(Value::integer(1))).size();
  EXPECT_EQ(c.name, "c");
  EXPECT_EQ(c.records, 4u);
  EXPECT_EQ(c.live_keys, 1u);
  EXPECT_EQ(c.live_bytes, int_record);
  EXPECT_EQ(c.tail_bytes, 3u);
  EXPECT_EQ(c.file_bytes, testing::file_size_of(dir.file("c.qdb")));
  EXPECT_DOUBLE_EQ(c.dead_share(), 1.0 - static_cast<double>(int_record) / static_cast<double>(c.file_bytes));
  ASSERT_EQ(stat->backlink_files.size(), 1u);
  EXPECT_EQ(stat->backlink_files[0].name, "t");
  EXPECT_EQ(stat->backlink_files[0].records, 5u);
  EXPECT_EQ(stat->backlink_files[0].live_entries, 1u);
  EXPECT_EQ(stat->backlink_files[0].file_bytes, testing::file_size_of(dir.file("t.qbl")));
  EXPECT_EQ(stat->backlink_files[0].tail_bytes, 0u);
}

}  // namespace
}  // namespace quillet::tools_test
