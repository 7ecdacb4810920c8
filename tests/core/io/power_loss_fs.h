// A file system in memory that can lose power. Each file keeps the bytes last
// synced apart from what was written since; a directory's entries (create,
// rename, unlink) last only once the directory is synced. At a power cut a
// file keeps its synced bytes plus a random prefix of the rest, sometimes
// followed by zero bytes or garbage in place of what was lost, as a real
// file system may leave them.
//
// The lock file lives in shared memory that no power cut concerns: any path
// named kLockFileName, and every descriptor of it, goes to the real file
// system (its directory is made there on first use).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "io/file_system.h"

namespace quillet::testing {

class PowerLossFileSystem : public FileSystem {
 public:
  // `root` (an absolute path) exists as a directory, durably.
  PowerLossFileSystem(std::string root, std::uint64_t seed);

  // The cut comes just before the `calls`-th call from now that changes
  // something (a write, truncate, sync, create, rename, unlink or mkdir);
  // the calls after it still work, on a machine that is already doomed.
  void cut_after(std::uint64_t calls) { calls_left_ = calls; }
  bool cut_happened() const { return crash_ != nullptr; }
  // Power comes back: every file and directory is what the cut left, all of
  // it durable. REQUIRES: a cut happened, and no descriptor of this file
  // system is open.
  void restart();
  // What `path` holds now, or nullopt (tests look at the logs).
  const std::string* content(const std::string& path) const;

  int open(const char* path, int flags, int mode) override;
  int close(int fd) override;
  ssize_t pread(int fd, char* buf, std::size_t size, std::uint64_t offset) override;
  ssize_t writev(int fd, const struct iovec* iov, int iovcnt) override;
  ssize_t pwritev(int fd, const struct iovec* iov, int iovcnt, std::uint64_t offset) override;
  int ftruncate(int fd, std::uint64_t size) override;
  int fsync(int fd) override;
  int fdatasync(int fd) override { return fsync(fd); }
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

 private:
  struct Node {
    bool directory = false;
    std::string data;    // as written
    std::string synced;  // as on stable storage
  };
  using Names = std::map<std::string, std::shared_ptr<Node>>;
  struct Open {
    std::shared_ptr<Node> node;
    std::string path;
    int flags = 0;
    std::uint64_t position = 0;
  };

  // Counts a changing call; takes the crash image when it is the armed one.
  void changing_call();
  // What a cut leaves of one file.
  std::string after_cut(const Node& node);
  Open* find(int fd);
  ssize_t write_at(Open& file, const struct iovec* iov, int iovcnt, std::uint64_t offset);

  PosixFileSystem real_;
  std::string root_;
  std::mt19937_64 rng_;
  Names names_;    // what the directories list now
  Names durable_;  // what they list on stable storage
  std::unique_ptr<Names> crash_;
  std::map<int, Open> open_;
  int next_fd_ = 1 << 20;  // far above any real descriptor
  std::uint64_t calls_left_ = 0;
};

}  // namespace quillet::testing
