// The append-only log file shared by the collection store (.qdb) and the
// backlink index (.qbl): the lock protocol that lets several open databases
// append to one file, the torn-tail check and cut at open and before writing,
// and the undo of an append that failed part-way.
//
// Two lock protocols. A log shared through the directory's lock file
// (io/lock_file.h), as every log a Database opens for writing is, appends
// and cuts only under the log's write lock there, writes at the end of the
// records it has read (pwrite, not O_APPEND), and publishes the new end; it
// follows the records other databases append through that published end.
// Bytes past the published end were never acknowledged: a writer that finds
// them under the lock (left by a writer that died) reads the whole records
// among them and cuts the rest.
//
// A log opened on its own (no lock file) keeps the older protocol: the
// descriptor holds a shared flock while the log is open.
// A file is cut only while the lock is held exclusively, which proves that no
// other open database is in the middle of appending to it; the shared lock is
// held again afterwards. Appends go to the end (O_APPEND), one whole record or
// batch of whole records per write call.
//
// Torn tail: what follows the last whole record (records::ScanEnd). Found at
// open, it is cut when the exclusive lock is free and it is at most
// records::kMaxTornTail bytes and holds no whole records after
// resynchronising (format/salvage.h: damage, not an interrupted append);
// otherwise writes are refused until the file ends on a record boundary again
// (another database completed its append) or the tail can be cut after all.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <utility>

#include "format/records.h"
#include "format/salvage.h"
#include "io/file.h"
#include "io/lock_file.h"

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
    Replaced,       // another database replaced the file: follow_replacement, then try again
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

  // Before cutting a torn tail, reads it through `read_fd` as `layout` and
  // refuses the cut (TailTooLong) when whole records resume in it. REQUIRES:
  // `read_fd` stays open while the log may cut.
  void check_damage_before_cut(int read_fd, records::Layout layout) {
    damage_reader_ = read_fd;
    layout_ = layout;
  }

  // Joins the directory's lock file. REQUIRES: before open_scan, and the
  // descriptor was opened without O_APPEND.
  // `generation` is the log's generation read before the descriptor was
  // opened: a file replaced since then is followed at the first refresh.
  void share(SharedLog log, std::uint64_t generation) {
    shared_.emplace(log);
    generation_ = generation;
  }
  bool shared() const { return shared_.has_value(); }
  SharedLog* shared_log() { return shared_ ? &*shared_ : nullptr; }
  // REQUIRES: the write lock of a shared log. Cuts what a commit wrote past
  // complete_end() when it will not be made visible; when the cut fails the
  // next append cuts it (nothing past the published end is kept).
  void abandon_past_end();
  // For bytes written past complete_end() by the owner itself: the next
  // sync() must not be skipped.
  void note_written() { unsynced_ = true; }

  // True when another database replaced the file (compaction) since this
  // log opened it: the owner must follow_replacement before reading on.
  bool replaced() const { return shared_ && shared_->generation() != generation_; }
  // Adopts the file now at the log's path. Under the write lock `reopen()`
  // -> std::expected<Fd, Error> opens it (the owner reopens its own other
  // descriptors alongside); then the owner's `scan` indexes it from the
  // start, into state the owner has cleared: up to the published end after
  // the lock is let go, or, when a replacer or writer died holding the
  // lock, the whole file under the lock, which settles its end and
  // generation for everyone. On failure the lock is not held.
  template <class Reopen, class Scan>
  std::expected<void, Error> follow_replacement(Reopen&& reopen, Scan&& scan);

  // A generation no file has: replaced() stays true until the owner reads
  // the file again.
  static constexpr std::uint64_t kRereadLater = ~std::uint64_t{0};
  // For a reader whose log had no slot in `lock_file` (read-only) when it
  // opened: shares the slot of the log at `path` once a writer claimed one,
  // to be read again from the start (true); false while there is none.
  bool join_when_claimed(LockFile& lock_file, const std::string& path);
  // A reader's next reading of the file now at `path` from its start: the
  // file (open read-only, under a shared flock), how far to read it (the
  // published end, within the file) and the generation to adopt_reread with.
  // Nullopt when there is nothing to read: a compaction is renaming its file
  // in and the reader `has_view` (which it keeps until the next call), or no
  // writer has made the file yet (adopted as empty).
  struct Reread {
    Fd fd;
    std::uint64_t end;
    std::uint64_t generation;
  };
  std::expected<std::optional<Reread>, Error> open_reread(const std::string& path, bool has_view);
  // A reader's log, which never writes: the owner read the file now at the
  // log's path from its start up to `complete_end`, as it was under
  // `generation`.
  void adopt_reread(std::uint64_t generation, std::uint64_t complete_end) {
    generation_ = generation;
    complete_end_ = complete_end;
    clear_tail();
  }

  // True when another database published records past what this log has read.
  bool behind() const {
    if (!shared_) return false;
    const std::uint64_t end = shared_->published_end();
    return end != LogSlot::kUnknownEnd && end > complete_end_;
  }
  // Reads what other databases appended since this log last looked, with
  // scan(complete_end(), published end). Takes no lock: the bytes below the
  // published end are whole records that nobody changes.
  template <class Scan>
  std::expected<void, Error> catch_up(Scan&& scan);

  // Takes the write lock of a shared log and readies an append at
  // complete_end(): reads what others appended, and when the last holder
  // died holding the lock, or an append of this log failed part-way, reads
  // the whole records past the published end and cuts what follows them.
  // On failure the lock is not held.
  template <class Scan>
  std::expected<void, std::expected<Refused, Error>> lock_for_append(Scan&& scan);
  // REQUIRES: the write lock. `bytes` of whole records were written at
  // complete_end(): they count as read and are published.
  void appended(std::uint64_t bytes);
  // REQUIRES: the write lock. Counts `bytes` of whole records written at
  // complete_end() as read, leaving their publication to the caller (a
  // commit publishes every log's end at once).
  void advance(std::uint64_t bytes) {
    unsynced_ = true;
    complete_end_ += bytes;
    if (!torn_) end_of_file_ = complete_end_;
  }
  // REQUIRES: the write lock.
  void unlock() { shared_->unlock(); }

  // Hands `iov` (whole records) to the OS: at complete_end() for a shared
  // log (REQUIRES: the write lock), published once all of it is written;
  // at the end of the file (O_APPEND) otherwise. An append longer than
  // records::kMaxTornTail is noted in the lock file while it is written, so
  // that what a writer killed meanwhile leaves is known to be its own torn
  // record and is cut at the next open whatever its length. On failure
  // `*written` bytes went out, and the caller undoes them
  // (undo_failed_append).
  std::expected<void, Error> append(struct iovec* iov, int iovcnt, std::string_view zero_write_text,
                                    std::uint64_t* written);

  // Puts everything this log appended or cut since its last sync (and, for
  // the first sync after open, whatever the file held) on stable storage with
  // fdatasync. Does nothing when nothing changed since.
  std::expected<void, Error> sync();

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
  // REQUIRES: the write lock of a shared log. A torn tail wholly past the
  // published end was never acknowledged and is cut whatever its length; one
  // that starts below it is damage and refuses writes until repaired; without
  // a published end (the lock file was reset after every process had gone)
  // the torn-record rule judges the length.
  std::expected<void, std::expected<Refused, Error>> cut_shared_tail_locked();
  // open_scan and the look past the published end of a shared log.
  template <class Scan>
  auto open_scan_shared(Scan&& scan) -> decltype(scan(std::uint64_t{}, std::uint64_t{}));
  // REQUIRES: the write lock of a shared log. Reads the whole records past
  // complete_end() and cuts what follows them: nothing there was published,
  // so it is never acknowledged data, unless the lock file knows no published
  // end (it was reset since), when only a torn record's worth is cut.
  template <class Scan>
  std::expected<void, std::expected<Refused, Error>> settle_tail_locked(Scan&& scan);

  Fd fd_;
  std::uint64_t complete_end_ = 0;
  std::uint64_t end_of_file_ = 0;   // file size when the tail was last looked at
  std::uint64_t own_torn_end_ = 0;  // file size after our own failed append, or 0
  std::uint64_t generation_ = 0;    // of the file this log has open
  bool torn_ = false;
  bool stuck_ = false;
  bool unsynced_ = true;  // appended or cut since the last sync
  std::optional<SharedLog> shared_;
  int damage_reader_ = -1;
  records::Layout layout_ = records::Layout::Data;
};

template <class Scan>
auto AppendLog::open_scan(Scan&& scan) -> decltype(scan(std::uint64_t{}, std::uint64_t{})) {
  if (shared_) return open_scan_shared(scan);
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

template <class Scan>
auto AppendLog::open_scan_shared(Scan&& scan) -> decltype(scan(std::uint64_t{}, std::uint64_t{})) {
  using Result = decltype(scan(std::uint64_t{}, std::uint64_t{}));
  const int fd = fd_.get();
  // The shared flock says "open here" to the tools that must be alone.
  lock_shared(fd);
  // The whole records below the published end are read without the lock, so
  // that opening a large log keeps no writer waiting.
  const std::uint64_t published = shared_->published_end();
  if (published != LogSlot::kUnknownEnd) {
    auto size = file_size(fd);
    if (!size) return std::unexpected(size.error());
    if (*size >= published) {
      auto head = scan(0, published);
      if (!head) return head;
      complete_end_ = head->complete_end;
    }
  }
  auto died = shared_->lock();
  if (!died) return std::unexpected(died.error());
  auto size = file_size(fd);
  if (!size) {
    unlock();
    return std::unexpected(size.error());
  }
  Result end = scan(complete_end_, *size);
  if (!end || replaced()) {
    // A file replaced since it was opened is judged by nobody: the first
    // refresh follows the new one.
    unlock();
    return end;
  }
  note_scan(*end);
  if (torn_) (void)cut_shared_tail_locked();
  if (!torn_) shared_->publish(complete_end_);
  unlock();
  return end;
}

template <class Scan>
std::expected<void, Error> AppendLog::catch_up(Scan&& scan) {
  const std::uint64_t published = shared_->published_end();
  if (published == LogSlot::kUnknownEnd || published <= complete_end_) return {};
  auto end = scan(complete_end_, published);
  if (!end) return std::unexpected(Error(end.error()));
  // Below the published end every record is whole; a shorter read means the
  // file was cut by someone else, which the next append looks at.
  complete_end_ = end->complete_end;
  if (!torn_) end_of_file_ = complete_end_;
  return {};
}

template <class Scan>
std::expected<void, std::expected<AppendLog::Refused, Error>> AppendLog::lock_for_append(Scan&& scan) {
  using Failure = std::expected<Refused, Error>;
  auto died = shared_->lock();
  if (!died) return std::unexpected(Failure(std::unexpected(died.error())));
  const std::uint64_t published = shared_->published_end();
  std::expected<void, Failure> ready;
  if (replaced()) {
    ready = std::unexpected(Failure(Refused{Refusal::Replaced, complete_end_, 0}));
  } else if (published != LogSlot::kUnknownEnd && published < complete_end_) {
    ready = std::unexpected(Failure(Refused{Refusal::Shrunk, complete_end_, 0}));
  } else if (auto caught = catch_up(scan); !caught) {
    ready = std::unexpected(Failure(std::unexpected(caught.error())));
  } else if (*died || torn_ || stuck_) {
    ready = settle_tail_locked(scan);
  }
  if (!ready) unlock();
  return ready;
}

template <class Scan>
std::expected<void, std::expected<AppendLog::Refused, Error>> AppendLog::settle_tail_locked(Scan&& scan) {
  using Failure = std::expected<Refused, Error>;
  auto size = file_size(fd_.get());
  if (!size) return std::unexpected(Failure(std::unexpected(size.error())));
  if (*size < complete_end_) return std::unexpected(Failure(Refused{Refusal::Shrunk, complete_end_, 0}));
  auto end = scan(complete_end_, *size);
  if (!end) return std::unexpected(Failure(std::unexpected(Error(end.error()))));
  stuck_ = false;
  if (note_scan(*end)) {
    shared_->publish(complete_end_);
    return {};
  }
  auto cut = cut_shared_tail_locked();
  if (cut) shared_->publish(complete_end_);
  return cut;
}

template <class Reopen, class Scan>
std::expected<void, Error> AppendLog::follow_replacement(Reopen&& reopen, Scan&& scan) {
  auto died = shared_->lock();
  if (!died) return std::unexpected(died.error());
  auto fd = reopen();
  if (!fd) {
    unlock();
    return std::unexpected(fd.error());
  }
  fd_ = std::move(*fd);
  complete_end_ = 0;
  own_torn_end_ = 0;
  stuck_ = false;
  clear_tail();
  const std::uint64_t generation = shared_->generation();
  const std::uint64_t published = shared_->published_end();
  if (!*died && generation % 2 == 0 && published != LogSlot::kUnknownEnd) {
    generation_ = generation;
    unlock();
    // Below the published end the file holds whole records nobody changes.
    auto end = scan(0, published);
    if (!end) return std::unexpected(Error(end.error()));
    complete_end_ = end->complete_end;
    end_of_file_ = complete_end_;
    return {};
  }
  // Someone died holding the lock, perhaps between renaming a new file in
  // and publishing its end: the file at the path is whole up to its last
  // whole record, and what follows was never acknowledged.
  auto size = file_size(fd_.get());
  auto end = size ? scan(0, *size) : decltype(scan(0, 0))(std::unexpected(size.error()));
  if (!end) {
    unlock();
    return std::unexpected(Error(end.error()));
  }
  note_scan(*end);
  if (torn_) (void)cut_shared_tail_locked();
  if (!torn_) shared_->publish(complete_end_);
  if (generation % 2 == 1) shared_->advance_generation();
  generation_ = shared_->generation();
  unlock();
  return {};
}

}  // namespace quillet
