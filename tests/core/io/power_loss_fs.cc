#include "power_loss_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string_view>

#include "io/lock_file.h"

namespace quillet::testing {

namespace {

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool is_lock_file(std::string_view path) {
  return path.size() >= kLockFileName.size() && path.substr(path.size() - kLockFileName.size()) == kLockFileName &&
         (path.size() == kLockFileName.size() || path[path.size() - kLockFileName.size() - 1] == '/');
}

// mkdir -p on the real file system, for the lock file's directory.
void make_real_directories(const std::string& path) {
  if (path.empty() || path == "/") return;
  make_real_directories(parent_of(path));
  (void)::mkdir(path.c_str(), 0777);
}

}  // namespace

PowerLossFileSystem::PowerLossFileSystem(std::string root, std::uint64_t seed) : root_(std::move(root)), rng_(seed) {
  auto node = std::make_shared<Node>();
  node->directory = true;
  names_[root_] = node;
  durable_[root_] = node;
}

void PowerLossFileSystem::changing_call() {
  if (calls_left_ == 0 || --calls_left_ > 0) return;
  crash_ = std::make_unique<Names>();
  for (const auto& [path, node] : durable_) {
    auto left = std::make_shared<Node>();
    left->directory = node->directory;
    if (!node->directory) left->data = left->synced = after_cut(*node);
    (*crash_)[path] = left;
  }
}

std::string PowerLossFileSystem::after_cut(const Node& node) {
  const std::string& data = node.data;
  const std::string& synced = node.synced;
  const std::size_t common =
      std::mismatch(data.begin(), data.end(), synced.begin(), synced.end()).first - data.begin();
  // A cut back that was never synced may be undone by the cut.
  if (common == data.size() && synced.size() > data.size() && rng_() % 2 == 0) return synced;
  const std::size_t unsynced = data.size() - common;
  const std::size_t kept = unsynced == 0 ? 0 : rng_() % (unsynced + 1);
  std::string left = data.substr(0, common + kept);
  const std::size_t lost = unsynced - kept;
  if (lost == 0) return left;
  const std::size_t filler = 1 + rng_() % lost;
  switch (rng_() % 3) {
    case 0:
      left.append(filler, '\0');
      break;
    case 1:
      for (std::size_t i = 0; i < filler; ++i) left.push_back(static_cast<char>(rng_()));
      break;
    default:
      break;
  }
  return left;
}

void PowerLossFileSystem::restart() {
  names_ = std::move(*crash_);
  durable_ = names_;
  crash_.reset();
  calls_left_ = 0;
}

const std::string* PowerLossFileSystem::content(const std::string& path) const {
  auto it = names_.find(path);
  return it == names_.end() || it->second->directory ? nullptr : &it->second->data;
}

PowerLossFileSystem::Open* PowerLossFileSystem::find(int fd) {
  auto it = open_.find(fd);
  return it == open_.end() ? nullptr : &it->second;
}

int PowerLossFileSystem::open(const char* path_text, int flags, int mode) {
  const std::string path(path_text);
  if (is_lock_file(path)) {
    make_real_directories(parent_of(path));
    return real_.open(path_text, flags, mode);
  }
  auto it = names_.find(path);
  if (it == names_.end()) {
    if ((flags & O_CREAT) == 0) return -ENOENT;
    auto parent = names_.find(parent_of(path));
    if (parent == names_.end() || !parent->second->directory) return -ENOENT;
    changing_call();
    it = names_.emplace(path, std::make_shared<Node>()).first;
  } else if ((flags & O_CREAT) != 0 && (flags & O_EXCL) != 0) {
    return -EEXIST;
  }
  const bool directory = it->second->directory;
  if ((flags & O_DIRECTORY) != 0 && !directory) return -ENOTDIR;
  if (directory && (flags & O_ACCMODE) != O_RDONLY) return -EISDIR;
  if ((flags & O_TRUNC) != 0 && !directory) {
    changing_call();
    it->second->data.clear();
  }
  open_[next_fd_] = Open{it->second, path, flags, 0};
  return next_fd_++;
}

int PowerLossFileSystem::close(int fd) {
  if (find(fd) == nullptr) return real_.close(fd);
  open_.erase(fd);
  return 0;
}

ssize_t PowerLossFileSystem::pread(int fd, char* buf, std::size_t size, std::uint64_t offset) {
  Open* file = find(fd);
  if (file == nullptr) return real_.pread(fd, buf, size, offset);
  if (file->node->directory) return -EISDIR;
  const std::string& data = file->node->data;
  if (offset >= data.size()) return 0;
  const std::size_t n = std::min<std::uint64_t>(size, data.size() - offset);
  std::memcpy(buf, data.data() + offset, n);
  return static_cast<ssize_t>(n);
}

ssize_t PowerLossFileSystem::write_at(Open& file, const struct iovec* iov, int iovcnt, std::uint64_t offset) {
  if (file.node->directory || (file.flags & O_ACCMODE) == O_RDONLY) return -EBADF;
  changing_call();
  std::string bytes;
  for (int i = 0; i < iovcnt; ++i) bytes.append(static_cast<const char*>(iov[i].iov_base), iov[i].iov_len);
  std::string& data = file.node->data;
  if (data.size() < offset + bytes.size()) data.resize(offset + bytes.size());
  data.replace(offset, bytes.size(), bytes);
  return static_cast<ssize_t>(bytes.size());
}

ssize_t PowerLossFileSystem::writev(int fd, const struct iovec* iov, int iovcnt) {
  Open* file = find(fd);
  if (file == nullptr) return real_.writev(fd, iov, iovcnt);
  const std::uint64_t at = (file->flags & O_APPEND) != 0 ? file->node->data.size() : file->position;
  const ssize_t n = write_at(*file, iov, iovcnt, at);
  if (n > 0) file->position = at + static_cast<std::uint64_t>(n);
  return n;
}

ssize_t PowerLossFileSystem::pwritev(int fd, const struct iovec* iov, int iovcnt, std::uint64_t offset) {
  Open* file = find(fd);
  if (file == nullptr) return real_.pwritev(fd, iov, iovcnt, offset);
  return write_at(*file, iov, iovcnt, offset);
}

int PowerLossFileSystem::ftruncate(int fd, std::uint64_t size) {
  Open* file = find(fd);
  if (file == nullptr) return real_.ftruncate(fd, size);
  if (file->node->directory) return -EINVAL;
  changing_call();
  file->node->data.resize(size);
  return 0;
}

int PowerLossFileSystem::fsync(int fd) {
  Open* file = find(fd);
  if (file == nullptr) return real_.fsync(fd);
  changing_call();
  if (!file->node->directory) {
    file->node->synced = file->node->data;
    return 0;
  }
  // A directory's sync makes its entries as they are now the durable ones.
  const std::string& dir = file->path;
  std::erase_if(durable_, [&](const auto& entry) { return entry.first != dir && parent_of(entry.first) == dir; });
  for (const auto& [path, node] : names_) {
    if (path != dir && parent_of(path) == dir) durable_[path] = node;
  }
  return 0;
}

namespace {

void fill_stat(bool directory, std::size_t size, struct stat* st) {
  std::memset(st, 0, sizeof *st);
  st->st_mode = directory ? (S_IFDIR | 0777) : (S_IFREG | 0666);
  st->st_size = static_cast<off_t>(size);
  st->st_nlink = 1;
}

}  // namespace

int PowerLossFileSystem::fstat(int fd, struct stat* st) {
  Open* file = find(fd);
  if (file == nullptr) return real_.fstat(fd, st);
  fill_stat(file->node->directory, file->node->data.size(), st);
  return 0;
}

int PowerLossFileSystem::stat(const char* path, struct stat* st) {
  if (is_lock_file(path)) return real_.stat(path, st);
  auto it = names_.find(path);
  if (it == names_.end()) return -ENOENT;
  fill_stat(it->second->directory, it->second->data.size(), st);
  return 0;
}

// One process, one database: every lock is granted.
int PowerLossFileSystem::flock(int fd, int operation) {
  return find(fd) == nullptr ? real_.flock(fd, operation) : 0;
}

int PowerLossFileSystem::get_status_flags(int fd) {
  Open* file = find(fd);
  return file == nullptr ? real_.get_status_flags(fd) : file->flags;
}

int PowerLossFileSystem::set_status_flags(int fd, int flags) {
  Open* file = find(fd);
  if (file == nullptr) return real_.set_status_flags(fd, flags);
  file->flags = (file->flags & O_ACCMODE) | (flags & ~O_ACCMODE);
  return 0;
}

int PowerLossFileSystem::rename(const char* from, const char* to) {
  auto it = names_.find(from);
  if (it == names_.end()) return -ENOENT;
  changing_call();
  auto node = it->second;
  names_.erase(it);
  names_[to] = node;
  return 0;
}

int PowerLossFileSystem::unlink(const char* path) {
  auto it = names_.find(path);
  if (it == names_.end()) return -ENOENT;
  if (it->second->directory) return -EISDIR;
  changing_call();
  names_.erase(it);
  return 0;
}

int PowerLossFileSystem::mkdir(const char* path_text, int) {
  const std::string path(path_text);
  if (names_.contains(path)) return -EEXIST;
  auto parent = names_.find(parent_of(path));
  if (parent == names_.end() || !parent->second->directory) return -ENOENT;
  changing_call();
  auto node = std::make_shared<Node>();
  node->directory = true;
  names_[path] = node;
  return 0;
}

int PowerLossFileSystem::rmdir(const char* path_text) {
  const std::string path(path_text);
  auto it = names_.find(path);
  if (it == names_.end()) return -ENOENT;
  if (!it->second->directory) return -ENOTDIR;
  for (const auto& [name, node] : names_) {
    if (name != path && parent_of(name) == path) return -ENOTEMPTY;
  }
  changing_call();
  names_.erase(it);
  return 0;
}

int PowerLossFileSystem::list_directory(const char* path_text,
                                        const std::function<bool(std::string_view name)>& entry) {
  const std::string dir(path_text);
  auto it = names_.find(dir);
  if (it == names_.end()) return -ENOENT;
  if (!it->second->directory) return -ENOTDIR;
  if (!entry(".") || !entry("..")) return 0;
  for (const auto& [path, node] : names_) {
    if (path == dir || parent_of(path) != dir) continue;
    if (!entry(std::string_view(path).substr(dir.size() + 1))) return 0;
  }
  return 0;
}

}  // namespace quillet::testing
