#include "tools/check.h"

#include <optional>

#include "store/database.h"
#include "tools/backlink_compare.h"
#include "tools/backlink_replay.h"
#include "tools/expected_links.h"
#include "tools/listing.h"

namespace quillet {

std::expected<CheckReport, Error> check_database(const std::string& dir, const Progress& progress) {
  auto opened = open_collections(dir);
  if (!opened) return std::unexpected(opened.error());
  const Listing& listing = opened->listing;
  std::vector<OpenFile>& data = opened->data;
  ExpectedLinks expected;
  CheckReport report;
  ProblemList problems;
  ProgressMeter meter(progress, 2 * total_size(data));

  for (std::size_t i = 0; i < data.size(); ++i) {
    auto live = collect_live_links(data[i], listing.collections[i], problems, expected, &meter);
    if (!live) return std::unexpected(live.error());
    if (live->end.tail_bytes() > 0) problems.add(data[i].name, live->end.complete_end, tail_message(live->end));
    report.records += live->records;
    report.live_keys += live->latest.size();
  }
  for (const auto& [target, entries] : expected) {
    if (auto valid = check_collection_name(target); !valid) {
      problems.add(link_file(target), std::nullopt,
                   std::to_string(entries.size()) + " links name a collection that cannot have a backlink file: " +
                       valid.error().text());
    }
  }

  const std::vector<std::string> targets = backlink_targets(listing, expected);
  for (const std::string& target : targets) {
    const EntryList& wanted = expected_for(expected, target);
    const std::string name = link_file(target);
    if (!path_is_present(join_path(dir, name))) {
      report.backlink_entries += compare_backlinks(name, Replay{}, wanted, problems);
      continue;
    }
    auto file = open_scanned(dir, name);
    if (!file) return std::unexpected(file.error());
    auto replay = replay_log(*file, &problems, nullptr);
    if (!replay) return std::unexpected(replay.error());
    if (replay->end.tail_bytes() > 0) problems.add(name, replay->end.complete_end, tail_message(replay->end));
    report.backlink_records += replay->records;
    report.backlink_entries += compare_backlinks(name, *replay, wanted, problems);
  }
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  report.files = data.size() + targets.size();
  report.side_files = listing.side_files;
  report.problems_omitted = problems.omitted();
  report.problems = problems.take_kept();
  return report;
}

}  // namespace quillet
