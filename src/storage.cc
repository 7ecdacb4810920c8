#include "storage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace quillet {

namespace {

constexpr std::uint8_t kTombstoneTypeByte = 0x0C;
// The scan reads the file in blocks this large, so that a file of small
// records costs one system call per megabyte rather than several per record.
constexpr std::size_t kScanBlock = std::size_t{1} << 20;
// `get` reads this many bytes past the record header in its first read, so
// that small values cost one system call.
constexpr std::size_t kReadAhead = 248;

StorageError io_error(IoError e) { return StorageError::from_io(std::move(e)); }

// Worded like the codec's own refusals of oversized parts.
std::string too_long(std::string_view what, std::uint64_t size) {
  return std::string(what) + " of " + std::to_string(size) + " bytes is too long to store (the limit is " +
         std::to_string(kMaxLength) + " bytes)";
}

std::expected<void, IoError> truncate_to(int fd, std::uint64_t size) {
  while (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
  }
  return {};
}

// A window over the file for the scan: the bytes of [start_, start_ + len_).
class BlockReader {
 public:
  explicit BlockReader(int fd) : fd_(fd) {}

  // Makes the bytes [offset, end) available, reading on from `offset` in
  // large blocks. Returns false when the file holds fewer bytes than that (it
  // shrank under us). REQUIRES: offsets only grow from call to call; `end`
  // lies within the file size the caller checked, which bounds the buffer.
  std::expected<bool, IoError> cover(std::uint64_t offset, std::uint64_t end) {
    if (offset >= start_ && end <= start_ + len_) return true;
    return refill(offset, end);
  }
  const char* at(std::uint64_t offset) const { return data_.get() + (offset - start_); }

 private:
  std::expected<bool, IoError> refill(std::uint64_t offset, std::uint64_t end) {
    const std::size_t need = static_cast<std::size_t>(end - offset);
    const std::size_t want = std::max(kScanBlock, need);
    std::size_t kept = 0;
    if (offset >= start_ && offset < start_ + len_) kept = static_cast<std::size_t>(start_ + len_ - offset);
    if (want > capacity_) {
      auto bigger = std::make_unique_for_overwrite<char[]>(want);
      if (kept > 0) std::memcpy(bigger.get(), at(offset), kept);
      data_ = std::move(bigger);
      capacity_ = want;
    } else if (kept > 0) {
      std::memmove(data_.get(), at(offset), kept);
    }
    start_ = offset;
    len_ = kept;
    while (len_ < need) {
      auto got = pread_some(fd_, data_.get() + len_, capacity_ - len_, start_ + len_);
      if (!got) return std::unexpected(got.error());
      if (*got == 0) return false;
      len_ += *got;
    }
    return true;
  }

  int fd_;
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::uint64_t start_ = 0;
  std::size_t len_ = 0;
};

}  // namespace

std::string StorageError::text() const {
  switch (kind) {
    case Kind::Io:
      return "io: " + io.text();
    case Kind::Codec:
      return "codec: " + codec.text();
    case Kind::KeyNotFound:
      break;
  }
  return "key not found";
}

std::expected<std::unique_ptr<Collection>, StorageError> Collection::open(const std::string& path) {
  // O_NONBLOCK: opening a FIFO would otherwise wait for its other end; the
  // flag means nothing for the regular files that get past the check.
  auto reader = open_file(path, O_RDONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (!reader) return std::unexpected(io_error(reader.error()));
  if (auto regular = require_regular_file(reader->get()); !regular) return std::unexpected(io_error(regular.error()));
  auto writer = open_file(path, O_WRONLY | O_APPEND | O_NONBLOCK | O_CLOEXEC);
  if (!writer) return std::unexpected(io_error(writer.error()));
  if (auto regular = require_regular_file(writer->get()); !regular) return std::unexpected(io_error(regular.error()));

  std::unique_ptr<Collection> collection(new Collection());
  collection->path_ = path;
  collection->reader_ = std::move(*reader);
  collection->writer_ = std::move(*writer);
  const int lock_fd = collection->writer_.get();

  // The exclusive lock, when we get it, is held through the scan: then no
  // other open database can start an append that the scan would mistake for
  // a torn record and cut.
  const bool exclusive = try_lock_exclusive(lock_fd);
  if (!exclusive) lock_shared(lock_fd);

  auto size = file_size(lock_fd);
  if (!size) return std::unexpected(io_error(size.error()));
  auto scan = collection->scan_records(0, *size, false);
  if (!scan) return std::unexpected(scan.error());
  collection->complete_end_ = scan->complete_end;
  collection->end_offset_ = scan->complete_end;
  collection->end_of_file_ = scan->size;
  if (scan->complete_end < scan->size) {
    collection->read_only_ = true;
    // Without the exclusive lock another database may be in the middle of
    // that append: leave the file alone and let a later write look again.
    if (exclusive) (void)collection->try_cut_tail();
  }
  if (exclusive) lock_shared(lock_fd);
  return collection;
}

Collection::~Collection() {
  (void)flush();
  // The writer carries the lock, so it is closed last.
  reader_.reset();
  writer_.reset();
}

std::expected<Collection::ScanResult, StorageError> Collection::scan_records(std::uint64_t from, std::uint64_t size,
                                                                             bool forget_cached) {
  BlockReader file(reader_.get());
  std::uint64_t pos = from;
  // Every length is checked against what remains of the file before anything
  // is read or allocated for it; a record that runs past the end is the
  // incomplete tail, whatever its bytes say.
  while (size - pos >= 8) {
    auto covered = file.cover(pos, pos + 4);
    if (!covered) return std::unexpected(io_error(covered.error()));
    if (!*covered) break;
    const std::uint64_t key_len = get_u32(file.at(pos));
    if (size - pos - 8 < key_len) break;
    const std::uint64_t header_end = pos + 8 + key_len;
    covered = file.cover(pos, header_end);
    if (!covered) return std::unexpected(io_error(covered.error()));
    if (!*covered) break;
    const std::uint64_t value_len = get_u32(file.at(header_end - 4));
    if (size - header_end < value_len) break;
    bool tombstone = false;
    if (value_len > 0) {
      covered = file.cover(pos, header_end + 1);
      if (!covered) return std::unexpected(io_error(covered.error()));
      if (!*covered) break;
      tombstone = static_cast<std::uint8_t>(*file.at(header_end)) == kTombstoneTypeByte;
    }

    const std::string_view key(file.at(pos + 4), static_cast<std::size_t>(key_len));
    if (!is_valid_utf8(key)) return std::unexpected(StorageError::io_text("invalid utf8 key"));
    if (forget_cached) {
      if (auto cached = cache_.find(key); cached != cache_.end()) cache_.erase(cached);
    }
    auto indexed = index_.find(key);
    if (tombstone) {
      if (indexed != index_.end()) index_.erase(indexed);
    } else if (indexed != index_.end()) {
      indexed->second = pos;
    } else {
      index_.emplace(std::string(key), pos);
    }
    pos = header_end + value_len;
  }
  return ScanResult{pos, size};
}

std::expected<void, StorageError> Collection::try_cut_tail() {
  const int fd = writer_.get();
  if (!try_lock_exclusive(fd)) {
    // On Linux a failed upgrade has dropped the shared lock.
    lock_shared(fd);
    return std::unexpected(StorageError::io_text(
        path_ + " ends inside an incomplete record (" + std::to_string(end_of_file_ - complete_end_) +
        " bytes from offset " + std::to_string(complete_end_) +
        ") that another open database may still be writing; writes are refused until it is complete"));
  }
  // Alone with the file now, so nobody is appending: look once more, as an
  // append may have completed since the last look.
  auto outcome = [&]() -> std::expected<void, StorageError> {
    auto size = file_size(fd);
    if (!size) return std::unexpected(io_error(size.error()));
    auto scan = scan_records(complete_end_, *size, true);
    if (!scan) return std::unexpected(scan.error());
    complete_end_ = scan->complete_end;
    end_of_file_ = scan->size;
    if (complete_end_ < end_of_file_) {
      const std::uint64_t tail = end_of_file_ - complete_end_;
      // A record of our own that a failed write left behind may be cut
      // whatever its length, as long as nothing was appended after it.
      if (tail > kMaxAutoCutTail && end_of_file_ != own_torn_end_) {
        return std::unexpected(StorageError::io_text(
            path_ + " ends inside an incomplete record (" + std::to_string(tail) + " bytes from offset " +
            std::to_string(complete_end_) +
            "), more than an interrupted write leaves; writes are refused until the file is repaired"));
      }
      if (auto cut = truncate_to(fd, complete_end_); !cut) return std::unexpected(io_error(cut.error()));
    }
    read_only_ = false;
    own_torn_end_ = 0;
    end_of_file_ = complete_end_;
    end_offset_ = complete_end_ + buffer_.size();
    return {};
  }();
  lock_shared(fd);
  return outcome;
}

std::expected<void, StorageError> Collection::ensure_writable() {
  if (!read_only_) return {};
  auto size = file_size(writer_.get());
  if (!size) return std::unexpected(io_error(size.error()));
  auto scan = scan_records(complete_end_, *size, true);
  if (!scan) return std::unexpected(scan.error());
  complete_end_ = scan->complete_end;
  end_of_file_ = scan->size;
  if (complete_end_ == end_of_file_) {
    // Another database finished its append: the file ends on a record
    // boundary again and our records go after it.
    read_only_ = false;
    own_torn_end_ = 0;
    end_offset_ = complete_end_ + buffer_.size();
    return {};
  }
  return try_cut_tail();
}

void Collection::append_to_buffer(std::string_view record) {
  if (buffer_.capacity() < kWriteBufferSize) buffer_.reserve(kWriteBufferSize);
  buffer_.append(record);
  record_ends_.push_back(buffer_.size());
}

std::expected<void, StorageError> Collection::write_out(std::string_view record) {
  if (buffer_.empty() && record.empty()) return {};
  struct iovec parts[2];
  int count = 0;
  if (!buffer_.empty()) parts[count++] = {buffer_.data(), buffer_.size()};
  if (!record.empty()) parts[count++] = {const_cast<char*>(record.data()), record.size()};
  const std::string_view zero_write_text = buffer_.empty() ? kWriteWholeBuffer : kWriteBufferedData;
  std::uint64_t written = 0;
  auto result = write_all(writer_.get(), parts, count, zero_write_text, &written);
  if (result) {
    buffer_.clear();
    record_ends_.clear();
    return {};
  }

  // Buffered records that went out whole stay in the file; the first one that
  // went out in part (possibly `record`) is cut off again.
  const auto first_kept = std::upper_bound(record_ends_.begin(), record_ends_.end(), written);
  const std::size_t whole = first_kept == record_ends_.begin() ? 0 : *(first_kept - 1);
  if (written > whole) cut_failed_write(written, whole);
  buffer_.erase(0, whole);
  record_ends_.erase(record_ends_.begin(), first_kept);
  for (auto& end : record_ends_) end -= whole;
  return std::unexpected(io_error(result.error()));
}

void Collection::cut_failed_write(std::uint64_t written, std::uint64_t whole) {
  const int fd = writer_.get();
  auto size = file_size(fd);
  // Our bytes are the last `written` ones: with O_APPEND the write went to
  // the end, and other databases hand the file whole records only.
  const std::uint64_t size_after = size ? *size : end_offset_ - buffer_.size() + written;
  const std::uint64_t cut_to = size_after >= written ? size_after - written + whole : 0;
  bool cut = false;
  if (size && try_lock_exclusive(fd)) cut = truncate_to(fd, cut_to).has_value();
  lock_shared(fd);
  if (cut) return;
  // Another database has the file open, so it cannot be cut now; refuse
  // writes until the tail is gone, remembering that it is ours to cut.
  read_only_ = true;
  complete_end_ = cut_to;
  end_of_file_ = size_after;
  own_torn_end_ = size_after;
}

std::expected<Value, StorageError> Collection::get(std::string_view key) {
  if (auto cached = cache_.find(key); cached != cache_.end()) {
    std::size_t position = 0;
    auto value = decode(cached->second, position);
    if (!value) return std::unexpected(StorageError::from_codec(value.error()));
    return std::move(*value);
  }
  auto indexed = index_.find(key);
  if (indexed == index_.end()) return std::unexpected(StorageError::key_not_found());
  const std::uint64_t offset = indexed->second;
  const int fd = reader_.get();

  // One read covers the header and, for small values, the value too.
  read_buf_.resize(8 + key.size() + kReadAhead);
  auto got = pread_some(fd, read_buf_.data(), read_buf_.size(), offset);
  if (!got) return std::unexpected(io_error(got.error()));
  std::size_t have = *got;
  auto fill = [&](std::uint64_t end) -> std::expected<void, StorageError> {
    if (end <= have) return {};
    // Lengths come from the file: check them against its size before
    // allocating for them.
    auto size = file_size(fd);
    if (!size) return std::unexpected(io_error(size.error()));
    if (*size < offset || *size - offset < end) return std::unexpected(StorageError::io_text(std::string(kFillWholeBuffer)));
    read_buf_.resize(static_cast<std::size_t>(end));
    auto rest = pread_exact(fd, read_buf_.data() + have, read_buf_.size() - have, offset + have);
    if (!rest) return std::unexpected(io_error(rest.error()));
    have = read_buf_.size();
    return {};
  };
  if (auto filled = fill(4); !filled) return std::unexpected(filled.error());
  const std::uint64_t header_end = 8 + std::uint64_t{get_u32(read_buf_.data())};
  if (auto filled = fill(header_end); !filled) return std::unexpected(filled.error());
  const std::uint64_t value_len = get_u32(read_buf_.data() + header_end - 4);
  if (auto filled = fill(header_end + value_len); !filled) return std::unexpected(filled.error());

  const std::string_view encoded(read_buf_.data() + header_end, static_cast<std::size_t>(value_len));
  std::size_t position = 0;
  auto value = decode(encoded, position);
  if (!value) return std::unexpected(StorageError::from_codec(value.error()));
  return std::move(*value);
}

std::expected<void, StorageError> Collection::set(std::string_view key, const Value& value) {
  // Refusals come before any byte is written: a length that does not fit its
  // 4-byte field, or nesting the decoder would refuse, could never be read back.
  if (key.size() > kMaxLength) {
    return std::unexpected(StorageError::io_text(too_long("key", key.size())));
  }
  if (std::string why = check_encodable(value); !why.empty()) return std::unexpected(StorageError::io_text(why));

  record_.clear();
  put_u32(record_, static_cast<std::uint32_t>(key.size()));
  record_.append(key);
  put_u32(record_, 0);
  const std::size_t value_start = record_.size();
  encode(value, record_);
  const std::size_t value_len = record_.size() - value_start;
  if (value_len > kMaxLength) {
    return std::unexpected(StorageError::io_text(too_long("encoded value", value_len)));
  }
  std::string value_len_bytes;
  put_u32(value_len_bytes, static_cast<std::uint32_t>(value_len));
  record_.replace(value_start - 4, 4, value_len_bytes);

  if (auto writable = ensure_writable(); !writable) return writable;
  if (!in_transaction_) {
    if (auto written = write_out(record_); !written) return written;
  } else if (buffer_.size() + record_.size() <= kWriteBufferSize) {
    append_to_buffer(record_);
  } else if (record_.size() <= kWriteBufferSize) {
    if (auto written = write_out({}); !written) return written;
    append_to_buffer(record_);
  } else {
    if (auto written = write_out(record_); !written) return written;
  }

  const std::uint64_t offset = end_offset_;
  end_offset_ += record_.size();
  auto indexed = index_.find(key);
  auto cached = cache_.find(key);
  if (value.is_tombstone()) {
    if (indexed != index_.end()) index_.erase(indexed);
    if (cached != cache_.end()) cache_.erase(cached);
    return {};
  }
  const std::string_view encoded = std::string_view(record_).substr(value_start);
  if (indexed != index_.end()) {
    indexed->second = offset;
  } else {
    index_.emplace(std::string(key), offset);
  }
  if (cached != cache_.end()) {
    cached->second.assign(encoded);
  } else {
    cache_.emplace(std::string(key), std::string(encoded));
  }
  return {};
}

std::expected<void, StorageError> Collection::flush() {
  if (buffer_.empty()) return {};
  if (auto writable = ensure_writable(); !writable) return writable;
  return write_out({});
}

std::vector<std::string> Collection::live_keys() const {
  std::vector<std::string> keys;
  keys.reserve(index_.size());
  for (const auto& entry : index_) keys.push_back(entry.first);
  return keys;
}

}  // namespace quillet
