// stat: what the files of a database hold. Reads every record once; judges
// nothing.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "tools/common.h"
#include "tools/progress.h"

namespace quillet {

struct CollectionStat {
  std::string name;
  std::uint64_t live_keys = 0;
  std::uint64_t records = 0;
  std::uint64_t file_bytes = 0;
  std::uint64_t live_bytes = 0;  // the latest records of the live keys
  std::uint64_t tail_bytes = 0;  // an incomplete last record
  // The share of the file that compaction would drop.
  double dead_share() const;
};

struct BacklinkFileStat {
  std::string name;  // the target collection
  std::uint64_t records = 0;
  std::uint64_t live_entries = 0;  // entries the replay lists
  std::uint64_t file_bytes = 0;
  std::uint64_t tail_bytes = 0;
};

struct DatabaseStat {
  std::vector<CollectionStat> collections;      // by name
  std::vector<BacklinkFileStat> backlink_files;  // by name
};

std::expected<DatabaseStat, Error> stat_database(const std::string& dir, const Progress& progress = {});

}  // namespace quillet
