#include "tools/check.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

#include "harness.h"

namespace quillet::tools_test {
namespace {

TEST(Check, FindsNothingWrongWithAnyHistoryTheStoreWrites) {
  for (unsigned seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir dir;
    write_history(dir.path(), seed, 400);
    const auto before = snapshot(dir.path());
    CheckReport report = check(dir.path());
    EXPECT_TRUE(report.sound()) << problems_text(report);
    EXPECT_GT(report.records, 0u);
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

// One planted fault: the bytes to write, and the problem check must report.
struct Damage {
  const char* name;
  std::function<void(const TempDir&)> plant;
  const char* file;
  // Where the problem lies, worked out before the damage is planted.
  std::function<std::optional<std::uint64_t>(const TempDir&)> offset;
  const char* message_part;
};

void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

class CheckDamage : public ::testing::TestWithParam<Damage> {};

TEST_P(CheckDamage, IsReportedWithItsFileAndOffsetAndNothingChanges) {
  TempDir dir;
  {
    auto db = open_db(dir.path());
    ASSERT_TRUE(db->set("posts", "p1", post({{"author", "users/alice"}})).has_value());
    ASSERT_TRUE(db->set("posts", "p2", post({{"author", "users/bobby"}})).has_value());
    ASSERT_TRUE(db->set("posts", "p3", post({{"author", "users/alice"}})).has_value());
  }
  ASSERT_TRUE(check(dir.path()).sound());
  const std::optional<std::uint64_t> offset = GetParam().offset(dir);
  GetParam().plant(dir);
  const auto before = snapshot(dir.path());
  CheckReport report = check(dir.path());
  EXPECT_EQ(snapshot(dir.path()), before);
  ASSERT_FALSE(report.sound());
  const Problem& p = report.problems.front();
  EXPECT_EQ(p.file, GetParam().file) << problems_text(report);
  EXPECT_EQ(p.offset, offset) << problems_text(report);
  EXPECT_NE(p.message.find(GetParam().message_part), std::string::npos) << problems_text(report);
}

// Offsets of the three records of posts.qdb, which all have the same size.
std::uint64_t post_record(const TempDir& dir, int i) { return testing::file_size_of(dir.file("posts.qdb")) / 3 * i; }

std::optional<std::uint64_t> no_offset(const TempDir&) { return std::nullopt; }
std::optional<std::uint64_t> end_of(const TempDir& dir, const char* name) { return testing::file_size_of(dir.file(name)); }


INSTANTIATE_TEST_SUITE_P(
    Planted, CheckDamage,
    ::testing::Values(
        Damage{"FlippedTypeByte",
               [](const TempDir& d) { patch(d.file("posts.qdb"), post_record(d, 1) + 8 + 2, "\x0D"); }, "posts.qdb",
               [](const TempDir& d) { return std::optional(post_record(d, 1)); }, "unknown type byte: 0x0D"},
        Damage{"InvalidUtf8KeyInTheMiddle",
               [](const TempDir& d) { patch(d.file("posts.qdb"), post_record(d, 1) + 4, "\xFF"); }, "posts.qdb",
               [](const TempDir& d) { return std::optional(post_record(d, 1)); }, "the key is not valid UTF-8"},
        Damage{"TornDataTail",
               [](const TempDir& d) { testing::append_file(d.file("posts.qdb"), std::string("\x05\x00\x00", 3)); },
               "posts.qdb", [](const TempDir& d) { return end_of(d, "posts.qdb"); }, "incomplete record"},
        Damage{"BytesAfterTheValue",
               [](const TempDir& d) {
                 testing::append_file(d.file("posts.qdb"), data_record("p9", std::string(2, '\0')));
               },
               "posts.qdb", [](const TempDir& d) { return end_of(d, "posts.qdb"); },
               "1 bytes follow the encoded value"},
        Damage{"MissingBacklink",
               [](const TempDir& d) {
                 std::string log = testing::read_file(d.file("users.qbl"));
                 testing::write_file(d.file("users.qbl"), log.substr(0, log.size() / 3 * 2));
               },
               "users.qbl", no_offset, "key \"alice\": the link from \"posts\" \"p3\" at \"author\" is not listed"},
        Damage{"StaleBacklink",
               [](const TempDir& d) {
                 testing::append_file(d.file("users.qbl"), link_record(1, "carol", "posts", "p1", "x"));
               },
               "users.qbl", no_offset, "is listed, but no record holds it"},
        Damage{"UnknownBacklinkOperation",
               [](const TempDir& d) { testing::append_file(d.file("users.qbl"), link_record(9, "", "", "", "")); },
               "users.qbl", [](const TempDir& d) { return end_of(d, "users.qbl"); }, "unknown operation byte 0x09"},
        Damage{"InvalidUtf8Backlink",
               [](const TempDir& d) { testing::append_file(d.file("users.qbl"), link_record(2, "\xC3", "", "", "")); },
               "users.qbl", [](const TempDir& d) { return end_of(d, "users.qbl"); }, "invalid utf8 in backlink"}),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST(Check, ReportsEachDamagedRecordAtItsOffset) {
  TempDir dir;
  {
    auto db = open_db(dir.path());
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(db->set("c", "k" + std::to_string(i), Value::integer(i)).has_value());
  }
  const std::uint64_t size = testing::file_size_of(dir.file("c.qdb")) / 6;
  for (int i : {1, 4}) patch(dir.file("c.qdb"), size * i + 8 + 2, "\x0F");
  CheckReport report = check(dir.path());
  ASSERT_EQ(report.problems.size(), 2u) << problems_text(report);
  EXPECT_EQ(report.problems[0].offset, size * 1);
  EXPECT_EQ(report.problems[1].offset, size * 4);
  EXPECT_EQ(report.problems[0].message, "the value of key \"k1\" is damaged: unknown type byte: 0x0F");
}

TEST(Check, FailsCleanlyOnAMissingDirectory) {
  TempDir dir;
  auto report = check_database(dir.file("absent"));
  ASSERT_FALSE(report.has_value());
  EXPECT_EQ(report.error().text(),
            "cannot open the database " + dir.file("absent") + ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace quillet::tools_test
