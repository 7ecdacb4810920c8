// The seam between the core and the operating system's file calls. Every file
// call of the core goes through the process-wide FileSystem, so that a test
// can put in its place one that fails chosen calls or forgets writes that were
// never synced. The calls keep POSIX meaning, but report failure as a negative
// errno instead of -1 with errno set; retrying EINTR, finishing short writes
// and wording errors is left to the helpers of io/file.h, above the seam.
//
// The seam sees every open, read, write, truncate, sync, rename and close
// per descriptor, which is what a model of lost unsynced writes needs. It is
// called once per system call (a block read, a write), never per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

namespace quillet {

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // A descriptor, or -errno. `path` is NUL-terminated.
  virtual int open(const char* path, int flags, int mode) = 0;
  virtual int close(int fd) = 0;
  // Bytes read or written, or -errno.
  virtual ssize_t pread(int fd, char* buf, std::size_t size, std::uint64_t offset) = 0;
  virtual ssize_t writev(int fd, const struct iovec* iov, int iovcnt) = 0;
  virtual ssize_t pwritev(int fd, const struct iovec* iov, int iovcnt, std::uint64_t offset) = 0;
  // 0, or -errno, as are the rest.
  virtual int ftruncate(int fd, std::uint64_t size) = 0;
  virtual int fsync(int fd) = 0;
  virtual int fdatasync(int fd) = 0;
  virtual int fstat(int fd, struct stat* st) = 0;
  virtual int stat(const char* path, struct stat* st) = 0;
  virtual int flock(int fd, int operation) = 0;
  // fcntl(F_GETFL) (the flags, or -errno) and fcntl(F_SETFL).
  virtual int get_status_flags(int fd) = 0;
  virtual int set_status_flags(int fd, int flags) = 0;
  virtual int rename(const char* from, const char* to) = 0;
  virtual int unlink(const char* path) = 0;
  virtual int mkdir(const char* path, int mode) = 0;
  virtual int rmdir(const char* path) = 0;
  // Calls `entry` with the name of every entry of the directory, "." and ".."
  // included, in the order the system lists them, until it returns false.
  virtual int list_directory(const char* path, const std::function<bool(std::string_view name)>& entry) = 0;
  // A read-only shared mapping of `length` bytes from the start of the file,
  // or null when the file system offers none: the caller then reads with
  // pread. A file system that keeps its files elsewhere (a test's model of
  // lost writes) offers none, so every read it sees goes through pread.
  virtual const char* map(int /*fd*/, std::size_t /*length*/) { return nullptr; }
  virtual void unmap(const char* /*address*/, std::size_t /*length*/) {}
};

// The operating system itself.
class PosixFileSystem : public FileSystem {
 public:
  int open(const char* path, int flags, int mode) override;
  int close(int fd) override;
  ssize_t pread(int fd, char* buf, std::size_t size, std::uint64_t offset) override;
  ssize_t writev(int fd, const struct iovec* iov, int iovcnt) override;
  ssize_t pwritev(int fd, const struct iovec* iov, int iovcnt, std::uint64_t offset) override;
  int ftruncate(int fd, std::uint64_t size) override;
  int fsync(int fd) override;
  int fdatasync(int fd) override;
  int fstat(int fd, struct stat* st) override;
  int stat(const char* path, struct stat* st) override;
  int flock(int fd, int operation) override;
  int get_status_flags(int fd) override;
  int set_status_flags(int fd, int flags) override;
  int rename(const char* from, const char* to) override;
  int unlink(const char* path) override;
  int mkdir(const char* path, int mode) override;
  int rmdir(const char* path) override;
  int list_directory(const char* path, const std::function<bool(std::string_view name)>& entry) override;
  const char* map(int fd, std::size_t length) override;
  void unmap(const char* address, std::size_t length) override;
};

// The file system every core file call uses: the POSIX one unless a
// ScopedFileSystem is alive.
FileSystem& file_system();

// Puts `replacement` in place of the file system for its lifetime (tests).
// REQUIRES: no other thread makes file calls meanwhile, and descriptors
// opened through one file system are used and closed through the same one.
class ScopedFileSystem {
 public:
  explicit ScopedFileSystem(FileSystem& replacement);
  ~ScopedFileSystem();
  ScopedFileSystem(const ScopedFileSystem&) = delete;
  ScopedFileSystem& operator=(const ScopedFileSystem&) = delete;

 private:
  FileSystem* previous_;
};

}  // namespace quillet
