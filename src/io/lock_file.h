// The directory's lock file, `.quillet-lock`: what every process that has a
// database directory open shares, mapped into each of them.
//
// Per log file (a .qdb or .qbl, named relative to the directory) it holds a
// slot with
//   - the log's write lock: a process-shared robust mutex. Whoever appends to
//     or cuts the log holds it; when its holder dies the next taker is told,
//     so a dead writer never blocks the others;
//   - the log's published end: where its last whole record ends, stored by
//     the writer after each append, so another process learns with one load
//     that the log grew, and how far it may read without meeting a record
//     still being written;
//   - the log's generation, moved when the file is replaced by another
//     (compaction): odd while the replacement is under way, even otherwise.
//     A generation left odd by a replacer that died means the file at the
//     log's path is one of the two whole files, and its published end may
//     be stale: whoever takes the lock next scans it and settles both.
// and for the whole directory one counter that moves whenever a log file is
// created, so that a listing is made again only when it may differ.
//
// The first process to open the directory (no other holds the lock file)
// resets it: slots left behind by processes that are gone, including a
// mutex held by a process that died with the machine, mean nothing then.
// Every process holds a shared flock on the file while it has it mapped.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <pthread.h>
#include <string>
#include <string_view>
#include <utility>

#include "error.h"
#include "io/file.h"

namespace quillet {

inline constexpr std::string_view kLockFileName = ".quillet-lock";

// One log's slot in the lock file. The layout is shared by every process of
// the same build; the file's header names the layout's version.
struct alignas(64) LogSlot {
  static constexpr std::uint64_t kUnknownEnd = ~std::uint64_t{0};

  std::atomic<std::uint64_t> name_hash;  // 0 while the slot is free
  // The published end plus one, so that the zeros of a fresh file read as
  // "unknown" and a reset need not touch the slots.
  std::atomic<std::uint64_t> end_plus_one;
  std::atomic<std::uint64_t> generation;
  // An append of a record too large to be told from damage when torn: its
  // start and end while it is being written (both 0 otherwise). A torn tail
  // that begins exactly at `large_append_start` is the writer's own.
  std::atomic<std::uint64_t> large_append_start;
  std::atomic<std::uint64_t> large_append_end;
  std::uint64_t reserved[3];
  pthread_mutex_t write_lock;
};

class LockFile;

// A handle on one log's slot, valid as long as its LockFile.
class SharedLog {
 public:
  explicit SharedLog(LogSlot* slot) : slot_(slot) {}

  std::uint64_t published_end() const {
    const std::uint64_t raw = slot_->end_plus_one.load(std::memory_order_acquire);
    return raw == 0 ? LogSlot::kUnknownEnd : raw - 1;
  }
  std::uint64_t generation() const { return slot_->generation.load(std::memory_order_acquire); }

  // Takes the write lock, waiting for another holder. Returns true when the
  // previous holder died holding it: the log may then end in a record it was
  // writing, and the published end may be behind what it wrote.
  std::expected<bool, Error> lock();
  void unlock();

  // REQUIRES: the write lock. Stores `end` as the log's published end.
  void publish(std::uint64_t end);
  // REQUIRES: the write lock. Moves the generation on: to odd before the
  // file is replaced, to even once the replacement and its end are published.
  void advance_generation() { slot_->generation.fetch_add(1, std::memory_order_acq_rel); }
  // REQUIRES: the write lock. Notes or clears a large append in progress.
  void note_large_append(std::uint64_t start, std::uint64_t end);
  std::uint64_t large_append_start() const { return slot_->large_append_start.load(std::memory_order_acquire); }

 private:
  LogSlot* slot_;
};

class LockFile {
 public:
  // Opens (creating it when missing) the lock file of the directory `dir`,
  // maps it and takes the shared flock; resets it first when no other
  // process holds it. With `read_only` nothing is created or written: a
  // missing or unwritable lock file gives nullptr (no process that writes
  // can have the directory open without one).
  static std::expected<std::unique_ptr<LockFile>, Error> open(const std::string& dir, bool read_only);
  ~LockFile();
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;

  // The slot of the log `file_name` (relative to the directory), claimed on
  // first use by any process. Fails only when every slot is taken.
  std::expected<SharedLog, Error> log(std::string_view file_name);

  // Moves whenever a process creates a log file in the directory.
  std::uint64_t change_count() const;
  // For a new log file, a replaced one, or anything else that a listing of
  // the directory would show.
  void note_directory_change();

  // True when this open reset the file: no other process had the directory
  // open, so no append can be in progress anywhere.
  bool opened_alone() const { return opened_alone_; }
  bool read_only() const { return read_only_; }

 private:
  struct Header;
  LockFile() = default;
  Header* header() const;
  LogSlot* slots() const;
  std::expected<void, Error> reset();

  friend class SharedLog;
  Fd fd_;
  void* map_ = nullptr;
  std::size_t map_size_ = 0;
  bool opened_alone_ = false;
  bool read_only_ = false;
};

}  // namespace quillet
