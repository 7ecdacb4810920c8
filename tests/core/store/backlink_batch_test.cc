#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "store/backlinks.h"
#include "backlink_ops.h"
#include "test_support.h"

namespace quillet {
namespace {

using Change = BacklinkIndex::Change;

std::vector<BacklinkEntry> make_entries(int n) {
  std::vector<BacklinkEntry> entries;
  for (int i = 0; i < n; ++i) entries.push_back({"posts", "p" + std::to_string(i), "author"});
  return entries;
}

// Adds for every entry, with a removal of every third one after it.
std::vector<Change> make_changes(const std::vector<BacklinkEntry>& entries) {
  std::vector<Change> changes;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    changes.push_back({BacklinkIndex::Op::Add, i % 2 ? "alice" : "bob", &entries[i]});
    if (i % 3 == 0) changes.push_back({BacklinkIndex::Op::Remove, i % 2 ? "alice" : "bob", &entries[i]});
  }
  return changes;
}

TEST(BacklinkBatch, ApplyEqualsOneByOneAndReplays) {
  testing::TempDir dir;
  auto entries = make_entries(60000);  // several write chunks
  auto changes = make_changes(entries);
  {
    auto batched = BacklinkIndex::open(dir.file("batched.qbl"));
    auto single = BacklinkIndex::open(dir.file("single.qbl"));
    ASSERT_TRUE(batched && single);
    std::size_t made = 0;
    ASSERT_TRUE(batched->apply(changes, made));
    for (const Change& c : changes) {
      auto done = c.op == BacklinkIndex::Op::Add ? testing::add(*single, c.target_key, *c.entry)
                                                 : testing::remove(*single, c.target_key, *c.entry);
      ASSERT_TRUE(done);
    }
    EXPECT_EQ(batched->entries_of("alice"), single->entries_of("alice"));
    EXPECT_EQ(batched->entries_of("bob"), single->entries_of("bob"));
  }
  EXPECT_EQ(testing::read_file(dir.file("batched.qbl")), testing::read_file(dir.file("single.qbl")));
}

TEST(BacklinkBatch, AFailedWriteKeepsWholeRecordsAndCountsThem) {
  testing::TempDir dir;
  const std::string path = dir.file("users.qbl");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // In the child: a file-size limit cuts the batch in the middle of a record.
    signal(SIGXFSZ, SIG_IGN);
    auto entries = make_entries(5000);
    auto changes = make_changes(entries);
    auto index = BacklinkIndex::open(path);
    if (!index) _exit(10);
    rlimit limit{100003, RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &limit);
    std::size_t made = 0;
    auto failed = index->apply(changes, made);
    if (failed || made == 0 || made >= changes.size()) _exit(11);
    if (failed.error().text() != "File too large (os error 27)") _exit(12);
    limit.rlim_cur = RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &limit);
    if (!index->apply(std::span(changes).subspan(made), made)) _exit(13);
    _exit(0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  // After the failure and the retry, the log replays to every change made once.
  auto entries = make_entries(5000);
  auto changes = make_changes(entries);
  auto expected = BacklinkIndex::open(dir.file("expected.qbl"));
  std::size_t made = 0;
  ASSERT_TRUE(expected && expected->apply(changes, made));
  auto replayed = BacklinkIndex::open(path);
  ASSERT_TRUE(replayed);
  EXPECT_EQ(replayed->entries_of("alice"), expected->entries_of("alice"));
  EXPECT_EQ(replayed->entries_of("bob"), expected->entries_of("bob"));
  EXPECT_EQ(testing::read_file(path), testing::read_file(dir.file("expected.qbl")));
}

}  // namespace
}  // namespace quillet
