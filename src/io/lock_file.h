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
//     be stale: whoever takes the lock next scans it and settles both;
//   - for a transaction's commit: the journal it is being applied from, and
//     the end the log will have once the commit becomes visible.
// and for the whole directory one counter that moves whenever a log file is
// created, so that a listing is made again only when it may differ, the
// commit lock that serialises transactions' commits, and the commit epoch.
//
// A commit becomes visible in every log at once: it stores each log's new
// end as pending under a new epoch, then moves the directory's epoch with
// one store. A reader takes a log's pending end once its epoch is reached,
// so no reader sees one log of a commit without the others.
//
// The first process to open the directory (no other holds the lock file)
// resets it: slots left behind by processes that are gone, including a
// mutex held by a process that died with the machine, mean nothing then.
// Every process holds a shared flock on the file while it has it mapped.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <pthread.h>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
  // that begins within [large_append_start, large_append_end) and ends by
  // its end is what is left of the writer's own append.
  std::atomic<std::uint64_t> large_append_start;
  std::atomic<std::uint64_t> large_append_end;
  // The journal a commit is applying to this log (0 otherwise), set while the
  // commit holds the write lock. Whoever takes the lock and finds it set took
  // it from a committer that died: the journal must be redone first.
  std::atomic<std::uint64_t> commit_journal;
  // The end this log has once the directory's commit epoch reaches
  // `pending_epoch` (0: none pending).
  std::atomic<std::uint64_t> pending_end;
  std::atomic<std::uint64_t> pending_epoch;
  pthread_mutex_t write_lock;
};

class LockFile;

// A handle on one log's slot, valid as long as its LockFile.
class SharedLog {
 public:
  SharedLog(LockFile* file, LogSlot* slot, std::atomic<std::uint64_t>* notes_made)
      : file_(file), slot_(slot), notes_made_(notes_made) {}

  // Where the log's visible records end: the published end, or the end a
  // commit made visible and has not published yet.
  std::uint64_t published_end() const;
  std::uint64_t generation() const { return slot_->generation.load(std::memory_order_acquire); }

  // Takes the write lock, waiting for another holder. Returns true when the
  // previous holder died holding it: the log may then end in a record it was
  // writing, and the published end may be behind what it wrote. A commit
  // that died applying a journal to this log is redone first (through the
  // LockFile's recovery), so the log is never written over a commit's part.
  std::expected<bool, Error> lock();
  // lock() without the check for a dead commit (the recovery's own).
  std::expected<bool, Error> lock_raw();
  void unlock();

  // REQUIRES: the write lock. Stores `end` as the log's published end.
  void publish(std::uint64_t end);
  // REQUIRES: the write lock. Moves the generation on: to odd before the
  // file is replaced, to even once the replacement and its end are published.
  void advance_generation() { slot_->generation.fetch_add(1, std::memory_order_acq_rel); }
  // REQUIRES: the write lock. The commit steps (see LockFile): the journal
  // being applied, and the end that becomes visible with `epoch`.
  void mark_commit(std::uint64_t journal_id) { slot_->commit_journal.store(journal_id, std::memory_order_release); }
  std::uint64_t commit_mark() const { return slot_->commit_journal.load(std::memory_order_acquire); }
  void stage(std::uint64_t end, std::uint64_t epoch);
  // REQUIRES: the write lock, after the epoch moved: publishes the staged
  // end and clears the stage and the mark.
  void publish_staged();
  // REQUIRES: the write lock. Drops a stage whose epoch never came.
  void drop_stage();
  bool stage_visible() const;
  // REQUIRES: the write lock. Notes a large append in progress over the
  // bytes [start, end), or clears the note with (0, 0). A note outlives the
  // lock file's reset, so that the first process after a crash finds it.
  void note_large_append(std::uint64_t start, std::uint64_t end);
  std::uint64_t large_append_start() const { return slot_->large_append_start.load(std::memory_order_acquire); }
  // True when the bytes [start, end) lie within a noted large append: all of
  // them were written by it.
  bool large_append_covers(std::uint64_t start, std::uint64_t end) const;

 private:
  LockFile* file_;
  LogSlot* slot_;
  std::atomic<std::uint64_t>* notes_made_;  // the header's count of large appends ever noted
};

class LockFile {
 public:
  static constexpr std::uint32_t kSlotCountForScan = 16384;
  // Opens (creating it when missing) the lock file of the directory `dir`,
  // maps it and takes the shared flock; resets it first when no other
  // process holds it. With `read_only` nothing is created or written: a
  // missing or unwritable lock file gives nullptr (no process that writes
  // can have the directory open without one).
  // `on_reset`, when given, runs after a reset while this process is still
  // the only one with the file (other openers wait): the place to finish
  // what the processes that are gone left half done.
  static std::expected<std::unique_ptr<LockFile>, Error> open(
      const std::string& dir, bool read_only, const std::function<std::expected<void, Error>()>& on_reset = {});
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
  const std::string& dir() const { return dir_; }

  // The commit lock: held by a transaction's commit from before it locks its
  // logs until it has let them go, and by the redo of a dead commit. Taking
  // it after a holder died redoes that holder's commit first (through
  // `recover`); `try_lock_commit` fails while another holds it.
  std::expected<void, Error> lock_commit();
  std::expected<bool, Error> try_lock_commit();
  void unlock_commit();
  // REQUIRES: the commit lock. The journal being applied (0: none), kept so
  // that whoever takes the lock after the committer died can redo it.
  void set_active_journal(std::uint64_t id);
  std::uint64_t active_journal() const;
  // REQUIRES: the commit lock. The next epoch, and making it visible.
  std::uint64_t next_epoch() const;
  void reach_epoch(std::uint64_t epoch);
  std::uint64_t epoch() const;

  // Redoes the commit of journal `id` left by a dead committer. REQUIRES:
  // the commit lock. Installed by the owner (the store knows journals).
  using Recovery = std::function<std::expected<void, Error>(LockFile&, std::uint64_t journal_id)>;
  void set_recovery(Recovery recovery) { recovery_ = std::move(recovery); }

  // Every slot whose mark is `journal_id` (the recovery of a journal that is
  // gone clears them).
  void for_each_marked(std::uint64_t journal_id, const std::function<void(SharedLog)>& f);

 private:
  struct Header;
  LockFile() = default;
  Header* header() const;
  LogSlot* slots() const;
  std::expected<void, Error> reset();
  // A large append in progress when the last process went, kept across the
  // reset (see SharedLog::note_large_append).
  struct CarriedNote;
  // The notes of the lock file as its previous users left it, read before the
  // reset wipes it. A file of another layout, or none, has none to carry.
  static std::vector<CarriedNote> notes_to_carry(int fd, std::uint64_t size);
  // The slot of the name hash `h` (nullptr when it has none), claimed when
  // `claim` and it has none yet. Fails only when every slot is taken.
  std::expected<LogSlot*, Error> slot_of(std::uint64_t h, bool claim);

  // Called by SharedLog::lock on finding a dead commit's mark: redoes it
  // when the commit lock can be had. False when another holds it.
  std::expected<bool, Error> recover_from_mark(std::uint64_t journal_id);
  std::expected<void, Error> recover_after_dead_holder();

  friend class SharedLog;
  std::string dir_;
  Recovery recovery_;
  bool holding_commit_ = false;
  Fd fd_;
  void* map_ = nullptr;
  std::size_t map_size_ = 0;
  bool opened_alone_ = false;
  bool read_only_ = false;
};

}  // namespace quillet
