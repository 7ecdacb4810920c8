// Collection: one collection's append-only record log (<name>.qdb), its
// in-memory key index, the values written since open, and its write buffer.
//
// File format: records::DataRecord (format/records.h), keys in UTF-8. The
// latest record of a key wins; a value whose type byte is the tombstone's
// deletes the key. The file is an AppendLog (io/append_log.h).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/codec.h"
#include "format/records.h"
#include "io/append_log.h"
#include "io/file.h"
#include "io/lock_file.h"
#include "io/mapped_file.h"
#include "store/journal.h"
#include "store/key_table.h"
#include "value/value.h"

namespace quillet {

// The store's errors read "io: {}" (a file could not be read or written, or
// holds what no writer writes), "codec: {}" (a stored value does not decode)
// and "key not found".
inline Error io_error(Error e) { return std::move(e).in_context("io"); }
inline Error io_error(ErrorKind kind, std::string text) { return Error(kind, std::move(text)).in_context("io"); }
inline Error key_not_found() { return Error::not_found("key not found"); }

inline constexpr std::size_t kWriteBufferSize = 65536;

// Not synchronised: the database core guards each Collection with its own lock
// and holds it around every call.
class Collection {
 public:
  // Opens (creating it empty, 0666 before umask) and scans the file at `path`.
  // A last record cut short is ignored and, when this is the only open handle
  // on the file (exclusive flock obtained) and the tail is at most
  // records::kMaxTornTail bytes with no whole records resuming in it
  // (format/salvage.h), cut off; otherwise the collection opens read-only
  // until the file ends on a record boundary again or is repaired. Fails (always Io) on an OS
  // error, a path that is not a regular file, or a key that is not UTF-8
  // ("invalid utf8 key in <path> at offset N").
  // With OpenMode::ReadOnly the file is neither created nor cut nor written:
  // a missing file gives an empty collection without a file, a torn tail is
  // only skipped, and every write fails with Io.
  // With `share` (every collection a Database opens for writing) the log
  // joins the directory's lock file: writes happen under the log's write
  // lock, and records other databases append are read as they publish them.
  // A read-only collection given `share`, or given the read-only lock file
  // `join_later` where its log has no slot yet, follows what writers publish
  // without taking any lock.
  static std::expected<std::unique_ptr<Collection>, Error> open(const std::string& path,
                                                                OpenMode mode = OpenMode::ReadWrite,
                                                                std::optional<SharedLog> share = std::nullopt,
                                                                LockFile* join_later = nullptr);

  // Writes out the buffer (errors ignored), then closes; the lock goes last.
  ~Collection();
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  // Reads the records other databases appended since this one last looked.
  // Every read below does it first; it costs one load while nothing moved.
  // A file another database replaced (compaction) is reopened and indexed
  // afresh, the records of an open transaction kept in the buffer.
  std::expected<void, Error> refresh() {
    if (log_.replaced()) return follow_replacement();
    if (!log_.behind()) return join_later_ ? join_late() : std::expected<void, Error>{};
    return catch_up();
  }

  // Holds the log's write lock from lock_writes() to unlock_writes(), with
  // the records others appended read first, so that a caller can read the
  // key's latest record and write over it with no other write between.
  // Writes made meanwhile take no lock of their own. Without a lock file it
  // only checks that the file can be written.
  std::expected<void, Error> lock_writes();
  void unlock_writes();

  // A copy of the key's current value: from memory when written since open,
  // else read from the file. KeyNotFound for absent or deleted keys; Io when
  // the record cannot be read; Codec when it cannot be decoded.
  std::expected<Value, Error> get(std::string_view key);

  // The same value in its encoding, copied into `out`, undecoded: the caller
  // decodes it (a failure to decode is then the caller's Codec error).
  std::expected<void, Error> get_encoded(std::string_view key, std::string& out);

  // Appends one record. Outside a transaction the whole record is handed to
  // the OS in one write before this returns, or nothing changes (bytes that
  // reached the file are cut off again). Inside a transaction it is buffered;
  // a record that does not fit makes the buffer go out first, and a record
  // larger than the buffer goes out on its own. Oversized keys or values are
  // refused before anything is written. Errors are always Io.
  // REQUIRES: `encoded` is one whole value as `encode` writes it, within the
  // nesting limit.
  std::expected<void, Error> set_encoded(std::string_view key, std::string_view encoded) {
    return set_encoded(key, KeyTable::hash(key), encoded);
  }
  // The same with the key's hash (KeyTable::hash) already known.
  std::expected<void, Error> set_encoded(std::string_view key, std::uint64_t hash, std::string_view encoded);

  // Encodes the value, then stores it as set_encoded does. Refuses what
  // check_storable refuses before anything is written.
  std::expected<void, Error> set(std::string_view key, const Value& value);

  // Io when the key is too long for its 4-byte length, or the value is too
  // deeply nested or holds a part too long to be encoded.
  static std::expected<void, Error> check_storable(std::string_view key, const Value& value);

  void set_in_transaction(bool on) { in_transaction_ = on; }
  bool in_transaction() const { return in_transaction_; }

  // Whether the key's current value is one of the values written since open
  // (held in memory) while none of those held a link: the caller that
  // tracks links then knows the value it replaces holds none, without
  // reading it. The caller reports every value with links it writes.
  bool cached_without_links(std::string_view key, std::uint64_t hash) const {
    if (cached_links_ || cache_values_.empty()) return false;
    const std::uint64_t* indexed = index_.find(key, hash);
    return indexed != nullptr && is_cached(*indexed);
  }
  void note_cached_links() { cached_links_ = true; }
  // Starts loading the index slot of the key with this hash.
  void prefetch_key(std::uint64_t hash) const {
    index_.prefetch(hash);
  }
  // Outside a transaction: copies into `out` the encoding of the key's
  // current value, unless cached_without_links knows it holds no link or
  // there is none (false). A value that cannot be read counts as none.
  bool replaced_value_with_links(std::string_view key, std::uint64_t hash, std::string& out) {
    if (cached_without_links(key, hash)) return false;
    auto found = committed_encoded(key, hash, out);
    return found && *found;
  }

  // Hands every buffered record to the OS. On a failure part-way the file is
  // cut back to the last whole record and the rest stays buffered.
  std::expected<void, Error> flush();

  // --- A database transaction's records ---
  // They stay out of the log until the commit writes them: in memory, or
  // moved to the transaction's journal when memory fills, and every read of
  // this collection sees them over the log's records.

  // Adds one record of the transaction. Refuses what set_encoded refuses.
  std::expected<void, Error> tx_set(std::string_view key, std::string_view encoded, bool has_links);
  bool has_tx() const { return tx_index_.size() > 0 || tx_pending_count_ > 0; }
  std::size_t tx_memory_bytes() const { return tx_memory_.size(); }
  // Moves the records held in memory to the journal as a chunk of `log_file`.
  std::expected<void, Error> tx_spill(Journal& journal, std::string_view log_file);
  // Calls f(key, value, has_links) for each key the transaction wrote, with
  // its last value (nullopt when deleted; the view lasts for the call) and
  // whether that value may hold a link (false: it holds none).
  template <class F>
  std::expected<void, Error> for_each_tx_key(F&& f);
  // The key's value in the log, ignoring the transaction: false when absent.
  std::expected<bool, Error> committed_encoded(std::string_view key, std::uint64_t hash, std::string& out);
  // REQUIRES: lock_writes(), and every record of the transaction in the
  // journal. Writes them at the log's end (the spilled chunks copied from
  // the journal, then those in memory); returns how many bytes. On failure
  // the log is cut back to where it ended.
  std::expected<std::uint64_t, Error> write_tx(const Journal& journal);
  // Adds the records still in memory to the journal as a chunk of
  // `log_file`, keeping them in memory for write_tx.
  std::expected<void, Error> tx_journal_memory(Journal& journal, std::string_view log_file);
  std::uint64_t tx_bytes() const;
  // REQUIRES: lock_writes(). Cuts what write_tx wrote (a commit that does
  // not land).
  void abandon_tx_write() { log_.abandon_past_end(); }
  // REQUIRES: lock_writes(), after write_tx succeeded. Takes the written
  // records into the index (the values still in memory into the cache too)
  // and forgets them as the transaction's; their end is published by the
  // commit. Without this the next refresh reads them as others' records.
  void tx_landed();
  // Forgets the transaction's records (rollback, or after commit).
  void tx_discard();
  // The log's slot in the lock file, or null when it has none.
  SharedLog* shared_log() { return log_.shared_log(); }
  // Where the log's whole records end, as far as this collection has read.
  std::uint64_t log_end() const { return log_.complete_end(); }
  // Puts the records handed to the OS so far (not the buffer) on stable
  // storage: an fdatasync of the file, skipped when nothing was written or
  // cut since the last one. Errors are Io.
  std::expected<void, Error> sync();

  std::uint64_t end_offset() const { return end_offset_; }
  const std::string& path() const { return path_; }
  bool has_buffered_data() const { return !buffer_.empty(); }
  // False only for a read-only collection whose file does not exist.
  bool has_file() const { return reader_.valid(); }
  OpenMode mode() const { return mode_; }

  // Live keys in no particular order, and how many there are (after a
  // refresh; a failed one leaves what was known).
  std::vector<std::string> live_keys();
  std::size_t live_count();
  // Records indexed since the file was opened (the live and the overwritten
  // ones), for a cheap estimate of the share compaction would drop.
  std::uint64_t records_seen() const { return records_seen_; }
  // Live keys as last indexed, without looking at the file.
  std::size_t index_size() const { return index_.size(); }

 private:
  Collection() = default;

  // The encoded current value of `key`, viewing the cache or the read buffer:
  // valid until the next call on this collection.
  std::expected<std::string_view, Error> find_encoded(std::string_view key);
  // The same from the log's records only.
  std::expected<std::string_view, Error> find_committed(std::string_view key, std::uint64_t hash);

  // Io (InvalidArgument) when the key or the encoded value is too long for
  // its 4-byte length.
  static std::expected<void, Error> check_record_lengths(std::string_view key, std::string_view encoded);

  static std::expected<std::unique_ptr<Collection>, Error> open_read_only(const std::string& path,
                                                                          std::optional<SharedLog> share,
                                                                          LockFile* join_later);
  // A reader whose log had no slot in the lock file yet looks for it at
  // every call, and follows the log from the first writer that claims one.
  std::expected<void, Error> join_late();
  // A read-only collection that follows a shared log: reads the file now at
  // the path from the start, up to the published end (all of its whole
  // records when none is known). While a compaction is renaming its file in
  // (odd generation) a view already read is kept until the next call.
  std::expected<void, Error> reread_as_reader();

  // Indexes the records in [from, end) of the file, reading it in large
  // blocks; a key's cached value gives way to the record read. With
  // `forget_cached` (records another database appended after ours) a key
  // that has a record in our write buffer keeps it. Fails on a read error or
  // a key that is not UTF-8.
  std::expected<records::ScanEnd, Error> index_records(std::uint64_t from, std::uint64_t end, bool forget_cached);
  // Fills the empty index from the saved index file when it matches the log
  // (the same file, its bytes before the covered length unchanged, which is
  // at most `end`); returns the length it covers, 0 when it was not used.
  std::uint64_t load_saved_index(std::uint64_t end);
  // Writes the index file at close when the index is large and the saved
  // one lags behind it; errors are ignored (the file is a cache).
  void save_index();
  // Indexes [from, end), from the saved index file when `from` is 0.
  std::expected<records::ScanEnd, Error> index_opened(std::uint64_t from, std::uint64_t end) {
    if (from == 0) from = load_saved_index(end);
    return index_records(from, end, false);
  }
  // Fails while the file ends inside a record that cannot be cut yet.
  std::expected<void, Error> ensure_writable();
  // The words of a refusal to write.
  Error refusal(const AppendLog::Refused& refused) const;
  std::expected<void, Error> catch_up();
  // Reopens the file at path_ and indexes it from scratch; the buffered
  // records are indexed again after its end.
  std::expected<void, Error> follow_replacement();
  // Inside a transaction a record joins the buffer without the lock; a log
  // without a lock file must end on a record boundary first.
  std::expected<void, Error> writable_for_buffer();
  // Runs `write` under the log's write lock, taking it for the call unless
  // lock_writes() holds it.
  template <class Write>
  std::expected<void, Error> with_write_lock(Write&& write) {
    if (write_locked_) return write();
    if (auto locked = lock_writes(); !locked) return locked;
    auto result = write();
    unlock_writes();
    return result;
  }
  // Where buffered records go: the index points buffered records at the
  // offsets they were expected to get; once the buffer is written at
  // `actual` instead of `expected` (others appended meanwhile), they move.
  void move_buffered(std::uint64_t expected, std::uint64_t actual, std::size_t bytes);
  // Hands the buffered records and then `record` (one whole record, or empty)
  // to the OS in one call where it can. On failure the file is cut back to the
  // last whole record written, the written records leave the buffer, and
  // `record` counts as not written.
  std::expected<void, Error> write_out(std::string_view record);
  void append_to_buffer(std::string_view record);
  // Index numbers: the offset of the key's latest record, or kCached plus
  // the place in cache_values_ of its value written since open.
  static bool is_cached(std::uint64_t number) { return (number & kCached) != 0; }
  std::uint64_t offset_of(std::uint64_t number) const;
  std::string_view cached_value(std::uint64_t number) const;  // REQUIRES: is_cached(number)
  // Points the key at its record at `offset`, its value cached or not.
  void index_cached(std::string_view key, std::uint64_t h, std::uint64_t offset, std::string_view encoded);
  void index_offset(std::string_view key, std::uint64_t h, std::uint64_t offset);
  void unindex(std::string_view key, std::uint64_t h);
  // Counts the cached value a number pointed at as dead (nothing when it
  // pointed at none), and rebuilds the arena once dead values outweigh it.
  void drop_cached(std::uint64_t number);
  void compact_cache_values();

  std::string path_;
  Fd reader_;
  LockFile* join_later_ = nullptr;  // a reader's lock file, until the log has a slot there
  MappedFile mapped_;  // of reader_'s file: `get` reads indexed records in place
  AppendLog log_;  // the O_APPEND writer; holds the advisory lock
  std::string buffer_;                      // whole records only
  std::vector<std::size_t> record_ends_;    // end of each buffered record within buffer_
  // key -> file offset of its latest record, or (kCached) the place in
  // cache_values_ of a value stored through this Collection since open:
  // one table serves both, so a write finds and fills one slot.
  KeyTable index_;
  static constexpr std::uint64_t kCached = std::uint64_t{1} << 63;
  // Each cached value as the record's file offset (8 bytes), its length (4)
  // and its encoding. Overwritten values stay behind as dead bytes until the
  // arena is rebuilt.
  std::string cache_values_;
  std::size_t cache_dead_bytes_ = 0;
  std::uint64_t end_offset_ = 0;
  std::uint64_t records_seen_ = 0;
  // records_seen_ as the saved index file had it (loaded at open), if any.
  std::optional<std::uint64_t> saved_records_;
  bool in_transaction_ = false;
  bool cached_links_ = false;  // a value written since open may have held a link
  OpenMode mode_ = OpenMode::ReadWrite;
  bool write_locked_ = false;  // lock_writes() holds the log's write lock
  std::string encoded_;   // scratch: the value being encoded by `set`
  std::string record_;    // scratch: the record being built by `set_encoded`
  std::string read_buf_;  // scratch: the bytes read by `get`

  // A transaction record's place: in tx_memory_, or (kTxSpilled) in the
  // journal, at the record's start; kTxTombstone when it deletes the key.
  static constexpr std::uint64_t kTxSpilled = std::uint64_t{1} << 63;
  static constexpr std::uint64_t kTxTombstone = std::uint64_t{1} << 62;
  static constexpr std::uint64_t kTxLinks = std::uint64_t{1} << 61;  // the value may hold a link
  static constexpr std::uint64_t kTxOffset = kTxLinks - 1;
  std::expected<std::string_view, Error> tx_value(std::uint64_t place, std::size_t key_size);
  KeyTable tx_index_;      // key -> place of its last record in the transaction
  std::string tx_memory_;  // whole records, after those spilled
  struct SpilledChunk {
    std::uint64_t at;  // in the journal
    std::uint64_t length;
  };
  std::vector<SpilledChunk> tx_spilled_;
  const Journal* tx_journal_ = nullptr;
  bool tx_links_ = false;  // a value of the transaction may hold a link
  // The transaction's last few records, not yet in tx_index_: a key's slot
  // is fetched as it is written and filled a few writes later, so that a
  // large transaction does not wait on a cache miss at every write. Every
  // reader of tx_index_ first calls tx_index_pending().
  struct TxPending {
    std::size_t at;  // the record's start in tx_memory_
    std::uint64_t hash;
    std::uint64_t place;
  };
  static constexpr std::size_t kTxAhead = 8;
  std::array<TxPending, kTxAhead> tx_pending_{};
  std::size_t tx_pending_first_ = 0;
  std::size_t tx_pending_count_ = 0;
  void tx_index_oldest();
  void tx_index_pending() {
    while (tx_pending_count_ > 0) tx_index_oldest();
  }
};

template <class F>
std::expected<void, Error> Collection::for_each_tx_key(F&& f) {
  tx_index_pending();
  std::optional<Error> failed;
  tx_index_.for_each_entry([&](std::string_view key, std::uint64_t place) {
    if (failed) return;
    if (place & kTxTombstone) {
      f(key, std::optional<std::string_view>(), false);
      return;
    }
    if (!(place & kTxLinks)) {
      // The value is not needed: the caller looks only for links.
      f(key, std::optional<std::string_view>(std::string_view()), false);
      return;
    }
    auto value = tx_value(place, key.size());
    if (!value) {
      failed = std::move(value.error());
      return;
    }
    f(key, std::optional<std::string_view>(*value), true);
  }, [this](std::uint64_t place) {
    // The index is in hash order, the records in the order written.
    if ((place & (kTxLinks | kTxSpilled | kTxTombstone)) == kTxLinks) {
      __builtin_prefetch(tx_memory_.data() + (place & kTxOffset));
    }
  });
  if (failed) return std::unexpected(std::move(*failed));
  return {};
}

}  // namespace quillet
