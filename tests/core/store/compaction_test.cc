#include "store/compaction.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <random>
#include <set>
#include <unistd.h>

#include "format/codec.h"
#include "io/file_system.h"
#include "store/database.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::TempDir;

using testing::open_db;

// Records "s/<key>" = {"n": n, "to": Link("t/x<n % 3>")}, and the model of
// what every database must read: key -> n.
struct Model {
  std::map<std::string, std::int64_t> live;

  static Value value(std::int64_t n) {
    Map m;
    m.insert_or_assign("n", Value::integer(n));
    m.insert_or_assign("to", Value::link("t/x" + std::to_string(n % 3)));
    return Value::map(std::move(m));
  }
  void set(Database& db, const std::string& key, std::int64_t n) {
    ASSERT_TRUE(db.set("s", key, value(n)));
    if (!db.in_transaction()) live[key] = n;
  }
  void erase(Database& db, const std::string& key) {
    ASSERT_TRUE(db.set("s", key, Value::tombstone()));
    live.erase(key);
  }
  // Every key reads as the model says, and each target lists exactly the
  // keys linking to it.
  std::string differences(Database& db) const {
    std::string out;
    auto keys = db.collection("s");
    if (!keys) return keys.error().text();
    for (const std::string& key : (*keys)->collection->live_keys()) {
      if (!live.contains(key)) out += "extra " + key + "\n";
    }
    std::map<std::string, std::set<std::string>> wanted;
    for (const auto& [key, n] : live) {
      std::string got;
      std::string expected;
      encode(value(n), expected);
      if (!db.get_encoded("s", key, got) || got != expected) out += "wrong " + key + "\n";
      wanted["x" + std::to_string(n % 3)].insert(key);
    }
    for (int t = 0; t < 3; ++t) {
      const std::string target = "x" + std::to_string(t);
      auto listed = db.get_backlinks("t", target);
      if (!listed) return listed.error().text();
      std::multiset<std::string> sources;
      for (const BacklinkEntry& e : *listed) sources.insert(e.source_key);
      if (sources != std::multiset<std::string>(wanted[target].begin(), wanted[target].end())) {
        out += "backlinks of " + target + "\n";
      }
    }
    return out;
  }
};

std::vector<std::string> leftovers(const std::string& dir) {
  std::vector<std::string> found;
  DIR* d = ::opendir(dir.c_str());
  while (dirent* e = ::readdir(d)) {
    if (std::string_view(e->d_name).ends_with(kCompactionSuffix)) found.emplace_back(e->d_name);
  }
  ::closedir(d);
  return found;
}

TEST(CompactionTest, TwoDatabasesWritingAndCompactingReadTheModel) {
  TempDir dir;
  auto a = open_db(dir.path());
  auto b = open_db(dir.path());
  Model model;
  std::mt19937 rng(7);
  for (int step = 0; step < 600; ++step) {
    Database& db = rng() % 2 ? *a : *b;
    const std::string key = "k" + std::to_string(rng() % 20);
    if (rng() % 5 == 0) {
      model.erase(db, key);
    } else {
      model.set(db, key, step);
    }
    if (step % 97 == 0) {
      ASSERT_TRUE((rng() % 2 ? a : b)->compact(std::nullopt));
    }
  }
  // A transaction buffered across another database's compaction commits
  // where the new file ends.
  b->begin();
  model.set(*b, "k1", 1000);
  model.set(*b, "k-new", 1001);
  auto compacted = a->compact("s");
  ASSERT_TRUE(compacted) << compacted.error().text();
  EXPECT_LT(compacted->bytes_after, compacted->bytes_before);
  ASSERT_TRUE(b->commit());
  model.live["k1"] = 1000;
  model.live["k-new"] = 1001;
  EXPECT_EQ(model.differences(*a), "");
  EXPECT_EQ(model.differences(*b), "");
  a.reset();
  b.reset();
  EXPECT_EQ(model.differences(*open_db(dir.path())), "");
}

// Ends the process at its n-th file call: a kill at every step.
class ExitAtCall : public PosixFileSystem {
 public:
  explicit ExitAtCall(int n) : left_(n) {}
  int open(const char* path, int flags, int mode) override { return tick(), PosixFileSystem::open(path, flags, mode); }
  ssize_t pread(int fd, char* buf, std::size_t size, std::uint64_t offset) override {
    return tick(), PosixFileSystem::pread(fd, buf, size, offset);
  }
  ssize_t writev(int fd, const struct iovec* iov, int n) override { return tick(), PosixFileSystem::writev(fd, iov, n); }
  int ftruncate(int fd, std::uint64_t size) override { return tick(), PosixFileSystem::ftruncate(fd, size); }
  int fsync(int fd) override { return tick(), PosixFileSystem::fsync(fd); }
  int rename(const char* from, const char* to) override { return tick(), PosixFileSystem::rename(from, to); }
  int unlink(const char* path) override { return tick(), PosixFileSystem::unlink(path); }

 private:
  void tick() {
    if (--left_ == 0) ::_exit(0);
  }
  int left_;
};

TEST(CompactionTest, KillAtEveryFileCallLeavesOneWholeFile) {
  TempDir dir;
  Model model;
  {
    auto db = open_db(dir.path());
    for (int i = 0; i < 300; ++i) model.set(*db, "k" + std::to_string(i % 30), i);
  }
  bool completed = false;
  for (int n = 1; !completed && n < 200; ++n) {
    // A database open across the kill follows whatever the child left.
    auto watcher = open_db(dir.path());
    ASSERT_EQ(model.differences(*watcher), "");
    const std::string report = testing::run_in_child([&] {
      auto db = open_db(dir.path());
      ExitAtCall exit_at(n);
      ScopedFileSystem scope(exit_at);
      auto done = db->compact(std::nullopt);
      return done ? std::string("completed") : done.error().text();
    });
    completed = report == "completed";
    ASSERT_TRUE(completed || report.empty()) << "call " << n << ": " << report;
    EXPECT_EQ(model.differences(*watcher), "") << "call " << n;
    model.set(*watcher, "k" + std::to_string(n % 30), 1000 + n);
    watcher.reset();
    auto alone = open_db(dir.path());
    EXPECT_EQ(leftovers(dir.path()), std::vector<std::string>{}) << "call " << n;
    EXPECT_EQ(model.differences(*alone), "") << "call " << n;
  }
  EXPECT_TRUE(completed);
}

TEST(CompactionTest, SecondCompactionOfOneLogIsRefusedWhileTheFirstRuns) {
  TempDir dir;
  auto db = open_db(dir.path());
  ASSERT_TRUE(db->set("s", "k", Value::integer(1)));
  auto running = open_file(dir.file("s.qdb") + std::string(kCompactionSuffix), O_RDWR | O_CREAT);
  ASSERT_TRUE(running && try_lock_exclusive(running->get()));
  auto refused = db->compact("s");
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().text(), "io: a compaction of " + dir.file("s.qdb") + " is already running");
}

}  // namespace
}  // namespace quillet
