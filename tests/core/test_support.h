// Helpers shared by the core tests: a scratch directory, whole-file reads and
// writes, and hex byte strings.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace quillet {
class Database;
}

namespace quillet::testing {

// Database::open of `path`, aborting the test run when it fails.
std::unique_ptr<Database> open_db(const std::string& path);

// A fresh directory under $TMPDIR, removed with everything in it on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, std::string_view bytes);
void append_file(const std::string& path, std::string_view bytes);
void truncate_file(const std::string& path, std::size_t size);
std::size_t file_size_of(const std::string& path);
bool file_exists(const std::string& path);

// "04 03 00 00 00 61" -> bytes; spaces are ignored.
std::string hex(std::string_view text);
// bytes -> "04 03 00 00 00 61"
std::string to_hex(std::string_view bytes);

// Runs `scenario` in a forked child (where resource limits and signal
// dispositions can be changed freely) with SIGXFSZ ignored, so that a write
// past a file-size limit fails with EFBIG instead of killing it. Returns what
// the scenario reported (empty when all its checks held), plus a line when
// the child did not exit cleanly.
std::string run_in_child(const std::function<std::string()>& scenario);

}  // namespace quillet::testing
