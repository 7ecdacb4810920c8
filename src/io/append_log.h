// The append-only log file shared by the collection store (.qdb) and the
// backlink index (.qbl): the lock protocol that lets several open databases
// append to one file, the torn-tail check and cut at open and before writing,
// and the undo of an append that failed part-way.
//
// Lock protocol: the descriptor holds a shared flock while the log is open.
// A file is cut only while the lock is held exclusively, which proves that no
// other open database is in the middle of appending to it; the shared lock is
// held again afterwards. Appends go to the end (O_APPEND), one whole record or
// batch of whole records per write call.
//
// Torn tail: what follows the last whole record (records::ScanEnd). Found at
// open, it is cut when the exclusive lock is free and it is at most
// records::kMaxTornTail bytes; otherwise writes are refused until the file
// ends on a record boundary again (another database completed its append) or
// the tail can be cut after all.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>

#include "format/records.h"
#include "io/file.h"

namespace quillet {

// Not synchronised: the owner serialises every call.
class AppendLog {
 public:
  // Why writes are refused; each owner words it for its file.
  enum class Refusal : std::uint8_t {
    TailInUse,      // a torn tail, and another open database holds the file
    TailTooLong,    // a torn tail longer than kMaxTornTail that is not ours
    Shrunk,         // the file is shorter than the records already read
    PartialRecord,  // our failed append could not be cut and may not be retried
  };
  struct Refused {
    Refusal why;
    std::uint64_t complete_end;  // where the last whole record ends
    std::uint64_t tail_bytes;    // of the torn tail (TailInUse, TailTooLong)
  };
  // What an append that cannot be undone at once leaves behind.
  enum class OnStuck : std::uint8_t {
    CutLater,           // a torn tail of ours, cut at a later write when the lock is free
    RefuseUntilReopen,  // writes are refused for the life of this log
  };

  AppendLog() = default;
  // `fd` is open for appending; the log takes its lock and owns it.
  explicit AppendLog(Fd fd) : fd_(std::move(fd)) {}

  int fd() const { return fd_.get(); }
  bool valid() const { return fd_.valid(); }
  std::uint64_t complete_end() const { return complete_end_; }
  // False while writes wait for ensure_writable: a torn tail, or a failed
  // append that could not be undone.
  bool writable() const { return !torn_ && !stuck_; }

  // The open: takes the exclusive lock if it can (held through the scan, so
  // no other database starts an append that the scan would take for a torn
  // record), else the shared one; scans the whole file with
  // scan(from, end) -> std::expected<records::ScanEnd, E>, and cuts a torn
  // tail when the rules allow. Ends holding the shared lock. Returns the
  // scan's end (before any cut), or the first error.
  template <class Scan>
  auto open_scan(Scan&& scan) -> decltype(scan(std::uint64_t{}, std::uint64_t{}));

  // Before writing: succeeds when the file ends on a record boundary, looking
  // again (with `scan` over the bytes past complete_end(), which may index
  // what other databases appended) and cutting the tail where the rules
  // allow. A scan error is returned as is; a refusal as Refused.
  template <class Scan>
  std::expected<void, std::expected<Refused, Error>> ensure_writable(Scan&& scan);

  // After a write that failed having written `written` bytes: cuts the file
  // back to `keep` bytes past the append's start when that is provably ours
  // to do (the exclusive lock is free and, when `size_before` is known, the
  // file holds exactly size_before + written bytes); otherwise acts as `stuck`.
  void undo_failed_append(std::uint64_t written, std::uint64_t keep, std::optional<std::uint64_t> size_before,
                          OnStuck stuck);

 private:
  // Records the scan's end; true when the file ends on a record boundary.
  bool note_scan(const records::ScanEnd& end);
  void clear_tail() {
    torn_ = false;
    own_torn_end_ = 0;
    end_of_file_ = complete_end_;
  }
  // REQUIRES: the exclusive lock. Cuts the torn tail when allowed.
  std::expected<void, std::expected<Refused, Error>> cut_tail_locked();

  Fd fd_;
  std::uint64_t complete_end_ = 0;
  std::uint64_t end_of_file_ = 0;   // file size when the tail was last looked at
  std::uint64_t own_torn_end_ = 0;  // file size after our own failed append, or 0
  bool torn_ = false;
  bool stuck_ = false;
};

template <class Scan>
auto AppendLog::open_scan(Scan&& scan) -> decltype(scan(std::uint64_t{}, std::uint64_t{})) {
  const int fd = fd_.get();
  const bool exclusive = try_lock_exclusive(fd);
  if (!exclusive) lock_shared(fd);
  auto size = file_size(fd);
  if (!size) return std::unexpected(size.error());
  auto end = scan(0, *size);
  if (!end) return end;
  note_scan(*end);
  if (torn_ && exclusive) (void)cut_tail_locked();
  if (exclusive) lock_shared(fd);
  return end;
}

template <class Scan>
std::expected<void, std::expected<AppendLog::Refused, Error>> AppendLog::ensure_writable(Scan&& scan) {
  using Failure = std::expected<Refused, Error>;
  if (stuck_) return std::unexpected(Failure(Refused{Refusal::PartialRecord, complete_end_, 0}));
  if (!torn_) return {};
  const int fd = fd_.get();
  // Looks at the bytes past the last whole record; true when they are whole
  // records now.
  auto look = [&]() -> std::expected<bool, Failure> {
    auto size = file_size(fd);
    if (!size) return std::unexpected(Failure(std::unexpected(size.error())));
    if (*size < complete_end_) return std::unexpected(Failure(Refused{Refusal::Shrunk, complete_end_, 0}));
    auto end = scan(complete_end_, *size);
    if (!end) return std::unexpected(Failure(std::unexpected(Error(end.error()))));
    return note_scan(*end);
  };
  auto whole = look();
  if (!whole) return std::unexpected(whole.error());
  if (*whole) return {};  // another database finished its append
  if (!try_lock_exclusive(fd)) {
    // On Linux a failed upgrade has dropped the shared lock.
    lock_shared(fd);
    return std::unexpected(Failure(Refused{Refusal::TailInUse, complete_end_, end_of_file_ - complete_end_}));
  }
  // Alone with the file now: look once more, as an append may have
  // completed since the last look.
  std::expected<void, Failure> outcome;
  if (whole = look(); !whole) {
    outcome = std::unexpected(whole.error());
  } else if (!*whole) {
    outcome = cut_tail_locked();
  }
  lock_shared(fd);
  return outcome;
}

}  // namespace quillet
