#include "io/file.h"

#include "io/file_system.h"

#include <cerrno>
#include <optional>
#include <cstring>
#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <vector>

namespace quillet {

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

void Fd::reset() {
  if (fd_ >= 0) {
    // close() must not be retried on EINTR on Linux: the descriptor is gone.
    (void)file_system().close(fd_);
    fd_ = -1;
  }
}

namespace {

Error os_error(long negative_errno) { return Error::from_errno(static_cast<int>(-negative_errno)); }

// Calls `call` until it is not interrupted by a signal; its result, or the
// error. Every retry of EINTR in the core is this one.
template <class Call>
auto retrying(Call&& call) {
  for (;;) {
    auto rc = call();
    if (rc != -EINTR) return rc;
  }
}

std::expected<void, Error> status(long rc) {
  if (rc < 0) return std::unexpected(os_error(rc));
  return {};
}

}  // namespace

std::expected<Fd, Error> open_file(const std::string& path, int flags, int mode) {
  if (path.find('\0') != std::string::npos) return std::unexpected(Error::invalid_argument(std::string(kNulInName)));
  const int fd = retrying([&] { return file_system().open(path.c_str(), flags | O_CLOEXEC, mode); });
  if (fd < 0) return std::unexpected(os_error(fd));
  return Fd(fd);
}

std::expected<Fd, Error> open_regular_file(const std::string& path, int flags) {
  auto fd = open_file(path, flags | O_NONBLOCK, 0666);
  if (!fd) return fd;
  if (auto regular = require_regular_file(fd->get()); !regular) return std::unexpected(regular.error());
  FileSystem& fs = file_system();
  const int flags_now = fs.get_status_flags(fd->get());
  if (flags_now < 0) return std::unexpected(os_error(flags_now));
  if (int rc = fs.set_status_flags(fd->get(), flags_now & ~O_NONBLOCK); rc < 0) {
    return std::unexpected(os_error(rc));
  }
  // Reads need not update the access time: it spares every get a look at
  // the clock. Only the file's owner may ask, so a refusal is ignored.
  if ((flags & O_ACCMODE) == O_RDONLY) (void)fs.set_status_flags(fd->get(), (flags_now & ~O_NONBLOCK) | O_NOATIME);
  return fd;
}

std::expected<void, Error> require_regular_file(int fd) {
  struct stat st;
  if (int rc = file_system().fstat(fd, &st); rc < 0) return std::unexpected(os_error(rc));
  if (S_ISREG(st.st_mode)) return {};
  const char* what = S_ISDIR(st.st_mode)    ? "a directory"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                                            : "not a regular file";
  return std::unexpected(Error::io(std::string("not a regular file (the path names ") + what + ")"));
}

std::expected<std::uint64_t, Error> file_size(int fd) {
  struct stat st;
  if (int rc = file_system().fstat(fd, &st); rc < 0) return std::unexpected(os_error(rc));
  return static_cast<std::uint64_t>(st.st_size);
}

std::expected<FileIdentity, Error> file_identity(int fd) {
  struct stat st;
  if (int rc = file_system().fstat(fd, &st); rc < 0) return std::unexpected(os_error(rc));
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                      static_cast<std::uint64_t>(st.st_size)};
}

std::expected<std::size_t, Error> pread_some(int fd, char* buf, std::size_t size, std::uint64_t offset) {
  FileSystem& fs = file_system();
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = retrying([&] { return fs.pread(fd, buf + done, size - done, offset + done); });
    if (n < 0) return std::unexpected(os_error(n));
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::expected<void, Error> pread_exact(int fd, char* buf, std::size_t size, std::uint64_t offset) {
  auto got = pread_some(fd, buf, size, offset);
  if (!got) return std::unexpected(got.error());
  if (*got < size) return std::unexpected(Error::corruption(std::string(kFillWholeBuffer)));
  return {};
}

namespace {

// Both writers: at the file position (and so at the end under O_APPEND) when
// `at` is empty, else from offset *at on.
std::expected<void, Error> write_iov(int fd, struct iovec* iov, int iovcnt, std::optional<std::uint64_t> at,
                                     std::string_view zero_write_text, std::uint64_t* written) {
  FileSystem& fs = file_system();
  std::uint64_t total = 0;
  auto report = [&] {
    if (written) *written = total;
  };
  while (iovcnt > 0) {
    if (iov->iov_len == 0) {
      ++iov;
      --iovcnt;
      continue;
    }
    const int count = iovcnt > IOV_MAX ? IOV_MAX : iovcnt;
    const ssize_t n = retrying([&] {
      return at ? fs.pwritev(fd, iov, count, *at + total) : fs.writev(fd, iov, count);
    });
    if (n < 0) {
      report();
      return std::unexpected(os_error(n));
    }
    if (n == 0) {
      report();
      return std::unexpected(Error::io(std::string(zero_write_text)));
    }
    total += static_cast<std::uint64_t>(n);
    auto left = static_cast<std::size_t>(n);
    while (iovcnt > 0 && left >= iov->iov_len) {
      left -= iov->iov_len;
      ++iov;
      --iovcnt;
    }
    if (iovcnt > 0 && left > 0) {
      iov->iov_base = static_cast<char*>(iov->iov_base) + left;
      iov->iov_len -= left;
    }
  }
  report();
  return {};
}

}  // namespace

std::expected<void, Error> write_all(int fd, struct iovec* iov, int iovcnt, std::string_view zero_write_text,
                                     std::uint64_t* written) {
  return write_iov(fd, iov, iovcnt, std::nullopt, zero_write_text, written);
}

std::expected<void, Error> write_all_at(int fd, struct iovec* iov, int iovcnt, std::uint64_t offset,
                                        std::string_view zero_write_text, std::uint64_t* written) {
  return write_iov(fd, iov, iovcnt, offset, zero_write_text, written);
}

std::expected<void, Error> write_all(int fd, std::string_view data, std::string_view zero_write_text) {
  struct iovec iov{const_cast<char*>(data.data()), data.size()};
  return write_all(fd, &iov, 1, zero_write_text, nullptr);
}

bool try_lock_exclusive(int fd) {
  return retrying([&] { return file_system().flock(fd, LOCK_EX | LOCK_NB); }) == 0;
}

void lock_shared(int fd) { (void)retrying([&] { return file_system().flock(fd, LOCK_SH); }); }

std::expected<void, Error> truncate_file(int fd, std::uint64_t size) {
  return status(retrying([&] { return file_system().ftruncate(fd, size); }));
}

std::expected<void, Error> sync_file(int fd) {
  return status(retrying([&] { return file_system().fsync(fd); }));
}

std::expected<void, Error> sync_data(int fd) {
  return status(retrying([&] { return file_system().fdatasync(fd); }));
}

std::expected<void, Error> fsync_directory(const std::string& path) {
  auto fd = open_file(path, O_RDONLY | O_DIRECTORY);
  if (!fd) return std::unexpected(fd.error());
  return sync_file(fd->get());
}

std::expected<void, Error> rename_file(const std::string& from, const std::string& to) {
  return status(file_system().rename(from.c_str(), to.c_str()));
}

std::expected<void, Error> remove_file(const std::string& path) {
  return status(file_system().unlink(path.c_str()));
}

std::expected<PathInfo, Error> path_info(const std::string& path) {
  struct stat st;
  if (int rc = file_system().stat(path.c_str(), &st); rc < 0) return std::unexpected(os_error(rc));
  return PathInfo{S_ISDIR(st.st_mode), static_cast<std::uint64_t>(st.st_size)};
}

bool is_directory(const std::string& path) {
  auto info = path_info(path);
  return info && info->directory;
}

bool path_is_present(const std::string& path) { return path_info(path).has_value(); }

std::expected<void, Error> make_directory(const std::string& path) {
  return status(file_system().mkdir(path.c_str(), 0777));
}

std::expected<void, Error> remove_directory(const std::string& path) {
  return status(file_system().rmdir(path.c_str()));
}

namespace {

// `path` without its last component ("a/b/c" -> "a/b"); empty when there is
// no parent to create.
std::string parent_of(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace

std::expected<void, Error> make_directories(const std::string& path) {
  FileSystem& fs = file_system();
  // Walk up to the deepest ancestor that exists, then create downwards.
  std::vector<std::string> missing;
  std::string current = path;
  for (;;) {
    const int rc = fs.mkdir(current.c_str(), 0777);
    if (rc == 0) break;
    if (rc == -EEXIST) {
      if (!is_directory(current)) return std::unexpected(Error::from_errno(EEXIST));
      break;
    }
    std::string parent = rc == -ENOENT ? parent_of(current) : std::string();
    if (parent.empty() || parent == current) return std::unexpected(os_error(rc));
    missing.push_back(std::move(current));
    current = std::move(parent);
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    // Another process may create the same directory meanwhile.
    const int rc = fs.mkdir(it->c_str(), 0777);
    if (rc != 0 && !(rc == -EEXIST && is_directory(*it))) return std::unexpected(os_error(rc));
  }
  return {};
}

std::expected<void, Error> list_directory(const std::string& path,
                                            const std::function<bool(std::string_view name)>& entry) {
  return status(file_system().list_directory(path.c_str(), entry));
}

std::string join_path(std::string_view dir, std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::string(name);
  if (dir.empty()) return std::string(name);
  std::string out(dir);
  if (out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

}  // namespace quillet
