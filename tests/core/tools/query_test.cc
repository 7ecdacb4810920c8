#include "tools/query.h"

#include <gtest/gtest.h>

#include "harness.h"
#include "store/backlink_ops.h"

namespace quillet::tools_test {
namespace {

TEST(ReadOnly, NeverCreatesTheDirectoryOrAFile) {
  TempDir dir;
  const std::string missing = dir.file("no/such/db");
  EXPECT_FALSE(Database::open(missing, OpenMode::ReadOnly).has_value());
  EXPECT_FALSE(testing::file_exists(dir.file("no")));
  auto opened = open_read_only(missing);
  ASSERT_FALSE(opened.has_value());
  EXPECT_NE(opened.error().text().find("No such file or directory"), std::string::npos) << opened.error().text();

  { ASSERT_TRUE(open_db(dir.path())->set("posts", "p1", post({{"a", "users/alice"}})).has_value()); }
  const auto before = snapshot(dir.path());
  auto db = open_db(dir.path(), OpenMode::ReadOnly);
  EXPECT_TRUE(db->get("ghosts", "x").error().is(ErrorKind::NotFound));
  EXPECT_TRUE(db->get_backlinks("ghosts", "x")->empty());
  EXPECT_EQ(db->get_backlinks("users", "alice")->size(), 1u);
  EXPECT_EQ(read_record(*db, "ghosts", "x").error().text(), "unknown collection \"ghosts\"");
  EXPECT_EQ(read_backlinks(*db, "ghosts", "x").error().text(), "unknown collection \"ghosts\"");
  // users has only a backlink file, and is known by it.
  EXPECT_EQ(read_backlinks(*db, "users", "alice")->size(), 1u);
  EXPECT_EQ(read_record(*db, "posts", "nope").error().text(), "no record \"nope\" in collection \"posts\"");
  EXPECT_TRUE(read_record(*db, "posts", "nope").error().is(ErrorKind::NotFound));
  db.reset();
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST(ReadOnly, RefusesEveryWriteBeforeTouchingAFile) {
  TempDir dir;
  { ASSERT_TRUE(open_db(dir.path())->set("posts", "p1", post({{"a", "users/alice"}})).has_value()); }
  const auto before = snapshot(dir.path());
  auto db = open_db(dir.path(), OpenMode::ReadOnly);
  for (const Value& value : {Value::integer(1), Value::tombstone(), post({{"b", "users/bob"}})}) {
    auto written = db->set("posts", "p1", value);
    ASSERT_FALSE(written.has_value());
    EXPECT_NE(written.error().text().find("read-only"), std::string::npos) << written.error().text();
  }
  auto index = db->backlink_index("users");
  ASSERT_TRUE(index.has_value());
  EXPECT_FALSE(testing::add(**index, "k", BacklinkEntry{"a", "b", "c"}).has_value());
  db->begin();
  EXPECT_FALSE(db->set("new", "k", Value::integer(1)).has_value());
  EXPECT_TRUE(db->commit().has_value());
  db.reset();
  EXPECT_EQ(snapshot(dir.path()), before);
}

TEST(ReadOnly, LeavesATornTailThatAWriterWouldCut) {
  TempDir dir;
  { ASSERT_TRUE(open_db(dir.path())->set("posts", "p1", post({{"a", "users/alice"}})).has_value()); }
  const std::string torn_data = data_record("p2", encoded(Value::integer(5))).substr(0, 9);
  const std::string torn_link = link_record(1, "bob", "posts", "p2", "a").substr(0, 7);
  testing::append_file(dir.file("posts.qdb"), torn_data);
  testing::append_file(dir.file("users.qbl"), torn_link);
  const auto before = snapshot(dir.path());
  {
    auto db = open_db(dir.path(), OpenMode::ReadOnly);
    EXPECT_TRUE(db->get("posts", "p1").has_value());
    EXPECT_EQ(db->get_backlinks("users", "alice")->size(), 1u);
  }
  EXPECT_EQ(snapshot(dir.path()), before);
  // A reader never appends, so a writer cuts the torn records (no writer
  // holds their logs' write locks) while it reads on.
  {
    auto reader = open_db(dir.path(), OpenMode::ReadOnly);
    ASSERT_TRUE(reader->backlink_index("users").has_value());
    auto writer = open_db(dir.path());
    ASSERT_TRUE(writer->backlink_index("users").has_value());
    EXPECT_EQ(testing::read_file(dir.file("posts.qdb")), before.at("posts.qdb").substr(0, before.at("posts.qdb").size() - torn_data.size()));
    EXPECT_EQ(testing::read_file(dir.file("users.qbl")), before.at("users.qbl").substr(0, before.at("users.qbl").size() - torn_link.size()));
    EXPECT_EQ(reader->get_backlinks("users", "alice")->size(), 1u);
  }
}

TEST(Dump, WritesEveryLiveRecordSortedAsJsonLines) {
  TempDir dir;
  {
    auto db = open_db(dir.path());
    ASSERT_TRUE(db->set("b", "z", Value::integer(1)).has_value());
    ASSERT_TRUE(db->set("b", "a", Value::text("t")).has_value());
    ASSERT_TRUE(db->set("a", "k", Value::null()).has_value());
    ASSERT_TRUE(db->set("a", "gone", Value::null()).has_value());
    ASSERT_TRUE(db->set("a", "gone", Value::tombstone()).has_value());
  }
  std::string out;
  auto write = [&](std::string_view chunk) -> Step {
    out += chunk;
    return {};
  };
  auto dumped = dump_records(dir.path(), std::nullopt, write);
  ASSERT_TRUE(dumped.has_value());
  EXPECT_EQ(dumped->records, 3u);
  EXPECT_EQ(out,
            "{\"collection\":\"a\",\"key\":\"k\",\"value\":null}\n"
            "{\"collection\":\"b\",\"key\":\"a\",\"value\":\"t\"}\n"
            "{\"collection\":\"b\",\"key\":\"z\",\"value\":1}\n");
  out.clear();
  ASSERT_TRUE(dump_records(dir.path(), "a", write).has_value());
  EXPECT_EQ(out, "{\"collection\":\"a\",\"key\":\"k\",\"value\":null}\n");
  EXPECT_EQ(dump_records(dir.path(), "zz", write).error().text(), "unknown collection \"zz\"");
}

}  // namespace
}  // namespace quillet::tools_test
