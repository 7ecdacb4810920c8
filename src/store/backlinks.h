// The per-target-collection backlink index with its append-only log
// <name>.qbl: records::LinkRecord (format/records.h), operations 1 (add) and
// 2 (remove); other operation bytes are skipped on replay. The file is an
// AppendLog (io/append_log.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "io/append_log.h"
#include "io/file.h"
#include "store/links.h"
#include "value/value.h"

namespace quillet {

// One incoming link as the index keeps it.
struct BacklinkEntry {
  std::string source_collection;
  std::string source_key;
  std::string source_path;
  bool operator==(const BacklinkEntry&) const = default;
};

using BacklinkEntries = std::unordered_map<std::string, std::vector<BacklinkEntry>>;

// Replays the backlink records in [from, end) of the log `fd` into
// `entries`, or only checks their framing when `entries` is null. Fails on a
// read error or "invalid utf8 in backlink in <path> at offset N" (`path`
// names the log in that text).
std::expected<records::ScanEnd, Error> replay_backlinks(int fd, std::uint64_t from, std::uint64_t end,
                                                        BacklinkEntries* entries, const std::string& path);

class BacklinkIndex {
 public:
  enum class Op : std::uint8_t { Add = records::kAddOp, Remove = records::kRemoveOp };

  // Opens or creates the log and replays it. A last record cut short is
  // ignored, and cut off under the same rule as a collection's torn tail;
  // when it cannot be cut, writes are refused until the log ends on a record
  // boundary again. Damage elsewhere fails: "failed to fill whole buffer",
  // "invalid utf8 in backlink in <path> at offset N".
  // With OpenMode::ReadOnly the log is neither created nor cut nor written:
  // a missing log reads as an empty index, a torn tail is only skipped, and
  // every write is refused.
  // With `share` the log joins the directory's lock file, as a collection's
  // does (Collection::open).
  // A read-only index given `share`, or the read-only lock file
  // `join_later` where its log has no slot yet, follows what writers publish
  // without taking any lock, as a read-only collection does.
  static std::expected<BacklinkIndex, Error> open(const std::string& path, OpenMode mode = OpenMode::ReadWrite,
                                                  std::optional<SharedLog> share = std::nullopt,
                                                  LockFile* join_later = nullptr);

  // Replays the records other databases appended since this index last
  // looked, or the whole log when another database replaced it
  // (compaction); entries_of shows them afterwards.
  std::expected<void, Error> refresh();

  BacklinkIndex(BacklinkIndex&&) noexcept = default;
  BacklinkIndex& operator=(BacklinkIndex&&) noexcept = default;

  // The entries of `target_key` in the order they were added; empty when none.
  const std::vector<BacklinkEntry>& entries_of(std::string_view target_key) const;

  // Moves (to a number no index of this process had before) whenever the
  // entries change, so that what a caller made of entries_of stays good
  // while the stamp it saw then is still the stamp.
  std::uint64_t stamp() const { return stamp_; }

  // Every target key with its entries, in no particular order (tools, tests).
  const std::unordered_map<std::string, std::vector<BacklinkEntry>>& all_entries() const { return entries_; }

  // Puts the records written so far on stable storage: an fdatasync of the
  // log, skipped when nothing was written or cut since the last one.
  std::expected<void, Error> sync();

  // False only for a read-only index whose log does not exist.
  bool has_file() const { return log_.valid(); }

  // One operation for `apply`; the views must outlive the call.
  struct Change {
    Op op;
    std::string_view target_key;
    const BacklinkEntry* entry;
  };
  // Makes `changes` in order: an add appends a record, then lists the entry;
  // a remove appends a record, then drops every equal entry of that key. The
  // records go to the OS in as few write calls as it can (whole records,
  // about a megabyte per call); each is applied in memory once written. A
  // field too long for its 4-byte length is refused before its record is
  // written. On a failure the file is cut back to the whole records written
  // when the exclusive lock can be taken; otherwise every later write is
  // refused until the database is reopened. `made` is set to how many
  // operations were written and applied: all of them on success.
  // `keep_going`, when given, is asked before every write after the first;
  // false stops there with "interrupted" (kind Io), as a failed write would.
  std::expected<void, Error> apply(std::span<const Change> changes, std::size_t& made,
                                   const std::function<bool()>& keep_going = {});

  // A commit's steps (see Database::commit): the log's write lock with what
  // others appended read first; the records of `changes` built into `out`;
  // those records written at the log's end without being read into memory
  // (the refresh after the commit reads them, as it reads others'). A
  // failed write leaves nothing past the log's end. REQUIRES for the last
  // two: the write lock of a shared log.
  std::expected<void, Error> lock_writes();
  void unlock_writes() { log_.unlock(); }
  static std::expected<void, Error> build_records(std::span<const Change> changes, std::string& out);
  std::expected<void, Error> write_at_end(std::string_view records);
  // REQUIRES: the write lock, held since the records of `changes` (`bytes`
  // of them) were written at the log's end. Applies them in memory and
  // counts them as read, as reading them back would.
  void landed(std::span<const Change> changes, std::uint64_t bytes);
  void abandon_write() { log_.abandon_past_end(); }
  SharedLog* shared_log() { return log_.shared_log(); }
  std::uint64_t log_end() const { return log_.complete_end(); }
  int fd() const { return log_.fd(); }

 private:
  BacklinkIndex() = default;

  // Refuses a write while the file may end inside a record: after a partial
  // write that could not be cut off, or while a torn tail found at open is
  // still there (looks again each time).
  std::expected<void, Error> check_writable();
  // apply's write lock, held until the object goes.
  struct AppendScope;
  // Reopens the log another database replaced (compaction) and replays it.
  std::expected<void, Error> follow_replacement();
  // A reader's counterparts of Collection::reread_as_reader and join_late.
  std::expected<void, Error> reread_as_reader();
  std::expected<void, Error> join_late();
  void apply_in_memory(Op op, std::string_view target_key, const BacklinkEntry& entry);
  static std::uint64_t next_stamp();
  // The entries, for a change to them.
  BacklinkEntries* changing_entries() {
    stamp_ = next_stamp();
    return &entries_;
  }

  std::string path_;
  AppendLog log_;  // O_RDWR | O_APPEND
  std::unordered_map<std::string, std::vector<BacklinkEntry>> entries_;
  bool opened_read_only_ = false;  // OpenMode::ReadOnly
  LockFile* join_later_ = nullptr;  // a reader's lock file, until the log has a slot there
  std::uint64_t stamp_ = next_stamp();
};

}  // namespace quillet
