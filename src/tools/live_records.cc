#include "tools/live_records.h"

#include <algorithm>
#include <vector>

#include "value/value.h"

namespace quillet {

std::expected<LiveRecords, Error> index_live_records(const OpenFile& file, Inspect inspect, ProblemList& problems,
                                                         ProgressMeter* meter) {
  LiveRecords live;
  auto scanned = scan_data_records(
      file.fd.get(), file.size, file.name,
      [&](const DataRecord& r) -> Step {
        ++live.records;
        if (!is_valid_utf8(r.key)) {
          problems.add(file.name, r.offset, "the key is not valid UTF-8");
          return {};
        }
        if (inspect == Inspect::Values) {
          if (std::string fault = value_fault(r.value); !fault.empty()) {
            problems.add(file.name, r.offset, "the value of key " + quote_text(r.key) + " is damaged: " + fault);
          }
        }
        const std::uint64_t hash = KeyTable::hash(r.key);
        if (is_tombstone_encoding(r.value)) {
          live.latest.erase(r.key, hash);
        } else if (auto [offset, added] = live.latest.insert(r.key, hash, r.offset); !added) {
          *offset = r.offset;
        }
        return {};
      },
      meter);
  if (!scanned) return std::unexpected(scanned.error());
  live.end = *scanned;
  return live;
}

Step for_each_live_record(const OpenFile& file, LiveRecords& live, const DataRecordFn& on_live, ProgressMeter* meter) {
  std::vector<std::uint64_t> offsets;
  offsets.reserve(live.latest.size());
  live.latest.for_each_number([&](std::uint64_t& offset) { offsets.push_back(offset); });
  std::ranges::sort(offsets);
  std::size_t next = 0;
  ScanProgress progress(meter);
  auto scanned = scan_data_records(
      file.fd.get(), live.end.complete_end, file.name,
      [&](const DataRecord& r) -> Step {
        if (next < offsets.size() && offsets[next] == r.offset) {
          ++next;
          if (auto done = on_live(r); !done) return done;
        }
        return progress.at(r.offset);
      },
      nullptr);
  if (!scanned) return std::unexpected(scanned.error());
  return progress.done_to(file.size);
}

}  // namespace quillet
