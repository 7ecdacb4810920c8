#include "tools/repair.h"

#include <gtest/gtest.h>

#include "harness.h"

namespace quillet::tools_test {
namespace {

TEST(Repair, MendsAKillBetweenARecordAndItsBacklinks) {
  TempDir dir;
  {
    auto db = open_db(dir.path());
    ASSERT_TRUE(db->set("posts", "p1", post({{"author", "users/alice"}})).has_value());
    ASSERT_TRUE(db->set("posts", "p1", post({{"author", "users/bob"}})).has_value());
  }
  // The process died after the record but before its remove and add records.
  std::string log = testing::read_file(dir.file("users.qbl"));
  const std::size_t one = link_record(1, "alice", "posts", "p1", "author").size();
  testing::write_file(dir.file("users.qbl"), log.substr(0, one));
  // And a longer torn record than any open cuts by itself.
  testing::append_file(dir.file("posts.qdb"), data_record("p2", std::string(70000, 'x')).substr(0, 69000));
  ASSERT_FALSE(check(dir.path()).sound());

  std::vector<std::string> notices;
  auto repaired = repair_database(dir.path(), [&](const std::string& text) {
    notices.push_back(text);
    return true;
  });
  ASSERT_TRUE(repaired.has_value()) << repaired.error().text();
  EXPECT_EQ(repaired->tails_cut, 1u);
  EXPECT_EQ(repaired->tail_bytes_cut, 69000u);
  EXPECT_EQ(repaired->backlink_entries_added, 1u);
  EXPECT_EQ(repaired->backlink_entries_dropped, 1u);
  ASSERT_EQ(notices.size(), 2u);
  const std::string end = std::to_string(testing::file_size_of(dir.file("posts.qdb")));
  EXPECT_EQ(notices[0], "posts.qdb: dropping the incomplete last record (69000 bytes from offset " + end +
                            ") into posts.qdb.damaged-" + end);
  EXPECT_EQ(testing::file_size_of(dir.file("posts.qdb.damaged-" + end)), 69000u);
  EXPECT_EQ(notices[1], "users.qbl: rebuilding with 1 entries, adding 1 missing, dropping 1 that no record holds");

  CheckReport after = check(dir.path());
  EXPECT_TRUE(after.sound()) << problems_text(after);
  auto db = open_db(dir.path());
  EXPECT_EQ(db->get_backlinks("users", "bob")->size(), 1u);
  EXPECT_TRUE(db->get_backlinks("users", "alice")->empty());
  EXPECT_FALSE(testing::file_exists(dir.file("users.qbl.tmp")));
}

TEST(Repair, KeepsTheOrderOfEntriesThatWereListed) {
  TempDir dir;
  const std::vector<std::string> written = {"p5", "p3", "p7", "p1", "p6", "p2", "p4", "p0"};
  {
    auto db = open_db(dir.path());
    for (const std::string& key : written) ASSERT_TRUE(db->set("posts", key, post({{"a", "users/u"}})).has_value());
  }
  // p1 goes missing from the log; the repair lists it again, last.
  testing::append_file(dir.file("users.qbl"), link_record(2, "u", "posts", "p1", "a"));
  ASSERT_TRUE(repair_database(dir.path(), {}).has_value());
  auto db = open_db(dir.path());
  std::vector<std::string> order;
  auto entries = db->get_backlinks("users", "u");
  ASSERT_TRUE(entries.has_value());
  for (const BacklinkEntry& e : *entries) order.push_back(e.source_key);
  EXPECT_EQ(order, (std::vector<std::string>{"p5", "p3", "p7", "p6", "p2", "p4", "p0", "p1"}));
}

TEST(Repair, RefusesWhileAnotherDatabaseHoldsAFileAndChangesNothing) {
  TempDir dir;
  { ASSERT_TRUE(open_db(dir.path())->set("posts", "p1", post({{"a", "users/alice"}})).has_value()); }
  // A stale entry, which a repair would drop.
  testing::append_file(dir.file("users.qbl"), link_record(1, "carol", "posts", "p1", "x"));
  const auto before = snapshot(dir.path());
  for (OpenMode mode : {OpenMode::ReadWrite, OpenMode::ReadOnly}) {
    auto holder = open_db(dir.path(), mode);
    auto repaired = repair_database(dir.path(), [](const std::string&) { return true; });
    ASSERT_FALSE(repaired.has_value());
    EXPECT_EQ(repaired.error().text(), "posts.qdb is in use by another open database; close it and run repair again");
    EXPECT_TRUE(repaired.error().is(ErrorKind::Io));
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

TEST(Repair, StopsBeforeTheChangeItWasNotAllowedToMake) {
  TempDir dir;
  { ASSERT_TRUE(open_db(dir.path())->set("posts", "p1", Value::integer(1)).has_value()); }
  testing::append_file(dir.file("posts.qdb"), std::string("\x01\x00", 2));
  const auto before = snapshot(dir.path());
  auto repaired = repair_database(dir.path(), [](const std::string&) { return false; });
  ASSERT_FALSE(repaired.has_value());
  EXPECT_EQ(repaired.error().text(), "interrupted");
  EXPECT_EQ(snapshot(dir.path()), before);
}

}  // namespace
}  // namespace quillet::tools_test
