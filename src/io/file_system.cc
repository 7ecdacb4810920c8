#include "io/file_system.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

namespace quillet {

namespace {

// The system call's result, or -errno when it failed.
template <class T>
T result_of(T rc) {
  return rc < 0 ? static_cast<T>(-errno) : rc;
}

PosixFileSystem& posix() {
  static PosixFileSystem fs;
  return fs;
}

FileSystem* current = nullptr;

}  // namespace

int PosixFileSystem::open(const char* path, int flags, int mode) { return result_of(::open(path, flags, mode)); }
int PosixFileSystem::close(int fd) { return result_of(::close(fd)); }
ssize_t PosixFileSystem::pread(int fd, char* buf, std::size_t size, std::uint64_t offset) {
  return result_of(::pread(fd, buf, size, static_cast<off_t>(offset)));
}
// One piece goes through write/pwrite: the kernel then copies no iovec array
// in, which is a noticeable share of a small record's append.
ssize_t PosixFileSystem::writev(int fd, const struct iovec* iov, int iovcnt) {
  if (iovcnt == 1) return result_of(::write(fd, iov->iov_base, iov->iov_len));
  return result_of(::writev(fd, iov, iovcnt));
}
ssize_t PosixFileSystem::pwritev(int fd, const struct iovec* iov, int iovcnt, std::uint64_t offset) {
  if (iovcnt == 1) return result_of(::pwrite(fd, iov->iov_base, iov->iov_len, static_cast<off_t>(offset)));
  return result_of(::pwritev(fd, iov, iovcnt, static_cast<off_t>(offset)));
}
int PosixFileSystem::ftruncate(int fd, std::uint64_t size) {
  return result_of(::ftruncate(fd, static_cast<off_t>(size)));
}
int PosixFileSystem::fsync(int fd) { return result_of(::fsync(fd)); }
int PosixFileSystem::fdatasync(int fd) { return result_of(::fdatasync(fd)); }
int PosixFileSystem::fstat(int fd, struct stat* st) { return result_of(::fstat(fd, st)); }
const char* PosixFileSystem::map(int fd, std::size_t length) {
  void* address = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  return address == MAP_FAILED ? nullptr : static_cast<const char*>(address);
}
void PosixFileSystem::unmap(const char* address, std::size_t length) {
  ::munmap(const_cast<char*>(address), length);
}
int PosixFileSystem::stat(const char* path, struct stat* st) { return result_of(::stat(path, st)); }
int PosixFileSystem::flock(int fd, int operation) { return result_of(::flock(fd, operation)); }
int PosixFileSystem::get_status_flags(int fd) { return result_of(::fcntl(fd, F_GETFL)); }
int PosixFileSystem::set_status_flags(int fd, int flags) { return result_of(::fcntl(fd, F_SETFL, flags)); }
int PosixFileSystem::rename(const char* from, const char* to) { return result_of(::rename(from, to)); }
int PosixFileSystem::unlink(const char* path) { return result_of(::unlink(path)); }
int PosixFileSystem::mkdir(const char* path, int mode) { return result_of(::mkdir(path, static_cast<mode_t>(mode))); }
int PosixFileSystem::rmdir(const char* path) { return result_of(::rmdir(path)); }

int PosixFileSystem::list_directory(const char* path, const std::function<bool(std::string_view name)>& entry) {
  struct Closer {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };
  std::unique_ptr<DIR, Closer> dir(::opendir(path));
  if (!dir) return -errno;
  for (;;) {
    errno = 0;
    const dirent* found = ::readdir(dir.get());
    if (found == nullptr) return -errno;
    if (!entry(found->d_name)) return 0;
  }
}

FileSystem& file_system() { return current != nullptr ? *current : posix(); }

ScopedFileSystem::ScopedFileSystem(FileSystem& replacement) : previous_(current) { current = &replacement; }
ScopedFileSystem::~ScopedFileSystem() { current = previous_; }

}  // namespace quillet
