// check: reads and decodes every record of every file, replays every backlink
// file and compares the backlinks with those the live records call for.
// Changes nothing. Sees every collection under the directory. Backlinks are compared as sets of distinct entries per
// target key: the store may list one entry twice, which reads the same.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "tools/common.h"
#include "tools/problems.h"
#include "tools/progress.h"

namespace quillet {

struct CheckReport {
  // The first kMaxProblems problems, in the order found; the rest are counted.
  std::vector<Problem> problems;
  std::uint64_t problems_omitted = 0;
  std::uint64_t files = 0;
  std::uint64_t records = 0;
  std::uint64_t live_keys = 0;
  std::uint64_t backlink_records = 0;
  std::uint64_t backlink_entries = 0;  // entries the live records call for
  // What repair removed, kept beside the logs for a person: listed, not a problem.
  std::vector<std::string> side_files;
  bool sound() const { return problems.empty() && problems_omitted == 0; }
};

std::expected<CheckReport, Error> check_database(const std::string& dir, const Progress& progress = {});

}  // namespace quillet
