#include "io/append_log.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "io/file_system.h"
#include "io/lock_file.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::TempDir;

std::string record(std::string_view key, std::size_t value_size) {
  std::string out;
  records::append_data_record(out, key, std::string(value_size, 'v'));
  return out;
}

// A log over a collection-format file, framed by the shared reader.
struct Harness {
  TempDir dir;
  std::string path = dir.file("log.qdb");
  AppendLog log;

  auto scan() {
    return [this](std::uint64_t from, std::uint64_t end) {
      records::BlockReader file(log.fd());
      return records::scan_data_records(file, from, end, [](const records::DataRecord&) { return true; });
    };
  }
  records::ScanEnd open(std::string_view bytes) {
    testing::write_file(path, bytes);
    auto fd = open_file(path, O_RDWR | O_APPEND);
    EXPECT_TRUE(fd.has_value());
    log = AppendLog(std::move(*fd));
    auto end = log.open_scan(scan());
    EXPECT_TRUE(end.has_value());
    return end.value_or(records::ScanEnd{});
  }
  // "ok", or the refusal.
  std::string ensure_writable() {
    auto writable = log.ensure_writable(scan());
    if (writable) return "ok";
    if (!writable.error()) return writable.error().error().text();
    const char* names[] = {"in use", "too long", "shrunk", "partial record"};
    return std::string(names[static_cast<int>(writable.error()->why)]) + " at " +
           std::to_string(writable.error()->complete_end);
  }
};

// Another open database: a second descriptor holding the shared lock.
struct OtherHolder {
  Fd fd;
  explicit OtherHolder(const std::string& path) : fd(*open_file(path, O_RDONLY)) { lock_shared(fd.get()); }
};

TEST(AppendLog, TornTailWithinTheLimitIsCutAtOpenAndOneBeyondIsRefused) {
  Harness h;
  const std::string whole = record("a", 3);
  EXPECT_EQ(h.open(whole + record("b", 100).substr(0, 50)).tail_bytes(), 50u);
  EXPECT_EQ(testing::file_size_of(h.path), whole.size());
  EXPECT_EQ(h.ensure_writable(), "ok");

  const std::string long_tail = record("c", records::kMaxTornTail + 1).substr(0, records::kMaxTornTail + 1);
  h.open(whole + long_tail);
  EXPECT_EQ(h.ensure_writable(), "too long at " + std::to_string(whole.size()));
  EXPECT_EQ(testing::file_size_of(h.path), whole.size() + long_tail.size());
}

// A writer killed inside a large append leaves it noted in the lock file;
// the next process, alone, resets the lock file and still finds the note.
TEST(AppendLog, ATornLargeAppendNotedInTheLockFileIsCutWhateverItsLengthOthersAreNot) {
  const std::string whole = record("a", 3);
  // An append of one small record and one large one, torn inside the large.
  const std::string large = record("b", 5) + record("c", 3 * records::kMaxTornTail);
  const std::uint64_t complete_end = whole.size() + record("b", 5).size();
  for (std::uint64_t noted_start : {whole.size(), complete_end + 1}) {
    Harness h;
    testing::write_file(h.path, whole + large.substr(0, 2 * records::kMaxTornTail));
    {
      auto dead_writer = LockFile::open(h.dir.path(), false);
      ASSERT_TRUE(dead_writer);
      (*dead_writer)->log("log.qdb")->note_large_append(noted_start, whole.size() + large.size());
    }
    auto lock_file = LockFile::open(h.dir.path(), false);
    ASSERT_TRUE(lock_file && (*lock_file)->opened_alone());
    h.log = AppendLog(*open_file(h.path, O_RDWR));
    auto slot = *(*lock_file)->log("log.qdb");
    h.log.share(slot, slot.generation());
    ASSERT_TRUE(h.log.open_scan(h.scan()));
    const bool ours = noted_start == whole.size();
    EXPECT_EQ(testing::file_size_of(h.path), ours ? complete_end : whole.size() + 2 * records::kMaxTornTail);
    EXPECT_EQ(h.log.writable(), ours);
  }
}

TEST(AppendLog, TornTailHeldElsewhereWaitsUntilItIsWholeOrTheHolderIsGone) {
  Harness h;
  const std::string whole = record("a", 3);
  const std::string next = record("b", 100);
  for (bool finished : {true, false}) {
    testing::write_file(h.path, whole + next.substr(0, 20));
    {
      OtherHolder other(h.path);
      h.open(whole + next.substr(0, 20));
      EXPECT_EQ(h.ensure_writable(), "in use at " + std::to_string(whole.size()));
      EXPECT_EQ(testing::file_size_of(h.path), whole.size() + 20);
      // The other database finishes its append: the file is whole again.
      if (finished) testing::append_file(h.path, next.substr(20));
    }
    EXPECT_EQ(h.ensure_writable(), "ok");
    EXPECT_EQ(h.log.complete_end(), finished ? whole.size() + next.size() : whole.size());
    EXPECT_EQ(testing::file_size_of(h.path), h.log.complete_end());
  }
}

// Writes the first `allow` bytes it is given, then fails every write.
class ShortWrites : public PosixFileSystem {
 public:
  explicit ShortWrites(std::size_t allow) : allow_(allow) {}
  ssize_t writev(int fd, const struct iovec* iov, int /*iovcnt*/) override {
    if (allow_ == 0) return -ENOSPC;
    const std::size_t n = std::min(allow_, iov[0].iov_len);
    allow_ -= n;
    const ssize_t done = ::write(fd, iov[0].iov_base, n);
    return done < 0 ? -errno : done;
  }

 private:
  std::size_t allow_;
};

TEST(AppendLog, AFailedAppendIsCutBackToItsWholeRecordsOrRefusedUntilItCanBe) {
  const std::string first = record("a", 3);
  const std::string batch = record("b", 10) + record("c", 10);
  for (bool held_elsewhere : {false, true}) {
    for (auto stuck : {AppendLog::OnStuck::CutLater, AppendLog::OnStuck::RefuseUntilReopen}) {
      Harness h;
      h.open(first);
      const std::size_t written = record("b", 10).size() + 4;  // one whole record and part of the next
      {
        std::optional<OtherHolder> other;
        if (held_elsewhere) other.emplace(h.path);
        ShortWrites fs(written);
        ScopedFileSystem scoped(fs);
        EXPECT_FALSE(write_all(h.log.fd(), batch, kWriteWholeBuffer).has_value());
        h.log.undo_failed_append(written, record("b", 10).size(), first.size(), stuck);
        if (held_elsewhere) {
          EXPECT_EQ(testing::file_size_of(h.path), first.size() + written);
          EXPECT_EQ(h.ensure_writable(), stuck == AppendLog::OnStuck::CutLater
                                             ? "in use at " + std::to_string(first.size() + record("b", 10).size())
                                             : "partial record at " + std::to_string(first.size()));
        }
      }
      const bool cut = !held_elsewhere || stuck == AppendLog::OnStuck::CutLater;
      EXPECT_EQ(h.ensure_writable(), cut ? "ok" : "partial record at " + std::to_string(first.size()));
      EXPECT_EQ(testing::file_size_of(h.path), first.size() + (cut ? record("b", 10).size() : written));
    }
  }
}

}  // namespace
}  // namespace quillet
