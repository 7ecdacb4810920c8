// The key index file kept beside a collection's log (<name>.qdb-index): the
// log's key -> offset-of-latest-record table as of some length of the log,
// so that an open loads it and reads only the records appended after.
// It is a cache: written without sync, and any doubt about it (missing,
// damaged, made from another file or a longer one) means the log is read
// from the start instead.
//
// Layout, every number little-endian:
//   header (96 bytes):
//     "QKEYIDX1" | u64 device | u64 inode | u64 covered | u64 tail_check |
//     u64 records_seen | u64 count | u64 key_bytes | u64 0 | u64 0 |
//     u64 body checksum | u64 header checksum (of the 88 bytes before it)
//   body, three sections one after the other:
//     u32 key length  x count
//     u64 offset      x count   (of the key's latest record in the log)
//     key bytes, the keys back to back (key_bytes in all)
// The body checksum is checksum64 of the checksums of each section's
// consecutive kChunk-byte pieces (the last one shorter), so that the file is
// written and checked in bounded pieces. Entries come in the writer's table
// order, which lets the reader fill a table of its own almost in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"
#include "io/file.h"

namespace quillet::key_index {

inline constexpr std::string_view kSuffix = "-index";
inline constexpr std::size_t kChunk = std::size_t{1} << 20;
// The log's bytes just before the covered length that must be unchanged.
inline constexpr std::size_t kTailCheckBytes = 4096;

// The log the keys describe, and how much of it.
struct Coverage {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t covered = 0;            // the keys are those of the records in [0, covered)
  std::uint64_t tail_check = 0;         // tail_check() of the log's bytes before `covered`
  std::uint64_t records_seen = 0;       // records the table was built from, overwritten ones included
};

// Streams one index file. The file is made under a temporary name beside
// `path` and renamed over it by finish(), so `path` only ever holds a whole
// file. Errors are plain OS errors; the caller may ignore them.
class Writer {
 public:
  // Nullopt (no error) when another process is writing the same index now.
  // REQUIRES: exactly `count` add() calls follow, whose keys hold `key_bytes`.
  static std::expected<std::optional<Writer>, Error> start(const std::string& path, std::uint64_t count,
                                                           std::uint64_t key_bytes);
  std::expected<void, Error> add(std::string_view key, std::uint64_t offset);
  std::expected<void, Error> finish(const Coverage& coverage);

  Writer(Writer&&) = default;
  ~Writer();

 private:
  struct Section {
    std::uint64_t at = 0;  // where its next piece goes in the file
    std::string pending;
    std::vector<std::uint64_t> sums;
  };
  Writer() = default;
  std::expected<void, Error> put(Section& section, std::string_view bytes);
  std::expected<void, Error> flush(Section& section);

  std::string path_;
  std::string temp_path_;
  Fd fd_;
  std::uint64_t count_ = 0;
  std::uint64_t key_bytes_ = 0;
  Section sections_[3];
  bool done_ = false;
};

// A whole index file as read, checked: checksums, section sizes, every key
// valid UTF-8, every record it points at lying within the covered length.
class Loaded {
 public:
  const Coverage& coverage() const { return coverage_; }
  std::uint64_t count() const { return count_; }
  std::uint64_t key_bytes() const { return key_bytes_; }
  // Calls f(key, offset) for every entry, in file order.
  template <class F>
  void for_each(F&& f) const {
    const char* lengths = bytes_.get() + kHeaderSize;
    const char* offsets = lengths + 4 * count_;
    const char* key = offsets + 8 * count_;
    for (std::uint64_t i = 0; i < count_; ++i) {
      const std::uint32_t length = load_u32(lengths + 4 * i);
      f(std::string_view(key, length), load_u64(offsets + 8 * i));
      key += length;
    }
  }

  static constexpr std::size_t kHeaderSize = 96;

 private:
  friend std::optional<Loaded> read(const std::string& path);
  static std::uint32_t load_u32(const char* p);
  static std::uint64_t load_u64(const char* p);

  Coverage coverage_;
  std::uint64_t count_ = 0;
  std::uint64_t key_bytes_ = 0;
  std::unique_ptr<char[]> bytes_;
};

// The index at `path`, or nullopt when it is missing, unreadable or fails
// any check.
std::optional<Loaded> read(const std::string& path);

// How many bytes before `covered` Coverage::tail_check sums, and the sum.
std::uint64_t tail_length(std::uint64_t covered);
std::uint64_t tail_check(std::string_view tail);

}  // namespace quillet::key_index
