// Helpers shared by the fuzz targets: one scratch directory per process on a
// memory-backed filesystem, whole-file writes, and a failure report that stops
// the fuzzer with the input saved.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "format/codec.h"
#include "value/value.h"

namespace quillet::fuzz {

// A property broke: libFuzzer treats the abort as a finding and keeps the input.
[[noreturn]] inline void fail(std::string_view what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz property violated: %.*s\n%.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// The directory the target works in, made on first use and removed at exit.
// /dev/shm keeps the millions of small writes off the disk.
inline const std::string& scratch_dir() {
  // Never destroyed: the exit handler below still needs it.
  static const std::string& dir = *new std::string([] {
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) {
      const char* tmp = std::getenv("TMPDIR");
      base = tmp && *tmp ? tmp : "/tmp";
    }
    std::string made = base + "/quillet-fuzz-" + std::to_string(::getpid());
    std::filesystem::remove_all(made);
    std::filesystem::create_directories(made);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(scratch_dir(), ignored);
    });
    return made;
  }());
  return dir;
}

// Replaces the file's content with `bytes`.
inline void write_whole_file(const std::string& path, std::string_view bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) fail("cannot create the scratch file", path);
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n <= 0) fail("cannot write the scratch file", path);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(fd);
}

// Values have no equality of their own; maps keep their insertion order, so
// two values with the same content encode to the same bytes.
inline std::string encoding_of(const Value& value) {
  std::string out;
  encode(value, out);
  return out;
}

}  // namespace quillet::fuzz
