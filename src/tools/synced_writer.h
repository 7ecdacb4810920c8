// Writing new files that are on stable storage once reported written.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "io/file.h"

namespace quillet {

// A new file (created, or emptied) written through a large buffer and synced
// when finished, so that a copy that reports success is on stable storage.
class SyncedWriter {
 public:
  static std::expected<SyncedWriter, Error> create(const std::string& path);
  std::expected<void, Error> append(std::string_view bytes);
  // Writes what is buffered, syncs and closes the file.
  std::expected<void, Error> finish();
  std::uint64_t written() const { return written_; }

 private:
  std::expected<void, Error> flush();
  Fd fd_;
  std::string buffer_;
  std::uint64_t written_ = 0;
};

// Creates (or empties) `path`, writes `bytes` and syncs it.
std::expected<void, Error> write_whole_file(const std::string& path, std::string_view bytes);

}  // namespace quillet
