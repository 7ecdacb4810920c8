#include "store/collection.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <utility>

namespace quillet {

namespace {

// The scan reads the file in blocks this large, so that a file of small
// records costs one system call per megabyte rather than several per record.
constexpr std::size_t kScanBlock = std::size_t{1} << 20;
// `get` reads this many bytes past the record header in its first read, so
// that small values cost one system call.
constexpr std::size_t kReadAhead = 248;
constexpr std::size_t kHugePage = std::size_t{2} << 20;

StorageError io_error(IoError e) { return StorageError::from_io(std::move(e)); }

// Worded like the codec's own refusals of oversized parts.
std::string too_long(std::string_view what, std::uint64_t size) {
  return std::string(what) + " of " + std::to_string(size) + " bytes is too long to store (the limit is " +
         std::to_string(kMaxLength) + " bytes)";
}

// Opening with O_NONBLOCK keeps a FIFO from blocking the open; once the path
// is known to be a regular file the flag goes, so that no file system can
// answer a read or write with EAGAIN.
std::expected<Fd, IoError> open_regular(const std::string& path, int flags) {
  auto fd = open_file(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (!fd) return fd;
  if (auto regular = require_regular_file(fd->get()); !regular) return std::unexpected(regular.error());
  const int status = ::fcntl(fd->get(), F_GETFL);
  if (status < 0 || ::fcntl(fd->get(), F_SETFL, status & ~O_NONBLOCK) < 0) {
    return std::unexpected(IoError::from_errno(errno));
  }
  // Reads need not update the access time: it spares every get a look at
  // the clock. Only the file's owner may ask, so a refusal is ignored.
  if ((flags & O_ACCMODE) == O_RDONLY) (void)::fcntl(fd->get(), F_SETFL, (status & ~O_NONBLOCK) | O_NOATIME);
  return fd;
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

  bool has(std::uint64_t offset, std::uint64_t end) const { return offset >= start_ && end <= start_ + len_; }
  const char* at(std::uint64_t offset) const { return data_.get() + (offset - start_); }

  // Makes the bytes [offset, end) available, reading on from `offset` in
  // large blocks; earlier bytes may move or go. Returns false when the file
  // holds fewer bytes than that (it shrank under us). REQUIRES: offsets only
  // grow from call to call; `end` lies within the file size the caller
  // checked, which bounds the buffer.
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

 private:
  int fd_;
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::uint64_t start_ = 0;
  std::size_t len_ = 0;
};

}  // namespace

template <class T>
T* KeyTable::HugePageAllocator<T>::allocate(std::size_t n) {
  const std::size_t bytes = n * sizeof(T);
  if (bytes < kHugePage) return std::allocator<T>().allocate(n);
  void* p = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
  if (p == nullptr) throw std::bad_alloc();
  ::madvise(p, bytes, MADV_HUGEPAGE);
  return static_cast<T*>(p);
}

template <class T>
void KeyTable::HugePageAllocator<T>::deallocate(T* p, std::size_t n) {
  if (n * sizeof(T) < kHugePage) return std::allocator<T>().deallocate(p, n);
  std::free(p);
}

template struct KeyTable::HugePageAllocator<KeyTable::Slot>;

std::uint64_t KeyTable::hash(std::string_view key) { return std::hash<std::string_view>{}(key); }

void KeyTable::prefetch(std::uint64_t h) const {
  if (!slots_.empty()) __builtin_prefetch(&slots_[home(static_cast<std::uint32_t>(h >> 32))]);
}

std::size_t KeyTable::find_slot(std::string_view key, std::uint32_t tag) const {
  if (slots_.empty()) return kNotFound;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = home(tag);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.number == kEmpty) return kNotFound;
    if (slot.tag == tag && key_of(slot) == key) return i;
  }
}

const std::uint64_t* KeyTable::find(std::string_view key, std::uint64_t h) const {
  const std::size_t i = find_slot(key, static_cast<std::uint32_t>(h >> 32));
  return i == kNotFound ? nullptr : &slots_[i].number;
}

std::pair<std::uint64_t*, bool> KeyTable::insert(std::string_view key, std::uint64_t h, std::uint64_t number) {
  // At most three quarters full, so that probing for an absent key stays short.
  if ((count_ + 1) * 4 > slots_.size() * 3) {
    rebuild(slots_.empty() ? 4 : bits_ + 1);
  } else if (arena_.size() - live_bytes_ > live_bytes_ + slots_.size() * 8) {
    // Keys removed and added again pile up in the arena; the rebuild's cost
    // is paid for by the dead bytes it drops.
    rebuild(bits_);
  }
  const auto tag = static_cast<std::uint32_t>(h >> 32);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = home(tag);; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.number == kEmpty) {
      slot = {number, arena_.size(), static_cast<std::uint32_t>(key.size()), tag};
      arena_.append(key);
      live_bytes_ += key.size();
      ++count_;
      return {&slot.number, true};
    }
    if (slot.tag == tag && key_of(slot) == key) return {&slot.number, false};
  }
}

std::optional<std::uint64_t> KeyTable::erase(std::string_view key, std::uint64_t h) {
  std::size_t hole = find_slot(key, static_cast<std::uint32_t>(h >> 32));
  if (hole == kNotFound) return std::nullopt;
  const std::uint64_t number = slots_[hole].number;
  live_bytes_ -= slots_[hole].key_len;
  --count_;
  // Backward-shift deletion: move later entries of the probe run into the
  // hole unless that would put them before their home slot.
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t j = (hole + 1) & mask; slots_[j].number != kEmpty; j = (j + 1) & mask) {
    const std::size_t k = home(slots_[j].tag);
    const bool home_after_hole = hole <= j ? (hole < k && k <= j) : (hole < k || k <= j);
    if (!home_after_hole) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole].number = kEmpty;
  return number;
}

void KeyTable::reserve(std::size_t keys, std::size_t key_bytes) {
  unsigned bits = std::max(bits_, 4u);
  while (keys * 4 > (std::size_t{1} << bits) * 3) ++bits;
  if (bits > bits_) rebuild(bits);
  arena_.reserve(arena_.size() + key_bytes);
}

void KeyTable::rebuild(unsigned bits) {
  auto old = std::exchange(slots_, {});
  bits_ = bits;
  slots_.assign(std::size_t{1} << bits_, Slot{kEmpty, 0, 0, 0});
  const bool compact = arena_.size() - live_bytes_ > live_bytes_ / 4;
  std::string arena;
  if (compact) arena.reserve(live_bytes_);
  const std::size_t mask = slots_.size() - 1;
  // Old slots come nearly in order of their home, so the new table fills
  // nearly in order too: few cache misses.
  for (Slot slot : old) {
    if (slot.number == kEmpty) continue;
    if (compact) {
      const std::string_view key = key_of(slot);
      slot.key_pos = arena.size();
      arena.append(key);
    }
    std::size_t i = home(slot.tag);
    while (slots_[i].number != kEmpty) i = (i + 1) & mask;
    slots_[i] = slot;
  }
  if (compact) arena_ = std::move(arena);
}

std::vector<std::string> KeyTable::keys() const {
  std::vector<std::string> out;
  out.reserve(count_);
  for (const Slot& slot : slots_) {
    if (slot.number != kEmpty) out.emplace_back(key_of(slot));
  }
  return out;
}

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

// A read-only collection holds only the reader, which carries the shared
// lock so that no database cuts the file while it is being looked at.
std::expected<std::unique_ptr<Collection>, StorageError> Collection::open_read_only(const std::string& path) {
  std::unique_ptr<Collection> collection(new Collection());
  collection->path_ = path;
  collection->mode_ = OpenMode::ReadOnly;
  auto reader = open_regular(path, O_RDONLY);
  if (!reader) {
    if (reader.error().os_error == ENOENT) return collection;
    return std::unexpected(io_error(reader.error()));
  }
  collection->reader_ = std::move(*reader);
  lock_shared(collection->reader_.get());
  auto size = file_size(collection->reader_.get());
  if (!size) return std::unexpected(io_error(size.error()));
  auto scan = collection->scan_records(0, *size, false);
  if (!scan) return std::unexpected(scan.error());
  collection->complete_end_ = scan->complete_end;
  collection->end_offset_ = scan->complete_end;
  collection->end_of_file_ = scan->size;
  collection->read_only_ = true;
  return collection;
}

std::expected<std::unique_ptr<Collection>, StorageError> Collection::open(const std::string& path, OpenMode mode) {
  if (mode == OpenMode::ReadOnly) return open_read_only(path);
  // The reader's open creates a missing file; the writer then opens it
  // without creation.
  auto reader = open_regular(path, O_RDONLY | O_CREAT);
  if (!reader) return std::unexpected(io_error(reader.error()));
  auto writer = open_regular(path, O_WRONLY | O_APPEND);
  if (!writer) return std::unexpected(io_error(writer.error()));

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
  // Records are indexed a few behind the one being parsed, so that the index
  // slot of each key can be prefetched while the next keys are parsed. The
  // pending keys point into the read window and are applied before it moves.
  struct Pending {
    std::string_view key;
    std::uint64_t hash;
    std::uint64_t offset;
    bool tombstone;
  };
  constexpr std::size_t kLookahead = 16;
  std::array<Pending, kLookahead> pending;
  std::size_t first = 0;
  std::size_t waiting = 0;
  auto apply_oldest = [&] {
    const Pending& p = pending[first];
    if (forget_cached) this->forget_cached(p.key, p.hash);
    if (p.tombstone) {
      index_.erase(p.key, p.hash);
    } else if (auto [offset, added] = index_.insert(p.key, p.hash, p.offset); !added) {
      *offset = p.offset;
    }
    first = (first + 1) % kLookahead;
    --waiting;
  };
  auto apply_all = [&] {
    while (waiting > 0) apply_oldest();
  };

  // Once the first block is indexed, the index is sized for the whole file
  // as that block suggests, which saves the growing steps on the way.
  constexpr std::uint64_t kSampleBytes = kScanBlock;
  constexpr double kMaxSampleScale = 32;
  bool sized = size - from < 2 * kSampleBytes;
  std::size_t sampled_records = 0;
  std::uint64_t sampled_key_bytes = 0;

  // A file cut shorter than what was already indexed was damaged by someone
  // else; there is nothing to index and no tail of ours to judge.
  if (size < from) return ScanResult{from, from};

  BlockReader file(reader_.get());
  std::uint64_t pos = from;
  auto cover = [&](std::uint64_t end) -> std::expected<bool, StorageError> {
    if (file.has(pos, end)) return true;
    apply_all();
    auto covered = file.refill(pos, end);
    if (!covered) return std::unexpected(io_error(covered.error()));
    return *covered;
  };

  // Every length is checked against what remains of the file before anything
  // is read or allocated for it; a record that runs past the end is the
  // incomplete tail, whatever its bytes say.
  while (size - pos >= 8) {
    auto covered = cover(pos + 4);
    if (!covered) return std::unexpected(covered.error());
    if (!*covered) break;
    const std::uint64_t key_len = get_u32(file.at(pos));
    if (size - pos - 8 < key_len) break;
    const std::uint64_t header_end = pos + 8 + key_len;
    covered = cover(header_end);
    if (!covered) return std::unexpected(covered.error());
    if (!*covered) break;
    const std::uint64_t value_len = get_u32(file.at(header_end - 4));
    if (size - header_end < value_len) break;
    bool tombstone = false;
    if (value_len > 0) {
      covered = cover(header_end + 1);
      if (!covered) return std::unexpected(covered.error());
      if (!*covered) break;
      tombstone = static_cast<std::uint8_t>(*file.at(header_end)) == static_cast<std::uint8_t>(TypeByte::Tombstone);
    }

    const std::string_view key(file.at(pos + 4), static_cast<std::size_t>(key_len));
    if (!is_valid_utf8(key)) return std::unexpected(StorageError::io_text("invalid utf8 key"));
    const std::uint64_t hash = KeyTable::hash(key);
    index_.prefetch(hash);
    if (waiting == kLookahead) apply_oldest();
    pending[(first + waiting) % kLookahead] = {key, hash, pos, tombstone};
    ++waiting;
    pos = header_end + value_len;
    if (!sized) {
      ++sampled_records;
      sampled_key_bytes += key_len;
      if (pos - from >= kSampleBytes) {
        // Capped so that a dense first block before large records costs a
        // bounded amount of memory rather than a table for the whole file.
        const double scale =
            std::min(kMaxSampleScale, static_cast<double>(size - from) / static_cast<double>(pos - from));
        index_.reserve(index_.size() + static_cast<std::size_t>(static_cast<double>(sampled_records) * scale),
                       static_cast<std::size_t>(static_cast<double>(sampled_key_bytes) * scale));
        sized = true;
      }
    }
  }
  apply_all();
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
  if (mode_ == OpenMode::ReadOnly) return std::unexpected(StorageError::io_text(path_ + " is open read-only"));
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

std::expected<std::string_view, StorageError> Collection::find_encoded(std::string_view key) {
  const std::uint64_t hash = KeyTable::hash(key);
  if (cache_.size() > 0) {
    if (const std::uint64_t* cached = cache_.find(key, hash)) return cached_value(*cached);
  }
  const std::uint64_t* indexed = index_.find(key, hash);
  if (indexed == nullptr) return std::unexpected(StorageError::key_not_found());
  const std::uint64_t offset = *indexed;
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
    if (*size < offset || *size - offset < end) {
      return std::unexpected(StorageError::io_text(std::string(kFillWholeBuffer)));
    }
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

  return std::string_view(read_buf_.data() + header_end, static_cast<std::size_t>(value_len));
}

std::expected<Value, StorageError> Collection::get(std::string_view key) {
  auto encoded = find_encoded(key);
  if (!encoded) return std::unexpected(std::move(encoded.error()));
  std::size_t position = 0;
  auto value = decode(*encoded, position);
  if (!value) return std::unexpected(StorageError::from_codec(value.error()));
  return std::move(*value);
}

std::expected<void, StorageError> Collection::get_encoded(std::string_view key, std::string& out) {
  auto encoded = find_encoded(key);
  if (!encoded) return std::unexpected(std::move(encoded.error()));
  out.assign(*encoded);
  return {};
}

std::expected<void, StorageError> Collection::set(std::string_view key, const Value& value) {
  // Refusals come before any byte is written: a length that does not fit its
  // 4-byte field, or nesting the decoder would refuse, could never be read back.
  if (key.size() > kMaxLength) return std::unexpected(StorageError::io_text(too_long("key", key.size())));
  if (auto fits = check_encodable(value); !fits) return std::unexpected(StorageError::io_text(fits.error()));
  start_record(key);
  encode(value, record_);
  return append_record(key);
}

std::expected<void, StorageError> Collection::set_encoded(std::string_view key, std::string_view encoded) {
  if (key.size() > kMaxLength) return std::unexpected(StorageError::io_text(too_long("key", key.size())));
  start_record(key);
  record_.append(encoded);
  return append_record(key);
}

void Collection::start_record(std::string_view key) {
  record_.clear();
  put_u32(record_, static_cast<std::uint32_t>(key.size()));
  record_.append(key);
  put_u32(record_, 0);  // the value's length, filled in by append_record
}

std::expected<void, StorageError> Collection::append_record(std::string_view key) {
  const std::size_t value_start = 8 + key.size();
  const std::size_t value_len = record_.size() - value_start;
  if (value_len > kMaxLength) return std::unexpected(StorageError::io_text(too_long("encoded value", value_len)));
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
  const std::uint64_t hash = KeyTable::hash(key);
  const bool tombstone = value_len > 0 && static_cast<std::uint8_t>(record_[value_start]) == static_cast<std::uint8_t>(TypeByte::Tombstone);
  if (tombstone) {
    index_.erase(key, hash);
    forget_cached(key, hash);
    return {};
  }
  if (auto [indexed, added] = index_.insert(key, hash, offset); !added) *indexed = offset;
  cache_value(key, hash, std::string_view(record_).substr(value_start));
  return {};
}

std::string_view Collection::cached_value(std::uint64_t position) const {
  const char* at = cache_values_.data() + position;
  return {at + 4, get_u32(at)};
}

void Collection::cache_value(std::string_view key, std::uint64_t h, std::string_view encoded) {
  const std::uint64_t position = cache_values_.size();
  put_u32(cache_values_, static_cast<std::uint32_t>(encoded.size()));
  cache_values_.append(encoded);
  if (auto [cached, added] = cache_.insert(key, h, position); !added) {
    cache_dead_bytes_ += 4 + cached_value(*cached).size();
    *cached = position;
    compact_cache_values();
  }
}

void Collection::forget_cached(std::string_view key, std::uint64_t h) {
  if (auto position = cache_.erase(key, h)) {
    cache_dead_bytes_ += 4 + cached_value(*position).size();
    compact_cache_values();
  }
}

void Collection::compact_cache_values() {
  // Rebuilt once the dead bytes outweigh the live ones, so the arena stays
  // within twice what the cached values need, at an amortised copy per byte.
  constexpr std::size_t kMinDeadBytes = std::size_t{1} << 20;
  if (cache_dead_bytes_ < kMinDeadBytes || cache_dead_bytes_ * 2 < cache_values_.size()) return;
  std::string values;
  values.reserve(cache_values_.size() - cache_dead_bytes_);
  cache_.for_each_number([&](std::uint64_t& position) {
    const std::string_view value = cached_value(position);
    position = values.size();
    put_u32(values, static_cast<std::uint32_t>(value.size()));
    values.append(value);
  });
  cache_values_ = std::move(values);
  cache_dead_bytes_ = 0;
}

std::expected<void, StorageError> Collection::flush() {
  if (buffer_.empty()) return {};
  if (auto writable = ensure_writable(); !writable) return writable;
  return write_out({});
}

}  // namespace quillet
