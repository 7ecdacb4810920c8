#include "tools/scan.h"

#include <fcntl.h>
#include <optional>

namespace quillet {

namespace {

// Runs one of the record reader's scans over [0, end) with `on_record`
// adapted: a Step error stops the scan and becomes the result, and the bytes
// passed are metered after each record.
template <class Record, class Scan>
std::expected<ScanEnd, Error> scan_file(int fd, std::uint64_t from, std::uint64_t end, std::string_view label,
                                            ProgressMeter* meter,
                                            const std::function<Step(const Record&)>& on_record, Scan scan) {
  records::BlockReader file(fd);
  ScanProgress progress(meter, from);
  std::optional<Error> failed;
  auto step = [&](const Record& r) {
    Step done = on_record(r);
    if (done) done = progress.at(r.offset + r.bytes.size());
    if (!done) failed = std::move(done.error());
    return !failed;
  };
  auto scanned = scan(file, from, end, step);
  if (!scanned) return std::unexpected(scanned.error().in_context(label));
  if (failed) return std::unexpected(std::move(*failed));
  if (auto reported = progress.done_to(end); !reported) return std::unexpected(reported.error());
  return *scanned;
}

}  // namespace

std::expected<Fd, Error> open_for_scan(const std::string& path) {
  // O_NONBLOCK keeps a FIFO from blocking the open; a regular file ignores it.
  auto fd = open_file(path, O_RDONLY | O_NONBLOCK);
  if (!fd) return fd;
  if (auto regular = require_regular_file(fd->get()); !regular) return std::unexpected(regular.error());
  lock_shared(fd->get());
  return fd;
}

std::expected<ScanEnd, Error> scan_data_records(int fd, std::uint64_t end, std::string_view label,
                                                    const DataRecordFn& on_record, ProgressMeter* meter) {
  return scan_data_range(fd, 0, end, label, on_record, meter);
}

std::expected<ScanEnd, Error> scan_data_range(int fd, std::uint64_t from, std::uint64_t end, std::string_view label,
                                                  const DataRecordFn& on_record, ProgressMeter* meter) {
  return scan_file(fd, from, end, label, meter, on_record, [](auto& file, std::uint64_t from, std::uint64_t to, auto& step) {
    return records::scan_data_records(file, from, to, step);
  });
}

std::expected<ScanEnd, Error> scan_link_records(int fd, std::uint64_t end, std::string_view label,
                                                    const LinkRecordFn& on_record, ProgressMeter* meter) {
  return scan_file(fd, 0, end, label, meter, on_record, [](auto& file, std::uint64_t from, std::uint64_t to, auto& step) {
    return records::scan_link_records(file, from, to, step);
  });
}

}  // namespace quillet
