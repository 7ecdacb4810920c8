#include "store/backlinks.h"
#include "backlink_ops.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "format/codec.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::hex;
using testing::TempDir;
using testing::to_hex;
using Entries = std::unordered_map<std::string, std::vector<BacklinkEntry>>;

Map map_of(std::vector<std::pair<std::string, Value>> items) {
  Map m;
  for (auto& [k, v] : items) m.insert_or_assign(k, std::move(v));
  return m;
}

std::string refs_text(const std::vector<LinkRef>& refs) {
  std::string out;
  for (const LinkRef& r : refs) out += "(" + r.target_collection + "," + r.target_key + "," + r.source_path + ")";
  return out;
}

// One hand-written log record.
std::string record(std::uint8_t op, std::string_view key, std::string_view collection, std::string_view source_key,
                   std::string_view path) {
  std::string out(1, static_cast<char>(op));
  for (std::string_view s : {key, collection, source_key, path}) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.append(s);
  }
  return out;
}

BacklinkIndex open_ok(const std::string& path) {
  auto index = BacklinkIndex::open(path);
  EXPECT_TRUE(index.has_value()) << index.error().text();
  if (!index) std::abort();
  return std::move(*index);
}

// Runs `body` in a forked child whose files may not grow past `limit` bytes
// (SIGXFSZ ignored, so a write past it fails with EFBIG). Returns the failed
// checks the child reported; empty when all held.
std::string in_child_with_file_limit(rlim_t limit, const std::function<void(std::string&)>& body) {
  return testing::run_in_child([&] {
    rlimit rl{limit, limit};
    std::string failures;
    if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) return std::string("setrlimit failed");
    body(failures);
    return failures;
  });
}

#define CHILD_CHECK(failures, cond) \
  if (!(cond)) (failures) += "line " + std::to_string(__LINE__) + ": " #cond "\n"

// ---------------------------------------------------------------------------
// collect_links

struct LinksCase {
  const char* name;
  std::function<Value()> value;
  const char* expected;
};

TEST(CollectLinks, FindsLinksWithTheirSourcePaths) {
  const LinksCase cases[] = {
      {"whole record", [] { return Value::link("users/alice"); }, "(users,alice,)"},
      {"map and array",
       [] {
         return Value::map(map_of({{"author", Value::link("users/alice")},
                                   {"tags", Value::array({Value::text("x"), Value::link("tags/red")})}}));
       },
       "(users,alice,author)(tags,red,tags/1)"},
      {"field path after the key", [] { return Value::link("users/alice/address/city"); }, "(users,alice,)"},
      {"empty key", [] { return Value::link("users/"); }, "(users,,)"},
      {"computed keys are skipped",
       [] {
         return Value::array({Value::link("users/$self"), Value::link("users/$self.owner"), Value::link("users/$x"),
                              Value::link("users/ok")});
       },
       "(users,ok,3)"},
      {"no collection or no slash",
       [] { return Value::array({Value::link("users"), Value::link("/alice"), Value::link("")}); }, ""},
      {"local values after the link itself",
       [] {
         return Value::map(map_of(
             {{"x", Value::link("users/alice", map_of({{"k", Value::link("tags/red")},
                                                         {"n", Value::array({Value::link("a/b")})}}))}}));
       },
       "(users,alice,x)(tags,red,x/k)(a,b,x/n/0)"},
      {"empty keys are segments too",
       [] {
         return Value::map(map_of({{"", Value::map(map_of({{"", Value::link("a/1")}}))}, {"z", Value::link("a/2")}}));
       },
       "(a,1,/)(a,2,z)"},
      {"slash inside a key is not escaped",
       [] {
         return Value::map(
             map_of({{"a/b", Value::link("t/1")}, {"a", Value::map(map_of({{"b", Value::link("t/2")}}))}}));
       },
       "(t,1,a/b)(t,2,a/b)"},
      {"indices in decimal",
       [] {
         Array a(12, Value::null());
         a[11] = Value::link("t/eleven");
         a[10] = Value::array({Value::null(), Value::link("t/ten")});
         return Value::array(std::move(a));
       },
       "(t,ten,10/1)(t,eleven,11)"},
      {"no links", [] { return Value::map(map_of({{"n", Value::integer(1)}, {"t", Value::text("a/b")}})); }, ""},
  };
  for (const LinksCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(refs_text(collect_links(c.value())), c.expected);
  }
}

TEST(CollectLinks, PrefixStartsThePathsAndOutputIsAppended) {
  std::vector<LinkRef> out{LinkRef{"keep", "me", ""}};
  collect_links(Value::map(map_of({{"a", Value::link("users/alice")}})), "root/x", out);
  collect_links(Value::link("users/bob"), "top", out);
  EXPECT_EQ(refs_text(out), "(keep,me,)(users,alice,root/x/a)(users,bob,top)");
}

TEST(CollectLinks, WalksValuesNestedToTheLimit) {
  Value v = Value::link("users/deep");
  for (std::size_t i = 0; i + 1 < kMaxNesting; ++i) {
    Array a;
    a.push_back(std::move(v));
    v = Value::array(std::move(a));
  }
  auto refs = collect_links(v);
  ASSERT_EQ(refs.size(), 1u);
  std::string expected;
  for (std::size_t i = 0; i + 1 < kMaxNesting; ++i) expected += i ? "/0" : "0";
  EXPECT_EQ(refs[0].source_path, expected);
}

TEST(LinkRefHash, EqualRefsHashEqualAndFieldsAreNotConfused) {
  LinkRefHash h;
  EXPECT_EQ(h(LinkRef{"a", "b", "c"}), h(LinkRef{"a", "b", "c"}));
  // Not a guarantee of hashing in general, but a hash that ignored a field or
  // the field boundaries would make these collide.
  EXPECT_NE(h(LinkRef{"a", "b", "c"}), h(LinkRef{"a", "c", "b"}));
  EXPECT_NE(h(LinkRef{"ab", "", "c"}), h(LinkRef{"a", "b", "c"}));
}

// ---------------------------------------------------------------------------
// The log file

TEST(BacklinkFile, AddWritesTheDocumentedBytes) {
  TempDir dir;
  std::string path = dir.file("users.qbl");
  auto index = open_ok(path);
  ASSERT_TRUE(testing::add(index, "alice", BacklinkEntry{"posts", "p1", "author"}));
  EXPECT_EQ(to_hex(testing::read_file(path)),
            to_hex(hex("01 05000000 616C696365 05000000 706F737473 02000000 7031 06000000 617574686F72")));
  ASSERT_TRUE(testing::remove(index, "alice", BacklinkEntry{"posts", "p1", ""}));
  EXPECT_EQ(to_hex(testing::read_file(path).substr(35)), to_hex(hex("02 05000000 616C696365 05000000 706F737473 "
                                                                     "02000000 7031 00000000")));
  EXPECT_EQ(index.entries_of("alice").size(), 1u) << "the remove named a different path";
}

TEST(BacklinkFile, ReplaysHandWrittenLogs) {
  TempDir dir;
  std::string path = dir.file("t.qbl");
  testing::write_file(path, record(1, "k", "c", "a", "p") + record(0, "k", "c", "zero", "") +
                                record(3, "k", "c", "three", "") + record(255, "k", "c", "ff", "") +
                                record(1, "k", "c", "b", "") + record(1, "k", "c", "a", "p") +
                                record(1, "k", "c", "d", "") + record(2, "absent", "c", "a", "p") +
                                record(1, "", "", "", "") + record(1, "gone", "c", "x", "") +
                                record(2, "gone", "c", "x", ""));
  auto index = open_ok(path);
  const std::vector<BacklinkEntry> both_a = {{"c", "a", "p"}, {"c", "b", ""}, {"c", "a", "p"}, {"c", "d", ""}};
  EXPECT_EQ(index.entries_of("k"), both_a);
  EXPECT_TRUE(index.entries_of("absent").empty());
  EXPECT_EQ(index.entries_of("").size(), 1u);
  EXPECT_TRUE(index.entries_of("gone").empty());
  EXPECT_EQ(index.all_entries().count("gone"), 1u) << "an emptied list stays";
  EXPECT_EQ(index.all_entries().count("absent"), 0u) << "removing from an absent key creates nothing";

  ASSERT_TRUE(testing::remove(index, "k", BacklinkEntry{"c", "a", "p"}));
  const std::vector<BacklinkEntry> without_a = {{"c", "b", ""}, {"c", "d", ""}};
  EXPECT_EQ(index.entries_of("k"), without_a) << "both duplicates go, the rest keep their order";
  Entries live = index.all_entries();
  auto reopened = open_ok(path);
  EXPECT_EQ(reopened.all_entries(), live);
}

TEST(BacklinkFile, ReplayEqualsTheLiveIndexAfterRandomOperations) {
  std::mt19937 rng(20240611);
  TempDir dir;
  std::string path = dir.file("p.qbl");
  const std::vector<std::string> keys = {"", "a", "b", "ключ", "d"};
  const std::vector<BacklinkEntry> sources = {{"posts", "p1", "author"}, {"posts", "p2", ""}, {"x", "", "a/0"},
                                              {"posts", "p1", "editor"}};
  Entries model;
  auto index = std::make_optional(open_ok(path));
  for (int step = 0; step < 400; ++step) {
    const std::string& key = keys[rng() % keys.size()];
    const BacklinkEntry& entry = sources[rng() % sources.size()];
    if (rng() % 3 != 0) {
      ASSERT_TRUE(testing::add(*index, key, entry));
      model[key].push_back(entry);
    } else {
      ASSERT_TRUE(testing::remove(*index, key, entry));
      if (auto it = model.find(key); it != model.end()) std::erase(it->second, entry);
    }
    ASSERT_EQ(index->all_entries(), model) << "step " << step;
    if (rng() % 25 == 0) {
      index.reset();
      index.emplace(open_ok(path));
      ASSERT_EQ(index->all_entries(), model) << "after reopening at step " << step;
    }
  }
}

TEST(BacklinkFile, ReplaysLogsSpanningManyReadBlocks) {
  TempDir dir;
  std::string path = dir.file("big.qbl");
  std::string bytes;
  std::size_t added = 0;
  for (int i = 0; i < 60000; ++i) {
    // Varying sizes, so that record boundaries fall anywhere in a block.
    bytes += record(1, "k" + std::to_string(i % 7), "c", std::to_string(i), std::string(i % 13, 'p'));
    ++added;
    if (i == 30000) bytes += record(1, "huge", "c", "h", std::string(1500000, 'h'));
  }
  bytes += record(2, "k3", "c", "3", std::string(3, 'p'));
  testing::write_file(path, bytes);
  auto index = open_ok(path);
  std::size_t listed = 0;
  for (int k = 0; k < 7; ++k) listed += index.entries_of("k" + std::to_string(k)).size();
  EXPECT_EQ(listed, added - 1);
  ASSERT_EQ(index.entries_of("huge").size(), 1u);
  EXPECT_EQ(index.entries_of("huge")[0].source_path.size(), 1500000u);
  EXPECT_EQ(index.entries_of("k2").back().source_key, "59999");
  EXPECT_EQ(testing::file_size_of(path), bytes.size());
}

TEST(BacklinkFile, TornTailIsCutAtEveryBytePosition) {
  TempDir dir;
  std::string path = dir.file("t.qbl");
  std::string complete = record(1, "alice", "posts", "p1", "author") + record(1, "bob", "posts", "p2", "");
  // The last record holds invalid UTF-8: a record cut short counts as
  // incomplete whatever its bytes are.
  std::string last = record(1, "alice", "notes", "n\xff", "x");
  for (std::size_t keep = 0; keep < last.size(); ++keep) {
    SCOPED_TRACE("bytes of the last record kept: " + std::to_string(keep));
    testing::write_file(path, complete + last.substr(0, keep));
    {
      auto index = open_ok(path);
      EXPECT_EQ(index.entries_of("alice").size(), 1u);
      EXPECT_EQ(index.entries_of("bob").size(), 1u);
      EXPECT_EQ(testing::file_size_of(path), complete.size());
      ASSERT_TRUE(testing::add(index, "carol", BacklinkEntry{"posts", "p3", ""}));
    }
    auto reopened = open_ok(path);
    EXPECT_EQ(reopened.entries_of("carol").size(), 1u);
    EXPECT_EQ(reopened.entries_of("alice").size(), 1u);
  }
  // A file that holds nothing but a cut first record opens empty.
  testing::write_file(path, complete.substr(0, 9));
  EXPECT_TRUE(open_ok(path).all_entries().empty());
  EXPECT_EQ(testing::file_size_of(path), 0u);
}

TEST(BacklinkFile, TornTailHeldOpenElsewhereIsKeptAndWritesWaitForTheRecordBoundary) {
  TempDir dir;
  std::string path = dir.file("t.qbl");
  std::string first = record(1, "alice", "posts", "p1", "");
  std::string other = record(1, "bob", "posts", "p2", "");
  testing::write_file(path, first);
  auto holder = open_ok(path);  // another open database holds the file
  testing::append_file(path, other.substr(0, 7));

  auto index = open_ok(path);
  EXPECT_EQ(index.entries_of("alice").size(), 1u);
  EXPECT_EQ(testing::file_size_of(path), first.size() + 7) << "the tail is nobody's to cut";
  auto refused = testing::add(index, "carol", BacklinkEntry{"posts", "p3", ""});
  ASSERT_FALSE(refused);
  EXPECT_NE(refused.error().text().find("ends inside an incomplete record"), std::string::npos)
      << refused.error().text();
  EXPECT_EQ(index.entries_of("carol").size(), 0u);

  testing::append_file(path, other.substr(7));  // the other database finishes its append
  ASSERT_TRUE(testing::add(index, "carol", BacklinkEntry{"posts", "p3", ""}));
  auto reopened = open_ok(path);
  EXPECT_EQ(reopened.entries_of("bob").size(), 1u);
  EXPECT_EQ(reopened.entries_of("carol").size(), 1u);
}

TEST(BacklinkFile, TornTailIsCutOnceItsHolderIsGone) {
  TempDir dir;
  std::string path = dir.file("t.qbl");
  std::string first = record(1, "alice", "posts", "p1", "");
  testing::write_file(path, first);
  auto holder = std::make_optional(open_ok(path));
  testing::append_file(path, record(1, "bob", "posts", "p2", "").substr(0, 12));
  auto index = open_ok(path);
  EXPECT_FALSE(testing::add(index, "carol", BacklinkEntry{"posts", "p3", ""}));
  holder.reset();  // the database that was appending went away without finishing
  ASSERT_TRUE(testing::add(index, "carol", BacklinkEntry{"posts", "p3", ""}));
  EXPECT_EQ(testing::read_file(path), first + record(1, "carol", "posts", "p3", ""));
}

TEST(BacklinkFile, LongTornTailIsNeverCut) {
  TempDir dir;
  std::string path = dir.file("t.qbl");
  std::string first = record(1, "alice", "posts", "p1", "");
  std::string long_key(70000, 'k');
  std::string torn = record(1, long_key, "posts", "p2", "").substr(0, 69000);
  testing::write_file(path, first + torn);
  auto index = open_ok(path);
  EXPECT_EQ(index.entries_of("alice").size(), 1u);
  EXPECT_FALSE(testing::add(index, "bob", BacklinkEntry{"posts", "p3", ""}));
  EXPECT_EQ(testing::file_size_of(path), first.size() + torn.size());

  // A corrupted length that claims 4 GiB is a tail as well: nothing is cut
  // and nothing that size is allocated.
  testing::write_file(path, first + hex("01 FFFFFFFF 00"));
  auto huge = open_ok(path);
  EXPECT_EQ(huge.entries_of("alice").size(), 1u);
  EXPECT_EQ(testing::file_size_of(path), first.size() + 6);
}

TEST(BacklinkFile, DamageBeforeTheEndFailsToOpen) {
  TempDir dir;
  std::string path = dir.file("t.qbl");
  std::string good = record(1, "alice", "posts", "p1", "");
  for (int field = 0; field < 4; ++field) {
    SCOPED_TRACE("invalid UTF-8 in field " + std::to_string(field));
    std::string bad[4] = {"k", "c", "s", "p"};
    bad[field] = "\xc3";
    std::string bytes = good + record(1, bad[0], bad[1], bad[2], bad[3]) + good;
    testing::write_file(path, bytes);
    auto index = BacklinkIndex::open(path);
    ASSERT_FALSE(index);
    EXPECT_EQ(index.error().text(), "invalid utf8 in backlink in " + path + " at offset " + std::to_string(good.size()));
    EXPECT_EQ(testing::read_file(path), bytes) << "the file is left alone";
  }
}

TEST(BacklinkFile, OpenRefusesWhatIsNotARegularFile) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("d.qbl").c_str(), 0777), 0);
  EXPECT_FALSE(BacklinkIndex::open(dir.file("d.qbl")));
  ASSERT_EQ(::mkfifo(dir.file("f.qbl").c_str(), 0666), 0);
  auto fifo = BacklinkIndex::open(dir.file("f.qbl"));
  ASSERT_FALSE(fifo);
  EXPECT_NE(fifo.error().text().find("not a regular file"), std::string::npos);
  EXPECT_FALSE(BacklinkIndex::open(dir.file("missing/x.qbl")));
}

// A write that fails part-way leaves no partial record behind, and the index
// goes on working once there is room again.
TEST(BacklinkFile, FailedWriteIsCutBack) {
  TempDir dir;
  std::string path = dir.file("t.qbl");
  std::string first = record(1, "alice", "posts", "p1", "");
  testing::write_file(path, first);
  // Room for exactly one 18-byte record after the first.
  std::string failures = in_child_with_file_limit(first.size() + 18, [&](std::string& f) {
    auto index = open_ok(path);
    auto failed = testing::add(index, "bob", BacklinkEntry{"posts", "p2", "a long source path"});
    CHILD_CHECK(f, !failed);
    CHILD_CHECK(f, !failed && failed.error().text() == "File too large (os error 27)");
    CHILD_CHECK(f, testing::file_size_of(path) == first.size());
    CHILD_CHECK(f, index.entries_of("bob").empty());
    // A record that fits still goes in: the index is not poisoned.
    CHILD_CHECK(f, testing::remove(index, "x", BacklinkEntry{}).has_value());
    // At the limit, a write fails before any byte is taken.
    CHILD_CHECK(f, !testing::add(index, "bob", BacklinkEntry{}));
    CHILD_CHECK(f, testing::file_size_of(path) == first.size() + 18);
  });
  EXPECT_EQ(failures, "");
  auto index = open_ok(path);
  EXPECT_EQ(index.entries_of("alice").size(), 1u);
  EXPECT_TRUE(index.entries_of("bob").empty());
  ASSERT_TRUE(testing::add(index, "bob", BacklinkEntry{"posts", "p2", "a long source path"}));
  EXPECT_EQ(open_ok(path).entries_of("bob").size(), 1u);
}

// When another handle holds the file, the partial record cannot be cut: the
// index refuses every later write rather than append after it.
TEST(BacklinkFile, PartialRecordThatCannotBeCutPoisonsTheIndex) {
  TempDir dir;
  std::string path = dir.file("t.qbl");
  std::string first = record(1, "alice", "posts", "p1", "");
  testing::write_file(path, first);
  std::string failures = in_child_with_file_limit(first.size() + 10, [&](std::string& f) {
    auto holder = open_ok(path);
    auto index = open_ok(path);
    CHILD_CHECK(f, !testing::add(index, "bob", BacklinkEntry{"posts", "p2", "a long source path"}));
    CHILD_CHECK(f, testing::file_size_of(path) == first.size() + 10);
    auto refused = testing::remove(index, "x", BacklinkEntry{});
    CHILD_CHECK(f, !refused);
    CHILD_CHECK(f, !refused && refused.error().text().find("until the database is opened again") !=
                                    std::string::npos);
    CHILD_CHECK(f, testing::file_size_of(path) == first.size() + 10);
  });
  EXPECT_EQ(failures, "");
  // Nobody holds the file now: the next open cuts the partial record off.
  auto index = open_ok(path);
  EXPECT_EQ(testing::file_size_of(path), first.size());
  EXPECT_EQ(index.entries_of("alice").size(), 1u);
}

}  // namespace
}  // namespace quillet
