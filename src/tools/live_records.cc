#include "tools/live_records.h"

#include <algorithm>
#include <vector>

#include "value/value.h"

namespace quillet {

Ranges kept_ranges(std::span<const records::Damage> damage, std::uint64_t size) {
  Ranges ranges;
  std::uint64_t at = 0;
  for (const records::Damage& d : damage) {
    if (d.offset > at) ranges.emplace_back(at, d.offset);
    at = d.end();
  }
  if (at < size || ranges.empty()) ranges.emplace_back(at, size);
  return ranges;
}

std::expected<LiveRecords, Error> index_live_records(const OpenFile& file, Inspect inspect, ProblemList& problems,
                                                         ProgressMeter* meter, std::span<const records::Damage> skip) {
  LiveRecords live;
  live.ranges = kept_ranges(skip, file.size);
  auto on_record = [&](const DataRecord& r) -> Step {
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
  };
  for (auto& [from, to] : live.ranges) {
    auto scanned = scan_data_range(file.fd.get(), from, to, file.name, on_record, meter);
    if (!scanned) return std::unexpected(scanned.error());
    live.end = *scanned;
    // Only whole records are read again.
    to = scanned->complete_end;
  }
  return live;
}

Step for_each_live_record(const OpenFile& file, LiveRecords& live, const DataRecordFn& on_live, ProgressMeter* meter) {
  std::vector<std::uint64_t> offsets;
  offsets.reserve(live.latest.size());
  live.latest.for_each_number([&](std::uint64_t& offset) { offsets.push_back(offset); });
  std::ranges::sort(offsets);
  std::size_t next = 0;
  ScanProgress progress(meter);
  auto on_record = [&](const DataRecord& r) -> Step {
    if (next < offsets.size() && offsets[next] == r.offset) {
      ++next;
      if (auto done = on_live(r); !done) return done;
    }
    return progress.at(r.offset);
  };
  for (const auto& [from, to] : live.ranges) {
    auto scanned = scan_data_range(file.fd.get(), from, to, file.name, on_record, nullptr);
    if (!scanned) return std::unexpected(scanned.error());
  }
  return progress.done_to(file.size);
}

std::expected<std::vector<records::Damage>, Error> damage_to_skip(const OpenFile& file, std::string_view tool,
                                                                      bool skip, std::vector<Skipped>& skipped) {
  auto damage = records::find_damage(file.fd.get(), records::Layout::Data, file.size);
  if (!damage) return std::unexpected(damage.error().in_context(file.name));
  for (const records::Damage& d : *damage) {
    if (d.torn) continue;
    if (!skip) {
      return std::unexpected(Error::corruption(
          file.name + " at " + at_offset(d.offset) + ": " + d.why + " (" + std::to_string(d.size) +
          " damaged bytes); " + std::string(tool) +
          " --skip-damaged carries on past them (quilletdb check lists the damage)"));
    }
    skipped.push_back(Skipped{file.name, d.offset, d.size});
  }
  return damage;
}

}  // namespace quillet
