// The directory compact writes into, and the rollback of what it made there.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common.h"

namespace quillet {

// What compact made in the output directory, removed again (files, then the
// directories it made, newest first) unless keep() is called.
class OutputDirectory {
 public:
  OutputDirectory() = default;
  OutputDirectory(const OutputDirectory&) = delete;
  OutputDirectory& operator=(const OutputDirectory&) = delete;
  ~OutputDirectory();

  // Accepts a missing directory (made here, its parent must exist) or an
  // empty one; refuses anything else with a one-line reason.
  Step prepare(const std::string& path);

  // Where the file `name` goes, making the subdirectories a name with "/"
  // asks for. The file is removed on rollback.
  std::expected<std::string, Error> file(std::string_view name);

  // Keeps everything made.
  void keep() { kept_ = true; }

 private:
  std::string path_;
  std::vector<std::string> files_;
  std::vector<std::string> directories_;
  bool kept_ = false;
};

}  // namespace quillet
