// The per-target-collection backlink index with its
// append-only log <name>.qbl.
//
// Log record: op (1 byte: 1 add, 2 remove; others are skipped on replay), then
// four strings, each u32 LE length + bytes: target key, source collection,
// source key, source path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

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


class BacklinkIndex {
 public:
  enum class Op : std::uint8_t { Add = 1, Remove = 2 };

  // Opens or creates the log and replays it. A last record cut short is
  // ignored, and cut off under the same rule as a collection's torn tail;
  // when it cannot be cut, writes are refused until the log ends on a record
  // boundary again. Damage elsewhere fails: "failed to fill whole buffer",
  // "invalid utf8 in backlink".
  // With OpenMode::ReadOnly the log is neither created nor cut nor written:
  // a missing log reads as an empty index, a torn tail is only skipped, and
  // every write is refused.
  static std::expected<BacklinkIndex, IoError> open(const std::string& path, OpenMode mode = OpenMode::ReadWrite);

  BacklinkIndex(BacklinkIndex&&) noexcept = default;
  BacklinkIndex& operator=(BacklinkIndex&&) noexcept = default;

  // Appends an add record (one write call), then lists the entry.
  std::expected<void, IoError> add(std::string_view target_key, BacklinkEntry entry);
  // Appends a remove record, then drops every equal entry of that key.
  std::expected<void, IoError> remove(std::string_view target_key, const BacklinkEntry& entry);

  // The entries of `target_key` in the order they were added; empty when none.
  const std::vector<BacklinkEntry>& entries_of(std::string_view target_key) const;

  // Every target key with its entries, in no particular order (tools, tests).
  const std::unordered_map<std::string, std::vector<BacklinkEntry>>& all_entries() const { return entries_; }

  // False only for a read-only index whose log does not exist.
  bool has_file() const { return file_.valid(); }

  // One operation for `apply`; the views must outlive the call.
  struct Change {
    Op op;
    std::string_view target_key;
    const BacklinkEntry* entry;
  };
  struct ApplyFailure {
    std::size_t made;  // operations written and applied before the error
    IoError error;
  };
  // Makes `changes` in order, as add and remove would one by one, but hands
  // their records to the OS in as few write calls as it can (whole records,
  // about a megabyte per call); each is applied in memory once written. On a
  // failure the file keeps only the whole records written, as write_record
  // leaves it, and the count made so far comes with the error.
  std::expected<void, ApplyFailure> apply(std::span<const Change> changes);

  // Appends one record in a single write call. A failure cuts the file back
  // to its size before the call when the exclusive lock can be taken;
  // otherwise every later write is refused until the database is reopened.
  std::expected<void, IoError> write_record(Op op, std::string_view target_key, const BacklinkEntry& entry);

 private:
  BacklinkIndex() = default;

  // Refuses a write while the file may end inside a record: after a partial
  // write that could not be cut off, or while a torn tail found at open is
  // still there (looks again each time).
  std::expected<void, IoError> check_writable();
  // Cuts off the `written` bytes of a failed append when that is provably
  // safe; otherwise poisons the index.
  // Cuts off what a failed write left beyond `keep` of its `written` bytes
  // (the file had `size_before` bytes before it), or refuses later writes.
  void undo_partial_write(std::uint64_t size_before, std::uint64_t written, std::uint64_t keep = 0);
  void apply_in_memory(Op op, std::string_view target_key, const BacklinkEntry& entry);

  std::string path_;
  Fd file_;
  std::unordered_map<std::string, std::vector<BacklinkEntry>> entries_;
  bool poisoned_ = false;   // a partial record could not be cut off
  bool read_only_ = false;  // a torn tail could not be cut at open
  bool opened_read_only_ = false;  // OpenMode::ReadOnly
  std::uint64_t complete_end_ = 0;
};

}  // namespace quillet
