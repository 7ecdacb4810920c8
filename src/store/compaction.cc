#include "store/compaction.h"

#include "store/journal.h"

#include <algorithm>
#include <fcntl.h>
#include <optional>
#include <vector>

#include "format/records.h"
#include "io/file.h"
#include "store/backlinks.h"
#include "store/journal.h"
#include "store/key_table.h"

namespace quillet {

namespace {

constexpr std::size_t kWriteChunk = std::size_t{1} << 20;

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The copy being written: whole records gathered into about a megabyte per
// write call.
class CopyWriter {
 public:
  explicit CopyWriter(int fd) : fd_(fd) {}
  std::expected<void, Error> append(std::string_view bytes) {
    buffer_.append(bytes);
    if (buffer_.size() < kWriteChunk) return {};
    return flush();
  }
  std::expected<void, Error> flush() {
    if (buffer_.empty()) return {};
    auto written = write_all(fd_, buffer_, kWriteWholeBuffer);
    written_ += buffer_.size();
    buffer_.clear();
    return written;
  }
  std::uint64_t written() const { return written_ + buffer_.size(); }

 private:
  int fd_;
  std::string buffer_;
  std::uint64_t written_ = 0;
};

// The copy of the log as its published end `source_end` showed it, made
// under generation `generation`.
struct Copy {
  Fd source;
  Fd temp;
  std::string temp_path;
  std::uint64_t source_end = 0;
  std::uint64_t generation = 0;
  std::uint64_t written = 0;
  bool renamed = false;  // the copy is the log now
};

// The latest record of each live key below `end`, in file order.
std::expected<void, Error> copy_live_records(int source, std::uint64_t end, CopyWriter& out) {
  KeyTable latest;
  records::BlockReader index_pass(source);
  auto indexed = records::scan_data_records(
      index_pass, 0, end,
      [&](const records::DataRecord& r) {
        const std::uint64_t hash = KeyTable::hash(r.key);
        if (r.is_tombstone()) {
          latest.erase(r.key, hash);
        } else if (auto [offset, added] = latest.insert(r.key, hash, r.offset); !added) {
          *offset = r.offset;
        }
        return true;
      },
      {}, records::Extent::Head);
  if (!indexed) return std::unexpected(indexed.error());
  std::vector<std::uint64_t> offsets;
  offsets.reserve(latest.size());
  latest.for_each_entry([&](std::string_view, std::uint64_t offset) { offsets.push_back(offset); });
  latest = KeyTable();
  std::ranges::sort(offsets);

  // The reader's window moves forward only; runs of dead records longer
  // than a block are stepped over, not read.
  records::BlockReader copy_pass(source);
  auto window = [&](std::uint64_t from, std::uint64_t to) -> std::expected<const char*, Error> {
    if (!copy_pass.has(from, to)) {
      auto covered = copy_pass.refill(from, to);
      if (!covered) return std::unexpected(covered.error());
      if (!*covered) return std::unexpected(Error::corruption(std::string(kFillWholeBuffer)));
    }
    return copy_pass.at(from);
  };
  for (std::uint64_t offset : offsets) {
    auto head = window(offset, offset + 4);
    if (!head) return std::unexpected(head.error());
    const std::uint64_t header_end = offset + 8 + get_u32(*head);
    auto lengths = window(offset, header_end);
    if (!lengths) return std::unexpected(lengths.error());
    const std::uint64_t record_end = header_end + get_u32(*lengths + (header_end - offset - 4));
    auto record = window(offset, record_end);
    if (!record) return std::unexpected(record.error());
    if (auto appended = out.append({*record, static_cast<std::size_t>(record_end - offset)}); !appended) {
      return appended;
    }
  }
  return {};
}

// One add record per entry the log lists below `end`.
std::expected<void, Error> copy_live_entries(int source, const std::string& path, std::uint64_t end,
                                             CopyWriter& out) {
  BacklinkEntries entries;
  if (auto replayed = replay_backlinks(source, 0, end, &entries, path); !replayed) {
    return std::unexpected(replayed.error());
  }
  std::string record;
  for (const auto& [target_key, listed] : entries) {
    for (const BacklinkEntry& e : listed) {
      record.clear();
      records::append_link_record(record, records::kAddOp, target_key, e.source_collection, e.source_key,
                                  e.source_path);
      if (auto appended = out.append(record); !appended) return appended;
    }
  }
  return {};
}

// Phase one, without the write lock, into `copy`. False when the log was
// being replaced meanwhile (try again). The copy's file is held (its flock
// taken) once `copy.temp` is valid.
std::expected<bool, Error> copy_log(const CompactionTarget& target, Copy& copy) {
  const SharedLog& log = target.log;
  copy.generation = log.generation();
  if (copy.generation % 2 == 1) {
    return std::unexpected(Error::io("a compaction of " + target.path +
                                     " was interrupted; the next call on the collection settles it"));
  }
  auto source = open_regular_file(target.path, O_RDONLY);
  if (!source) return std::unexpected(source.error());
  copy.source = std::move(*source);
  copy.source_end = log.published_end();
  // An unchanged even generation around the open and the load means the
  // descriptor and the end belong to the same file.
  if (log.generation() != copy.generation) return false;
  if (copy.source_end == LogSlot::kUnknownEnd) return std::unexpected(Error::io(target.path + " is not open here"));

  copy.temp_path = target.path + std::string(kCompactionSuffix);
  auto temp = open_regular_file(copy.temp_path, O_RDWR | O_CREAT);
  if (!temp) return std::unexpected(temp.error());
  // The flock tells two compactions of one log apart; one left by a
  // process that died is gone with it, and its file is reused.
  if (!try_lock_exclusive(temp->get())) {
    return std::unexpected(Error::io("a compaction of " + target.path + " is already running"));
  }
  copy.temp = std::move(*temp);
  if (auto emptied = truncate_file(copy.temp.get(), 0); !emptied) return std::unexpected(emptied.error());
  CopyWriter out(copy.temp.get());
  auto copied = target.kind == CompactionTarget::Kind::Records
                    ? copy_live_records(copy.source.get(), copy.source_end, out)
                    : copy_live_entries(copy.source.get(), target.path, copy.source_end, out);
  if (!copied) return std::unexpected(copied.error());
  if (auto flushed = out.flush(); !flushed) return std::unexpected(flushed.error());
  copy.written = out.written();
  return true;
}

// Copies [from, to) of `source` to the end of the copy, as it is.
std::expected<void, Error> copy_appended(int source, std::uint64_t from, std::uint64_t to, int temp) {
  std::string chunk;
  for (std::uint64_t at = from; at < to;) {
    chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kWriteChunk, to - at)));
    if (auto read = pread_exact(source, chunk.data(), chunk.size(), at); !read) return read;
    if (auto written = write_all(temp, chunk, kWriteWholeBuffer); !written) return written;
    at += chunk.size();
  }
  return {};
}

// Phase two, under the write lock. False when the log was replaced since
// the copy began (try again).
std::expected<bool, Error> switch_to_copy(const CompactionTarget& target, Copy& copy, CompactionResult& result) {
  SharedLog log = target.log;
  if (auto locked = log.lock(); !locked) return std::unexpected(locked.error());
  struct Unlock {
    SharedLog& log;
    ~Unlock() { log.unlock(); }
  } unlock{log};
  // A writer that died holding the lock left nothing past the published
  // end that counts: only what is below it is carried.
  if (log.generation() != copy.generation) return false;
  const std::uint64_t end = log.published_end();
  if (end == LogSlot::kUnknownEnd || end < copy.source_end) {
    return std::unexpected(Error::io(target.path + " is shorter than when its compaction began"));
  }
  if (auto carried = copy_appended(copy.source.get(), copy.source_end, end, copy.temp.get()); !carried) {
    return std::unexpected(carried.error());
  }
  const std::uint64_t new_end = copy.written + (end - copy.source_end);
  if (auto synced = sync_file(copy.temp.get()); !synced) return std::unexpected(synced.error());
  if (auto synced = sync_journals(target.lock_file->dir()); !synced) return std::unexpected(synced.error());
  log.advance_generation();
  if (auto renamed = rename_file(copy.temp_path, target.path); !renamed) {
    // The old file stays; the followers reopen it and find it unchanged.
    log.advance_generation();
    return std::unexpected(renamed.error());
  }
  copy.renamed = true;
  auto dir_synced = fsync_directory(parent_of(target.path));
  log.publish(new_end);
  log.advance_generation();
  result.bytes_before = end;
  result.bytes_after = new_end;
  if (!dir_synced) return std::unexpected(dir_synced.error());
  return true;
}

}  // namespace

std::expected<CompactionResult, Error> compact_log(const CompactionTarget& target) {
  constexpr int kAttempts = 3;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    Copy copy;
    auto copied = copy_log(target, copy);
    std::expected<bool, Error> switched = false;
    CompactionResult result;
    if (copied && *copied) switched = switch_to_copy(target, copy, result);
    if (switched && *switched) return result;
    // A copy that did not replace the log goes; the flock proves it ours.
    if (copy.temp.valid() && !copy.renamed) (void)remove_file(copy.temp_path);
    if (!copied) return std::unexpected(copied.error());
    if (!switched) return std::unexpected(switched.error());
  }
  return std::unexpected(Error::io(target.path + " was replaced by other compactions meanwhile"));
}

std::expected<void, Error> remove_compaction_leftovers(const std::string& dir) {
  std::vector<std::string> subdirectories;
  std::optional<Error> failed;
  auto listed = list_directory(dir, [&](std::string_view name) {
    if (name == "." || name == "..") return true;
    const std::string path = join_path(dir, name);
    if (name.ends_with(kCompactionSuffix)) {
      if (auto removed = remove_file(path); !removed) failed = removed.error();
    } else if (is_directory(path)) {
      subdirectories.push_back(path);
    }
    return !failed;
  });
  if (failed) return std::unexpected(std::move(*failed));
  if (!listed) return std::unexpected(listed.error());
  for (const std::string& sub : subdirectories) {
    if (auto removed = remove_compaction_leftovers(sub); !removed) return removed;
  }
  return {};
}

}  // namespace quillet
