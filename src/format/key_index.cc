#include "format/key_index.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fcntl.h>

#include "format/checksum.h"
#include "value/value.h"

namespace quillet::key_index {

namespace {

constexpr char kMagic[8] = {'Q', 'K', 'E', 'Y', 'I', 'D', 'X', '1'};
constexpr std::size_t kHeaderFields = 11;  // after the magic, the last being the header's checksum

void store_u64(char* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

// The sizes of the three sections for `count` keys of `key_bytes` bytes.
struct Sections {
  std::uint64_t lengths, offsets, keys;
};
Sections sections_for(std::uint64_t count, std::uint64_t key_bytes) { return {4 * count, 8 * count, key_bytes}; }

// Adds the checksums of [0, size) of `bytes` in kChunk pieces to `sums`.
void sum_pieces(const char* bytes, std::uint64_t size, std::vector<std::uint64_t>& sums) {
  for (std::uint64_t at = 0; at < size; at += kChunk) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - at));
    sums.push_back(checksum64({bytes + at, piece}));
  }
}

std::uint64_t sum_of_sums(const std::vector<std::uint64_t>& sums) {
  std::string bytes(8 * sums.size(), '\0');
  for (std::size_t i = 0; i < sums.size(); ++i) store_u64(bytes.data() + 8 * i, sums[i]);
  return checksum64(bytes);
}

}  // namespace

std::uint32_t Loaded::load_u32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return std::endian::native == std::endian::little ? v : __builtin_bswap32(v);
}

std::uint64_t Loaded::load_u64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return std::endian::native == std::endian::little ? v : __builtin_bswap64(v);
}

std::uint64_t tail_length(std::uint64_t covered) { return std::min<std::uint64_t>(covered, kTailCheckBytes); }
std::uint64_t tail_check(std::string_view tail) { return checksum64(tail); }

// --- Writing ---

std::expected<std::optional<Writer>, Error> Writer::start(const std::string& path, std::uint64_t count,
                                                          std::uint64_t key_bytes) {
  Writer w;
  w.path_ = path;
  w.temp_path_ = path + ".tmp";
  auto fd = open_regular_file(w.temp_path_, O_RDWR | O_CREAT);
  if (!fd) return std::unexpected(fd.error());
  // The flock keeps two closing processes from writing one temporary file.
  if (!try_lock_exclusive(fd->get())) return std::optional<Writer>();
  if (auto emptied = truncate_file(fd->get(), 0); !emptied) return std::unexpected(emptied.error());
  w.fd_ = std::move(*fd);
  w.count_ = count;
  w.key_bytes_ = key_bytes;
  const Sections s = sections_for(count, key_bytes);
  w.sections_[0].at = Loaded::kHeaderSize;
  w.sections_[1].at = Loaded::kHeaderSize + s.lengths;
  w.sections_[2].at = Loaded::kHeaderSize + s.lengths + s.offsets;
  return std::optional<Writer>(std::move(w));
}

Writer::~Writer() {
  if (fd_.valid() && !done_) (void)remove_file(temp_path_);
}

std::expected<void, Error> Writer::flush(Section& section) {
  if (section.pending.empty()) return {};
  sum_pieces(section.pending.data(), section.pending.size(), section.sums);
  struct iovec part = {section.pending.data(), section.pending.size()};
  std::uint64_t written = 0;
  auto result = write_all_at(fd_.get(), &part, 1, section.at, kWriteWholeBuffer, &written);
  section.at += section.pending.size();
  section.pending.clear();
  return result;
}

// Pieces go out whole, so that the reader's kChunk pieces are the same.
std::expected<void, Error> Writer::put(Section& section, std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t room = kChunk - section.pending.size();
    section.pending.append(bytes.substr(0, room));
    bytes.remove_prefix(std::min(room, bytes.size()));
    if (section.pending.size() == kChunk) {
      if (auto flushed = flush(section); !flushed) return flushed;
    }
  }
  return {};
}

std::expected<void, Error> Writer::add(std::string_view key, std::uint64_t offset) {
  char length[8];
  store_u64(length, key.size());
  if (auto put_length = put(sections_[0], {length, 4}); !put_length) return put_length;
  char at[8];
  store_u64(at, offset);
  if (auto put_offset = put(sections_[1], {at, 8}); !put_offset) return put_offset;
  return put(sections_[2], key);
}

std::expected<void, Error> Writer::finish(const Coverage& c) {
  std::vector<std::uint64_t> sums;
  for (Section& section : sections_) {
    if (auto flushed = flush(section); !flushed) return flushed;
    sums.insert(sums.end(), section.sums.begin(), section.sums.end());
  }
  char header[Loaded::kHeaderSize];
  std::memcpy(header, kMagic, 8);
  const std::uint64_t fields[kHeaderFields - 1] = {
      c.device, c.inode, c.covered, c.tail_check, c.records_seen, count_, key_bytes_, 0, 0, sum_of_sums(sums)};
  for (std::size_t i = 0; i < kHeaderFields - 1; ++i) store_u64(header + 8 + 8 * i, fields[i]);
  store_u64(header + 8 * kHeaderFields, checksum64({header, 8 * kHeaderFields}));
  struct iovec part = {header, sizeof header};
  std::uint64_t written = 0;
  if (auto put_header = write_all_at(fd_.get(), &part, 1, 0, kWriteWholeBuffer, &written); !put_header) {
    return put_header;
  }
  if (auto renamed = rename_file(temp_path_, path_); !renamed) return renamed;
  done_ = true;
  return {};
}

// --- Reading ---

std::optional<Loaded> read(const std::string& path) {
  auto fd = open_regular_file(path, O_RDONLY);
  if (!fd) return std::nullopt;
  auto size = file_size(fd->get());
  if (!size || *size < Loaded::kHeaderSize) return std::nullopt;
  char header[Loaded::kHeaderSize];
  if (!pread_exact(fd->get(), header, sizeof header, 0)) return std::nullopt;
  if (std::memcmp(header, kMagic, 8) != 0) return std::nullopt;
  std::uint64_t fields[kHeaderFields];
  for (std::size_t i = 0; i < kHeaderFields; ++i) fields[i] = Loaded::load_u64(header + 8 + 8 * i);
  if (checksum64({header, 8 * kHeaderFields}) != fields[kHeaderFields - 1]) return std::nullopt;

  Loaded loaded;
  loaded.coverage_ = {fields[0], fields[1], fields[2], fields[3], fields[4]};
  loaded.count_ = fields[5];
  loaded.key_bytes_ = fields[6];
  // Sizes are checked against the file's before anything is allocated.
  if (loaded.count_ > *size / 12 || loaded.key_bytes_ > *size) return std::nullopt;
  const Sections s = sections_for(loaded.count_, loaded.key_bytes_);
  if (*size != Loaded::kHeaderSize + s.lengths + s.offsets + s.keys) return std::nullopt;
  loaded.bytes_ = std::make_unique_for_overwrite<char[]>(static_cast<std::size_t>(*size));
  if (!pread_exact(fd->get(), loaded.bytes_.get(), static_cast<std::size_t>(*size), 0)) return std::nullopt;

  const char* lengths = loaded.bytes_.get() + Loaded::kHeaderSize;
  const char* offsets = lengths + s.lengths;
  const char* keys = offsets + s.offsets;
  std::vector<std::uint64_t> sums;
  sum_pieces(lengths, s.lengths, sums);
  sum_pieces(offsets, s.offsets, sums);
  sum_pieces(keys, s.keys, sums);
  if (sum_of_sums(sums) != fields[9]) return std::nullopt;

  // The keys are valid UTF-8 one by one when all of them are and none
  // starts with a continuation byte.
  if (!is_valid_utf8({keys, static_cast<std::size_t>(s.keys)})) return std::nullopt;
  std::uint64_t key_at = 0;
  for (std::uint64_t i = 0; i < loaded.count_; ++i) {
    const std::uint64_t length = Loaded::load_u32(lengths + 4 * i);
    const std::uint64_t offset = Loaded::load_u64(offsets + 8 * i);
    if (length > s.keys - key_at) return std::nullopt;
    if (length > 0 && (static_cast<unsigned char>(keys[key_at]) & 0xC0) == 0x80) return std::nullopt;
    if (offset > loaded.coverage_.covered || loaded.coverage_.covered - offset < 8 + length) return std::nullopt;
    key_at += length;
  }
  if (key_at != s.keys) return std::nullopt;
  return loaded;
}

}  // namespace quillet::key_index
