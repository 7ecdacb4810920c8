// The live records of a collection file: the latest record of each key that
// is not deleted, found by framing every record as the store does at open,
// and checks of the encoded values they hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "format/codec.h"
#include "store/collection.h"
#include "tools/listing.h"
#include "tools/problems.h"
#include "tools/progress.h"
#include "tools/scan.h"

namespace quillet {

// The live keys of a collection file, each with the offset of its latest
// record.
struct LiveRecords {
  KeyTable latest;
  ScanEnd end;
  std::uint64_t records = 0;
};

enum class Inspect : std::uint8_t {
  KeysOnly,  // report keys that are not UTF-8
  Values,    // and every value that does not decode to exactly its bytes
};

// Indexes every whole record of `file`. A key that is not UTF-8 can never be
// live (the store refuses the whole file): such records are reported to
// `problems` and left out of the index. `meter` may be null.
std::expected<LiveRecords, Error> index_live_records(const OpenFile& file, Inspect inspect, ProblemList& problems,
                                                         ProgressMeter* meter);

// Calls `on_live` with the latest record of each live key, in file order,
// stopping at the first error it returns.
Step for_each_live_record(const OpenFile& file, LiveRecords& live, const DataRecordFn& on_live, ProgressMeter* meter);


}  // namespace quillet
