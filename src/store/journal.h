// A transaction's journal: `.quillet-journal-<id>` in the database directory,
// one per Database that commits, held under an exclusive flock while its
// owner lives. A commit writes its records here first and seals them; only
// then are they written to the logs. Whoever finds a sealed journal left by a
// dead owner writes it to the logs again (redo), so a commit lands whole or,
// when it was never sealed, not at all.
//
// Layout (little-endian; the file is private to this store and never read by
// another version across a restart without a seal check):
//   "QJOURNL1"
//   chunks:  u8 1, u32 name length, log file name, u64 length, u64 checksum, records
//   seal:    u8 2, u32 part count, per part (u32 name length, name, u64 start,
//            u64 length), then u64 seal offset, u64 checksum of the seal, "QJCOMMIT"
// A log's part is the concatenation of its chunks in file order, written at
// `start` in the log. A journal without a whole seal, or with a chunk whose
// checksum fails, was never sealed.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "error.h"
#include "io/file.h"
#include "io/lock_file.h"

namespace quillet {

inline constexpr std::string_view kJournalPrefix = ".quillet-journal-";

struct JournalPart {
  std::string log_file;  // relative to the directory
  std::uint64_t start = 0;
  std::uint64_t length = 0;
};

class Journal {
 public:
  // Creates a new journal in `dir` under a fresh id, holding its flock.
  static std::expected<std::unique_ptr<Journal>, Error> create(const std::string& dir);
  // Removes the file.
  ~Journal();
  Journal(const Journal&) = delete;
  Journal& operator=(const Journal&) = delete;

  std::uint64_t id() const { return id_; }
  int fd() const { return fd_.get(); }

  // Appends records of `log_file`; returns where in the journal they start.
  std::expected<std::uint64_t, Error> add_chunk(std::string_view log_file, std::string_view records);
  // Writes the seal naming each part; with `sync` the journal is on stable
  // storage when this returns. Nothing reaches a log before this.
  std::expected<void, Error> seal(std::span<const JournalPart> parts, bool sync);
  // Empties the journal for the next transaction, or cuts it back to `size`
  // (dropping a seal and what came with it, keeping what was spilled
  // before). Either makes a seal unreadable before it returns.
  // With `sync` the emptying is on stable storage when this returns.
  std::expected<void, Error> clear(bool sync = false);
  std::expected<void, Error> cut_to(std::uint64_t size);
  std::uint64_t size() const { return size_; }
  std::expected<void, Error> read(std::uint64_t offset, char* out, std::size_t size) const;

 private:
  Journal() = default;
  std::string path_;
  Fd fd_;
  std::uint64_t id_ = 0;
  std::uint64_t size_ = 0;
};

std::string journal_file_name(std::uint64_t id);

// Puts the state of every journal in `dir` on stable storage. A journal
// emptied after its commit but not synced could come back sealed after a
// power cut, and be redone at its offsets: a compaction syncs them before it
// replaces a log, so that no journal is ever redone into a replaced file.
std::expected<void, Error> sync_journals(const std::string& dir);

// Redo at open, while this process is alone with the directory (no lock file
// slot means anything): every sealed journal is written to its logs, which
// are synced before it is removed; an unsealed one is removed.
std::expected<void, Error> recover_journals_alone(const std::string& dir);

// Redo of the journal `id` whose committer died. REQUIRES: the commit lock.
// Parts whose log still carries the journal's mark are written again and
// made visible together; the marks are cleared and the journal removed.
std::expected<void, Error> recover_journal(LockFile& lock_file, std::uint64_t id);

}  // namespace quillet
