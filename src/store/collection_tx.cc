// A Collection's transaction overlay: the records a database transaction
// writes, held in memory (moved to the transaction's journal when memory
// fills) and seen by this collection's reads over the log's records, until
// the commit writes them at the log's end and lands them in the index.
#include "store/collection.h"

#include <vector>

namespace quillet {

std::expected<void, Error> Collection::tx_set(std::string_view key, std::string_view encoded, bool has_links) {
  if (mode_ == OpenMode::ReadOnly) return std::unexpected(io_error(ErrorKind::ReadOnly, path_ + " is open read-only"));
  if (auto fits = check_record_lengths(key, encoded); !fits) return fits;
  std::uint64_t place = tx_memory_.size();
  if (is_tombstone_encoding(encoded)) place |= kTxTombstone;
  if (has_links) place |= kTxLinks;
  const std::size_t at = tx_memory_.size();
  records::append_data_record(tx_memory_, key, encoded);
  tx_links_ = tx_links_ || has_links;
  const std::uint64_t hash = KeyTable::hash(key);
  tx_index_.prefetch(hash);
  if (tx_pending_count_ == kTxAhead) tx_index_oldest();
  tx_pending_[(tx_pending_first_ + tx_pending_count_) % kTxAhead] = {at, hash, place};
  ++tx_pending_count_;
  return {};
}

void Collection::tx_index_oldest() {
  const TxPending& p = tx_pending_[tx_pending_first_];
  const char* record = tx_memory_.data() + p.at;
  const std::string_view key(record + 4, get_u32(record));
  if (auto [at, added] = tx_index_.insert(key, p.hash, p.place); !added) *at = p.place;
  tx_pending_first_ = (tx_pending_first_ + 1) % kTxAhead;
  --tx_pending_count_;
}

std::expected<std::string_view, Error> Collection::tx_value(std::uint64_t place, std::size_t key_size) {
  const std::uint64_t at = place & kTxOffset;
  const std::uint64_t value_at = at + 8 + key_size;
  if (!(place & kTxSpilled)) {
    const char* record = tx_memory_.data() + at;
    return std::string_view(tx_memory_.data() + value_at, get_u32(record + 4 + key_size));
  }
  char length[4];
  if (auto got = tx_journal_->read(value_at - 4, length, 4); !got) return std::unexpected(io_error(got.error()));
  read_buf_.resize(get_u32(length));
  if (auto got = tx_journal_->read(value_at, read_buf_.data(), read_buf_.size()); !got) {
    return std::unexpected(io_error(got.error()));
  }
  return std::string_view(read_buf_);
}

std::expected<void, Error> Collection::tx_spill(Journal& journal, std::string_view log_file) {
  if (tx_memory_.empty()) return {};
  tx_index_pending();
  auto at = journal.add_chunk(log_file, tx_memory_);
  if (!at) return std::unexpected(io_error(at.error()));
  tx_journal_ = &journal;
  // The keys whose last record is among those moved now point into the journal.
  std::size_t offset = 0;
  while (offset < tx_memory_.size()) {
    const char* record = tx_memory_.data() + offset;
    const std::string_view key(record + 4, get_u32(record));
    const std::size_t size = 8 + key.size() + get_u32(record + 4 + key.size());
    if (std::uint64_t* place = tx_index_.find(key, KeyTable::hash(key));
        place && !(*place & kTxSpilled) && (*place & kTxOffset) == offset) {
      *place = (*place & ~kTxOffset) | kTxSpilled | (*at + offset);
    }
    offset += size;
  }
  tx_spilled_.push_back({*at, tx_memory_.size()});
  tx_memory_.clear();
  return {};
}

std::expected<void, Error> Collection::tx_journal_memory(Journal& journal, std::string_view log_file) {
  if (tx_memory_.empty()) return {};
  if (auto at = journal.add_chunk(log_file, tx_memory_); !at) return std::unexpected(io_error(at.error()));
  return {};
}

std::uint64_t Collection::tx_bytes() const {
  std::uint64_t bytes = tx_memory_.size();
  for (const SpilledChunk& chunk : tx_spilled_) bytes += chunk.length;
  return bytes;
}

std::expected<bool, Error> Collection::committed_encoded(std::string_view key, std::uint64_t hash, std::string& out) {
  // A new key costs one lookup, not an error value. Every cached key is
  // indexed too (a value is cached only as its record is indexed).
  if (index_.find(key, hash) == nullptr) return false;
  auto found = find_committed(key, hash);
  if (!found) {
    if (found.error().kind() == ErrorKind::NotFound) return false;
    return std::unexpected(std::move(found.error()));
  }
  out.assign(*found);
  return true;
}

std::expected<std::uint64_t, Error> Collection::write_tx(const Journal& journal) {
  const std::uint64_t start = log_.complete_end();
  std::uint64_t at = start;
  std::expected<void, Error> result;
  for (const SpilledChunk& chunk : tx_spilled_) {
    std::string block;
    for (std::uint64_t done = 0; result && done < chunk.length;) {
      block.resize(static_cast<std::size_t>(std::min<std::uint64_t>(chunk.length - done, std::uint64_t{1} << 20)));
      result = journal.read(chunk.at + done, block.data(), block.size());
      if (!result) break;
      struct iovec iov{block.data(), block.size()};
      std::uint64_t written = 0;
      result = write_all_at(log_.fd(), &iov, 1, at, kWriteWholeBuffer, &written);
      done += block.size();
      at += block.size();
    }
  }
  if (result && !tx_memory_.empty()) {
    struct iovec iov{tx_memory_.data(), tx_memory_.size()};
    std::uint64_t written = 0;
    result = write_all_at(log_.fd(), &iov, 1, at, kWriteWholeBuffer, &written);
    at += tx_memory_.size();
  }
  log_.note_written();
  if (!result) {
    log_.abandon_past_end();
    return std::unexpected(io_error(result.error()));
  }
  return at - start;
}

void Collection::tx_landed() {
  // The transaction's own index goes first, so that it and the index it
  // lands in are never both at full size.
  tx_index_pending();
  const std::size_t tx_keys = tx_index_.size();
  const std::size_t tx_key_bytes = tx_index_.live_key_bytes();
  tx_index_ = KeyTable();
  const std::uint64_t start = log_.complete_end();
  const std::uint64_t spilled = tx_bytes() - tx_memory_.size();
  if (spilled > 0 && !index_records(start, start + spilled, true)) {
    // Left to the next refresh, which reads the whole part from the file.
    tx_discard();
    return;
  }
  if (tx_links_) cached_links_ = true;
  // The index and the value arena grow once, and each key's slot is fetched
  // a few records before it is written.
  index_.reserve(index_.size() + tx_keys, tx_key_bytes);
  cache_values_.reserve(cache_values_.size() + tx_memory_.size() + tx_keys * 4);
  struct Landing {
    std::size_t offset;
    std::uint64_t hash;
  };
  std::vector<Landing> landings;
  for (std::size_t at = 0; at < tx_memory_.size();) {
    const char* record = tx_memory_.data() + at;
    const std::size_t key_size = get_u32(record);
    landings.push_back({at, KeyTable::hash(std::string_view(record + 4, key_size))});
    at += 8 + key_size + get_u32(record + 4 + key_size);
  }
  constexpr std::size_t kAhead = 8;
  for (std::size_t i = 0; i < landings.size(); ++i) {
    if (i + kAhead < landings.size()) {
      index_.prefetch(landings[i + kAhead].hash);
    }
    const std::size_t offset = landings[i].offset;
    const char* record = tx_memory_.data() + offset;
    const std::string_view key(record + 4, get_u32(record));
    const std::string_view value(record + 8 + key.size(), get_u32(record + 4 + key.size()));
    const std::uint64_t hash = landings[i].hash;
    if (is_tombstone_encoding(value)) {
      unindex(key, hash);
    } else {
      index_cached(key, hash, start + spilled + offset, value);
    }
  }
  log_.advance(tx_bytes());
  end_offset_ = log_.complete_end();
  tx_discard();
}

void Collection::tx_discard() {
  tx_index_ = KeyTable();
  tx_pending_count_ = 0;
  tx_memory_.clear();
  tx_memory_.shrink_to_fit();
  tx_spilled_.clear();
  tx_journal_ = nullptr;
  tx_links_ = false;
}

}  // namespace quillet
