#include "tools/live_records.h"

#include <algorithm>
#include <vector>

#include "value/value.h"

namespace quillet {

namespace {


// Accepts every part of a value: walking with it checks exactly what
// decoding checks, without building the value.
class AcceptAll : public ValueVisitor {
 public:
  bool null() override { return true; }
  bool tombstone() override { return true; }
  bool boolean(bool) override { return true; }
  bool integer(std::int64_t) override { return true; }
  bool floating(double) override { return true; }
  bool text(std::string_view) override { return true; }
  bool blob(std::string_view) override { return true; }
  bool date(std::uint32_t) override { return true; }
  bool time(std::uint32_t) override { return true; }
  bool datetime(std::uint64_t) override { return true; }
  bool begin_array(std::uint32_t) override { return true; }
  bool begin_map(std::uint32_t) override { return true; }
  bool begin_link(std::string_view, std::uint32_t) override { return true; }
  bool key(std::string_view) override { return true; }
  bool end() override { return true; }
};

}  // namespace

std::expected<std::size_t, Error> encoded_value_end(std::string_view encoded) {
  std::size_t position = 0;
  AcceptAll accept;
  auto walked = walk(encoded, position, accept);
  if (!walked) return std::unexpected(walked.error());
  return position;
}

std::string value_fault(std::string_view encoded) {
  auto end = encoded_value_end(encoded);
  if (!end) return end.error().text();
  if (*end != encoded.size()) return std::to_string(encoded.size() - *end) + " bytes follow the encoded value";
  return {};
}

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
