// The two record layouts of the store's log files, how to build one record,
// and one reader that scans a file's records from an offset to an end.
//
// Collection file (<name>.qdb), a plain sequence of
//   key length K (u32 LE) | key (K bytes) | value length V (u32 LE) | value (V bytes)
// Backlink file (<name>.qbl), a plain sequence of
//   op (1 byte: 1 add, 2 remove) | target key | source collection | source key | source path
// where each of the four strings is a u32 LE length followed by its bytes.
//
// The torn-tail rule, shared by every reader: a record is whole when each
// length it declares fits in what is left before the end of the scan. The
// first record that does not fit, and everything after it, is the torn tail:
// what an interrupted append leaves. So is a run of zero bytes from a record
// boundary to the end of the scan, which a file system can leave after a
// crash: zeros cannot start a record of either layout (below). The framing
// cannot tell damage anywhere else; values and strings are judged by whoever
// reads them (format/salvage.h judges them the way every writer writes them).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "format/codec.h"
#include "io/file.h"

namespace quillet::records {

// A torn tail longer than this is more than one interrupted append leaves
// (an append is one write call of at most this much, or one record), so it is
// damage for a person to look at and is never cut automatically.
inline constexpr std::uint64_t kMaxTornTail = 65536;

inline constexpr std::uint8_t kAddOp = 1;
inline constexpr std::uint8_t kRemoveOp = 2;

// The two layouts, for code that handles either.
enum class Layout : std::uint8_t { Data, Link };

// What zeros read as can never be a record, so a zero run at a record
// boundary is looked at as a torn tail: in a collection file a key length of
// 0 with a value length of 0 (every encoded value has its type byte), in a
// backlink file an operation byte of 0.
inline bool zeros_cannot_be(std::uint64_t key_len, std::uint64_t value_len) { return key_len == 0 && value_len == 0; }
inline bool zeros_cannot_be(std::uint8_t op) { return op == 0; }

// One whole record of a collection file. The views point into the reader's
// buffer and are valid only during the callback that receives it.
struct DataRecord {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;  // 8 + K + V
  std::string_view key;
  // The V value bytes; with Extent::Head only the first of them (none when V is 0).
  std::string_view value;
  // The record's bytes as far as read: all `size` of them with Extent::Whole.
  std::string_view bytes;
  bool is_tombstone() const { return is_tombstone_encoding(value); }
};

// One whole record of a backlink file; views as for DataRecord.
struct LinkRecord {
  std::uint64_t offset = 0;
  std::uint8_t op = 0;
  std::string_view target_key;
  std::string_view source_collection;
  std::string_view source_key;
  std::string_view source_path;
  std::string_view bytes;  // the whole record, operation byte included
  // The four length-prefixed strings, as in the file.
  std::string_view body() const { return bytes.substr(1); }
};

// Where a scan stopped: whole records end at `complete_end`; the bytes from
// there to `end` are the torn tail (none when the two are equal). When the
// record callback stopped the scan, `stopped` is set and `complete_end` is
// the offset of the record it refused.
struct ScanEnd {
  std::uint64_t complete_end = 0;
  std::uint64_t end = 0;
  bool stopped = false;
  std::uint64_t tail_bytes() const { return end - complete_end; }
  bool torn() const { return !stopped && complete_end < end; }
};

// How much of each collection record the scan reads: all of it, or only the
// header and the value's first byte (its type), which is what indexing
// needs; then large values are stepped over rather than read.
enum class Extent : std::uint8_t { Whole, Head };

// What a scan tells its caller besides the records. Each member may be empty;
// each is called at most once per block read, never per record.
struct Reporter {
  // The views of every record handed out so far are about to become invalid
  // (the reader's window moves): a caller that kept some must use them now.
  std::function<void()> window_moves;
  // The scan ended inside a record: the torn tail.
  std::function<void(const ScanEnd&)> torn_tail;
};

// A window over one file for a scan: the bytes [start_, start_ + len_), read
// in large blocks through the file layer, one call per block.
class BlockReader {
 public:
  static constexpr std::size_t kBlock = std::size_t{1} << 20;
  explicit BlockReader(int fd) : fd_(fd) {}

  bool has(std::uint64_t offset, std::uint64_t end) const { return offset >= start_ && end <= start_ + len_; }
  const char* at(std::uint64_t offset) const { return data_.get() + (offset - start_); }

  // Makes the bytes [offset, end) available, reading on from `offset` in
  // blocks; earlier bytes may move or go (an offset before the window reads
  // again). False when the file holds fewer bytes than that (it shrank under
  // us). REQUIRES: `end` lies within the file size the caller checked, which
  // bounds the buffer.
  std::expected<bool, Error> refill(std::uint64_t offset, std::uint64_t end);

 private:
  int fd_;
  std::unique_ptr<char[]> data_;
  std::size_t capacity_ = 0;
  std::uint64_t start_ = 0;
  std::size_t len_ = 0;
};

namespace detail {
// Makes [pos, need_end) readable, telling the reporter before the window
// moves. False at the end of the file.
inline std::expected<bool, Error> cover(BlockReader& file, const Reporter& reporter, std::uint64_t pos,
                                          std::uint64_t need_end) {
  if (file.has(pos, need_end)) return true;
  if (reporter.window_moves) reporter.window_moves();
  return file.refill(pos, need_end);
}

// True when every byte of [pos, end) is zero: the torn tail a file system
// leaves. Looked at only where zeros could not start a record, so a scan
// reads ahead this way once at most.
std::expected<bool, Error> zeros_to_end(BlockReader& file, const Reporter& reporter, std::uint64_t pos,
                                        std::uint64_t end);

inline ScanEnd finish(const Reporter& reporter, ScanEnd end) {
  if (end.torn() && reporter.torn_tail) reporter.torn_tail(end);
  return end;
}
}  // namespace detail

// Calls on_record(const DataRecord&) -> bool for every whole record of
// [from, end) in file order, until it returns false. Fails only when a read
// fails. REQUIRES: from <= end, and `end` is at most the file's size.
template <class OnRecord>
std::expected<ScanEnd, Error> scan_data_records(BlockReader& file, std::uint64_t from, std::uint64_t end,
                                                  OnRecord&& on_record, const Reporter& reporter = {},
                                                  Extent extent = Extent::Whole) {
  std::uint64_t pos = from;
  // Every length is checked against what remains before `end` before
  // anything is read or allocated for it.
  while (end - pos >= 8) {
    auto covered = detail::cover(file, reporter, pos, pos + 4);
    if (!covered) return std::unexpected(covered.error());
    if (!*covered) break;
    const std::uint64_t key_len = get_u32(file.at(pos));
    if (end - pos - 8 < key_len) break;
    const std::uint64_t header_end = pos + 8 + key_len;
    covered = detail::cover(file, reporter, pos, header_end);
    if (!covered) return std::unexpected(covered.error());
    if (!*covered) break;
    const std::uint64_t value_len = get_u32(file.at(header_end - 4));
    if (end - header_end < value_len) break;
    if (zeros_cannot_be(key_len, value_len)) {
      auto zeros = detail::zeros_to_end(file, reporter, pos, end);
      if (!zeros) return std::unexpected(zeros.error());
      if (*zeros) break;
    }
    const std::uint64_t record_end = header_end + value_len;
    const std::uint64_t read_end = extent == Extent::Whole ? record_end : header_end + (value_len > 0 ? 1 : 0);
    if (read_end > header_end) {
      covered = detail::cover(file, reporter, pos, read_end);
      if (!covered) return std::unexpected(covered.error());
      if (!*covered) break;
    }
    const char* p = file.at(pos);
    const DataRecord record{pos, record_end - pos, {p + 4, static_cast<std::size_t>(key_len)},
                            {p + 8 + key_len, static_cast<std::size_t>(read_end - header_end)},
                            {p, static_cast<std::size_t>(read_end - pos)}};
    if (!on_record(record)) return ScanEnd{pos, end, true};
    pos = record_end;
  }
  return detail::finish(reporter, ScanEnd{pos, end, false});
}

// Calls on_record(const LinkRecord&) -> bool for every whole record of
// [from, end), as scan_data_records does.
template <class OnRecord>
std::expected<ScanEnd, Error> scan_link_records(BlockReader& file, std::uint64_t from, std::uint64_t end,
                                                  OnRecord&& on_record, const Reporter& reporter = {}) {
  std::uint64_t pos = from;
  for (;;) {
    if (pos >= end) break;
    auto first = detail::cover(file, reporter, pos, pos + 1);
    if (!first) return std::unexpected(first.error());
    if (!*first) break;
    if (zeros_cannot_be(static_cast<std::uint8_t>(*file.at(pos)))) {
      auto zeros = detail::zeros_to_end(file, reporter, pos, end);
      if (!zeros) return std::unexpected(zeros.error());
      if (*zeros) break;
    }
    std::uint64_t size = 1;
    std::uint64_t starts[4];
    std::uint64_t lengths[4];
    bool whole = true;
    for (int i = 0; i < 4 && whole; ++i) {
      if (end - pos < size + 4) {
        whole = false;
        break;
      }
      auto covered = detail::cover(file, reporter, pos, pos + size + 4);
      if (!covered) return std::unexpected(covered.error());
      if (!*covered) {
        whole = false;
        break;
      }
      lengths[i] = get_u32(file.at(pos + size));
      starts[i] = size + 4;
      size += 4 + lengths[i];
    }
    if (!whole || end - pos < size) break;
    auto covered = detail::cover(file, reporter, pos, pos + size);
    if (!covered) return std::unexpected(covered.error());
    if (!*covered) break;
    const std::string_view bytes(file.at(pos), static_cast<std::size_t>(size));
    auto field = [&](int i) { return bytes.substr(starts[i], lengths[i]); };
    const LinkRecord record{pos, static_cast<std::uint8_t>(bytes[0]), field(0), field(1), field(2), field(3), bytes};
    if (!on_record(record)) return ScanEnd{pos, end, true};
    pos += size;
  }
  return detail::finish(reporter, ScanEnd{pos, end, false});
}

// Appends one collection record. REQUIRES: both sizes fit 32 bits.
void append_data_record(std::string& out, std::string_view key, std::string_view value);

// Appends the four length-prefixed strings of a backlink record (its body,
// LinkRecord::body). REQUIRES: every string's size fits 32 bits.
void append_link_body(std::string& out, std::string_view target_key, std::string_view source_collection,
                      std::string_view source_key, std::string_view source_path);

// Appends one backlink record. REQUIRES: every string's size fits 32 bits.
void append_link_record(std::string& out, std::uint8_t op, std::string_view target_key,
                        std::string_view source_collection, std::string_view source_key,
                        std::string_view source_path);

}  // namespace quillet::records
