#include "io/file.h"

#include <cerrno>
#include <cstring>
#include <climits>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quillet {

IoError IoError::from_errno(int err) {
  char buf[256];
  // The GNU strerror_r returns a pointer that may or may not be `buf`.
  const char* text = strerror_r(err, buf, sizeof buf);
  return IoError{err, std::string(text) + " (os error " + std::to_string(err) + ")"};
}

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
    ::close(fd_);
    fd_ = -1;
  }
}

std::expected<Fd, IoError> open_file(const std::string& path, int flags, int mode) {
  if (path.find('\0') != std::string::npos) return std::unexpected(IoError::custom(std::string(kNulInName)));
  for (;;) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
    if (fd >= 0) return Fd(fd);
    if (errno != EINTR) return std::unexpected(IoError::from_errno(errno));
  }
}

std::expected<void, IoError> require_regular_file(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::unexpected(IoError::from_errno(errno));
  if (S_ISREG(st.st_mode)) return {};
  const char* what = S_ISDIR(st.st_mode)    ? "a directory"
                     : S_ISFIFO(st.st_mode) ? "a FIFO"
                     : S_ISSOCK(st.st_mode) ? "a socket"
                     : S_ISCHR(st.st_mode)  ? "a character device"
                     : S_ISBLK(st.st_mode)  ? "a block device"
                                            : "not a regular file";
  return std::unexpected(IoError::custom(std::string("not a regular file (the path names ") + what + ")"));
}

std::expected<std::uint64_t, IoError> file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::uint64_t>(st.st_size);
}

std::expected<std::size_t, IoError> pread_some(int fd, char* buf, std::size_t size, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, buf + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(IoError::from_errno(errno));
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::expected<void, IoError> pread_exact(int fd, char* buf, std::size_t size, std::uint64_t offset) {
  auto got = pread_some(fd, buf, size, offset);
  if (!got) return std::unexpected(got.error());
  if (*got < size) return std::unexpected(IoError::custom(std::string(kFillWholeBuffer)));
  return {};
}

std::expected<void, IoError> write_all(int fd, struct iovec* iov, int iovcnt, std::string_view zero_write_text,
                                       std::uint64_t* written) {
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
    ssize_t n = ::writev(fd, iov, iovcnt > IOV_MAX ? IOV_MAX : iovcnt);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      report();
      return std::unexpected(IoError::from_errno(err));
    }
    if (n == 0) {
      report();
      return std::unexpected(IoError::custom(std::string(zero_write_text)));
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

std::expected<void, IoError> write_all(int fd, std::string_view data, std::string_view zero_write_text) {
  struct iovec iov{const_cast<char*>(data.data()), data.size()};
  return write_all(fd, &iov, 1, zero_write_text, nullptr);
}

bool try_lock_exclusive(int fd) {
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EINTR) return false;
  }
}

void lock_shared(int fd) {
  while (::flock(fd, LOCK_SH) != 0 && errno == EINTR) {
  }
}

bool truncate_if_exclusive(int fd, std::uint64_t size) {
  if (!try_lock_exclusive(fd)) {
    // On Linux a failed conversion may have dropped the shared lock.
    lock_shared(fd);
    return false;
  }
  bool ok = false;
  auto current = file_size(fd);
  if (current && *current >= size) {
    int rc;
    do {
      rc = ::ftruncate(fd, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    ok = rc == 0;
  }
  lock_shared(fd);
  return ok;
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
