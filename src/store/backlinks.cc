#include "store/backlinks.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <fcntl.h>
#include <unistd.h>

#include "format/codec.h"

namespace quillet {

// ---------------------------------------------------------------------------
// The log file

namespace {

// A torn tail longer than this is more than one interrupted append can leave
// (records are written in one call), so it is damage for a person to look at
// and is never cut automatically.
constexpr std::uint64_t kMaxCutTail = 65536;
constexpr std::size_t kReadBlock = 1 << 20;

// Reads a byte range of the log in large blocks and hands out whole records.
class RecordReader {
 public:
  RecordReader(int fd, std::uint64_t start, std::uint64_t end) : fd_(fd), buf_offset_(start), end_(end) {}

  struct Record {
    std::uint8_t op;
    std::string_view fields[4];  // target key, source collection, source key, source path
  };
  enum class Status { Record, End, Torn };

  // Offset of the record that the next call reads.
  std::uint64_t offset() const { return buf_offset_ + next_; }

  // The views of a returned record stay valid until the next call.
  std::expected<Status, IoError> next(Record& record) {
    start_ = next_;
    if (offset() >= end_) return Status::End;
    // make_available checks each declared length against the end of the file
    // before anything is read or allocated for it.
    std::uint64_t need = 1;
    std::uint64_t field_starts[4];
    std::uint32_t field_sizes[4];
    for (int i = 0; i < 4; ++i) {
      auto ok = make_available(need + 4);
      if (!ok) return std::unexpected(ok.error());
      if (!*ok) return Status::Torn;
      field_sizes[i] = get_u32(buf_.data() + start_ + need);
      field_starts[i] = need + 4;
      need += 4 + std::uint64_t{field_sizes[i]};
    }
    auto ok = make_available(need);
    if (!ok) return std::unexpected(ok.error());
    if (!*ok) return Status::Torn;
    std::string_view bytes = std::string_view(buf_).substr(start_);
    record.op = static_cast<std::uint8_t>(bytes[0]);
    for (int i = 0; i < 4; ++i) record.fields[i] = bytes.substr(field_starts[i], field_sizes[i]);
    next_ = start_ + static_cast<std::size_t>(need);
    return Status::Record;
  }

 private:
  // Makes the first `size` bytes of the current record available in buf_;
  // false when the range ends first.
  std::expected<bool, IoError> make_available(std::uint64_t size) {
    std::uint64_t record_offset = buf_offset_ + start_;
    if (size > end_ - record_offset) return false;
    if (buf_.size() - start_ >= size) return true;
    // Drop the records already handed out, only when reading more anyway, so
    // that each byte is moved at most once per block.
    buf_.erase(0, start_);
    buf_offset_ = record_offset;
    next_ -= start_;
    start_ = 0;
    while (buf_.size() < size) {
      std::uint64_t file_pos = buf_offset_ + buf_.size();
      std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(
          std::max<std::uint64_t>(kReadBlock, size - buf_.size()), end_ - file_pos));
      std::size_t old_size = buf_.size();
      buf_.resize(old_size + chunk);
      auto got = pread_some(fd_, buf_.data() + old_size, chunk, file_pos);
      if (!got) return std::unexpected(got.error());
      buf_.resize(old_size + *got);
      if (*got < chunk) {
        // The file shrank under us: it ends here.
        end_ = buf_offset_ + buf_.size();
        return buf_.size() >= size;
      }
    }
    return true;
  }

  int fd_;
  std::string buf_;
  std::size_t start_ = 0;     // start of the current record within buf_
  std::size_t next_ = 0;      // end of the last returned record within buf_
  std::uint64_t buf_offset_;  // file offset of buf_[0]
  std::uint64_t end_;
};

// Where the last whole record of [start, end) ends, and whether anything
// follows it.
struct ScanResult {
  std::uint64_t complete_end;
  bool torn;
};

void apply_record(const RecordReader::Record& r,
                  std::unordered_map<std::string, std::vector<BacklinkEntry>>& entries) {
  auto op = static_cast<BacklinkIndex::Op>(r.op);
  if (op != BacklinkIndex::Op::Add && op != BacklinkIndex::Op::Remove) return;
  BacklinkEntry entry{std::string(r.fields[1]), std::string(r.fields[2]), std::string(r.fields[3])};
  std::string key(r.fields[0]);
  if (op == BacklinkIndex::Op::Add) {
    entries[std::move(key)].push_back(std::move(entry));
  } else if (auto it = entries.find(key); it != entries.end()) {
    std::erase(it->second, entry);
  }
}

// Replays [start, end) into `entries`, or only checks its framing when
// `entries` is null.
std::expected<ScanResult, IoError> scan_log(int fd, std::uint64_t start, std::uint64_t end,
                                            std::unordered_map<std::string, std::vector<BacklinkEntry>>* entries) {
  RecordReader reader(fd, start, end);
  RecordReader::Record record;
  for (;;) {
    std::uint64_t record_start = reader.offset();
    auto status = reader.next(record);
    if (!status) return std::unexpected(status.error());
    if (*status == RecordReader::Status::End) return ScanResult{record_start, false};
    if (*status == RecordReader::Status::Torn) return ScanResult{record_start, true};
    if (!entries) continue;
    for (std::string_view field : record.fields) {
      if (!is_valid_utf8(field)) return std::unexpected(IoError::custom("invalid utf8 in backlink"));
    }
    apply_record(record, *entries);
  }
}

// ftruncate, retrying EINTR; true on success.
bool cut_file(int fd, std::uint64_t size) {
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

// Length of the incomplete record that ends the file, looking only at the
// framing of the records from `from` on: 0 when the file ends on a record
// boundary. A file shorter than `from` was cut by someone else and counts as
// torn beyond repair.
std::expected<std::uint64_t, IoError> torn_tail_after(int fd, std::uint64_t from) {
  auto size = file_size(fd);
  if (!size) return std::unexpected(size.error());
  if (*size < from) return std::numeric_limits<std::uint64_t>::max();
  auto scan = scan_log(fd, from, *size, nullptr);
  if (!scan) return std::unexpected(scan.error());
  return scan->torn ? *size - scan->complete_end : 0;
}

IoError refused(const std::string& path, std::string_view why) {
  return IoError::custom("backlink file " + path + " " + std::string(why));
}

}  // namespace

std::expected<BacklinkIndex, IoError> BacklinkIndex::open(const std::string& path, OpenMode mode) {
  const bool read_only = mode == OpenMode::ReadOnly;
  BacklinkIndex index;
  index.path_ = path;
  index.opened_read_only_ = read_only;
  auto fd = open_file(path, read_only ? O_RDONLY : O_RDWR | O_APPEND | O_CREAT, 0666);
  if (!fd) {
    if (read_only && fd.error().os_error == ENOENT) return index;
    return std::unexpected(fd.error());
  }
  if (auto regular = require_regular_file(fd->get()); !regular) return std::unexpected(regular.error());

  // Holding the lock exclusively proves that no other open database is in the
  // middle of appending, so a torn tail is a crash's leftover and may be cut.
  // A reader never cuts, so it only ever asks for the shared lock.
  bool exclusive = !read_only && try_lock_exclusive(fd->get());
  if (!exclusive) lock_shared(fd->get());

  auto size = file_size(fd->get());
  if (!size) return std::unexpected(size.error());
  auto scan = scan_log(fd->get(), 0, *size, &index.entries_);
  if (!scan) return std::unexpected(scan.error());
  index.complete_end_ = scan->complete_end;
  if (scan->torn) {
    bool cut = false;
    if (exclusive && *size - scan->complete_end <= kMaxCutTail) {
      cut = cut_file(fd->get(), scan->complete_end);
    }
    index.read_only_ = !cut;
  }
  if (exclusive) lock_shared(fd->get());
  index.file_ = std::move(*fd);
  return index;
}

const std::vector<BacklinkEntry>& BacklinkIndex::entries_of(std::string_view target_key) const {
  static const std::vector<BacklinkEntry> kNone;
  auto it = entries_.find(std::string(target_key));
  return it == entries_.end() ? kNone : it->second;
}

std::expected<void, IoError> BacklinkIndex::check_writable() {
  if (opened_read_only_) return std::unexpected(refused(path_, "is open read-only"));
  if (poisoned_) {
    return std::unexpected(refused(path_, "ends inside a partly written record that could not be cut off; "
                                          "writes are refused until the database is opened again"));
  }
  if (!read_only_) return {};
  // Another open database may have been appending the record found cut at
  // open: writing is safe again once the file ends on a record boundary, or
  // once nobody else holds the file, so that the tail can be cut after all.
  int fd = file_.get();
  auto tail = torn_tail_after(fd, complete_end_);
  if (!tail) return std::unexpected(tail.error());
  if (*tail > 0 && *tail <= kMaxCutTail) {
    if (try_lock_exclusive(fd)) {
      tail = torn_tail_after(fd, complete_end_);  // look again, under the lock
      if (tail && *tail > 0 && *tail <= kMaxCutTail) {
        auto size = file_size(fd);
        if (size && cut_file(fd, *size - *tail)) tail = 0;
      }
    }
    lock_shared(fd);
    if (!tail) return std::unexpected(tail.error());
  }
  if (*tail == 0) {
    read_only_ = false;
    return {};
  }
  return std::unexpected(refused(path_, "ends inside an incomplete record; writes are refused until it ends "
                                        "on a record boundary"));
}

void BacklinkIndex::undo_partial_write(std::uint64_t size_before, std::uint64_t written, std::uint64_t keep) {
  int fd = file_.get();
  bool undone = false;
  if (try_lock_exclusive(fd)) {
    // Only our own bytes may go: if the file is not exactly the old size plus
    // what we wrote, someone else appended meanwhile and cutting is unsafe.
    auto size = file_size(fd);
    undone = size && *size == size_before + written && cut_file(fd, size_before + keep);
  }
  // A failed upgrade may have dropped the shared lock; a successful one is
  // turned back into it.
  lock_shared(fd);
  if (!undone) poisoned_ = true;
}

std::expected<void, IoError> BacklinkIndex::write_record(Op op, std::string_view target_key,
                                                         const BacklinkEntry& entry) {
  const std::string_view fields[4] = {target_key, entry.source_collection, entry.source_key, entry.source_path};
  std::size_t total = 1;
  for (std::string_view field : fields) {
    if (field.size() > kMaxLength) {
      return std::unexpected(IoError::custom("backlink field of " + std::to_string(field.size()) +
                                             " bytes is too long for a 4-byte length"));
    }
    total += 4 + field.size();
  }
  if (auto writable = check_writable(); !writable) return writable;

  std::string record;
  record.reserve(total);
  record.push_back(static_cast<char>(op));
  for (std::string_view field : fields) {
    put_u32(record, static_cast<std::uint32_t>(field.size()));
    record.append(field);
  }

  auto size_before = file_size(file_.get());
  if (!size_before) return std::unexpected(size_before.error());
  struct iovec iov{record.data(), record.size()};
  std::uint64_t written = 0;
  auto result = write_all(file_.get(), &iov, 1, kWriteWholeBuffer, &written);
  if (!result && written > 0) undo_partial_write(*size_before, written);
  return result;
}

namespace {

constexpr std::size_t kApplyChunk = std::size_t{1} << 20;

std::expected<void, IoError> check_field_lengths(std::string_view target_key, const BacklinkEntry& entry) {
  for (std::string_view field : {target_key, std::string_view(entry.source_collection),
                                 std::string_view(entry.source_key), std::string_view(entry.source_path)}) {
    if (field.size() > kMaxLength) {
      return std::unexpected(IoError::custom("backlink field of " + std::to_string(field.size()) +
                                             " bytes is too long for a 4-byte length"));
    }
  }
  return {};
}

void append_record(std::string& out, BacklinkIndex::Op op, std::string_view target_key, const BacklinkEntry& entry) {
  out.push_back(static_cast<char>(op));
  for (std::string_view field : {target_key, std::string_view(entry.source_collection),
                                 std::string_view(entry.source_key), std::string_view(entry.source_path)}) {
    put_u32(out, static_cast<std::uint32_t>(field.size()));
    out.append(field);
  }
}

}  // namespace

void BacklinkIndex::apply_in_memory(Op op, std::string_view target_key, const BacklinkEntry& entry) {
  if (op == Op::Add) {
    entries_[std::string(target_key)].push_back(entry);
  } else if (auto it = entries_.find(std::string(target_key)); it != entries_.end()) {
    std::erase(it->second, entry);
  }
}

std::expected<void, BacklinkIndex::ApplyFailure> BacklinkIndex::apply(std::span<const Change> changes) {
  std::size_t made = 0;
  std::string chunk;
  std::vector<std::size_t> ends;  // end of each record in `chunk`
  while (made < changes.size()) {
    if (auto writable = check_writable(); !writable) return std::unexpected(ApplyFailure{made, writable.error()});
    chunk.clear();
    ends.clear();
    for (std::size_t i = made; i < changes.size() && chunk.size() < kApplyChunk; ++i) {
      const Change& c = changes[i];
      if (auto fits = check_field_lengths(c.target_key, *c.entry); !fits) {
        if (ends.empty()) return std::unexpected(ApplyFailure{made, fits.error()});
        break;  // write what comes before it first
      }
      append_record(chunk, c.op, c.target_key, *c.entry);
      ends.push_back(chunk.size());
    }
    auto size_before = file_size(file_.get());
    if (!size_before) return std::unexpected(ApplyFailure{made, size_before.error()});
    struct iovec iov{chunk.data(), chunk.size()};
    std::uint64_t written = 0;
    auto result = write_all(file_.get(), &iov, 1, kWriteWholeBuffer, &written);
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
      if (written > keep) undo_partial_write(*size_before, written, keep);
      return std::unexpected(ApplyFailure{made, result.error()});
    }
  }
  return {};
}

std::expected<void, IoError> BacklinkIndex::add(std::string_view target_key, BacklinkEntry entry) {
  if (auto written = write_record(Op::Add, target_key, entry); !written) return written;
  entries_[std::string(target_key)].push_back(std::move(entry));
  return {};
}

std::expected<void, IoError> BacklinkIndex::remove(std::string_view target_key, const BacklinkEntry& entry) {
  if (auto written = write_record(Op::Remove, target_key, entry); !written) return written;
  if (auto it = entries_.find(std::string(target_key)); it != entries_.end()) std::erase(it->second, entry);
  return {};
}

}  // namespace quillet
