#include "tools/repair.h"

#include <cstdio>
#include <map>
#include <optional>

#include "format/salvage.h"
#include "store/compaction.h"
#include "tools/backlink_compare.h"
#include "tools/backlink_replay.h"
#include "tools/expected_links.h"
#include "tools/listing.h"
#include "tools/synced_writer.h"

namespace quillet {

namespace {

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Appends the bytes [from, to) of the file to `out`, a block at a time.
std::expected<void, Error> copy_range(int fd, std::uint64_t from, std::uint64_t to, SyncedWriter& out) {
  std::string block;
  while (from < to) {
    block.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kToolBlock, to - from)));
    if (auto read = pread_exact(fd, block.data(), block.size(), from); !read) return read;
    if (auto written = out.append(block); !written) return written;
    from += block.size();
  }
  return {};
}

// The side file for the stretch at `offset`, never one already there.
std::string free_side_file(const std::string& dir, const std::string& log, std::uint64_t offset) {
  std::string name = side_file(log, offset);
  for (int n = 1; path_is_present(join_path(dir, name)); ++n) name = side_file(log, offset) + "." + std::to_string(n);
  return name;
}

std::expected<void, Error> write_ranges(const OpenFile& file, const Ranges& ranges, const std::string& path) {
  auto writer = SyncedWriter::create(path);
  if (!writer) return std::unexpected(writer.error());
  for (const auto& [from, to] : ranges) {
    if (auto copied = copy_range(file.fd.get(), from, to, *writer); !copied) return copied;
  }
  return writer->finish();
}

// Moves the damaged stretches of one collection file to side files, then
// takes them out of the log: by a cut when only its end goes, else by
// writing the kept stretches beside it and renaming that over it.
Step salvage_file(const std::string& dir, const OpenFile& file, const std::vector<records::Damage>& damage,
                  const std::function<Step(const std::string&)>& announce, bool dry_run, RepairReport& report) {
  for (const records::Damage& d : damage) {
    const std::string side = free_side_file(dir, file.name, d.offset);
    const std::string where = " (" + std::to_string(d.size) + " bytes from " + at_offset(d.offset) + ") into " + side;
    const std::string what = d.torn ? ": dropping the incomplete last record" : ": removing damaged bytes";
    if (auto told = announce(file.name + what + where + (d.torn ? "" : " (" + d.why + ")")); !told) return told;
    if (d.torn) {
      ++report.tails_cut;
      report.tail_bytes_cut += d.size;
    } else {
      ++report.damaged_stretches;
      report.damaged_bytes += d.size;
    }
    report.side_files.push_back(side);
    if (dry_run) continue;
    if (auto written = write_ranges(file, {{d.offset, d.end()}}, join_path(dir, side)); !written) {
      return std::unexpected(written.error().in_context(side));
    }
  }
  if (dry_run || damage.empty()) return {};
  const std::string folder = parent_of(file.path);
  if (auto synced = fsync_directory(folder); !synced) return std::unexpected(synced.error().in_context(folder));
  if (damage.size() == 1 && damage.front().end() == file.size) {
    if (auto cut = truncate_file(file.fd.get(), damage.front().offset); !cut) {
      return std::unexpected(cut.error().in_context(file.name));
    }
    return {};
  }
  // The rewritten log is complete and synced before it takes the old one's
  // place, so a crash leaves one or the other.
  const std::string temporary = file.path + ".tmp";
  auto written = write_ranges(file, kept_ranges(damage, file.size), temporary);
  if (written) written = rename_file(temporary, file.path);
  if (!written) {
    (void)remove_file(temporary);
    return std::unexpected(written.error().in_context(file.name));
  }
  if (auto synced = fsync_directory(folder); !synced) return std::unexpected(synced.error().in_context(folder));
  return {};
}

}  // namespace

std::expected<RepairReport, Error> repair_database(const std::string& dir, const Notice& notice,
                                                       const Progress& progress, RepairOptions options) {
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
  ProblemList problems;  // none: only whole, valid records are read
  ExpectedLinks expected;
  std::vector<std::vector<records::Damage>> damage;
  ProgressMeter meter(progress, 2 * total_size(data));
  for (std::size_t i = 0; i < data.size(); ++i) {
    auto found = records::find_damage(data[i].fd.get(), records::Layout::Data, data[i].size);
    if (!found) return std::unexpected(found.error().in_context(data[i].name));
    auto live = collect_live_links(data[i], listing->collections[i], problems, expected, &meter, *found);
    if (!live) return std::unexpected(live.error());
    damage.push_back(std::move(*found));
  }

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
    if (auto salvaged = salvage_file(dir, data[i], damage[i], announce, options.dry_run, report); !salvaged) {
      return std::unexpected(salvaged.error());
    }
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
    ++report.backlink_files_rebuilt;
    report.backlink_entries_added += log.added;
    report.backlink_entries_dropped += log.dropped;
    if (options.dry_run) continue;
    if (target.find('/') != std::string::npos) {
      if (auto made = make_directories(parent_of(path)); !made) return std::unexpected(made.error().in_context(name));
    }
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
  }
  if (!targets.empty() && !options.dry_run) {
    if (auto synced = fsync_directory(dir); !synced) return std::unexpected(synced.error().in_context(dir));
  }
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  return report;
}

}  // namespace quillet
