#include "io/append_log.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>

namespace quillet {

bool AppendLog::note_scan(const records::ScanEnd& end) {
  complete_end_ = end.complete_end;
  end_of_file_ = end.end;
  if (end.complete_end == end.end) {
    clear_tail();
    return true;
  }
  torn_ = true;
  return false;
}

std::expected<void, std::expected<AppendLog::Refused, Error>> AppendLog::cut_tail_locked() {
  using Failure = std::expected<Refused, Error>;
  const std::uint64_t tail = end_of_file_ - complete_end_;
  // A record of our own that a failed append left behind may be cut whatever
  // its length, as long as nothing was appended after it.
  if (end_of_file_ != own_torn_end_) {
    bool damaged = tail > records::kMaxTornTail;
    if (!damaged && damage_reader_ >= 0) {
      auto resumes = records::holds_records_after(damage_reader_, layout_, complete_end_, end_of_file_);
      if (!resumes) return std::unexpected(Failure(std::unexpected(resumes.error())));
      damaged = *resumes;
    }
    if (damaged) return std::unexpected(Failure(Refused{Refusal::TailTooLong, complete_end_, tail}));
  }
  if (auto cut = truncate_file(fd_.get(), complete_end_); !cut) {
    return std::unexpected(Failure(std::unexpected(cut.error())));
  }
  unsynced_ = true;
  clear_tail();
  return {};
}

std::expected<void, std::expected<AppendLog::Refused, Error>> AppendLog::cut_shared_tail_locked() {
  using Failure = std::expected<Refused, Error>;
  const std::uint64_t published = shared_->published_end();
  if (published != LogSlot::kUnknownEnd) {
    if (complete_end_ < published) {
      return std::unexpected(Failure(Refused{Refusal::TailTooLong, complete_end_, end_of_file_ - complete_end_}));
    }
    own_torn_end_ = end_of_file_;
  }
  // A large append noted in the lock file whose bytes hold the whole tail was
  // cut short by its writer's death: the tail is what is left of its last
  // records (those before them are whole), not damage in front of good ones.
  const bool noted = shared_->large_append_covers(complete_end_, end_of_file_);
  if (noted) own_torn_end_ = end_of_file_;
  auto cut = cut_tail_locked();
  if (cut && noted) shared_->note_large_append(0, 0);
  return cut;
}

std::expected<void, Error> AppendLog::append(struct iovec* iov, int iovcnt, std::string_view zero_write_text,
                                            std::uint64_t* written) {
  unsynced_ = true;
  if (!shared_) return write_all(fd_.get(), iov, iovcnt, zero_write_text, written);
  std::uint64_t total = 0;
  for (int i = 0; i < iovcnt; ++i) total += iov[i].iov_len;
  const bool large = total > records::kMaxTornTail;
  if (large) shared_->note_large_append(complete_end_, complete_end_ + total);
  auto result = write_all_at(fd_.get(), iov, iovcnt, complete_end_, zero_write_text, written);
  if (!result) return result;
  appended(*written);
  if (large) shared_->note_large_append(0, 0);
  return {};
}

std::expected<void, Error> AppendLog::sync() {
  if (!unsynced_) return {};
  if (auto synced = sync_data(fd_.get()); !synced) return synced;
  unsynced_ = false;
  return {};
}

void AppendLog::appended(std::uint64_t bytes) {
  complete_end_ += bytes;
  if (!torn_) end_of_file_ = complete_end_;
  shared_->publish(complete_end_);
}

void AppendLog::abandon_past_end() {
  unsynced_ = true;
  if (!truncate_file(fd_.get(), complete_end_)) torn_ = true;
}

void AppendLog::undo_failed_append(std::uint64_t written, std::uint64_t keep,
                                   std::optional<std::uint64_t> size_before, OnStuck stuck) {
  const int fd = fd_.get();
  if (shared_) {
    // Under the write lock the failed bytes are the last ones, written at
    // complete_end(): the whole records among them stay, the rest is cut, or
    // looked at again by the next append when the cut fails.
    unsynced_ = true;
    if (!truncate_file(fd, complete_end_ + keep)) {
      torn_ = true;
    } else if (shared_->large_append_start() == complete_end_) {
      shared_->note_large_append(0, 0);
    }
    appended(keep);
    return;
  }
  std::optional<std::uint64_t> size_after;
  bool cut = false;
  if (try_lock_exclusive(fd)) {
    // Our bytes are the last `written` ones: with O_APPEND the write went to
    // the end, and other databases hand the file whole records only. When the
    // size before is known, anything else there means someone appended
    // meanwhile and cutting is unsafe.
    if (auto size = file_size(fd)) {
      size_after = *size;
      const bool ours = size_before ? *size == *size_before + written : *size >= written;
      cut = ours && truncate_file(fd, *size - written + keep).has_value();
      unsynced_ = unsynced_ || cut;
    }
  } else if (auto size = file_size(fd)) {
    size_after = *size;
  }
  // A failed upgrade may have dropped the shared lock; a successful one is
  // turned back into it.
  lock_shared(fd);
  if (cut) return;
  if (stuck == OnStuck::RefuseUntilReopen || !size_after || *size_after < written) {
    stuck_ = true;
    return;
  }
  // The file cannot be cut now: refuse writes until the tail is gone,
  // remembering that it is ours to cut.
  torn_ = true;
  complete_end_ = *size_after - written + keep;
  end_of_file_ = *size_after;
  own_torn_end_ = *size_after;
}

bool AppendLog::join_when_claimed(LockFile& lock_file, const std::string& path) {
  const std::size_t slash = path.rfind('/');
  auto log = lock_file.log(slash == std::string::npos ? path : path.substr(slash + 1));
  if (!log) return false;
  share(*log, kRereadLater);
  return true;
}

auto AppendLog::open_reread(const std::string& path, bool has_view) -> std::expected<std::optional<Reread>, Error> {
  const std::uint64_t generation = shared_->generation();
  const bool settled = generation % 2 == 0;
  const std::uint64_t adopted = settled ? generation : kRereadLater;
  if (!settled && has_view) return std::nullopt;
  auto fd = open_regular_file(path, O_RDONLY);
  if (!fd) {
    if (fd.error().os_error() != ENOENT) return std::unexpected(fd.error());
    adopt_reread(adopted, 0);  // read once a writer publishes records
    return std::nullopt;
  }
  lock_shared(fd->get());
  auto size = file_size(fd->get());
  if (!size) return std::unexpected(size.error());
  // The published end may already be the next file's when a compaction
  // renamed one in meanwhile; its generation then moved, and the next call
  // reads again.
  const std::uint64_t end = std::min(shared_->published_end(), *size);
  return Reread{std::move(*fd), end, adopted};
}

}  // namespace quillet
