// The tools' view of the record reader of format/records.h: a whole-file scan
// of either log format that hands each whole record to a callback returning a
// Step, words a failed read with the file's label, and meters the bytes it
// goes through. The framing itself is the store's, so a tool sees exactly the
// records (and the torn tail) that opening the file would.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "format/records.h"
#include "io/file.h"
#include "tools/common.h"
#include "tools/progress.h"

namespace quillet {

using records::DataRecord;
using records::LinkRecord;
using records::ScanEnd;

using DataRecordFn = std::function<Step(const DataRecord&)>;
using LinkRecordFn = std::function<Step(const LinkRecord&)>;

// Opens `path` for reading only (never creating it) and takes the shared
// lock, so that no database cuts the file while it is scanned. Refuses
// anything that is not a regular file.
std::expected<Fd, Error> open_for_scan(const std::string& path);

// Calls `on_record` for every whole record of [0, end) of the open file, in
// file order, stopping at the first error it returns. Whatever follows the
// last whole record is the torn tail (records.h). `label` names the file in
// errors. `meter` may be null. REQUIRES: `end` is at most the file's size.
std::expected<ScanEnd, Error> scan_data_records(int fd, std::uint64_t end, std::string_view label,
                                                    const DataRecordFn& on_record, ProgressMeter* meter = nullptr);
// The same over [from, end), metering from `from`.
std::expected<ScanEnd, Error> scan_data_range(int fd, std::uint64_t from, std::uint64_t end, std::string_view label,
                                                  const DataRecordFn& on_record, ProgressMeter* meter = nullptr);
std::expected<ScanEnd, Error> scan_link_records(int fd, std::uint64_t end, std::string_view label,
                                                    const LinkRecordFn& on_record, ProgressMeter* meter = nullptr);

}  // namespace quillet
