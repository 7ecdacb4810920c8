// Compaction in place: one log of a database directory rewritten with only
// what it still says, while every database on the directory, in any process,
// keeps reading and writing it.
//
// A collection's log (.qdb) keeps the latest record of each live key; a
// backlink log (.qbl) keeps one add record per listed entry, in list order.
// The copy is made beside the log, in `<file>.compact-tmp` (a name `open`
// does not register), without the log's write lock, from the records below
// the published end. Then, under the write lock: the records appended
// meanwhile are copied as they are, the copy is synced, the generation goes
// odd, the copy is renamed over the log, the directory is synced, the new
// end is published and the generation goes even. Writers wait only for that
// last step; readers never wait. Every other database sees the generation
// move at its next call and reopens the file (AppendLog::follow_replacement).
//
// A crash at any point leaves either the old file or the new one, whole, at
// the log's path; a leftover copy is removed by the next open that has the
// directory to itself, or by repair.
//
// Memory beyond the table of live keys (or the live backlink entries): two
// buffers of about a megabyte each, plus the largest record, and 8 bytes per
// live key for the copy order. Disk: the size of the live records, plus
// what is appended during the copy.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "error.h"
#include "io/lock_file.h"

namespace quillet {

inline constexpr std::string_view kCompactionSuffix = ".compact-tmp";

// One log to compact, as a Database hands it out: usable without the
// Database, which may be used (or closed) meanwhile.
struct CompactionTarget {
  enum class Kind : std::uint8_t { Records, Backlinks };
  Kind kind = Kind::Records;
  std::string path;  // the log file
  SharedLog log;     // its slot
  std::shared_ptr<LockFile> lock_file;  // keeps the slot mapped
};

struct CompactionResult {
  std::uint64_t bytes_before = 0;  // the log's published end when the switch began
  std::uint64_t bytes_after = 0;
};

// Compacts the log. Fails, leaving the log as it was, on an I/O error, when
// another compaction of the same log is running ("a compaction of {path} is
// already running"), or when a replacement left unfinished by a process
// that died is still to be settled (any database's next call on the log
// settles it). A failure after the rename (syncing the directory) leaves the
// new file in place, published.
std::expected<CompactionResult, Error> compact_log(const CompactionTarget& target);

// Removes every `*.compact-tmp` under `dir` and its subdirectories.
// REQUIRES: no process has the directory open (a compaction may be running).
std::expected<void, Error> remove_compaction_leftovers(const std::string& dir);

}  // namespace quillet
