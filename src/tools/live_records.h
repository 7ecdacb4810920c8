// The live records of a collection file: the latest record of each key that
// is not deleted, found by framing every record as the store does at open,
// and checks of the encoded values they hold.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "format/codec.h"
#include "format/salvage.h"
#include "store/collection.h"
#include "tools/listing.h"
#include "tools/problems.h"
#include "tools/progress.h"
#include "tools/scan.h"

namespace quillet {

// The stretches of a file a pass reads: [first, second) each, in order.
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// [0, size) without the damaged stretches.
Ranges kept_ranges(std::span<const records::Damage> damage, std::uint64_t size);

// The live keys of a collection file, each with the offset of its latest
// record.
struct LiveRecords {
  KeyTable latest;
  ScanEnd end;  // of the last stretch read
  Ranges ranges;
  std::uint64_t records = 0;
};

enum class Inspect : std::uint8_t {
  KeysOnly,  // report keys that are not UTF-8
  Values,    // and every value that does not decode to exactly its bytes
};

// Indexes every whole record of `file`, or of the stretches between the
// `skip` ones (format/salvage.h). A key that is not UTF-8 can never be live
// (the store refuses the whole file): such records are reported to
// `problems` and left out of the index. `meter` may be null.
std::expected<LiveRecords, Error> index_live_records(const OpenFile& file, Inspect inspect, ProblemList& problems,
                                                         ProgressMeter* meter,
                                                         std::span<const records::Damage> skip = {});

// A damaged stretch a tool carried on past.
struct Skipped {
  std::string file;  // relative to the database directory
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// The damaged stretches of a collection file (format/salvage.h) a tool that
// reads records leaves out. An incomplete last record is left out silently,
// as the store does; any other stretch fails with "<file> at offset N: <what
// is wrong> (N damaged bytes); <tool> --skip-damaged carries on past them ..." unless
// `skip`, when it is added to `skipped`.
std::expected<std::vector<records::Damage>, Error> damage_to_skip(const OpenFile& file, std::string_view tool,
                                                                      bool skip, std::vector<Skipped>& skipped);

// Calls `on_live` with the latest record of each live key, in file order,
// stopping at the first error it returns.
Step for_each_live_record(const OpenFile& file, LiveRecords& live, const DataRecordFn& on_live, ProgressMeter* meter);


}  // namespace quillet
