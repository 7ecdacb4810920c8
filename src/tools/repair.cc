#include "tools/repair.h"

#include <cstdio>
#include <map>
#include <optional>

#include "store/compaction.h"
#include "tools/backlink_compare.h"
#include "tools/backlink_replay.h"
#include "tools/expected_links.h"
#include "tools/listing.h"
#include "tools/synced_writer.h"

namespace quillet {

std::expected<RepairReport, Error> repair_database(const std::string& dir, const Notice& notice,
                                                       const Progress& progress) {
  auto listing = list_database(dir);
  if (!listing) return std::unexpected(listing.error());
  // Every lock is taken before anything changes, so a refusal leaves all as it was.
  std::vector<OpenFile> data;
  for (const std::string& name : listing->collections) {
    auto file = open_locked(dir, data_file(name));
    if (!file) return std::unexpected(file.error());
    data.push_back(std::move(*file));
  }
  std::map<std::string, OpenFile, std::less<>> logs;
  for (const std::string& target : listing->backlink_targets) {
    auto file = open_locked(dir, link_file(target));
    if (!file) return std::unexpected(file.error());
    logs.emplace(target, std::move(*file));
  }

  // With every file locked no database has the directory open, so no
  // compaction is running: its copies are leftovers.
  if (auto removed = remove_compaction_leftovers(dir); !removed) return std::unexpected(removed.error());

  RepairReport report;
  ProblemList damage;
  ExpectedLinks expected;
  std::vector<ScanEnd> ends;
  ProgressMeter meter(progress, 2 * total_size(data));
  for (std::size_t i = 0; i < data.size(); ++i) {
    auto live = collect_live_links(data[i], listing->collections[i], damage, expected, &meter);
    if (!live) return std::unexpected(live.error());
    ends.push_back(live->end);
  }
  report.damaged_records = damage.count();

  const std::vector<std::string> targets = backlink_targets(*listing, expected);
  for (const std::string& target : targets) {
    if (logs.contains(target) || !path_is_present(join_path(dir, link_file(target)))) continue;
    auto file = open_locked(dir, link_file(target));
    if (!file) return std::unexpected(file.error());
    logs.emplace(target, std::move(*file));
  }

  auto announce = [&](const std::string& text) -> Step {
    if (notice && !notice(text)) return std::unexpected(tool_interrupted());
    return {};
  };
  for (std::size_t i = 0; i < data.size(); ++i) {
    if (ends[i].tail_bytes() == 0) continue;
    if (auto told = announce(data[i].name + ": dropping the incomplete last record (" +
                             std::to_string(ends[i].tail_bytes()) + " bytes from " +
                             at_offset(ends[i].complete_end) + ")");
        !told) {
      return std::unexpected(told.error());
    }
    if (auto cut = truncate_file(data[i].fd.get(), ends[i].complete_end); !cut) {
      return std::unexpected(cut.error().in_context(data[i].name));
    }
    ++report.tails_cut;
    report.tail_bytes_cut += ends[i].tail_bytes();
  }

  for (const std::string& target : targets) {
    const std::string name = link_file(target);
    const std::string path = join_path(dir, name);
    std::optional<Replay> old;
    if (auto it = logs.find(target); it != logs.end()) {
      auto replay = replay_log(it->second, nullptr, nullptr);
      if (!replay) return std::unexpected(replay.error());
      old = std::move(*replay);
    }
    const RebuiltLog log = rebuild_log(old ? &*old : nullptr, expected_for(expected, target));
    std::string text = name + ": rebuilding with " + std::to_string(log.entries) + " entries";
    if (old && old->end.tail_bytes() > 0) {
      text += ", dropping the incomplete last record (" + std::to_string(old->end.tail_bytes()) + " bytes from " +
              at_offset(old->end.complete_end) + ")";
    }
    if (log.added > 0) text += ", adding " + std::to_string(log.added) + " missing";
    if (log.dropped > 0) text += ", dropping " + std::to_string(log.dropped) + " that no record holds";
    if (auto told = announce(text); !told) return std::unexpected(told.error());
    // The new log is complete and synced before it takes the old one's place,
    // so a crash leaves one or the other, never a mixture.
    const std::string temporary = path + ".tmp";
    if (auto written = write_whole_file(temporary, log.bytes); !written) {
      (void)remove_file(temporary);
      return std::unexpected(written.error().in_context(name));
    }
    if (auto renamed = rename_file(temporary, path); !renamed) {
      (void)remove_file(temporary);
      return std::unexpected(renamed.error().in_context(name));
    }
    ++report.backlink_files_rebuilt;
    report.backlink_entries_added += log.added;
    report.backlink_entries_dropped += log.dropped;
  }
  if (!targets.empty()) {
    if (auto synced = fsync_directory(dir); !synced) return std::unexpected(synced.error().in_context(dir));
  }
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  return report;
}

}  // namespace quillet
