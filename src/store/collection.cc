#include "store/collection.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <utility>

namespace quillet {

namespace {

// `get` reads this many bytes past the record header in its first read, so
// that small values cost one system call.
constexpr std::size_t kReadAhead = 248;


// Worded like the codec's own refusals of oversized parts.
std::string too_long(std::string_view what, std::uint64_t size) {
  return std::string(what) + " of " + std::to_string(size) + " bytes is too long to store (the limit is " +
         std::to_string(kMaxLength) + " bytes)";
}

}  // namespace

std::expected<void, Error> Collection::check_record_lengths(std::string_view key, std::string_view encoded) {
  if (key.size() > kMaxLength) return std::unexpected(io_error(ErrorKind::InvalidArgument, too_long("key", key.size())));
  if (encoded.size() > kMaxLength) {
    return std::unexpected(io_error(ErrorKind::InvalidArgument, too_long("encoded value", encoded.size())));
  }
  return {};
}

// A read-only collection holds only the reader, which carries the shared
// lock so that no database cuts the file while it is being looked at. With
// the directory's lock file it follows what writers publish, as a writer
// does, but takes no lock: below the published end nobody changes a byte.
std::expected<std::unique_ptr<Collection>, Error> Collection::open_read_only(const std::string& path,
                                                                          std::optional<SharedLog> share,
                                                                          LockFile* join_later) {
  std::unique_ptr<Collection> collection(new Collection());
  collection->path_ = path;
  collection->mode_ = OpenMode::ReadOnly;
  collection->join_later_ = share ? nullptr : join_later;
  if (share) {
    collection->log_.share(*share, AppendLog::kRereadLater);
    if (auto read = collection->reread_as_reader(); !read) return std::unexpected(read.error());
    return collection;
  }
  auto reader = open_regular_file(path, O_RDONLY);
  if (!reader) {
    if (reader.error().os_error() == ENOENT) return collection;
    return std::unexpected(io_error(reader.error()));
  }
  collection->reader_ = std::move(*reader);
  lock_shared(collection->reader_.get());
  auto size = file_size(collection->reader_.get());
  if (!size) return std::unexpected(io_error(size.error()));
  auto scan = collection->index_opened(0, *size);
  if (!scan) return std::unexpected(io_error(scan.error()));
  collection->end_offset_ = scan->complete_end;
  return collection;
}

std::expected<void, Error> Collection::join_late() {
  // Until a writer claims a slot, every record is in the file as read.
  if (!log_.join_when_claimed(*join_later_, path_)) return {};
  join_later_ = nullptr;
  return reread_as_reader();
}

std::expected<void, Error> Collection::reread_as_reader() {
  auto next = log_.open_reread(path_, reader_.valid());
  if (!next) return std::unexpected(io_error(next.error()));
  if (!*next) return {};
  index_ = KeyTable();
  records_seen_ = 0;
  saved_records_.reset();
  mapped_.clear();
  reader_ = std::move((*next)->fd);
  auto scan = index_opened(0, (*next)->end);
  if (!scan) return std::unexpected(io_error(scan.error()));
  log_.adopt_reread((*next)->generation, scan->complete_end);
  end_offset_ = scan->complete_end;
  return {};
}

std::expected<std::unique_ptr<Collection>, Error> Collection::open(const std::string& path, OpenMode mode,
                                                                  std::optional<SharedLog> share,
                                                                  LockFile* join_later) {
  if (mode == OpenMode::ReadOnly) return open_read_only(path, share, join_later);
  // The reader's open creates a missing file; the writer then opens it
  // without creation. A shared log writes at the end of the records it has
  // read, so its writer must not append wherever the file ends.
  const std::uint64_t generation = share ? share->generation() : 0;
  auto reader = open_regular_file(path, O_RDONLY | O_CREAT);
  if (!reader) return std::unexpected(io_error(reader.error()));
  auto writer = open_regular_file(path, share ? O_WRONLY : O_WRONLY | O_APPEND);
  if (!writer) return std::unexpected(io_error(writer.error()));

  std::unique_ptr<Collection> collection(new Collection());
  collection->path_ = path;
  collection->reader_ = std::move(*reader);
  collection->log_ = AppendLog(std::move(*writer));
  collection->log_.check_damage_before_cut(collection->reader_.get(), records::Layout::Data);
  if (share) collection->log_.share(*share, generation);
  auto scan = collection->log_.open_scan(
      [&](std::uint64_t from, std::uint64_t end) { return collection->index_opened(from, end); });
  if (!scan) return std::unexpected(io_error(scan.error()));
  collection->end_offset_ = collection->log_.complete_end();
  if (auto fresh = collection->refresh(); !fresh) return std::unexpected(fresh.error());
  return collection;
}

Collection::~Collection() {
  (void)flush();
  unlock_writes();
  save_index();
  // The writer carries the lock, so it is closed last.
  reader_.reset();
  log_ = AppendLog();
}

std::expected<records::ScanEnd, Error> Collection::index_records(std::uint64_t from, std::uint64_t end,
                                                                   bool forget_cached) {
  // Records are indexed a few behind the one being read, so that the index
  // slot of each key can be prefetched while the next keys are read. The
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
  // Records of other databases read while this one holds records of its own
  // transaction in the buffer: those keys keep their buffered values, which
  // will be written after what is being read.
  KeyTable buffered;
  if (forget_cached) {
    std::size_t at = 0;
    for (std::size_t record_end : record_ends_) {
      const std::string_view key(buffer_.data() + at + 4, get_u32(buffer_.data() + at));
      buffered.insert(key, KeyTable::hash(key), 0);
      at = record_end;
    }
  }
  auto apply_oldest = [&] {
    const Pending& p = pending[first];
    if (forget_cached && buffered.size() > 0 && buffered.find(p.key, p.hash) != nullptr) {
      first = (first + 1) % kLookahead;
      --waiting;
      return;
    }
    // A record another database appended replaces any value cached here.
    if (p.tombstone) {
      unindex(p.key, p.hash);
    } else {
      index_offset(p.key, p.hash, p.offset);
    }
    first = (first + 1) % kLookahead;
    --waiting;
  };
  auto apply_all = [&] {
    while (waiting > 0) apply_oldest();
  };

  // Once the first block is indexed, the index is sized for the whole file
  // as that block suggests, which saves the growing steps on the way.
  constexpr std::uint64_t kSampleBytes = records::BlockReader::kBlock;
  constexpr double kMaxSampleScale = 32;
  bool sized = end - from < 2 * kSampleBytes;
  std::size_t sampled_records = 0;
  std::uint64_t sampled_key_bytes = 0;
  std::optional<std::uint64_t> bad_key;

  records::BlockReader file(reader_.get());
  records::Reporter reporter{apply_all, {}};
  auto scan = records::scan_data_records(
      file, from, end,
      [&](const records::DataRecord& r) {
        if (!is_valid_utf8(r.key)) {
          bad_key = r.offset;
          return false;
        }
        const std::uint64_t hash = KeyTable::hash(r.key);
        ++records_seen_;
        index_.prefetch(hash);
        if (waiting == kLookahead) apply_oldest();
        pending[(first + waiting) % kLookahead] = {r.key, hash, r.offset, r.is_tombstone()};
        ++waiting;
        if (!sized) {
          ++sampled_records;
          sampled_key_bytes += r.key.size();
          const std::uint64_t done = r.offset + r.size - from;
          if (done >= kSampleBytes) {
            // Capped so that a dense first block before large records costs a
            // bounded amount of memory rather than a table for the whole file.
            const double scale =
                std::min(kMaxSampleScale, static_cast<double>(end - from) / static_cast<double>(done));
            index_.reserve(index_.size() + static_cast<std::size_t>(static_cast<double>(sampled_records) * scale),
                           static_cast<std::size_t>(static_cast<double>(sampled_key_bytes) * scale));
            sized = true;
          }
        }
        return true;
      },
      reporter, records::Extent::Head);
  if (bad_key) {
    return std::unexpected(Error::io("invalid utf8 key in " + path_ + " at offset " + std::to_string(*bad_key)));
  }
  apply_all();
  return scan;
}

std::expected<void, Error> Collection::ensure_writable() {
  if (mode_ == OpenMode::ReadOnly) return std::unexpected(io_error(ErrorKind::ReadOnly, path_ + " is open read-only"));
  if (log_.writable()) return {};
  auto writable = log_.ensure_writable(
      [&](std::uint64_t from, std::uint64_t end) { return index_records(from, end, true); });
  if (writable) {
    // Our buffered records go after the last whole record.
    end_offset_ = log_.complete_end() + buffer_.size();
    return {};
  }
  if (!writable.error()) return std::unexpected(io_error(writable.error().error()));
  return std::unexpected(refusal(*writable.error()));
}

std::expected<void, Error> Collection::lock_writes() {
  if (mode_ == OpenMode::ReadOnly) return std::unexpected(io_error(ErrorKind::ReadOnly, path_ + " is open read-only"));
  if (!log_.shared()) return ensure_writable();
  if (write_locked_) return {};
  auto read_appended = [&](std::uint64_t from, std::uint64_t end) { return index_records(from, end, true); };
  auto ready = log_.lock_for_append(read_appended);
  // Each turn follows a compaction that finished meanwhile.
  while (!ready && ready.error() && ready.error()->why == AppendLog::Refusal::Replaced) {
    if (auto followed = follow_replacement(); !followed) return followed;
    ready = log_.lock_for_append(read_appended);
  }
  if (!ready) {
    if (!ready.error()) return std::unexpected(io_error(ready.error().error()));
    return std::unexpected(refusal(*ready.error()));
  }
  write_locked_ = true;
  if (buffer_.empty()) end_offset_ = log_.complete_end();
  return {};
}

void Collection::unlock_writes() {
  if (!write_locked_) return;
  write_locked_ = false;
  log_.unlock();
}

std::expected<void, Error> Collection::catch_up() {
  if (!reader_.valid()) return reread_as_reader();  // a reader, and the file is new
  auto caught = log_.catch_up([&](std::uint64_t from, std::uint64_t end) { return index_records(from, end, true); });
  if (!caught) return std::unexpected(io_error(caught.error()));
  if (buffer_.empty()) end_offset_ = log_.complete_end();
  return {};
}

std::expected<void, Error> Collection::follow_replacement() {
  if (mode_ == OpenMode::ReadOnly) return reread_as_reader();
  index_ = KeyTable();
  cache_values_.clear();
  cache_dead_bytes_ = 0;
  records_seen_ = 0;
  saved_records_.reset();
  auto followed = log_.follow_replacement(
      [&]() -> std::expected<Fd, Error> {
        auto reader = open_regular_file(path_, O_RDONLY);
        if (!reader) return std::unexpected(reader.error());
        auto writer = open_regular_file(path_, O_WRONLY);
        if (!writer) return std::unexpected(writer.error());
        // The shared flock says "open here" to the tools that must be alone.
        lock_shared(writer->get());
        reader_ = std::move(*reader);
        mapped_.clear();
        return std::move(*writer);
      },
      // The buffered keys are skipped: their buffered records come later.
      [&](std::uint64_t from, std::uint64_t end) { return index_records(from, end, true); });
  if (!followed) return std::unexpected(io_error(followed.error()));
  // The buffered records go after the new file's end, and their values stay
  // readable from the cache until they are written.
  const std::uint64_t base = log_.complete_end();
  std::size_t at = 0;
  for (std::size_t record_end : record_ends_) {
    const char* p = buffer_.data() + at;
    const std::string_view key(p + 4, get_u32(p));
    const std::string_view value(p + 8 + key.size(), get_u32(p + 4 + key.size()));
    const std::uint64_t hash = KeyTable::hash(key);
    if (is_tombstone_encoding(value)) {
      unindex(key, hash);
    } else {
      index_cached(key, hash, base + at, value);
    }
    at = record_end;
  }
  end_offset_ = base + buffer_.size();
  return {};
}

Error Collection::refusal(const AppendLog::Refused& refused) const {
  const std::string where = " (" + std::to_string(refused.tail_bytes) + " bytes from offset " +
                            std::to_string(refused.complete_end) + ")";
  switch (refused.why) {
    case AppendLog::Refusal::TailInUse:
      return io_error(ErrorKind::Io,
                      path_ + " ends inside an incomplete record" + where +
                          " that another open database may still be writing; writes are refused until it is complete");
    case AppendLog::Refusal::TailTooLong:
      return io_error(ErrorKind::Corruption,
                      path_ + " ends inside an incomplete record" + where +
                          ", more than an interrupted write leaves; writes are refused until the file is repaired");
    case AppendLog::Refusal::Shrunk:
      return io_error(ErrorKind::Corruption,
                      path_ + " is shorter than the records already read from it; writes are refused until the "
                              "database is opened again");
    case AppendLog::Refusal::PartialRecord:
    case AppendLog::Refusal::Replaced:
      break;
  }
  return io_error(ErrorKind::Io, path_ +
                                     " ends inside a partly written record that could not be cut off; writes are "
                                     "refused until the database is opened again");
}

void Collection::append_to_buffer(std::string_view record) {
  if (buffer_.capacity() < kWriteBufferSize) buffer_.reserve(kWriteBufferSize);
  buffer_.append(record);
  record_ends_.push_back(buffer_.size());
}

std::expected<void, Error> Collection::write_out(std::string_view record) {
  if (buffer_.empty() && record.empty()) return {};
  struct iovec parts[2];
  int count = 0;
  if (!buffer_.empty()) parts[count++] = {buffer_.data(), buffer_.size()};
  if (!record.empty()) parts[count++] = {const_cast<char*>(record.data()), record.size()};
  const std::string_view zero_write_text = buffer_.empty() ? kWriteWholeBuffer : kWriteBufferedData;
  std::uint64_t written = 0;
  const bool shared = log_.shared();
  if (shared) {
    // Others may have appended since the buffered records were indexed.
    const std::uint64_t start = log_.complete_end();
    if (start != end_offset_ - buffer_.size()) move_buffered(end_offset_ - buffer_.size(), start, buffer_.size());
    end_offset_ = start + buffer_.size();
  }
  auto result = log_.append(parts, count, zero_write_text, &written);
  if (result) {
    end_offset_ += record.size();
    buffer_.clear();
    record_ends_.clear();
    return {};
  }

  // Buffered records that went out whole stay in the file; the first one that
  // went out in part (possibly `record`) is cut off again.
  const auto first_kept = std::upper_bound(record_ends_.begin(), record_ends_.end(), written);
  const std::size_t whole = first_kept == record_ends_.begin() ? 0 : *(first_kept - 1);
  if (written > whole) {
    log_.undo_failed_append(written, whole, std::nullopt, AppendLog::OnStuck::CutLater);
  } else if (shared) {
    log_.appended(whole);
  }
  buffer_.erase(0, whole);
  record_ends_.erase(record_ends_.begin(), first_kept);
  for (auto& end : record_ends_) end -= whole;
  return std::unexpected(io_error(result.error()));
}

std::expected<std::string_view, Error> Collection::find_encoded(std::string_view key) {
  const std::uint64_t hash = KeyTable::hash(key);
  tx_index_pending();
  if (tx_index_.size() > 0) {
    if (const std::uint64_t* place = tx_index_.find(key, hash)) {
      if (*place & kTxTombstone) return std::unexpected(key_not_found());
      return tx_value(*place, key.size());
    }
  }
  return find_committed(key, hash);
}

std::expected<std::string_view, Error> Collection::find_committed(std::string_view key, std::uint64_t hash) {
  const std::uint64_t* indexed = index_.find(key, hash);
  if (indexed == nullptr) return std::unexpected(key_not_found());
  if (is_cached(*indexed)) return cached_value(*indexed);
  const std::uint64_t offset = *indexed;
  const int fd = reader_.get();

  // An indexed record is whole, so its lengths fit the bytes that follow.
  if (const char* record = mapped_.reach(fd, offset, 8 + key.size())) {
    const std::uint64_t header_end = 8 + std::uint64_t{get_u32(record)};
    if (header_end == 8 + key.size()) {
      const std::uint64_t value_len = get_u32(record + header_end - 4);
      if ((record = mapped_.reach(fd, offset, header_end + value_len))) {
        return std::string_view(record + header_end, static_cast<std::size_t>(value_len));
      }
    }
  }

  // One read covers the header and, for small values, the value too.
  read_buf_.resize(8 + key.size() + kReadAhead);
  auto got = pread_some(fd, read_buf_.data(), read_buf_.size(), offset);
  if (!got) return std::unexpected(io_error(got.error()));
  std::size_t have = *got;
  auto fill = [&](std::uint64_t end) -> std::expected<void, Error> {
    if (end <= have) return {};
    // Lengths come from the file: check them against its size before
    // allocating for them.
    auto size = file_size(fd);
    if (!size) return std::unexpected(io_error(size.error()));
    if (*size < offset || *size - offset < end) {
      return std::unexpected(io_error(ErrorKind::Corruption, std::string(kFillWholeBuffer)));
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

std::expected<Value, Error> Collection::get(std::string_view key) {
  auto encoded = find_encoded(key);
  if (!encoded) return std::unexpected(std::move(encoded.error()));
  std::size_t position = 0;
  auto value = decode(*encoded, position);
  if (!value) return std::unexpected(std::move(value.error()).in_context("codec"));
  return std::move(*value);
}

std::expected<void, Error> Collection::get_encoded(std::string_view key, std::string& out) {
  auto encoded = find_encoded(key);
  if (!encoded) return std::unexpected(std::move(encoded.error()));
  out.assign(*encoded);
  return {};
}

std::expected<void, Error> Collection::check_storable(std::string_view key, const Value& value) {
  // Refusals come before any byte is written: a length that does not fit its
  // 4-byte field, or nesting the decoder would refuse, could never be read back.
  if (key.size() > kMaxLength) return std::unexpected(io_error(ErrorKind::InvalidArgument, too_long("key", key.size())));
  if (auto encodable = check_encodable(value); !encodable) return std::unexpected(io_error(std::move(encodable.error())));
  return {};
}

std::expected<void, Error> Collection::set(std::string_view key, const Value& value) {
  if (auto storable = check_storable(key, value); !storable) return storable;
  encoded_.clear();
  encode(value, encoded_);
  return set_encoded(key, encoded_);
}

std::expected<void, Error> Collection::set_encoded(std::string_view key, std::uint64_t hash, std::string_view encoded) {
  if (auto fits = check_record_lengths(key, encoded); !fits) return fits;
  record_.clear();
  records::append_data_record(record_, key, encoded);

  // Each branch leaves the record written or buffered at end_offset_ minus
  // its size.
  if (!in_transaction_) {
    if (auto written = with_write_lock([&] { return write_out(record_); }); !written) return written;
  } else if (buffer_.size() + record_.size() <= kWriteBufferSize) {
    if (auto writable = writable_for_buffer(); !writable) return writable;
    append_to_buffer(record_);
    end_offset_ += record_.size();
  } else if (record_.size() <= kWriteBufferSize) {
    if (auto written = with_write_lock([&] { return write_out({}); }); !written) return written;
    append_to_buffer(record_);
    end_offset_ += record_.size();
  } else {
    if (auto written = with_write_lock([&] { return write_out(record_); }); !written) return written;
  }

  const std::uint64_t offset = end_offset_ - record_.size();
  ++records_seen_;
  const bool tombstone = is_tombstone_encoding(encoded);
  if (tombstone) {
    unindex(key, hash);
  } else {
    index_cached(key, hash, offset, std::string_view(record_).substr(8 + key.size()));
  }
  return {};
}

namespace {

// A cached value's entry in the arena: the record's offset, the value's
// length, the value.
constexpr std::size_t kCachedHead = 12;

std::uint64_t get_u64(const char* p) {
  return std::uint64_t{get_u32(p)} | std::uint64_t{get_u32(p + 4)} << 32;
}

void put_cached_entry(std::string& arena, std::uint64_t offset, std::string_view value) {
  put_u32(arena, static_cast<std::uint32_t>(offset));
  put_u32(arena, static_cast<std::uint32_t>(offset >> 32));
  put_u32(arena, static_cast<std::uint32_t>(value.size()));
  arena.append(value);
}

}  // namespace

std::uint64_t Collection::offset_of(std::uint64_t number) const {
  return is_cached(number) ? get_u64(cache_values_.data() + (number & ~kCached)) : number;
}

std::string_view Collection::cached_value(std::uint64_t number) const {
  const char* at = cache_values_.data() + (number & ~kCached);
  return {at + kCachedHead, get_u32(at + 8)};
}

void Collection::index_cached(std::string_view key, std::uint64_t h, std::uint64_t offset, std::string_view encoded) {
  const std::uint64_t number = kCached | cache_values_.size();
  put_cached_entry(cache_values_, offset, encoded);
  auto [indexed, added] = index_.insert(key, h, number);
  if (!added) drop_cached(std::exchange(*indexed, number));
}

void Collection::index_offset(std::string_view key, std::uint64_t h, std::uint64_t offset) {
  auto [indexed, added] = index_.insert(key, h, offset);
  if (!added) drop_cached(std::exchange(*indexed, offset));
}

void Collection::unindex(std::string_view key, std::uint64_t h) {
  if (auto number = index_.erase(key, h)) drop_cached(*number);
}

void Collection::drop_cached(std::uint64_t number) {
  if (!is_cached(number)) return;
  cache_dead_bytes_ += kCachedHead + cached_value(number).size();
  compact_cache_values();
}

void Collection::compact_cache_values() {
  // Rebuilt once the dead bytes outweigh the live ones, so the arena stays
  // within twice what the cached values need, at an amortised copy per byte.
  constexpr std::size_t kMinDeadBytes = std::size_t{1} << 20;
  if (cache_dead_bytes_ < kMinDeadBytes || cache_dead_bytes_ * 2 < cache_values_.size()) return;
  std::string values;
  values.reserve(cache_values_.size() - cache_dead_bytes_);
  index_.for_each_number([&](std::uint64_t& number) {
    if (!is_cached(number)) return;
    const std::uint64_t moved = kCached | values.size();
    put_cached_entry(values, offset_of(number), cached_value(number));
    number = moved;
  });
  cache_values_ = std::move(values);
  cache_dead_bytes_ = 0;
}

std::expected<void, Error> Collection::flush() {
  if (buffer_.empty()) return {};
  return with_write_lock([&] { return write_out({}); });
}

std::expected<void, Error> Collection::sync() {
  if (mode_ == OpenMode::ReadOnly || !log_.valid()) return {};
  if (auto synced = log_.sync(); !synced) return std::unexpected(io_error(synced.error()));
  return {};
}

std::expected<void, Error> Collection::writable_for_buffer() {
  if (mode_ == OpenMode::ReadOnly) return std::unexpected(io_error(ErrorKind::ReadOnly, path_ + " is open read-only"));
  // A shared log is looked at when the buffer goes out, under the lock.
  if (log_.shared()) return {};
  return ensure_writable();
}

void Collection::move_buffered(std::uint64_t expected, std::uint64_t actual, std::size_t bytes) {
  std::size_t at = 0;
  for (std::size_t end : record_ends_) {
    if (at >= bytes) break;
    const std::string_view key(buffer_.data() + at + 4, get_u32(buffer_.data() + at));
    if (std::uint64_t* indexed = index_.find(key, KeyTable::hash(key)); indexed && offset_of(*indexed) == expected + at) {
      if (is_cached(*indexed)) {
        // The entry's offset field, rewritten in place.
        std::string moved;
        put_cached_entry(moved, actual + at, {});
        cache_values_.replace(static_cast<std::size_t>(*indexed & ~kCached), 8, moved, 0, 8);
      } else {
        *indexed = actual + at;
      }
    }
    at = end;
  }
}

std::vector<std::string> Collection::live_keys() {
  (void)refresh();
  tx_index_pending();
  if (tx_index_.size() == 0) return index_.keys();
  std::vector<std::string> keys;
  keys.reserve(index_.size());
  index_.for_each_entry([&](std::string_view key, std::uint64_t) {
    if (tx_index_.find(key, KeyTable::hash(key)) == nullptr) keys.emplace_back(key);
  });
  tx_index_.for_each_entry([&](std::string_view key, std::uint64_t place) {
    if (!(place & kTxTombstone)) keys.emplace_back(key);
  });
  return keys;
}

std::size_t Collection::live_count() {
  (void)refresh();
  tx_index_pending();
  std::size_t count = index_.size();
  tx_index_.for_each_entry([&](std::string_view key, std::uint64_t place) {
    const bool committed = index_.find(key, KeyTable::hash(key)) != nullptr;
    const bool live = !(place & kTxTombstone);
    if (live && !committed) ++count;
    if (!live && committed) --count;
  });
  return count;
}

}  // namespace quillet
