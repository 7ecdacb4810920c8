#include "tools/output_directory.h"

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "io/file.h"

namespace quillet {

OutputDirectory::~OutputDirectory() {
  if (kept_) return;
  for (auto it = files_.rbegin(); it != files_.rend(); ++it) ::unlink(it->c_str());
  for (auto it = directories_.rbegin(); it != directories_.rend(); ++it) ::rmdir(it->c_str());
}

Step OutputDirectory::prepare(const std::string& path) {
  path_ = path;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode)) return std::unexpected(tool_failure(path + " exists and is not a directory"));
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return std::unexpected(tool_io_failure(path, IoError::from_errno(errno)));
    bool empty = true;
    while (const dirent* e = ::readdir(d)) {
      const std::string_view name = e->d_name;
      if (name != "." && name != "..") empty = false;
    }
    ::closedir(d);
    if (!empty) return std::unexpected(tool_failure(path + " is not empty; compact writes into a new or empty directory"));
    return {};
  }
  if (errno != ENOENT) return std::unexpected(tool_io_failure(path, IoError::from_errno(errno)));
  if (::mkdir(path.c_str(), 0777) != 0) {
    return std::unexpected(tool_io_failure("cannot create " + path, IoError::from_errno(errno)));
  }
  directories_.push_back(path);
  return {};
}

std::expected<std::string, ToolError> OutputDirectory::file(std::string_view name) {
  for (std::size_t slash = name.find('/'); slash != std::string_view::npos; slash = name.find('/', slash + 1)) {
    const std::string sub = join_path(path_, name.substr(0, slash));
    if (::mkdir(sub.c_str(), 0777) == 0) {
      directories_.push_back(sub);
    } else if (errno != EEXIST) {
      return std::unexpected(tool_io_failure("cannot create " + sub, IoError::from_errno(errno)));
    }
  }
  files_.push_back(join_path(path_, name));
  return files_.back();
}

}  // namespace quillet
