// Record-by-record scanners of the two log formats, framing records exactly
// as the store does when it opens a file. A record's views point into the
// scanner's buffer and are valid only during the callback that receives it.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "io/file.h"
#include "tools/common.h"
#include "tools/progress.h"

namespace quillet {

// One whole record of a collection file, as it lies in the file.
struct DataRecord {
  std::uint64_t offset = 0;
  std::string_view key;
  std::string_view value;  // the encoded value: V bytes, possibly none
  std::string_view bytes;  // the whole record, header included
};

// One whole record of a backlink file.
struct LinkRecord {
  std::uint64_t offset = 0;
  std::uint8_t op = 0;
  std::string_view target_key;
  std::string_view source_collection;
  std::string_view source_key;
  std::string_view source_path;
  std::string_view body;   // the four length-prefixed strings, as in the file
  std::string_view bytes;  // the whole record, operation byte included
};

// Where a scan stopped: whole records end at `complete_end`, and the bytes
// from there to `end` are an incomplete last record.
struct ScanEnd {
  std::uint64_t complete_end = 0;
  std::uint64_t end = 0;
  std::uint64_t tail_bytes() const { return end - complete_end; }
};

using DataRecordFn = std::function<Step(const DataRecord&)>;
using LinkRecordFn = std::function<Step(const LinkRecord&)>;

// Opens `path` for reading only (never creating it) and takes the shared
// lock, so that no database cuts the file while it is scanned. Refuses
// anything that is not a regular file.
std::expected<Fd, IoError> open_for_scan(const std::string& path);

// Calls `on_record` for every whole record of [0, end) of the open file, in
// file order, stopping at the first error it returns. A record is whole when
// its declared lengths fit in what is left before `end`, exactly as the store
// frames it when it opens the file; whatever follows the last whole record is
// the incomplete tail. `label` names the file in errors. `meter` may be null.
std::expected<ScanEnd, ToolError> scan_data_records(int fd, std::uint64_t end, std::string_view label,
                                                    const DataRecordFn& on_record, ProgressMeter* meter = nullptr);
std::expected<ScanEnd, ToolError> scan_link_records(int fd, std::uint64_t end, std::string_view label,
                                                    const LinkRecordFn& on_record, ProgressMeter* meter = nullptr);

}  // namespace quillet
