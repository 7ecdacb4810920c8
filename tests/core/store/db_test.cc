#include "store/database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <dirent.h>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "format/codec.h"
#include "io/file_system.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::TempDir;

// ---------------------------------------------------------------------------
// Helpers

using testing::open_db;

Map map_of(std::vector<std::pair<std::string, Value>> items) {
  Map m;
  for (auto& [k, v] : items) m.insert_or_assign(k, std::move(v));
  return m;
}

Value links_at(std::vector<std::pair<std::string, std::string>> field_to_path) {
  Map m;
  for (auto& [field, path] : field_to_path) m.insert_or_assign(field, Value::link(path));
  return Value::map(std::move(m));
}

std::string encoded(const Value& v) {
  std::string out;
  encode(v, out);
  return out;
}

// One backlink log record, as the index writes it.
std::string qbl_record(std::uint8_t op, std::string_view key, std::string_view collection,
                       std::string_view source_key, std::string_view path) {
  std::string out(1, static_cast<char>(op));
  for (std::string_view s : {key, collection, source_key, path}) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.append(s);
  }
  return out;
}

std::set<std::string> list_dir(const std::string& path) {
  std::set<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* e = ::readdir(dir)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.insert(name);
    }
    ::closedir(dir);
  }
  return names;
}

std::map<std::string, std::size_t> sizes_in(const std::string& path) {
  std::map<std::string, std::size_t> sizes;
  for (const std::string& name : list_dir(path)) sizes[name] = testing::file_size_of(path + "/" + name);
  return sizes;
}

std::string entry_text(const BacklinkEntry& e) {
  return e.source_collection + "|" + e.source_key + "|" + e.source_path;
}

// target collection -> target key -> its entries as sorted texts; keys with
// no entries are left out, so that an emptied list and an absent key agree.
using BacklinkState = std::map<std::string, std::map<std::string, std::vector<std::string>>>;
using Records = std::map<std::string, std::map<std::string, Value>>;

void sort_all(BacklinkState& state) {
  for (auto& [target, keys] : state) {
    for (auto& [key, entries] : keys) std::sort(entries.begin(), entries.end());
  }
}

// What the backlinks must be, worked out from the live records alone.
BacklinkState recompute(const Records& records) {
  BacklinkState state;
  for (const auto& [collection, keys] : records) {
    for (const auto& [key, value] : keys) {
      for (const LinkRef& l : collect_links(value)) {
        state[l.target_collection][l.target_key].push_back(entry_text({collection, key, l.source_path}));
      }
    }
  }
  sort_all(state);
  return state;
}

// The live records of every registered collection, read back through `get`.
Records records_of(Database& db) {
  Records records;
  for (const std::string& name : db.collection_names()) {
    auto guarded = db.collection(name);
    if (!guarded) continue;
    std::vector<std::string> keys;
    {
      std::lock_guard lock((*guarded)->mutex);
      keys = (*guarded)->collection->live_keys();
    }
    for (const std::string& key : keys) {
      if (auto v = db.get(name, key)) records[name].emplace(key, std::move(*v));
    }
  }
  return records;
}

// Everything the indexes of `targets` hold.
BacklinkState indexed(Database& db, const std::set<std::string>& targets) {
  BacklinkState state;
  for (const std::string& target : targets) {
    auto index = db.backlink_index(target);
    EXPECT_TRUE(index.has_value()) << target << ": " << index.error().text();
    if (!index) continue;
    for (const auto& [key, entries] : (*index)->all_entries()) {
      for (const BacklinkEntry& e : entries) state[target][key].push_back(entry_text(e));
    }
  }
  sort_all(state);
  return state;
}

// The targets that have a log in `dir`, and those the records name.
std::set<std::string> targets_of(const std::string& dir, const BacklinkState& expected) {
  std::set<std::string> targets;
  for (const std::string& name : list_dir(dir)) {
    if (name.size() > 4 && name.ends_with(".qbl")) targets.insert(name.substr(0, name.size() - 4));
  }
  for (const auto& [target, keys] : expected) targets.insert(target);
  return targets;
}

// The central invariant, checked against the database's own records.
std::string backlinks_mismatch(Database& db) {
  BacklinkState expected = recompute(records_of(db));
  BacklinkState actual = indexed(db, targets_of(db.dir_path(), expected));
  if (actual == expected) return "";
  std::string out = "backlinks differ from the records\n";
  for (const auto& [state, label] : {std::pair{&expected, "expected"}, std::pair{&actual, "indexed"}}) {
    out += std::string(label) + ":\n";
    for (const auto& [target, keys] : *state) {
      for (const auto& [key, entries] : keys) {
        for (const std::string& e : entries) out += "  " + target + "/" + key + " <- " + e + "\n";
      }
    }
  }
  return out;
}

// Runs `body` in a forked child (see testing::run_in_child); returns the
// failed checks it reported.
std::string in_child(const std::function<void(std::string&)>& body) {
  return testing::run_in_child([&] {
    std::string failures;
    body(failures);
    return failures;
  });
}

// Sets the soft limit only, so the child can lift it again.
void limit_file_size(rlim_t bytes) {
  rlimit rl;
  ::getrlimit(RLIMIT_FSIZE, &rl);
  rl.rlim_cur = bytes == RLIM_INFINITY ? rl.rlim_max : bytes;
  ::setrlimit(RLIMIT_FSIZE, &rl);
}

#define CHILD_CHECK(failures, cond) \
  if (!(cond)) (failures) += "line " + std::to_string(__LINE__) + ": " #cond "\n"
// In a child, gtest assertions would go unreported: stop the body instead.
#define CHILD_REQUIRE(failures, cond)                                          \
  if (!(cond)) {                                                               \
    (failures) += "line " + std::to_string(__LINE__) + ": " #cond "\n";       \
    return;                                                                    \
  }

// ---------------------------------------------------------------------------
// Opening the directory

TEST(DatabaseOpen, RegistersOnlyQdbFilesWithUtf8Stems) {
  TempDir dir;
  for (const char* name : {"users.qdb", "notes.txt", "users.qdb.bak", "LOUD.QDB", "a.b.qdb", "..qdb", ".qdb",
                           "\xff\xfe.qdb", "x.\xff", "qdb", "x.qdbx"}) {
    testing::write_file(dir.file(name), "");
  }
  auto db = open_db(dir.path());
  auto names = db->collection_names();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".", "a.b", "users"}));
}

TEST(DatabaseOpen, EmptyNameUsesTheDotQdbFileWithoutBeingListed) {
  TempDir dir;
  {
    auto db = open_db(dir.path());
    ASSERT_TRUE(db->set("", "k", Value::integer(7)));
  }
  EXPECT_TRUE(testing::file_exists(dir.file(".qdb")));
  auto db = open_db(dir.path());
  EXPECT_TRUE(db->collection_names().empty());
  auto v = db->get("", "k");
  ASSERT_TRUE(v);
  EXPECT_EQ(encoded(*v), encoded(Value::integer(7)));
}

TEST(DatabaseOpen, CreatesMissingParentsAndRefusesWhatIsNotADirectory) {
  TempDir dir;
  std::string nested = dir.file("a/b/c/");
  auto db = open_db(nested);
  EXPECT_TRUE(db->collection_names().empty());
  EXPECT_EQ(db->dir_path(), nested) << "kept exactly as given";
  ASSERT_TRUE(db->set("users", "alice", Value::null()));
  EXPECT_TRUE(testing::file_exists(dir.file("a/b/c/users.qdb")));

  testing::write_file(dir.file("plain"), "");
  for (std::string bad : {dir.file("plain"), dir.file("plain/below")}) {
    SCOPED_TRACE(bad);
    auto failed = Database::open(bad);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
    EXPECT_TRUE(failed.error().text().starts_with("io: ")) << failed.error().text();
  }

  std::string with_nul = dir.file("x");
  with_nul += '\0';
  auto nul = Database::open(with_nul + "y");
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().text(), "io: file name contained an unexpected NUL byte");
}

TEST(DatabaseOpen, FailsWhenAListedCollectionCannotBeOpened) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("d.qdb").c_str(), 0777), 0);
  auto failed = Database::open(dir.path());
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().kind(), ErrorKind::Io);
}

// ---------------------------------------------------------------------------
// Collection names

TEST(CollectionNames, NamesThatLeaveTheDirectoryOrAliasAFileAreRefusedBeforeAnyFileIsMade) {
  TempDir outer;
  std::string root = outer.file("db");
  auto db = open_db(root);
  ASSERT_EQ(::mkdir((root + "/a").c_str(), 0777), 0);
  for (const char* name : {"/abs", "/", "../x", "./x", "a//b", "a/../x", "a/./b", "../../x", "x/../../y", "//x"}) {
    SCOPED_TRACE(name);
    auto read = db->get(name, "k");
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind(), ErrorKind::InvalidArgument);
    EXPECT_TRUE(read.error().text().starts_with("io: collection name \"")) << read.error().text();
    EXPECT_FALSE(db->set(name, "k", Value::null()));
    EXPECT_FALSE(db->get_backlinks(name, "k"));
  }
  EXPECT_EQ(list_dir(outer.path()), std::set<std::string>{"db"});
  EXPECT_EQ(list_dir(root + "/a"), std::set<std::string>{});

  auto nul = db->get(std::string_view("a\0b", 3), "k");
  ASSERT_FALSE(nul);
  EXPECT_EQ(nul.error().text(), "io: file name contained an unexpected NUL byte");

  // A link into a collection that can have no index file is refused before
  // the record is written, instead of leaving its operation queued for good.
  auto nul_link = db->set("posts", "p", Value::link(std::string("a\0b/k", 5)));
  ASSERT_FALSE(nul_link);
  EXPECT_EQ(nul_link.error().text(), "io: file name contained an unexpected NUL byte");
  // In a transaction too, where the links are otherwise read at commit.
  db->begin();
  std::string encoded;
  encode(Value::link(std::string("a\0b/k", 5)), encoded);
  auto nul_in_tx = db->set_encoded("posts", "p", encoded, true);
  ASSERT_FALSE(nul_in_tx);
  EXPECT_EQ(nul_in_tx.error().text(), "io: file name contained an unexpected NUL byte");
  ASSERT_TRUE(db->commit());
  auto unwritten = db->get("posts", "p");
  ASSERT_FALSE(unwritten);
  EXPECT_TRUE(unwritten.error().is(ErrorKind::NotFound));
  EXPECT_EQ(db->pending_count(), 0u);
}

TEST(CollectionNames, OtherNamesFormTheirFileNamesVerbatim) {
  TempDir dir;
  auto db = open_db(dir.path());
  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0777), 0);
  const std::pair<const char*, const char*> cases[] = {
      {"", ".qdb"}, {".", "..qdb"}, {"..", "...qdb"}, {"sub/x", "sub/x.qdb"}, {"sub/", "sub/.qdb"},
      {"sub/..", "sub/...qdb"}, {"a.b", "a.b.qdb"}};
  for (auto [name, file] : cases) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(db->set(name, "k", Value::text(name)));
    EXPECT_TRUE(testing::file_exists(dir.file(file)));
    auto v = db->get(name, "k");
    ASSERT_TRUE(v);
    EXPECT_EQ(encoded(*v), encoded(Value::text(name)));
  }
  // A subdirectory is not created; the name works once it exists.
  EXPECT_FALSE(db->set("later/x", "k", Value::null()));
  EXPECT_FALSE(testing::file_exists(dir.file("later")));
  ASSERT_EQ(::mkdir(dir.file("later").c_str(), 0777), 0);
  EXPECT_TRUE(db->set("later/x", "k", Value::null()));
}

// ---------------------------------------------------------------------------
// Reads, writes and the link difference

TEST(DatabaseWrites, EachChangedLinkAppendsOneRecordInOrder) {
  TempDir dir;
  auto db = open_db(dir.path());
  std::string users = dir.file("users.qbl");
  ASSERT_TRUE(db->set("posts", "p1", links_at({{"author", "users/alice"}})));
  std::string expected = qbl_record(1, "alice", "posts", "p1", "author");
  EXPECT_EQ(testing::read_file(users), expected);
  EXPECT_FALSE(testing::file_exists(dir.file("users.qdb"))) << "a link target needs no collection file";

  ASSERT_TRUE(db->set("posts", "p1", links_at({{"author", "users/alice"}})));
  EXPECT_EQ(testing::read_file(users), expected) << "unchanged links write nothing";

  ASSERT_TRUE(db->set("posts", "p1", links_at({{"editor", "users/alice"}, {"x", "users/bob/name"}})));
  expected += qbl_record(2, "alice", "posts", "p1", "author") + qbl_record(1, "alice", "posts", "p1", "editor") +
              qbl_record(1, "bob", "posts", "p1", "x");
  EXPECT_EQ(testing::read_file(users), expected) << "a moved link is a removal, then an addition";

  ASSERT_TRUE(db->set("posts", "p1", links_at({{"x", "users/bob"}})));
  expected += qbl_record(2, "alice", "posts", "p1", "editor");
  EXPECT_EQ(testing::read_file(users), expected);

  ASSERT_TRUE(db->set("posts", "p1", Value::tombstone()));
  expected += qbl_record(2, "bob", "posts", "p1", "x");
  EXPECT_EQ(testing::read_file(users), expected);
  auto gone = db->get("posts", "p1");
  ASSERT_FALSE(gone);
  EXPECT_TRUE(gone.error().is(ErrorKind::NotFound));
  auto bob = db->get_backlinks("users", "bob");
  ASSERT_TRUE(bob);
  EXPECT_TRUE(bob->empty());
}

TEST(DatabaseWrites, ListsBacklinksInTheOrderTheyWereAdded) {
  TempDir dir;
  auto db = open_db(dir.path());
  for (const char* key : {"p3", "p1", "p2"}) ASSERT_TRUE(db->set("posts", key, Value::link("users/alice")));
  ASSERT_TRUE(db->set("notes", "n", links_at({{"about", "users/alice"}})));
  ASSERT_TRUE(db->set("posts", "p1", Value::null()));
  auto entries = db->get_backlinks("users", "alice");
  ASSERT_TRUE(entries);
  std::vector<std::string> texts;
  for (const BacklinkEntry& e : *entries) texts.push_back(entry_text(e));
  EXPECT_EQ(texts, (std::vector<std::string>{"posts|p3|", "posts|p2|", "notes|n|about"}));
}

TEST(DatabaseWrites, FirstUseCreatesEmptyFiles) {
  TempDir dir;
  auto db = open_db(dir.path());
  auto missing = db->get("fresh", "k");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error().is(ErrorKind::NotFound));
  EXPECT_EQ(testing::file_size_of(dir.file("fresh.qdb")), 0u);
  auto none = db->get_backlinks("never", "k");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(testing::file_size_of(dir.file("never.qbl")), 0u);
  EXPECT_FALSE(testing::file_exists(dir.file("never.qdb")));
}

// ---------------------------------------------------------------------------
// Transactions

TEST(Transactions, LandAtCommitWithTheNetLinkDifference) {
  TempDir dir;
  auto db = open_db(dir.path());
  ASSERT_TRUE(db->set("posts", "p0", Value::integer(0)));
  std::size_t posts_size = testing::file_size_of(dir.file("posts.qdb"));

  db->begin();
  EXPECT_TRUE(db->in_transaction());
  ASSERT_TRUE(db->set("posts", "p1", Value::link("users/alice")));
  ASSERT_TRUE(db->set("posts", "p1", Value::link("users/bob")));
  ASSERT_TRUE(db->set("late", "l1", Value::link("users/bob")));
  auto now = db->get("posts", "p1");
  ASSERT_TRUE(now);
  EXPECT_EQ(encoded(*now), encoded(Value::link("users/bob"))) << "reads see writes at once";
  EXPECT_FALSE(testing::file_exists(dir.file("users.qbl"))) << "no index is opened before commit";
  EXPECT_EQ(testing::file_size_of(dir.file("posts.qdb")), posts_size) << "writes are deferred";
  EXPECT_EQ(testing::file_size_of(dir.file("late.qdb")), 0u) << "also in a collection first used now";
  EXPECT_EQ(open_db(dir.path())->get("posts", "p1").error().kind(), ErrorKind::NotFound) << "others see none of it";

  db->begin();  // keeps the transaction
  ASSERT_TRUE(db->commit());
  EXPECT_FALSE(db->in_transaction());
  // Only the difference between the log and the transaction's last values.
  EXPECT_EQ(testing::read_file(dir.file("users.qbl")),
            qbl_record(1, "bob", "late", "l1", "") + qbl_record(1, "bob", "posts", "p1", ""));
  EXPECT_GT(testing::file_size_of(dir.file("posts.qdb")), posts_size);
  EXPECT_GT(testing::file_size_of(dir.file("late.qdb")), 0u);

  // Idle again: each write reaches its files before set returns.
  std::size_t users_size = testing::file_size_of(dir.file("users.qbl"));
  ASSERT_TRUE(db->set("late", "l2", Value::link("users/carol")));
  EXPECT_GT(testing::file_size_of(dir.file("users.qbl")), users_size);
  EXPECT_EQ(backlinks_mismatch(*db), "");
}

TEST(Transactions, CommitsThatHaveNothingToDoChangeNoFile) {
  TempDir dir;
  auto db = open_db(dir.path());
  ASSERT_TRUE(db->set("posts", "p1", Value::link("users/alice")));
  auto before = sizes_in(dir.path());
  ASSERT_TRUE(db->commit());
  db->begin();
  ASSERT_TRUE(db->commit());
  EXPECT_EQ(sizes_in(dir.path()), before);
  EXPECT_FALSE(db->in_transaction());
}

TEST(Transactions, DestroyingTheDatabaseMidTransactionKeepsRecordsAndBacklinks) {
  TempDir dir;
  {
    auto db = open_db(dir.path());
    db->begin();
    ASSERT_TRUE(db->set("posts", "p1", links_at({{"a", "users/alice"}, {"b", "tags/red"}})));
    ASSERT_TRUE(db->set("posts", "p2", Value::link("users/alice")));
  }
  auto db = open_db(dir.path());
  EXPECT_TRUE(db->get("posts", "p2"));
  auto alice = db->get_backlinks("users", "alice");
  ASSERT_TRUE(alice);
  EXPECT_EQ(alice->size(), 2u);
  EXPECT_EQ(backlinks_mismatch(*db), "");
}

// ---------------------------------------------------------------------------
// The central invariant

struct RandomWorld {
  std::mt19937 rng;
  const std::vector<std::string> sources = {"posts", "users", "notes"};
  const std::vector<std::string> source_keys = {"p1", "p2", "p3", "p4", ""};
  const std::vector<std::string> targets = {"users", "posts", "tags", "ghost"};
  const std::vector<std::string> target_keys = {"alice", "bob", "carol", ""};

  explicit RandomWorld(unsigned seed) : rng(seed) {}

  template <class T>
  T pick(const std::vector<T>& from) {
    return from[rng() % from.size()];
  }

  std::string link_path() {
    std::string target = pick(targets) + "/" + pick(target_keys);
    switch (rng() % 8) {
      case 0: return target + "/name";        // field path: same target
      case 1: return pick(targets) + "/$self";  // computed: not indexed
      case 2: return pick(targets);            // no key: not indexed
      case 3: return "/" + pick(target_keys);  // no collection: not indexed
      default: return target;
    }
  }

  // Map keys never hold "/", so that no value holds the same link at the
  // same source path twice (the difference of two lists cannot count those).
  Value value(int depth) {
    unsigned r = rng() % 10;
    if (depth >= 3) r = r < 5 ? 0 : 8;
    switch (r) {
      case 0:
      case 1:
      case 2: {
        Map local;
        if (rng() % 3 == 0) {
          for (unsigned i = 0, n = 1 + rng() % 2; i < n; ++i) local.insert_or_assign(pick<std::string>({"x", "y"}), value(depth + 1));
        }
        return Value::link(link_path(), std::move(local));
      }
      case 3:
      case 4: {
        Map m;
        for (unsigned i = 0, n = rng() % 4; i < n; ++i) m.insert_or_assign(pick<std::string>({"a", "b", "c", ""}), value(depth + 1));
        return Value::map(std::move(m));
      }
      case 5:
      case 6: {
        Array a;
        for (unsigned i = 0, n = rng() % 4; i < n; ++i) a.push_back(value(depth + 1));
        return Value::array(std::move(a));
      }
      case 7: return Value::text("users/alice");
      case 8: return Value::integer(static_cast<std::int64_t>(rng() % 100));
      default: return Value::null();
    }
  }
};

void expect_records(Database& db, const Records& model, int step) {
  for (const auto& [collection, keys] : model) {
    for (const auto& [key, value] : keys) {
      auto stored = db.get(collection, key);
      ASSERT_TRUE(stored) << "step " << step << " " << collection << "/" << key << ": " << stored.error().text();
      ASSERT_EQ(encoded(*stored), encoded(value)) << "step " << step << " " << collection << "/" << key;
    }
  }
}

TEST(CentralInvariant, BacklinksEqualARecomputationFromTheRecordsAfterEveryStep) {
  for (unsigned seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir dir;
    RandomWorld world(seed);
    Records model;
    auto db = open_db(dir.path());
    bool in_transaction = false;
    for (int step = 0; step < 300; ++step) {
      const std::string& collection = world.pick(world.sources);
      const std::string& key = world.pick(world.source_keys);
      unsigned r = world.rng() % 100;
      if (r < 50) {
        Value v = world.value(0);
        ASSERT_TRUE(db->set(collection, key, v));
        model[collection].insert_or_assign(key, std::move(v));
      } else if (r < 65) {
        ASSERT_TRUE(db->set(collection, key, Value::tombstone()));
        model[collection].erase(key);
      } else if (r < 78) {
        // Move every link of a live record one level down.
        auto& keys = model[collection];
        if (keys.empty()) continue;
        auto it = std::next(keys.begin(), static_cast<long>(world.rng() % keys.size()));
        Value moved = Value::map(map_of({{world.pick<std::string>({"m", "n"}), it->second}}));
        ASSERT_TRUE(db->set(collection, it->first, moved));
        it->second = std::move(moved);
      } else if (r < 86) {
        db->begin();
        in_transaction = true;
      } else if (r < 94) {
        ASSERT_TRUE(db->commit());
        in_transaction = false;
      } else {
        // Destroyed, possibly with a transaction open, and opened again: the
        // replayed indexes must agree with the records too.
        db.reset();
        db = open_db(dir.path());
        in_transaction = false;
        ASSERT_NO_FATAL_FAILURE(expect_records(*db, model, step));
      }
      ASSERT_EQ(db->in_transaction(), in_transaction);
      if (in_transaction) continue;
      ASSERT_EQ(db->pending_count(), 0u);
      BacklinkState expected = recompute(model);
      ASSERT_EQ(indexed(*db, targets_of(dir.path(), expected)), expected) << "step " << step;
      for (const std::string& target : world.targets) {
        for (const std::string& target_key : world.target_keys) {
          auto listed = db->get_backlinks(target, target_key);
          ASSERT_TRUE(listed);
          std::vector<std::string> texts;
          for (const BacklinkEntry& e : *listed) texts.push_back(entry_text(e));
          std::sort(texts.begin(), texts.end());
          std::vector<std::string> wanted;
          if (auto t = expected.find(target); t != expected.end()) {
            if (auto k = t->second.find(target_key); k != t->second.end()) wanted = k->second;
          }
          ASSERT_EQ(texts, wanted) << "step " << step << " " << target << "/" << target_key;
        }
      }
    }
    db.reset();
    db = open_db(dir.path());
    expect_records(*db, model, -1);
    BacklinkState expected = recompute(model);
    EXPECT_EQ(indexed(*db, targets_of(dir.path(), expected)), expected);
  }
}

// ---------------------------------------------------------------------------
// Index operations that cannot be made are kept, not dropped

TEST(PendingOperations, FailedIndexWritesOutsideATransactionStayQueuedAndAreRetriedFirst) {
  TempDir dir;
  auto db = open_db(dir.path());
  // A directory where the users log should be: that index cannot be opened.
  ASSERT_EQ(::mkdir(dir.file("users.qbl").c_str(), 0777), 0);

  auto failed = db->set("posts", "p1", links_at({{"a", "users/alice"}, {"b", "tags/red"}}));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().text(), "io: Is a directory (os error 21)");
  EXPECT_TRUE(db->get("posts", "p1")) << "the record is written all the same";
  EXPECT_EQ(db->pending_count(), 1u);
  EXPECT_FALSE(db->in_transaction());
  EXPECT_EQ(db->get_backlinks("tags", "red")->size(), 1u) << "other targets are updated";

  // An unrelated write succeeds although the leftover fails again.
  ASSERT_TRUE(db->set("posts", "p2", Value::link("tags/blue")));
  EXPECT_EQ(db->get_backlinks("tags", "blue")->size(), 1u);
  EXPECT_EQ(db->pending_count(), 1u);

  // A write of its own to the blocked target fails and queues behind it.
  EXPECT_FALSE(db->set("posts", "p1", links_at({{"b", "tags/red"}})));
  EXPECT_FALSE(db->set("notes", "n1", Value::link("users/alice")));
  EXPECT_EQ(db->pending_count(), 3u);

  ASSERT_EQ(::rmdir(dir.file("users.qbl").c_str()), 0);
  ASSERT_TRUE(db->set("posts", "p3", Value::integer(3)));
  EXPECT_EQ(db->pending_count(), 0u);
  EXPECT_EQ(testing::read_file(dir.file("users.qbl")), qbl_record(1, "alice", "posts", "p1", "a") +
                                                           qbl_record(2, "alice", "posts", "p1", "a") +
                                                           qbl_record(1, "alice", "notes", "n1", ""));
  EXPECT_EQ(backlinks_mismatch(*db), "");
}

TEST(PendingOperations, CommitRetriesWhatAnEarlierSetLeftQueued) {
  TempDir dir;
  auto db = open_db(dir.path());
  ASSERT_EQ(::mkdir(dir.file("users.qbl").c_str(), 0777), 0);
  EXPECT_FALSE(db->set("posts", "p1", Value::link("users/alice")));
  EXPECT_FALSE(db->commit());
  EXPECT_EQ(db->pending_count(), 1u);
  ASSERT_EQ(::rmdir(dir.file("users.qbl").c_str()), 0);
  ASSERT_TRUE(db->commit());
  EXPECT_EQ(db->pending_count(), 0u);
  EXPECT_EQ(backlinks_mismatch(*db), "");
}

// ---------------------------------------------------------------------------
// Real write failures during commit

// A commit that fails leaves nothing of itself in any log, keeps the
// transaction open and readable, and a later commit lands it whole: the
// journal (a file of its own) fits under the limit, the backlink log does not.
TEST(CommitFailures, AFailedCommitLeavesNothingAndALaterOneLandsItWhole) {
  TempDir dir;
  std::size_t users_size = 0;
  {
    auto db = open_db(dir.path());
    for (int i = 0; i < 100; ++i) {
      ASSERT_TRUE(db->set("old", "o" + std::to_string(i), Value::link("users/u" + std::to_string(i))));
    }
    users_size = testing::file_size_of(dir.file("users.qbl"));
  }
  std::string failures = in_child([&](std::string& f) {
    auto db = open_db(dir.path());
    CHILD_REQUIRE(f, db->collection("posts").has_value());
    db->begin();
    std::string long_field(200, 'f');
    CHILD_REQUIRE(f, db->set("posts", "p1", links_at({{long_field, "users/alice"}, {"t", "tags/red"}})));
    CHILD_REQUIRE(f, db->set("posts", "p2", links_at({{"u", "users/bob"}, {"t", "tags/blue"}})));
    limit_file_size(users_size + 100);
    auto failed = db->commit();
    CHILD_CHECK(f, !failed && failed.error().text() == "io: File too large (os error 27)");
    CHILD_CHECK(f, db->in_transaction());
    CHILD_CHECK(f, db->get("posts", "p2").has_value());
    CHILD_CHECK(f, db->get_backlinks("tags", "red")->empty());
    CHILD_CHECK(f, testing::file_size_of(dir.file("users.qbl")) == users_size);
    CHILD_CHECK(f, testing::file_size_of(dir.file("posts.qdb")) == 0);
    CHILD_CHECK(f, testing::file_size_of(dir.file("tags.qbl")) == 0);
    limit_file_size(RLIM_INFINITY);
    CHILD_CHECK(f, db->commit().has_value());
    CHILD_CHECK(f, !db->in_transaction());
    f += backlinks_mismatch(*db);
    std::string users = testing::read_file(dir.file("users.qbl")).substr(users_size);
    CHILD_CHECK(f, users == qbl_record(1, "alice", "posts", "p1", long_field) + qbl_record(1, "bob", "posts", "p2", "u"));
  });
  EXPECT_EQ(failures, "");
  auto db = open_db(dir.path());
  EXPECT_EQ(db->get_backlinks("tags", "blue")->size(), 1u);
  EXPECT_EQ(backlinks_mismatch(*db), "");
}

// ---------------------------------------------------------------------------
// Two databases on one directory

TEST(SharedDirectory, ATransactionLargerThanTheBufferAndAnotherWriterLeaveOnlyWholeRecords) {
  TempDir dir;
  auto first = open_db(dir.path());
  auto second = open_db(dir.path());
  first->begin();
  const std::string pad(300, 'p');
  int second_writes = 0;
  for (int i = 0; i < 600; ++i) {  // about 200 KiB: the buffer goes out several times
    ASSERT_TRUE(first->set("shared", "a" + std::to_string(i),
                           Value::map(map_of({{"pad", Value::text(pad)}, {"who", Value::link("users/first")}}))));
    if (i % 7 == 0) {
      ASSERT_TRUE(second->set("shared", "b" + std::to_string(i), Value::link("users/second")));
      ++second_writes;
    }
  }
  ASSERT_TRUE(first->commit());
  first.reset();
  second.reset();

  std::size_t size = testing::file_size_of(dir.file("shared.qdb"));
  auto db = open_db(dir.path());
  EXPECT_EQ(testing::file_size_of(dir.file("shared.qdb")), size) << "nothing was torn, so nothing is cut";
  auto shared = db->collection("shared");
  ASSERT_TRUE(shared);
  EXPECT_EQ((*shared)->collection->live_count(), 600u + static_cast<std::size_t>(second_writes));
  for (int i = 0; i < 600; ++i) {
    ASSERT_TRUE(db->get("shared", "a" + std::to_string(i))) << i;
  }
  EXPECT_EQ(db->get_backlinks("users", "first")->size(), 600u);
  EXPECT_EQ(db->get_backlinks("users", "second")->size(), static_cast<std::size_t>(second_writes));
  EXPECT_EQ(backlinks_mismatch(*db), "");
}

TEST(Commit, AnInterruptedCommitLeavesTheTransactionOpenAndUnwritten) {
  TempDir dir;
  auto db = open_db(dir.path());
  db->begin();
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(db->set("posts", "post-" + std::to_string(i), Value::link("users/u")));
  int asked = 0;
  auto stopped = db->commit([&] {
    ++asked;
    return false;
  });
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().text(), "io: interrupted");
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(db->in_transaction());
  EXPECT_EQ(testing::file_size_of(dir.file("posts.qdb")), 0u);
  ASSERT_TRUE(db->commit());
  EXPECT_EQ(db->get_backlinks("users", "u")->size(), 100u);
}

// ---------------------------------------------------------------------------
// Crashes in the middle of a commit, and of its redo

// Ends the process at its Nth write (a write, truncate or unlink), after
// handing the file half of that write when it is one.
class DieAtWrite : public PosixFileSystem {
 public:
  explicit DieAtWrite(int n) : left_(n) {}
  ssize_t pwritev(int fd, const struct iovec* iov, int count, std::uint64_t offset) override {
    if (--left_ == 0) die_after_half(fd, iov, offset);
    return PosixFileSystem::pwritev(fd, iov, count, offset);
  }
  ssize_t writev(int fd, const struct iovec* iov, int count) override {
    if (--left_ == 0) ::_exit(0);
    return PosixFileSystem::writev(fd, iov, count);
  }
  int ftruncate(int fd, std::uint64_t size) override {
    if (--left_ == 0) ::_exit(0);
    return PosixFileSystem::ftruncate(fd, size);
  }
  int unlink(const char* path) override {
    if (--left_ == 0) ::_exit(0);
    return PosixFileSystem::unlink(path);
  }

 private:
  [[noreturn]] void die_after_half(int fd, const struct iovec* iov, std::uint64_t offset) {
    struct iovec half{iov[0].iov_base, iov[0].iov_len / 2};
    (void)PosixFileSystem::pwritev(fd, &half, 1, offset);
    ::_exit(0);
  }
  int left_;
};

// The three records the transaction below changes, and their backlinks.
std::string commit_state(const std::string& dir) {
  auto db = open_db(dir);
  std::string out;
  for (const auto& [c, k] : {std::pair{"posts", "p0"}, {"posts", "p1"}, {"tags", "t1"}}) {
    std::string value;
    out += db->get_encoded(c, k, value) ? testing::to_hex(value) : "-";
    out += ";";
  }
  return out + backlinks_mismatch(*db);
}

void copy_directory(const std::string& from, const std::string& to) {
  std::filesystem::remove_all(to);
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive);
}

// Runs `work` in a child that dies at write `n`; true when it got through.
bool survives_write(int n, const std::function<void()>& work) {
  return testing::run_in_child([&] {
    DieAtWrite fs(n);
    ScopedFileSystem scoped(fs);
    work();
    return std::string("done");
  }) == "done";
}

TEST(CrashSafety, ACommitKilledAtAnyWriteLandsWholeOrNotAtAllAndSoDoesItsRedo) {
  TempDir base;
  const std::string seed = base.path() + "/seed", first = base.path() + "/first", second = base.path() + "/second";
  {
    auto db = open_db(seed);
    ASSERT_TRUE(db->set("posts", "p0", Value::link("users/a")));
    ASSERT_TRUE(db->set("posts", "p1", Value::link("users/a")));
    ASSERT_TRUE(db->collection("tags"));
  }
  auto commit = [](const std::string& dir) {
    auto db = Database::open(dir);
    if (!db) return;
    (*db)->begin();
    (void)(*db)->set("posts", "p1", Value::link("users/b"));
    (void)(*db)->set("tags", "t1", Value::link("users/b"));
    (void)(*db)->set("posts", "p0", Value::tombstone());
    (void)(*db)->commit();
  };
  const std::string before = commit_state(seed);
  copy_directory(seed, first);
  commit(first);
  const std::string after = commit_state(first);
  ASSERT_NE(before, after);

  int crashes = 0, redo_crashes = 0, landed = 0;
  for (int n = 1; n < 100; ++n) {
    copy_directory(seed, first);
    if (survives_write(n, [&] { commit(first); })) break;
    ++crashes;
    // The next open redoes (or drops) what the crash left; crash that too.
    for (int m = 1; m < 100; ++m) {
      copy_directory(first, second);
      const bool opened = survives_write(m, [&] { (void)Database::open(second); });
      const std::string state = commit_state(second);
      EXPECT_TRUE(state == before || state == after) << "commit crash " << n << ", redo crash " << m << "\n" << state;
      if (opened) {
        landed += state == after;
        break;
      }
      ++redo_crashes;
    }
  }
  EXPECT_GT(crashes, 5);
  EXPECT_GT(redo_crashes, crashes);
  EXPECT_GT(landed, 0) << "some crashes came after the seal, and the redo landed them";
  EXPECT_LT(landed, crashes) << "some came before it";
}

// The same with another database open all along: the lock file keeps the
// dead committer's marks, and the first write that meets one redoes the
// journal (or drops it) before writing.
TEST(CrashSafety, ACommitKilledWhileOthersHaveTheDirectoryOpenIsRedoneByTheNextWriter) {
  TempDir base;
  const std::string seed = base.path() + "/seed", dir = base.path() + "/dir";
  {
    auto db = open_db(seed);
    ASSERT_TRUE(db->set("posts", "p1", Value::link("users/a")));
  }
  auto commit = [](const std::string& at) {
    auto db = Database::open(at);
    if (!db) return;
    (*db)->begin();
    (void)(*db)->set("posts", "p1", Value::link("users/b"));
    (void)(*db)->set("tags", "t1", Value::link("users/b"));
    (void)(*db)->commit();
  };
  int crashes = 0, landed = 0;
  for (int n = 1; n < 100; ++n) {
    copy_directory(seed, dir);
    auto watcher = open_db(dir);
    ASSERT_TRUE(watcher->collection("tags"));
    if (survives_write(n, [&] { commit(dir); })) break;
    ++crashes;
    ASSERT_TRUE(watcher->set("posts", "p2", Value::link("users/c"))) << n;
    ASSERT_TRUE(watcher->set("tags", "t2", Value::link("users/c"))) << n;
    auto p1 = watcher->get("posts", "p1");
    auto t1 = watcher->get("tags", "t1");
    ASSERT_TRUE(p1);
    const bool after = encoded(*p1) == encoded(Value::link("users/b"));
    EXPECT_EQ(after, t1.has_value()) << "crash at write " << n << ": the commit landed in part";
    EXPECT_EQ(backlinks_mismatch(*watcher), "") << n;
    landed += after;
  }
  EXPECT_GT(crashes, 5);
  EXPECT_GT(landed, 0);
}

}  // namespace
}  // namespace quillet
