#include "io/mapped_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include "io/file_system.h"

namespace quillet {
namespace {

// The mapping reaches this far past the file's end, so that a log that grows
// is mapped again only now and then; untouched address space costs nothing.
constexpr std::uint64_t kGrowthRoom = 64ull << 20;

std::uint64_t page_rounded(std::uint64_t size) {
  const auto page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

}  // namespace

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    clear();
    base_ = other.base_;
    mapped_ = other.mapped_;
    seen_size_ = other.seen_size_;
    unavailable_ = other.unavailable_;
    other.base_ = nullptr;
    other.mapped_ = 0;
    other.seen_size_ = 0;
  }
  return *this;
}

void MappedFile::clear() {
  if (base_ != nullptr) file_system().unmap(base_, mapped_);
  base_ = nullptr;
  mapped_ = 0;
  seen_size_ = 0;
  unavailable_ = false;
}

const char* MappedFile::reach_slow(int fd, std::uint64_t offset, std::uint64_t length) {
  if (unavailable_ || length > UINT64_MAX - offset) return nullptr;
  struct stat st;
  if (file_system().fstat(fd, &st) < 0) return nullptr;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (size < offset + length) return nullptr;
  if (size > mapped_) {
    // Larger than any address space a process has: leave it to pread.
    const std::uint64_t want = page_rounded(size + size / 4 + kGrowthRoom);
    if (want > (std::uint64_t{1} << 46)) return nullptr;
    const char* fresh = file_system().map(fd, static_cast<std::size_t>(want));
    if (fresh == nullptr) {
      unavailable_ = true;
      return nullptr;
    }
    if (base_ != nullptr) file_system().unmap(base_, mapped_);
    base_ = fresh;
    mapped_ = static_cast<std::size_t>(want);
  }
  seen_size_ = size;
  return base_ + offset;
}

}  // namespace quillet
