#include "format/records.h"

#include <algorithm>
#include <cstring>

namespace quillet::records {

std::expected<bool, Error> BlockReader::refill(std::uint64_t offset, std::uint64_t end) {
  const auto need = static_cast<std::size_t>(end - offset);
  const std::size_t want = std::max(kBlock, need);
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

namespace detail {

std::expected<bool, Error> zeros_to_end(BlockReader& file, const Reporter& reporter, std::uint64_t pos,
                                        std::uint64_t end) {
  while (pos < end) {
    const std::uint64_t chunk_end = pos + std::min<std::uint64_t>(BlockReader::kBlock, end - pos);
    auto covered = cover(file, reporter, pos, chunk_end);
    if (!covered) return std::unexpected(covered.error());
    if (!*covered) return false;
    const char* p = file.at(pos);
    if (std::any_of(p, p + (chunk_end - pos), [](char c) { return c != 0; })) return false;
    pos = chunk_end;
  }
  return true;
}

}  // namespace detail

void append_data_record(std::string& out, std::string_view key, std::string_view value) {
  put_u32(out, static_cast<std::uint32_t>(key.size()));
  out.append(key);
  put_u32(out, static_cast<std::uint32_t>(value.size()));
  out.append(value);
}

void append_link_record(std::string& out, std::uint8_t op, std::string_view target_key,
                        std::string_view source_collection, std::string_view source_key,
                        std::string_view source_path) {
  out.push_back(static_cast<char>(op));
  append_link_body(out, target_key, source_collection, source_key, source_path);
}

void append_link_body(std::string& out, std::string_view target_key, std::string_view source_collection,
                      std::string_view source_key, std::string_view source_path) {
  for (std::string_view field : {target_key, source_collection, source_key, source_path}) {
    put_u32(out, static_cast<std::uint32_t>(field.size()));
    out.append(field);
  }
}

}  // namespace quillet::records
