#include "tools/backlink_replay.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "value/value.h"

namespace quillet {

void Replay::add(std::string_view body) {
  auto [position, added] = listed.insert(body, KeyTable::hash(body), counts.size());
  if (added) {
    counts.push_back(1);
  } else {
    ++counts[*position];
  }
}

void Replay::remove(std::string_view body) {
  if (auto position = listed.erase(body, KeyTable::hash(body))) counts[*position] = 0;
}

bool Replay::lists(std::string_view body) const { return listed.find(body, KeyTable::hash(body)) != nullptr; }

std::uint64_t Replay::listed_entries() const {
  std::uint64_t n = 0;
  for (std::uint32_t count : counts) n += count;
  return n;
}

std::vector<std::pair<std::uint64_t, std::string_view>> Replay::in_order() const {
  std::vector<std::pair<std::uint64_t, std::string_view>> entries;
  entries.reserve(listed.size());
  listed.for_each_entry([&](std::string_view body, std::uint64_t position) { entries.emplace_back(position, body); });
  std::ranges::sort(entries);
  return entries;
}

std::expected<Replay, Error> replay_log(const OpenFile& file, ProblemList* problems, ProgressMeter* meter) {
  Replay replay;
  auto scanned = scan_link_records(
      file.fd.get(), file.size, file.name,
      [&](const LinkRecord& r) -> Step {
        ++replay.records;
        const bool utf8 = is_valid_utf8(r.target_key) && is_valid_utf8(r.source_collection) &&
                          is_valid_utf8(r.source_key) && is_valid_utf8(r.source_path);
        if (!utf8) {
          if (problems) problems->add(file.name, r.offset, "invalid utf8 in backlink");
        } else if (r.op == records::kAddOp) {
          replay.add(r.body());
        } else if (r.op == records::kRemoveOp) {
          replay.remove(r.body());
        } else if (problems) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "0x%02X", r.op);
          problems->add(file.name, r.offset, std::string("unknown operation byte ") + hex);
        }
        return {};
      },
      meter);
  if (!scanned) return std::unexpected(scanned.error());
  replay.end = *scanned;
  return replay;
}

}  // namespace quillet
