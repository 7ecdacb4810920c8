#include "tools/compact.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "harness.h"

namespace quillet::tools_test {
namespace {

TEST(Compact, KeepsEveryRecordAndBacklinkOfALongHistoryAndShrinks) {
  for (unsigned seed : {3u, 17u, 99u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir dir;
    write_history(dir.file("src"), seed, 1500);
    const auto before = snapshot(dir.file("src"));
    std::uint64_t source_bytes = 0;
    for (const auto& [name, bytes] : before) source_bytes += bytes.size();

    auto compacted = compact_database(dir.file("src"), dir.file("out"));
    ASSERT_TRUE(compacted.has_value()) << compacted.error().text();
    EXPECT_EQ(snapshot(dir.file("src")), before);
    EXPECT_LT(compacted->bytes_written, source_bytes / 4);
    CheckReport report = check(dir.file("out"));
    EXPECT_TRUE(report.sound()) << problems_text(report);
    EXPECT_EQ(report.records, compacted->records_written);
    EXPECT_EQ(contents_of(dir.file("out")), contents_of(dir.file("src")));
    // A compacted database compacts to the same bytes.
    ASSERT_TRUE(compact_database(dir.file("out"), dir.file("again")).has_value());
    EXPECT_EQ(snapshot(dir.file("again")), snapshot(dir.file("out")));
  }
}

TEST(Compact, WritesOnlyIntoANewOrEmptyDirectory) {
  TempDir dir;
  { ASSERT_TRUE(open_db(dir.file("src"))->set("c", "k", Value::integer(1)).has_value()); }
  ASSERT_EQ(::mkdir(dir.file("empty").c_str(), 0777), 0);
  EXPECT_TRUE(compact_database(dir.file("src"), dir.file("empty")).has_value());
  auto into_source = compact_database(dir.file("src"), dir.file("src"));
  ASSERT_FALSE(into_source.has_value());
  EXPECT_EQ(into_source.error().text(),
            dir.file("src") + " is not empty; compact writes into a new or empty directory");
  EXPECT_TRUE(into_source.error().is(ErrorKind::InvalidArgument));
  testing::write_file(dir.file("file"), "x");
  EXPECT_FALSE(compact_database(dir.file("src"), dir.file("file")).has_value());
  EXPECT_FALSE(compact_database(dir.file("src"), dir.file("no/parent")).has_value());
}

TEST(Compact, RefusesADamagedRecordAndLeavesNothingBehindUnlessToldToSkipIt) {
  TempDir dir;
  {
    auto db = open_db(dir.file("src"));
    ASSERT_TRUE(db->set("a", "k", post({{"l", "b/x"}})).has_value());
    ASSERT_TRUE(db->set("b", "k", Value::integer(1)).has_value());
    ASSERT_TRUE(db->set("b", "k", Value::integer(2)).has_value());
  }
  const std::uint64_t second = testing::file_size_of(dir.file("src/b.qdb")) / 2;
  patch(dir.file("src/b.qdb"), second + 8 + 1, "\x0E");
  auto compacted = compact_database(dir.file("src"), dir.file("out"));
  ASSERT_FALSE(compacted.has_value());
  EXPECT_EQ(compacted.error().text(), "b.qdb at offset " + std::to_string(second) +
                                          ": unknown type byte: 0x0E (" + std::to_string(second) +
                                          " damaged bytes); compact --skip-damaged "
                                          "carries on past them (quilletdb check lists the damage)");
  EXPECT_TRUE(compacted.error().is(ErrorKind::Corruption));
  EXPECT_FALSE(testing::file_exists(dir.file("out")));
  // Told to skip it, compact copies the record before it, and lists it.
  auto skipping = compact_database(dir.file("src"), dir.file("out"), {}, true);
  ASSERT_TRUE(skipping.has_value()) << skipping.error().text();
  ASSERT_EQ(skipping->skipped.size(), 1u);
  EXPECT_EQ(skipping->skipped[0].offset, second);
  EXPECT_EQ(*open_db(dir.file("out"))->get("b", "k")->get_if<std::int64_t>(), 1);
}

}  // namespace
}  // namespace quillet::tools_test
