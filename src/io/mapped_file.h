// Reads a growing log's whole records in place, through a read-only shared
// mapping, instead of one pread per read.
//
// Only bytes this store never cuts are read this way: records that were
// whole when indexed. A torn-tail cut and the undo of a failed append remove
// only bytes no index holds, and compaction replaces a file by renaming it,
// so a mapping of the old file stays valid. Bytes past the file size last
// seen are trusted only after another look at the size; a file found shorter
// than the bytes asked for (cut by some other program) is left to the plain
// read path, which reports it instead of faulting.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillet {

class MappedFile {
 public:
  MappedFile() = default;
  ~MappedFile() { clear(); }
  MappedFile(MappedFile&& other) noexcept { *this = static_cast<MappedFile&&>(other); }
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // The bytes [offset, offset + length) of the file `fd` refers to, in
  // place, or null when they are to be read with pread (no mapping offered,
  // or the file is shorter). Valid until the next call on this object.
  // REQUIRES: the same file at every call until clear().
  const char* reach(int fd, std::uint64_t offset, std::uint64_t length) {
    if (offset + length <= seen_size_) return base_ + offset;
    return reach_slow(fd, offset, length);
  }

  // Forgets the mapping (the descriptor now refers to another file).
  void clear();

 private:
  const char* reach_slow(int fd, std::uint64_t offset, std::uint64_t length);

  const char* base_ = nullptr;
  std::size_t mapped_ = 0;        // length of the mapping, past the file's end
  std::uint64_t seen_size_ = 0;   // the file held this much at the last look
  bool unavailable_ = false;      // the file system offers no mapping
};

}  // namespace quillet
