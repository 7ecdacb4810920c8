#include "tools/scan.h"

#include <algorithm>
#include <fcntl.h>

#include "format/codec.h"

namespace quillet {

namespace {

// The bytes of one file between offset 0 and `end`, read on demand in
// blocks, keeping what the current record still needs.
class Window {
 public:
  Window(int fd, std::uint64_t end) : fd_(fd), end_(end) {}

  // Makes [offset, offset + size) available; false when `end` comes first
  // (or the file turned out shorter). REQUIRES: offset <= end, and offsets
  // only grow from call to call.
  std::expected<bool, IoError> cover(std::uint64_t offset, std::uint64_t size) {
    if (size > end_ - offset) return false;
    if (offset >= start_ && offset + size <= start_ + buf_.size()) return true;
    if (offset >= start_ && offset < start_ + buf_.size()) {
      buf_.erase(0, static_cast<std::size_t>(offset - start_));
    } else {
      buf_.clear();
    }
    start_ = offset;
    // The size was checked against `end`, which lies within the file, so
    // no length read from the file can ask for more than the file holds.
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(size, kToolBlock), end_ - offset));
    const std::size_t kept = buf_.size();
    buf_.resize(want);
    auto got = pread_some(fd_, buf_.data() + kept, want - kept, start_ + kept);
    if (!got) return std::unexpected(got.error());
    buf_.resize(kept + *got);
    return buf_.size() >= size;
  }

  const char* at(std::uint64_t offset) const { return buf_.data() + (offset - start_); }

 private:
  int fd_;
  std::uint64_t end_;
  std::string buf_;
  std::uint64_t start_ = 0;
};

// The loop both scanners share. `read_record(window, pos, cover)` hands the
// record at `pos` on and returns its size, or 0 when what is left is an
// incomplete tail; `cover(size)` makes [pos, pos + size) readable and says
// whether the file holds that much. Every length is checked against what is
// left before it is trusted, so a record that runs past the end is the tail.
template <typename ReadRecord>
std::expected<ScanEnd, ToolError> scan_records(int fd, std::uint64_t end, std::string_view label,
                                               ProgressMeter* meter, ReadRecord read_record) {
  Window window(fd, end);
  ScanProgress progress(meter);
  std::uint64_t pos = 0;
  auto cover = [&](std::uint64_t size) -> std::expected<bool, ToolError> {
    auto covered = window.cover(pos, size);
    if (!covered) return std::unexpected(tool_io_failure(label, covered.error()));
    return *covered;
  };
  while (pos < end) {
    std::expected<std::uint64_t, ToolError> size = read_record(window, pos, cover);
    if (!size) return std::unexpected(size.error());
    if (*size == 0) break;
    pos += *size;
    if (auto reported = progress.at(pos); !reported) return std::unexpected(reported.error());
  }
  if (auto reported = progress.done_to(end); !reported) return std::unexpected(reported.error());
  return ScanEnd{pos, end};
}

// What a record reader returns when `cover` could not make its bytes
// readable: the error, or 0 (an incomplete tail) when the file ends first.
std::expected<std::uint64_t, ToolError> tail_or_error(const std::expected<bool, ToolError>& covered) {
  if (!covered) return std::unexpected(covered.error());
  return 0;
}

}  // namespace

std::expected<Fd, IoError> open_for_scan(const std::string& path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; a regular file ignores it.
  auto fd = open_file(path, O_RDONLY | O_NONBLOCK);
  if (!fd) return fd;
  if (auto regular = require_regular_file(fd->get()); !regular) return std::unexpected(regular.error());
  lock_shared(fd->get());
  return fd;
}

std::expected<ScanEnd, ToolError> scan_data_records(int fd, std::uint64_t end, std::string_view label,
                                                    const DataRecordFn& on_record, ProgressMeter* meter) {
  return scan_records(
      fd, end, label, meter,
      [&](const Window& window, std::uint64_t pos, auto& cover) -> std::expected<std::uint64_t, ToolError> {
        if (end - pos < 8) return 0;
        auto covered = cover(4);
        if (!covered || !*covered) return tail_or_error(covered);
        const std::uint64_t key_len = get_u32(window.at(pos));
        if (end - pos - 8 < key_len) return 0;
        covered = cover(8 + key_len);
        if (!covered || !*covered) return tail_or_error(covered);
        const std::uint64_t value_len = get_u32(window.at(pos + 4 + key_len));
        if (end - pos - 8 - key_len < value_len) return 0;
        const std::uint64_t size = 8 + key_len + value_len;
        covered = cover(size);
        if (!covered || !*covered) return tail_or_error(covered);
        const char* p = window.at(pos);
        const DataRecord record{pos, {p + 4, static_cast<std::size_t>(key_len)},
                                {p + 8 + key_len, static_cast<std::size_t>(value_len)},
                                {p, static_cast<std::size_t>(size)}};
        if (auto done = on_record(record); !done) return std::unexpected(done.error());
        return size;
      });
}

std::expected<ScanEnd, ToolError> scan_link_records(int fd, std::uint64_t end, std::string_view label,
                                                    const LinkRecordFn& on_record, ProgressMeter* meter) {
  return scan_records(
      fd, end, label, meter,
      [&](const Window& window, std::uint64_t pos, auto& cover) -> std::expected<std::uint64_t, ToolError> {
        // An operation byte, then four length-prefixed strings.
        std::uint64_t size = 1;
        std::uint64_t starts[4];
        std::uint64_t lengths[4];
        for (int i = 0; i < 4; ++i) {
          auto covered = cover(size + 4);
          if (!covered || !*covered) return tail_or_error(covered);
          lengths[i] = get_u32(window.at(pos + size));
          starts[i] = size + 4;
          size += 4 + lengths[i];
        }
        auto covered = cover(size);
        if (!covered || !*covered) return tail_or_error(covered);
        const std::string_view bytes(window.at(pos), static_cast<std::size_t>(size));
        auto field = [&](int i) { return bytes.substr(starts[i], lengths[i]); };
        const LinkRecord record{pos,      static_cast<std::uint8_t>(bytes[0]), field(0), field(1), field(2), field(3),
                                bytes.substr(1), bytes};
        if (auto done = on_record(record); !done) return std::unexpected(done.error());
        return size;
      });
}

}  // namespace quillet
