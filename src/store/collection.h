// Collection: one collection's append-only record log (<name>.qdb), its
// in-memory key index, the values written since open, and its write buffer.
//
// File format: a plain sequence of records, each
//   key length K (u32 LE) | key (K bytes UTF-8) | value length V (u32 LE) | value (V bytes)
// The latest record of a key wins; a value whose type byte is 0x0C
// (Tombstone) deletes the key.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/codec.h"
#include "io/file.h"
#include "value/value.h"

namespace quillet {

struct StorageError {
  enum class Kind : std::uint8_t { Io, Codec, KeyNotFound };
  Kind kind = Kind::Io;
  IoError io;
  CodecError codec;

  static StorageError from_io(IoError e) { return {Kind::Io, std::move(e), {}}; }
  static StorageError from_codec(CodecError e) { return {Kind::Codec, {}, e}; }
  static StorageError key_not_found() { return {Kind::KeyNotFound, {}, {}}; }
  static StorageError io_text(std::string message) { return from_io(IoError::custom(std::move(message))); }

  bool is_key_not_found() const { return kind == Kind::KeyNotFound; }
  // "io: {}", "codec: {}" or "key not found".
  std::string text() const;
};

inline constexpr std::size_t kWriteBufferSize = 65536;
// A torn tail longer than this is never cut automatically: it is more than an
// interrupted append can leave, so it is damage for a person to look at.
inline constexpr std::uint64_t kMaxAutoCutTail = 65536;

// Text key -> 64-bit number, the in-memory maps of a Collection (key -> file
// offset, key -> cached value position). An open-addressing table over one
// arena of key bytes: indexing a large file costs no allocation per key and
// about one cache miss per record, which the scan hides by prefetching.
// Memory stays proportional to the present keys: the bytes of removed keys
// are reclaimed once they outweigh the rest.
class KeyTable {
 public:
  static std::uint64_t hash(std::string_view key);
  // Wherever `h` is passed it is hash(key); any value that is always the
  // same for the same key is correct, only slower when many keys share it.
  // Adds `key` with `number` unless present; either way returns where the
  // key's number is kept (valid until the next change) and whether it was
  // added. REQUIRES: `number` is not ~0, which marks a free slot.
  std::pair<std::uint64_t*, bool> insert(std::string_view key, std::uint64_t h, std::uint64_t number);
  // Removes `key`; returns its number, or nullopt when it was absent.
  std::optional<std::uint64_t> erase(std::string_view key, std::uint64_t h);
  const std::uint64_t* find(std::string_view key, std::uint64_t h) const;
  void prefetch(std::uint64_t h) const;
  // Makes room for `keys` keys holding `key_bytes` bytes in all.
  void reserve(std::size_t keys, std::size_t key_bytes);
  std::size_t size() const { return count_; }
  // Bytes held for keys, those of removed keys not yet reclaimed included.
  std::size_t key_bytes_held() const { return arena_.size(); }
  std::vector<std::string> keys() const;
  // Calls f(number&) for every present key, so numbers can be rewritten.
  template <class F>
  void for_each_number(F&& f) {
    for (Slot& slot : slots_) {
      if (slot.number != kEmpty) f(slot.number);
    }
  }
  // Calls f(key, number) for every present key, in no particular order. The
  // key's view is valid until the next change.
  template <class F>
  void for_each_entry(F&& f) const {
    for (const Slot& slot : slots_) {
      if (slot.number != kEmpty) f(key_of(slot), slot.number);
    }
  }

 private:
  struct Slot {
    std::uint64_t number;  // kEmpty when the slot is free
    std::uint64_t key_pos;
    std::uint32_t key_len;
    std::uint32_t tag;  // the hash's top 32 bits: the home slot, then a fingerprint
  };
  // Marks a free slot.
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  static constexpr std::size_t kNotFound = ~std::size_t{0};

  std::size_t home(std::uint32_t tag) const { return tag >> (32 - bits_); }
  std::string_view key_of(const Slot& slot) const { return {arena_.data() + slot.key_pos, slot.key_len}; }
  std::size_t find_slot(std::string_view key, std::uint32_t tag) const;  // or kNotFound
  // Rehashes into 2^bits slots, dropping the bytes of removed keys.
  void rebuild(unsigned bits);

  // Large tables ask for huge pages: every lookup lands on a random slot,
  // and with 4 KiB pages nearly each one would also miss the TLB.
  template <class T>
  struct HugePageAllocator {
    using value_type = T;
    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}
    T* allocate(std::size_t n);
    void deallocate(T* p, std::size_t n);
    bool operator==(const HugePageAllocator&) const = default;
  };
  std::vector<Slot, HugePageAllocator<Slot>> slots_;  // a power of two in size, or empty
  unsigned bits_ = 0;
  std::size_t count_ = 0;
  std::string arena_;           // the bytes of every key added since the last rebuild
  std::size_t live_bytes_ = 0;  // of which present keys hold this many
};

// Not synchronised: the database core guards each Collection with its own lock
// and holds it around every call.
class Collection {
 public:
  // Opens (creating it empty, 0666 before umask) and scans the file at `path`.
  // A last record cut short is ignored and, when this is the only open handle
  // on the file (exclusive flock obtained) and the tail is at most
  // kMaxAutoCutTail bytes, cut off; otherwise the collection opens read-only
  // until the file ends on a record boundary again. Fails (always Io) on an OS
  // error, a path that is not a regular file, or a key that is not UTF-8
  // ("invalid utf8 key").
  // With OpenMode::ReadOnly the file is neither created nor cut nor written:
  // a missing file gives an empty collection without a file, a torn tail is
  // only skipped, and every write fails with Io.
  static std::expected<std::unique_ptr<Collection>, StorageError> open(const std::string& path,
                                                                        OpenMode mode = OpenMode::ReadWrite);

  // Writes out the buffer (errors ignored), then closes; the lock goes last.
  ~Collection();
  Collection(const Collection&) = delete;
  Collection& operator=(const Collection&) = delete;

  // A copy of the key's current value: from memory when written since open,
  // else read from the file. KeyNotFound for absent or deleted keys; Io when
  // the record cannot be read; Codec when it cannot be decoded.
  std::expected<Value, StorageError> get(std::string_view key);

  // The same value in its encoding, copied into `out`, undecoded: the caller
  // decodes it (a failure to decode is then the caller's Codec error).
  std::expected<void, StorageError> get_encoded(std::string_view key, std::string& out);

  // Appends one record. Outside a transaction the whole record is handed to
  // the OS in one write before this returns, or nothing changes (bytes that
  // reached the file are cut off again). Inside a transaction it is buffered;
  // a record that does not fit makes the buffer go out first, and a record
  // larger than the buffer goes out on its own. Oversized or too deeply nested
  // values are refused before anything is written. Errors are always Io.
  std::expected<void, StorageError> set(std::string_view key, const Value& value);

  // The same with the value already encoded. REQUIRES: `encoded` is one whole
  // value as `encode` writes it, within the nesting and length limits.
  std::expected<void, StorageError> set_encoded(std::string_view key, std::string_view encoded);

  void set_in_transaction(bool on) { in_transaction_ = on; }
  bool in_transaction() const { return in_transaction_; }

  // Whether the key's current value is one of the values written since open
  // (held in memory) while none of those held a link: the caller that
  // tracks links then knows the value it replaces holds none, without
  // reading it. The caller reports every value with links it writes.
  bool cached_without_links(std::string_view key) const {
    return !cached_links_ && cache_.find(key, KeyTable::hash(key)) != nullptr;
  }
  void note_cached_links() { cached_links_ = true; }

  // Hands every buffered record to the OS. On a failure part-way the file is
  // cut back to the last whole record and the rest stays buffered.
  std::expected<void, StorageError> flush();

  std::uint64_t end_offset() const { return end_offset_; }
  const std::string& path() const { return path_; }
  bool has_buffered_data() const { return !buffer_.empty(); }
  // False only for a read-only collection whose file does not exist.
  bool has_file() const { return reader_.valid(); }
  OpenMode mode() const { return mode_; }

  // Live keys in no particular order, and how many there are.
  std::vector<std::string> live_keys() const { return index_.keys(); }
  std::size_t live_count() const { return index_.size(); }

 private:
  // Where a scan stopped: records end at `complete_end`; the bytes from there
  // to `size` are an incomplete last record (none when the two are equal).
  struct ScanResult {
    std::uint64_t complete_end = 0;
    std::uint64_t size = 0;
  };

  Collection() = default;

  // Builds the record for `key` in record_: the header, then the caller
  // appends the encoded value and calls append_record to write and index it.
  void start_record(std::string_view key);
  std::expected<void, StorageError> append_record(std::string_view key);

  // The encoded current value of `key`, viewing the cache or the read buffer:
  // valid until the next call on this collection.
  std::expected<std::string_view, StorageError> find_encoded(std::string_view key);

  static std::expected<std::unique_ptr<Collection>, StorageError> open_read_only(const std::string& path);

  // Indexes the records in [from, size) of the file, reading it in large
  // blocks. `forget_cached` drops cached values of the keys it meets, for
  // records another database appended after ours.
  std::expected<ScanResult, StorageError> scan_records(std::uint64_t from, std::uint64_t size, bool forget_cached);
  // Takes the exclusive lock if it can (so nobody is in the middle of an
  // append), looks at the tail once more, and cuts an incomplete last record
  // of at most kMaxAutoCutTail bytes (or one our own failed write left);
  // the shared lock is held again afterwards. Clears `read_only_` on success.
  std::expected<void, StorageError> try_cut_tail();
  // After a write that failed part-way: cuts the file back to the end of the
  // last whole record it wrote, or turns read-only when that is not allowed.
  void cut_failed_write(std::uint64_t written, std::uint64_t whole);
  // Fails while the file ends inside a record; looks at the file again first
  // and resumes writing once it ends on a record boundary or can be cut.
  std::expected<void, StorageError> ensure_writable();
  // Hands the buffered records and then `record` (one whole record, or empty)
  // to the OS in one call where it can. On failure the file is cut back to the
  // last whole record written, the written records leave the buffer, and
  // `record` counts as not written.
  std::expected<void, StorageError> write_out(std::string_view record);
  void append_to_buffer(std::string_view record);
  std::string_view cached_value(std::uint64_t position) const;
  void cache_value(std::string_view key, std::uint64_t h, std::string_view encoded);
  void forget_cached(std::string_view key, std::uint64_t h);
  void compact_cache_values();

  std::string path_;
  Fd reader_;
  Fd writer_;  // O_APPEND; holds the advisory lock
  std::string buffer_;                      // whole records only
  std::vector<std::size_t> record_ends_;    // end of each buffered record within buffer_
  KeyTable index_;  // key -> file offset of its latest record
  // key -> position in cache_values_ of its encoded value (4-byte length,
  // then the bytes). Overwritten values stay behind as dead bytes until the
  // arena is rebuilt.
  KeyTable cache_;
  std::string cache_values_;
  std::size_t cache_dead_bytes_ = 0;
  std::uint64_t end_offset_ = 0;
  bool in_transaction_ = false;
  bool cached_links_ = false;  // a value written since open may have held a link
  OpenMode mode_ = OpenMode::ReadWrite;
  // When the file ends inside a record that could not be cut, writes are
  // refused; `complete_end_` is where the last whole record ends.
  bool read_only_ = false;
  std::uint64_t complete_end_ = 0;
  std::uint64_t end_of_file_ = 0;   // file size when the tail was last looked at
  std::uint64_t own_torn_end_ = 0;  // file size after our own failed write, or 0
  std::string record_;    // scratch: the record being built by `set`
  std::string read_buf_;  // scratch: the bytes read by `get`
};

}  // namespace quillet
