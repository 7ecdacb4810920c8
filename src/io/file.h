// File helpers shared by the collection store, the backlink index and the
// tools: an owning descriptor, OS error texts, exact reads and whole writes,
// truncation, syncs, renames, directories, and the advisory lock that guards
// cutting a torn tail. Every call goes through file_system() (io/file_system.h);
// EINTR is retried here, above the seam, and nowhere else.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <sys/uio.h>

#include "error.h"

namespace quillet {

inline constexpr std::string_view kFillWholeBuffer = "failed to fill whole buffer";
inline constexpr std::string_view kWriteWholeBuffer = "failed to write whole buffer";
inline constexpr std::string_view kWriteBufferedData = "failed to write the buffered data";
inline constexpr std::string_view kNulInName = "file name contained an unexpected NUL byte";

// How a store opens its files. ReadOnly never creates, cuts or writes a file
// (a missing file reads as empty), so the inspection tools can look at a
// database that is in use, or damaged, without changing it.
enum class OpenMode : std::uint8_t { ReadWrite, ReadOnly };

// Owns one file descriptor; closes it on destruction.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset();

 private:
  int fd_ = -1;
};

// open(2) with EINTR retried and O_CLOEXEC added; refuses a path holding NUL.
std::expected<Fd, Error> open_file(const std::string& path, int flags, int mode = 0666);

// open_file for a store's own files: refuses anything that is not a regular
// file without ever blocking on it (a FIFO is opened non-blocking, then the
// flag goes, so no file system can answer a read or write with EAGAIN). A
// read-only descriptor asks not to update the access time where allowed.
std::expected<Fd, Error> open_regular_file(const std::string& path, int flags);

// Refuses anything that is not a regular file (a FIFO, a device, a directory),
// so that opening never blocks or reads from a stream.
std::expected<void, Error> require_regular_file(int fd);

std::expected<std::uint64_t, Error> file_size(int fd);
// Which file `fd` is (device and inode), and its size.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
};
std::expected<FileIdentity, Error> file_identity(int fd);

// Reads up to `size` bytes at `offset`; returns how many were read (fewer only
// at end of file). EINTR is retried.
std::expected<std::size_t, Error> pread_some(int fd, char* buf, std::size_t size, std::uint64_t offset);

// Reads exactly `size` bytes at `offset`, or fails with "failed to fill whole
// buffer" at end of file.
std::expected<void, Error> pread_exact(int fd, char* buf, std::size_t size, std::uint64_t offset);

// Writes all of `iov` with as few calls as the OS allows, finishing short
// writes and retrying EINTR. A call that takes no bytes fails with
// `zero_write_text`. On failure `*written` holds how many bytes did go out.
std::expected<void, Error> write_all(int fd, struct iovec* iov, int iovcnt, std::string_view zero_write_text,
                                       std::uint64_t* written);
std::expected<void, Error> write_all(int fd, std::string_view data, std::string_view zero_write_text);
// The same at `offset` (pwritev): the file position and O_APPEND play no part.
std::expected<void, Error> write_all_at(int fd, struct iovec* iov, int iovcnt, std::uint64_t offset,
                                        std::string_view zero_write_text, std::uint64_t* written);

// Advisory whole-file lock (flock). A file is cut back only while its lock is
// held exclusively, which proves that no other open database is in the middle
// of appending to it.
// Tries LOCK_EX|LOCK_NB: true when obtained.
bool try_lock_exclusive(int fd);
// Takes LOCK_SH (blocking only against a holder of LOCK_EX, which never waits).
void lock_shared(int fd);


// ftruncate(2), EINTR retried.
std::expected<void, Error> truncate_file(int fd, std::uint64_t size);
// fsync(2) and fdatasync(2), EINTR retried.
std::expected<void, Error> sync_file(int fd);
std::expected<void, Error> sync_data(int fd);
// Syncs the directory itself, so that a rename or a new name in it lasts.
std::expected<void, Error> fsync_directory(const std::string& path);
std::expected<void, Error> rename_file(const std::string& from, const std::string& to);
std::expected<void, Error> remove_file(const std::string& path);
// What stat(2) tells of `path` (following links), or the OS error: ENOENT
// when nothing is there.
struct PathInfo {
  bool directory = false;
  std::uint64_t size = 0;
};
std::expected<PathInfo, Error> path_info(const std::string& path);
// True when `path` names a directory (following links).
bool is_directory(const std::string& path);
bool path_is_present(const std::string& path);
// mkdir(2) of one directory with permission bits 0777 (the umask applies);
// an existing one fails with EEXIST.
std::expected<void, Error> make_directory(const std::string& path);
// rmdir(2): removes an empty directory.
std::expected<void, Error> remove_directory(const std::string& path);
// mkdir -p with permission bits 0777 (the umask applies). An existing
// directory is accepted; an existing file is not (EEXIST).
std::expected<void, Error> make_directories(const std::string& path);
// Calls `entry` with every name in the directory ("." and ".." included), in
// the order the system lists them, until it returns false.
std::expected<void, Error> list_directory(const std::string& path,
                                            const std::function<bool(std::string_view name)>& entry);

// dir joined with name, as a path join does: an absolute name replaces dir.
std::string join_path(std::string_view dir, std::string_view name);

}  // namespace quillet
