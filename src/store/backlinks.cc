#include "store/backlinks.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

#include "format/codec.h"

namespace quillet {

namespace {

using Entries = BacklinkEntries;

void apply_record(const records::LinkRecord& r, Entries& entries) {
  if (r.op != records::kAddOp && r.op != records::kRemoveOp) return;
  BacklinkEntry entry{std::string(r.source_collection), std::string(r.source_key), std::string(r.source_path)};
  std::string key(r.target_key);
  if (r.op == records::kAddOp) {
    entries[std::move(key)].push_back(std::move(entry));
  } else if (auto it = entries.find(key); it != entries.end()) {
    std::erase(it->second, entry);
  }
}

}  // namespace

std::expected<records::ScanEnd, Error> replay_backlinks(int fd, std::uint64_t from, std::uint64_t end, Entries* entries,
                                                        const std::string& path) {
  records::BlockReader file(fd);
  std::optional<std::uint64_t> bad_text;
  auto scan = records::scan_link_records(file, from, end, [&](const records::LinkRecord& r) {
    if (entries == nullptr) return true;
    for (std::string_view field : {r.target_key, r.source_collection, r.source_key, r.source_path}) {
      if (!is_valid_utf8(field)) {
        bad_text = r.offset;
        return false;
      }
    }
    apply_record(r, *entries);
    return true;
  });
  if (bad_text) {
    return std::unexpected(
        Error::corruption("invalid utf8 in backlink in " + path + " at offset " + std::to_string(*bad_text)));
  }
  return scan;
}

namespace {

Error refused(const std::string& path, std::string_view why, ErrorKind kind = ErrorKind::Io) {
  return Error(kind, "backlink file " + path + " " + std::string(why));
}

}  // namespace

std::expected<BacklinkIndex, Error> BacklinkIndex::open(const std::string& path, OpenMode mode,
                                                        std::optional<SharedLog> share, LockFile* join_later) {
  const bool read_only = mode == OpenMode::ReadOnly;
  BacklinkIndex index;
  index.path_ = path;
  index.opened_read_only_ = read_only;
  if (read_only && share) {
    index.log_.share(*share, AppendLog::kRereadLater);
    if (auto read = index.reread_as_reader(); !read) return std::unexpected(read.error());
    return index;
  }
  if (read_only) index.join_later_ = join_later;
  // A shared log writes at the end of the records it has read (pwrite), so
  // its descriptor must not append wherever the file ends.
  const std::uint64_t generation = share ? share->generation() : 0;
  auto fd = open_regular_file(path, read_only ? O_RDONLY : share ? O_RDWR | O_CREAT : O_RDWR | O_APPEND | O_CREAT);
  if (!fd) {
    if (read_only && fd.error().os_error() == ENOENT) return index;
    return std::unexpected(fd.error());
  }
  const int raw = fd->get();
  index.log_ = AppendLog(std::move(*fd));
  index.log_.check_damage_before_cut(raw, records::Layout::Link);
  if (share && !read_only) index.log_.share(*share, generation);
  auto replay = [&](std::uint64_t from, std::uint64_t end) { return replay_backlinks(raw, from, end, index.changing_entries(), index.path_); };
  if (!read_only) {
    if (auto scan = index.log_.open_scan(replay); !scan) return std::unexpected(scan.error());
    if (auto fresh = index.refresh(); !fresh) return std::unexpected(fresh.error());
    return index;
  }
  // A reader never cuts, so it only ever asks for the shared lock.
  lock_shared(raw);
  auto size = file_size(raw);
  if (!size) return std::unexpected(size.error());
  if (auto scan = replay(0, *size); !scan) return std::unexpected(scan.error());
  return index;
}

std::uint64_t BacklinkIndex::next_stamp() {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

const std::vector<BacklinkEntry>& BacklinkIndex::entries_of(std::string_view target_key) const {
  static const std::vector<BacklinkEntry> kNone;
  auto it = entries_.find(std::string(target_key));
  return it == entries_.end() ? kNone : it->second;
}

std::expected<void, Error> BacklinkIndex::refresh() {
  if (log_.replaced()) return follow_replacement();
  if (!log_.behind()) return join_later_ ? join_late() : std::expected<void, Error>{};
  if (!log_.valid()) return reread_as_reader();  // a reader, and the file is new
  return log_.catch_up(
      [&](std::uint64_t from, std::uint64_t end) { return replay_backlinks(log_.fd(), from, end, changing_entries(), path_); });
}

std::expected<void, Error> BacklinkIndex::join_late() {
  // Until a writer claims a slot, every record is in the file as read.
  if (!log_.join_when_claimed(*join_later_, path_)) return {};
  join_later_ = nullptr;
  return reread_as_reader();
}

std::expected<void, Error> BacklinkIndex::reread_as_reader() {
  auto next = log_.open_reread(path_, log_.valid());
  if (!next) return std::unexpected(next.error());
  if (!*next) return {};
  // The log owns the reader's descriptor: a new log on the new file, in the same slot.
  const SharedLog shared = *log_.shared_log();
  const int raw = (*next)->fd.get();
  log_ = AppendLog(std::move((*next)->fd));
  log_.share(shared, AppendLog::kRereadLater);
  changing_entries()->clear();
  auto scan = replay_backlinks(raw, 0, (*next)->end, changing_entries(), path_);
  if (!scan) return std::unexpected(scan.error());
  log_.adopt_reread((*next)->generation, scan->complete_end);
  return {};
}

std::expected<void, Error> BacklinkIndex::follow_replacement() {
  if (opened_read_only_) return reread_as_reader();
  changing_entries()->clear();
  return log_.follow_replacement(
      [&]() -> std::expected<Fd, Error> {
        auto fd = open_regular_file(path_, O_RDWR);
        if (fd) lock_shared(fd->get());
        return fd;
      },
      [&](std::uint64_t from, std::uint64_t end) { return replay_backlinks(log_.fd(), from, end, changing_entries(), path_); });
}

std::expected<void, Error> BacklinkIndex::sync() {
  if (opened_read_only_ || !log_.valid()) return {};
  return log_.sync();
}

struct BacklinkIndex::AppendScope {
  AppendLog* log = nullptr;
  ~AppendScope() {
    if (log) log->unlock();
  }
};

std::expected<void, Error> BacklinkIndex::check_writable() {
  if (opened_read_only_) return std::unexpected(refused(path_, "is open read-only", ErrorKind::ReadOnly));
  if (log_.shared()) {
    // Under the write lock: what others appended is replayed first, and a
    // record a dead writer left unfinished is cut.
    auto replay = [&](std::uint64_t from, std::uint64_t end) { return replay_backlinks(log_.fd(), from, end, changing_entries(), path_); };
    auto ready = log_.lock_for_append(replay);
    // Each turn follows a compaction that finished meanwhile.
    while (!ready && ready.error() && ready.error()->why == AppendLog::Refusal::Replaced) {
      if (auto followed = follow_replacement(); !followed) return followed;
      ready = log_.lock_for_append(replay);
    }
    if (ready) return {};
    if (!ready.error()) return std::unexpected(ready.error().error());
    return std::unexpected(refused(path_, "ends inside an incomplete record that is not a torn write; writes are "
                                          "refused until the file is repaired", ErrorKind::Corruption));
  }
  // Another open database may have been appending the record found cut at
  // open: writing is safe again once the file ends on a record boundary, or
  // once nobody else holds the file, so that the tail can be cut after all.
  auto writable = log_.ensure_writable(
      [&](std::uint64_t from, std::uint64_t end) { return replay_backlinks(log_.fd(), from, end, nullptr, path_); });
  if (writable) return {};
  if (!writable.error()) return std::unexpected(writable.error().error());
  if (writable.error()->why == AppendLog::Refusal::PartialRecord) {
    return std::unexpected(refused(path_, "ends inside a partly written record that could not be cut off; "
                                          "writes are refused until the database is opened again"));
  }
  return std::unexpected(refused(path_, "ends inside an incomplete record; writes are refused until it ends "
                                        "on a record boundary"));
}

namespace {

constexpr std::size_t kApplyChunk = std::size_t{1} << 20;

std::expected<void, Error> check_field_lengths(std::string_view target_key, const BacklinkEntry& entry) {
  for (std::string_view field : {target_key, std::string_view(entry.source_collection),
                                 std::string_view(entry.source_key), std::string_view(entry.source_path)}) {
    if (field.size() > kMaxLength) {
      return std::unexpected(Error::invalid_argument("backlink field of " + std::to_string(field.size()) +
                                             " bytes is too long for a 4-byte length"));
    }
  }
  return {};
}


}  // namespace

void BacklinkIndex::apply_in_memory(Op op, std::string_view target_key, const BacklinkEntry& entry) {
  stamp_ = next_stamp();
  if (op == Op::Add) {
    entries_[std::string(target_key)].push_back(entry);
  } else if (auto it = entries_.find(std::string(target_key)); it != entries_.end()) {
    std::erase(it->second, entry);
  }
}

std::expected<void, Error> BacklinkIndex::apply(std::span<const Change> changes, std::size_t& made,
                                                const std::function<bool()>& keep_going) {
  made = 0;
  if (changes.empty()) return {};
  if (log_.shared()) {
    if (auto writable = check_writable(); !writable) return writable;
  }
  AppendScope scope{log_.shared() ? &log_ : nullptr};
  std::string chunk;
  std::vector<std::size_t> ends;  // end of each record in `chunk`
  while (made < changes.size()) {
    if (made > 0 && keep_going && !keep_going()) return std::unexpected(Error::io("interrupted"));
    if (!log_.shared()) {
      if (auto writable = check_writable(); !writable) return std::unexpected(writable.error());
    }
    chunk.clear();
    ends.clear();
    for (std::size_t i = made; i < changes.size() && chunk.size() < kApplyChunk; ++i) {
      const Change& c = changes[i];
      if (auto fits = check_field_lengths(c.target_key, *c.entry); !fits) {
        if (ends.empty()) return std::unexpected(fits.error());
        break;  // write what comes before it first
      }
      records::append_link_record(chunk, static_cast<std::uint8_t>(c.op), c.target_key, c.entry->source_collection,
                                  c.entry->source_key, c.entry->source_path);
      ends.push_back(chunk.size());
    }
    struct iovec iov{chunk.data(), chunk.size()};
    std::uint64_t written = 0;
    std::optional<std::uint64_t> size_before;
    std::expected<void, Error> result;
    if (!log_.shared()) {
      auto size = file_size(log_.fd());
      if (!size) return std::unexpected(size.error());
      size_before = *size;
    }
    result = log_.append(&iov, 1, kWriteWholeBuffer, &written);
    // The records wholly written count as made, as they would one by one.
    std::size_t whole = result ? ends.size() : static_cast<std::size_t>(
        std::upper_bound(ends.begin(), ends.end(), written) - ends.begin());
    for (std::size_t i = 0; i < whole; ++i) {
      const Change& c = changes[made + i];
      apply_in_memory(c.op, c.target_key, *c.entry);
    }
    made += whole;
    if (!result) {
      const std::uint64_t keep = whole == 0 ? 0 : ends[whole - 1];
      if (written > keep) {
        log_.undo_failed_append(written, keep, size_before, AppendLog::OnStuck::RefuseUntilReopen);
      }
      return std::unexpected(result.error());
    }
  }
  return {};
}

std::expected<void, Error> BacklinkIndex::lock_writes() {
  if (!log_.shared()) return std::unexpected(refused(path_, "is not shared through the lock file", ErrorKind::Io));
  return check_writable();
}

std::expected<void, Error> BacklinkIndex::build_records(std::span<const Change> changes, std::string& out) {
  for (const Change& c : changes) {
    if (auto fits = check_field_lengths(c.target_key, *c.entry); !fits) return fits;
    records::append_link_record(out, static_cast<std::uint8_t>(c.op), c.target_key, c.entry->source_collection,
                                c.entry->source_key, c.entry->source_path);
  }
  return {};
}

std::expected<void, Error> BacklinkIndex::write_at_end(std::string_view records) {
  struct iovec iov{const_cast<char*>(records.data()), records.size()};
  std::uint64_t written = 0;
  auto result = write_all_at(log_.fd(), &iov, 1, log_.complete_end(), kWriteWholeBuffer, &written);
  log_.note_written();
  if (!result) log_.abandon_past_end();
  return result;
}

void BacklinkIndex::landed(std::span<const Change> changes, std::uint64_t bytes) {
  for (const Change& change : changes) apply_in_memory(change.op, change.target_key, *change.entry);
  log_.advance(bytes);
}

}  // namespace quillet
