#include "tools/tools.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <dirent.h>
#include <filesystem>
#include <limits>
#include <map>
#include <random>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>

#include "format/codec.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::TempDir;

// ---------------------------------------------------------------------------
// Helpers

std::unique_ptr<Database> open_db(const std::string& path, OpenMode mode = OpenMode::ReadWrite) {
  auto db = Database::open(path, mode);
  EXPECT_TRUE(db.has_value()) << db.error().text();
  if (!db) std::abort();
  return std::move(*db);
}

std::string encoded(const Value& v) {
  std::string out;
  encode(v, out);
  return out;
}

std::string data_record(std::string_view key, std::string_view value) {
  std::string out;
  put_u32(out, static_cast<std::uint32_t>(key.size()));
  out.append(key);
  put_u32(out, static_cast<std::uint32_t>(value.size()));
  out.append(value);
  return out;
}

std::string link_record(std::uint8_t op, std::string_view key, std::string_view collection,
                        std::string_view source_key, std::string_view path) {
  std::string out(1, static_cast<char>(op));
  for (std::string_view s : {key, collection, source_key, path}) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.append(s);
  }
  return out;
}

Value post(std::initializer_list<std::pair<std::string, std::string>> links, std::int64_t n = 0) {
  Map m;
  m.insert_or_assign("n", Value::integer(n));
  for (const auto& [field, path] : links) m.insert_or_assign(field, Value::link(path));
  return Value::map(std::move(m));
}

// Every file of a directory with its bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> files;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") files[name] = testing::read_file(dir + "/" + name);
    }
    ::closedir(d);
  }
  return files;
}

CheckReport check(const std::string& dir) {
  auto report = check_database(dir);
  EXPECT_TRUE(report.has_value()) << report.error().text();
  if (!report) std::abort();
  return std::move(*report);
}

std::string problems_text(const CheckReport& report) {
  std::string out;
  for (const Problem& p : report.problems) {
    out += p.file + (p.offset ? " @" + std::to_string(*p.offset) : "") + ": " + p.message + "\n";
  }
  return out;
}

// A seeded history of writes, deletes and transactions over three
// collections whose records link to each other, rewriting each key many times.
void write_history(const std::string& dir, unsigned seed, int steps) {
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

Contents contents_of(const std::string& dir) {
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

// ---------------------------------------------------------------------------
// Scanners

TEST(Scanner, FramesDataRecordsAndFindsTheTailAtEveryCut) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> records = {
      {"a", encoded(Value::integer(1))}, {"", encoded(Value::text("x"))}, {"long key", std::string()},
      {"b", encoded(Value::tombstone())}, {"c", encoded(Value::blob(std::string(300, 'z')))}};
  std::string file;
  std::vector<std::uint64_t> ends;
  for (const auto& [key, value] : records) {
    file += data_record(key, value);
    ends.push_back(file.size());
  }
  const std::string path = dir.file("x.qdb");
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    testing::write_file(path, std::string_view(file).substr(0, cut));
    auto fd = open_for_scan(path);
    ASSERT_TRUE(fd.has_value());
    std::vector<std::pair<std::string, std::string>> seen;
    std::uint64_t expected_offset = 0;
    auto end = scan_data_records(fd->get(), cut, "x.qdb", [&](const DataRecord& r) -> Step {
      EXPECT_EQ(r.offset, expected_offset);
      EXPECT_EQ(r.bytes.size(), 8 + r.key.size() + r.value.size());
      expected_offset += r.bytes.size();
      seen.emplace_back(r.key, r.value);
      return {};
    });
    ASSERT_TRUE(end.has_value());
    const auto whole = static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
    EXPECT_EQ(seen, std::vector(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(whole)));
    EXPECT_EQ(end->complete_end, whole == 0 ? 0 : ends[whole - 1]);
    EXPECT_EQ(end->end, cut);
  }
}

TEST(Scanner, FramesLinkRecordsAndFindsTheTailAtEveryCut) {
  TempDir dir;
  const std::string first = link_record(1, "alice", "posts", "p1", "author");
  const std::string second = link_record(7, "", "", "", "");
  const std::string third = link_record(2, "bob", "posts", "p2", "a/b");
  const std::string file = first + second + third;
  const std::vector<std::uint64_t> ends = {first.size(), first.size() + second.size(), file.size()};
  const std::string path = dir.file("x.qbl");
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    testing::write_file(path, std::string_view(file).substr(0, cut));
    auto fd = open_for_scan(path);
    ASSERT_TRUE(fd.has_value());
    std::vector<std::string> seen;
    auto end = scan_link_records(fd->get(), cut, "x.qbl", [&](const LinkRecord& r) -> Step {
      EXPECT_EQ(r.body, r.bytes.substr(1));
      seen.push_back(std::to_string(r.op) + ":" + std::string(r.target_key) + "|" + std::string(r.source_collection) +
                     "|" + std::string(r.source_key) + "|" + std::string(r.source_path));
      return {};
    });
    ASSERT_TRUE(end.has_value());
    const std::vector<std::string> all = {"1:alice|posts|p1|author", "7:|||", "2:bob|posts|p2|a/b"};
    const auto whole = static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
    EXPECT_EQ(seen, std::vector(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(whole)));
    EXPECT_EQ(end->complete_end, whole == 0 ? 0 : ends[whole - 1]);
  }
}

TEST(Scanner, StopsAtTheFirstErrorOfTheCallback) {
  TempDir dir;
  const std::string null_value(1, '\0');
  testing::write_file(dir.file("x.qdb"), data_record("a", null_value) + data_record("b", null_value));
  auto fd = open_for_scan(dir.file("x.qdb"));
  int calls = 0;
  auto end = scan_data_records(fd->get(), 20, "x.qdb", [&](const DataRecord&) -> Step {
    ++calls;
    return std::unexpected(ToolError{"stop"});
  });
  ASSERT_FALSE(end.has_value());
  EXPECT_EQ(end.error().text(), "stop");
  EXPECT_EQ(calls, 1);
}

TEST(Scanner, RefusesWhatIsNotARegularFile) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("d.qdb").c_str(), 0777), 0);
  EXPECT_FALSE(open_for_scan(dir.file("d.qdb")).has_value());
  EXPECT_FALSE(open_for_scan(dir.file("missing.qdb")).has_value());
  EXPECT_FALSE(testing::file_exists(dir.file("missing.qdb")));
}

// ---------------------------------------------------------------------------
// Read-only open

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
  EXPECT_TRUE(db->get("ghosts", "x").error().is_key_not_found());
  EXPECT_TRUE(db->get_backlinks("ghosts", "x")->empty());
  EXPECT_EQ(db->get_backlinks("users", "alice")->size(), 1u);
  EXPECT_EQ(read_record(*db, "ghosts", "x").error().text(), "unknown collection \"ghosts\"");
  EXPECT_EQ(read_backlinks(*db, "ghosts", "x").error().text(), "unknown collection \"ghosts\"");
  // users has only a backlink file, and is known by it.
  EXPECT_EQ(read_backlinks(*db, "users", "alice")->size(), 1u);
  EXPECT_EQ(read_record(*db, "posts", "nope").error().text(), "no record \"nope\" in collection \"posts\"");
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
  const BacklinkEntry entry{"a", "b", "c"};
  const BacklinkIndex::Change add{BacklinkIndex::Op::Add, "k", &entry};
  EXPECT_FALSE((*index)->apply({&add, 1}).has_value());
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
  // While a reader holds the files, a writer does not cut them either.
  {
    auto reader = open_db(dir.path(), OpenMode::ReadOnly);
    ASSERT_TRUE(reader->backlink_index("users").has_value());
    auto writer = open_db(dir.path());
    ASSERT_TRUE(writer->backlink_index("users").has_value());
    EXPECT_EQ(snapshot(dir.path()), before);
  }
}

// ---------------------------------------------------------------------------
// check

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

void patch(const std::string& path, std::uint64_t offset, std::string_view bytes) {
  std::string file = testing::read_file(path);
  file.replace(offset, bytes.size(), bytes);
  testing::write_file(path, file);
}

INSTANTIATE_TEST_SUITE_P(
    Planted, CheckDamage,
    ::testing::Values(
        Damage{"FlippedTypeByte",
               [](const TempDir& d) { patch(d.file("posts.qdb"), post_record(d, 1) + 8 + 2, "\x0D"); }, "posts.qdb",
               [](const TempDir& d) { return std::optional(post_record(d, 1)); }, "unknown type byte: 0x0D"},
        Damage{"InvalidUtf8KeyInTheMiddle",
               [](const TempDir& d) { patch(d.file("posts.qdb"), post_record(d, 1) + 4, "\xFF"); }, "posts.qdb",
               [](const TempDir& d) { return std::optional(post_record(d, 1)); }, "not valid UTF-8"},
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

// ---------------------------------------------------------------------------
// repair

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
  EXPECT_EQ(notices[0], "posts.qdb: dropping the incomplete last record (69000 bytes from offset " +
                            std::to_string(testing::file_size_of(dir.file("posts.qdb"))) + ")");
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

// ---------------------------------------------------------------------------
// compact

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
  testing::write_file(dir.file("file"), "x");
  EXPECT_FALSE(compact_database(dir.file("src"), dir.file("file")).has_value());
  EXPECT_FALSE(compact_database(dir.file("src"), dir.file("no/parent")).has_value());
}

TEST(Compact, RefusesADamagedLiveRecordAndLeavesNothingBehind) {
  TempDir dir;
  {
    auto db = open_db(dir.file("src"));
    ASSERT_TRUE(db->set("a", "k", post({{"l", "b/x"}})).has_value());
    ASSERT_TRUE(db->set("b", "k", Value::integer(1)).has_value());
    ASSERT_TRUE(db->set("b", "k", Value::integer(2)).has_value());
  }
  // The first record of b is dead: its damage does not matter.
  patch(dir.file("src/b.qdb"), 8 + 1, "\x0E");
  ASSERT_TRUE(compact_database(dir.file("src"), dir.file("ok")).has_value());
  const std::uint64_t second = testing::file_size_of(dir.file("src/b.qdb")) / 2;
  patch(dir.file("src/b.qdb"), second + 8 + 1, "\x0E");
  auto compacted = compact_database(dir.file("src"), dir.file("out"));
  ASSERT_FALSE(compacted.has_value());
  EXPECT_EQ(compacted.error().text(), "b.qdb at offset " + std::to_string(second) +
                                          ": unknown type byte: 0x0E; compact copies only sound records "
                                          "(quilletdb check lists the damage)");
  EXPECT_FALSE(testing::file_exists(dir.file("out")));
}

// ---------------------------------------------------------------------------
// stat and dump

TEST(Stat, CountsRecordsLiveKeysAndDeadBytes) {
  TempDir dir;
  {
    auto db = open_db(dir.path());
    ASSERT_TRUE(db->set("c", "a", Value::integer(1)).has_value());
    ASSERT_TRUE(db->set("c", "a", Value::integer(2)).has_value());
    ASSERT_TRUE(db->set("c", "b", Value::link("t/x")).has_value());
    ASSERT_TRUE(db->set("c", "b", Value::tombstone()).has_value());
  }
  testing::append_file(dir.file("c.qdb"), std::string("\x01\x00\x00", 3));
  auto stat = stat_database(dir.path());
  ASSERT_TRUE(stat.has_value()) << stat.error().text();
  ASSERT_EQ(stat->collections.size(), 1u);
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
  EXPECT_EQ(stat->backlink_files[0].records, 2u);
  EXPECT_EQ(stat->backlink_files[0].live_entries, 0u);
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
  auto db = open_db(dir.path(), OpenMode::ReadOnly);
  std::string out;
  auto write = [&](std::string_view chunk) -> Step {
    out += chunk;
    return {};
  };
  auto count = dump_records(*db, std::nullopt, write);
  ASSERT_TRUE(count.has_value());
  EXPECT_EQ(*count, 3u);
  EXPECT_EQ(out,
            "{\"collection\":\"a\",\"key\":\"k\",\"value\":null}\n"
            "{\"collection\":\"b\",\"key\":\"a\",\"value\":\"t\"}\n"
            "{\"collection\":\"b\",\"key\":\"z\",\"value\":1}\n");
  out.clear();
  ASSERT_TRUE(dump_records(*db, "a", write).has_value());
  EXPECT_EQ(out, "{\"collection\":\"a\",\"key\":\"k\",\"value\":null}\n");
  EXPECT_EQ(dump_records(*db, "zz", write).error().text(), "unknown collection \"zz\"");
}

// ---------------------------------------------------------------------------
// Progress

TEST(Progress, GrowsToItsTotalAndStopsTheWorkWhenAsked) {
  TempDir dir;
  write_history(dir.file("db"), 5, 600);
  using Run = std::function<Step(const Progress&)>;
  auto ok = [](auto result) -> Step {
    if (!result) return std::unexpected(result.error());
    return {};
  };
  const std::vector<std::pair<std::string, Run>> runs = {
      {"stat", [&](const Progress& p) { return ok(stat_database(dir.file("db"), p)); }},
      {"check", [&](const Progress& p) { return ok(check_database(dir.file("db"), p)); }},
      {"compact", [&](const Progress& p) { return ok(compact_database(dir.file("db"), dir.file("out"), p)); }},
      {"repair", [&](const Progress& p) { return ok(repair_database(dir.file("db"), {}, p)); }},
      {"dump", [&](const Progress& p) {
         auto db = open_read_only(dir.file("db"));
         return ok(dump_records(**db, std::nullopt, [](std::string_view) -> Step { return {}; }, p));
       }},
  };
  for (const auto& [name, run] : runs) {
    SCOPED_TRACE(name);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    ASSERT_TRUE(run([&](std::uint64_t done, std::uint64_t total) {
      calls.emplace_back(done, total);
      return true;
    }).has_value());
    ASSERT_GE(calls.size(), 2u);
    EXPECT_TRUE(std::ranges::is_sorted(calls));
    EXPECT_EQ(calls.back().first, calls.back().second);
    EXPECT_GT(calls.back().second, 0u);
    std::filesystem::remove_all(dir.file("out"));

    const auto before = snapshot(dir.file("db"));
    auto stopped = run([](std::uint64_t, std::uint64_t) { return false; });
    ASSERT_FALSE(stopped.has_value());
    EXPECT_EQ(stopped.error().text(), "interrupted");
    EXPECT_FALSE(testing::file_exists(dir.file("out")));
    EXPECT_EQ(snapshot(dir.file("db")), before);  // repair stops before it changes anything
  }
}

// ---------------------------------------------------------------------------
// JSON

TEST(Json, RendersEveryKindWithItsDocumentedEncoding) {
  Map local;
  local.insert_or_assign("w", Value::integer(2));
  Map dollar;
  dollar.insert_or_assign("$link", Value::text("not a link"));
  Map plain;
  plain.insert_or_assign("b", Value::boolean(true));
  plain.insert_or_assign("a", Value::null());
  const std::vector<std::pair<Value, std::string>> cases = {
      {Value::null(), "null"},
      {Value::boolean(false), "false"},
      {Value::integer(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Value::floating(1.0), "1.0"},
      {Value::floating(-0.0), "-0.0"},
      {Value::floating(1e300), "1e300"},
      {Value::floating(std::nan("")), "{\"$float\":\"NaN\"}"},
      {Value::floating(-INFINITY), "{\"$float\":\"-inf\"}"},
      {Value::text("a\"b\\c\n\x01\x7f\xC3\xA9"), "\"a\\\"b\\\\c\\n\\u0001\x7f\xC3\xA9\""},
      {Value::blob(""), "{\"$bytes\":\"\"}"},
      {Value::blob("f"), "{\"$bytes\":\"Zg==\"}"},
      {Value::blob("fo"), "{\"$bytes\":\"Zm8=\"}"},
      {Value::blob("foobar"), "{\"$bytes\":\"Zm9vYmFy\"}"},
      {Value{Date{19000}}, "{\"$date\":19000}"},
      {Value{Time{5}}, "{\"$time\":5}"},
      {Value{DateTime{std::numeric_limits<std::uint64_t>::max()}}, "{\"$datetime\":18446744073709551615}"},
      {Value::tombstone(), "{\"$tombstone\":true}"},
      {Value::array({}), "[]"},
      {Value::array({Value::integer(1), Value::array({}), Value::text("x")}), "[1,[],\"x\"]"},
      {Value::map(plain), "{\"b\":true,\"a\":null}"},
      {Value::map(dollar), "{\"$map\":{\"$link\":\"not a link\"}}"},
      {Value::link("users/alice"), "{\"$link\":\"users/alice\",\"local\":{}}"},
      {Value::link("u/a", local), "{\"$link\":\"u/a\",\"local\":{\"w\":2}}"},
      {Value::link("u/a", dollar), "{\"$link\":\"u/a\",\"local\":{\"$map\":{\"$link\":\"not a link\"}}}"},
  };
  for (const auto& [value, json] : cases) {
    SCOPED_TRACE(debug_string(value));
    EXPECT_EQ(to_json(value), json);
  }
}

TEST(Json, RendersTheDeepestValueTheStoreHolds) {
  Value v = Value::integer(7);
  for (std::size_t i = 0; i + 1 < kMaxNesting; ++i) {
    Array a;
    a.push_back(std::move(v));
    v = Value::array(std::move(a));
  }
  const std::string json = to_json(v);
  EXPECT_EQ(json, std::string(kMaxNesting - 1, '[') + "7" + std::string(kMaxNesting - 1, ']'));
}

}  // namespace
}  // namespace quillet
