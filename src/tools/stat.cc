#include "tools/stat.h"

#include "store/collection.h"
#include "tools/backlink_replay.h"
#include "tools/listing.h"
#include "tools/live_records.h"
#include "tools/scan.h"

namespace quillet {

double CollectionStat::dead_share() const {
  if (file_bytes == 0) return 0;
  return static_cast<double>(file_bytes - live_bytes) / static_cast<double>(file_bytes);
}

std::expected<DatabaseStat, Error> stat_database(const std::string& dir, const Progress& progress) {
  auto opened = open_collections(dir);
  if (!opened) return std::unexpected(opened.error());
  const Listing& listing = opened->listing;
  std::vector<OpenFile>& data = opened->data;
  auto opened_logs = open_all_scanned(dir, listing.backlink_targets, link_file);
  if (!opened_logs) return std::unexpected(opened_logs.error());
  std::vector<OpenFile>& logs = *opened_logs;
  ProgressMeter meter(progress, total_size(data) + total_size(logs));

  DatabaseStat stat;
  for (std::size_t i = 0; i < data.size(); ++i) {
    // The table keeps the size of each live key's latest record.
    KeyTable latest;
    CollectionStat s{listing.collections[i], 0, 0, data[i].size, 0, 0};
    auto scanned = scan_data_records(
        data[i].fd.get(), data[i].size, data[i].name,
        [&](const DataRecord& r) -> Step {
          ++s.records;
          const std::uint64_t hash = KeyTable::hash(r.key);
          if (is_tombstone_encoding(r.value)) {
            latest.erase(r.key, hash);
          } else if (auto [size, added] = latest.insert(r.key, hash, r.bytes.size()); !added) {
            *size = r.bytes.size();
          }
          return {};
        },
        &meter);
    if (!scanned) return std::unexpected(scanned.error());
    s.tail_bytes = scanned->tail_bytes();
    s.live_keys = latest.size();
    latest.for_each_number([&](std::uint64_t& size) { s.live_bytes += size; });
    stat.collections.push_back(std::move(s));
  }
  for (std::size_t i = 0; i < logs.size(); ++i) {
    auto replay = replay_log(logs[i], nullptr, &meter);
    if (!replay) return std::unexpected(replay.error());
    stat.backlink_files.push_back(BacklinkFileStat{listing.backlink_targets[i], replay->records,
                                                   replay->listed_entries(), logs[i].size,
                                                   replay->end.tail_bytes()});
  }
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  return stat;
}

}  // namespace quillet
