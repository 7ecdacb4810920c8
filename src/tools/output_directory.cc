#include "tools/output_directory.h"

#include <cerrno>

#include "io/file.h"

namespace quillet {

OutputDirectory::~OutputDirectory() {
  if (kept_) return;
  for (auto it = files_.rbegin(); it != files_.rend(); ++it) (void)remove_file(*it);
  for (auto it = directories_.rbegin(); it != directories_.rend(); ++it) (void)remove_directory(*it);
}

Step OutputDirectory::prepare(const std::string& path) {
  path_ = path;
  auto info = path_info(path);
  if (info) {
    if (!info->directory) return std::unexpected(Error::invalid_argument(path + " exists and is not a directory"));
    bool empty = true;
    auto listed = list_directory(path, [&](std::string_view name) {
      empty = name == "." || name == "..";
      return empty;
    });
    if (!listed) return std::unexpected(listed.error().in_context(path));
    if (!empty) return std::unexpected(Error::invalid_argument(path + " is not empty; compact writes into a new or empty directory"));
    return {};
  }
  if (info.error().os_error() != ENOENT) return std::unexpected(info.error().in_context(path));
  if (auto made = make_directory(path); !made) return std::unexpected(made.error().in_context("cannot create " + path));
  directories_.push_back(path);
  return {};
}

std::expected<std::string, Error> OutputDirectory::file(std::string_view name) {
  for (std::size_t slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', slash + 1)) {
    const std::string sub = join_path(path_, name.substr(0, slash));
    if (auto made = make_directory(sub)) {
      directories_.push_back(sub);
    } else if (made.error().os_error() != EEXIST) {
      return std::unexpected(made.error().in_context("cannot create " + sub));
    }
  }
  files_.push_back(join_path(path_, name));
  return files_.back();
}

}  // namespace quillet
