#include "tools/compact.h"

#include <optional>

#include "store/database.h"
#include "tools/backlink_compare.h"
#include "tools/backlink_replay.h"
#include "tools/expected_links.h"
#include "tools/listing.h"
#include "tools/live_records.h"
#include "tools/output_directory.h"
#include "tools/synced_writer.h"

namespace quillet {

std::expected<CompactReport, Error> compact_database(const std::string& dir, const std::string& out,
                                                         const Progress& progress, bool skip_damaged) {
  auto opened = open_collections(dir);
  if (!opened) return std::unexpected(opened.error());
  const Listing& listing = opened->listing;
  std::vector<OpenFile>& data = opened->data;
  if (!listing.strays.empty()) {
    return std::unexpected(Error::invalid_argument(listing.strays.front() +
                                                   " is named like a log, but no database can open it by that name; "
                                                   "compact cannot carry it (rename or move it, and compact again)"));
  }
  OutputDirectory output;
  if (auto prepared = output.prepare(out); !prepared) return std::unexpected(prepared.error());

  CompactReport report;
  for (const std::string& target : listing.backlink_targets) {
    if (auto info = path_info(join_path(dir, link_file(target)))) report.bytes_read += info->size;
  }
  ExpectedLinks expected;
  ProgressMeter meter(progress, 2 * total_size(data));
  for (std::size_t i = 0; i < data.size(); ++i) {
    const std::string& name = listing.collections[i];
    auto damage = damage_to_skip(data[i], "compact", skip_damaged, report.skipped);
    if (!damage) return std::unexpected(damage.error());
    ProblemList problems;  // none: only whole, valid records are read
    auto live = index_live_records(data[i], Inspect::KeysOnly, problems, &meter, *damage);
    if (!live) return std::unexpected(live.error());
    report.records_read += live->records;
    report.bytes_read += data[i].size;

    auto path = output.file(data_file(name));
    if (!path) return std::unexpected(path.error());
    auto writer = SyncedWriter::create(*path);
    if (!writer) return std::unexpected(writer.error().in_context(*path));
    LinkCollector links(expected);
    auto copied = for_each_live_record(
        data[i], *live,
        [&](const DataRecord& r) -> Step {
          links.add(name, r.key, r.value);
          if (auto appended = writer->append(r.bytes); !appended) {
            return std::unexpected(appended.error().in_context(*path));
          }
          ++report.records_written;
          return {};
        },
        &meter);
    if (!copied) return std::unexpected(copied.error());
    if (auto finished = writer->finish(); !finished) return std::unexpected(finished.error().in_context(*path));
    report.bytes_written += writer->written();
    ++report.collections;
  }

  for (const auto& [target, wanted] : expected) {
    if (!check_collection_name(target)) continue;
    // The source's order of the entries is kept where its log can be read.
    std::optional<Replay> old;
    const std::string name = link_file(target);
    if (path_is_present(join_path(dir, name))) {
      if (auto file = open_scanned(dir, name)) {
        if (auto replay = replay_log(*file, nullptr, nullptr)) old = std::move(*replay);
      }
    }
    const RebuiltLog log = rebuild_log(old ? &*old : nullptr, wanted);
    auto path = output.file(name);
    if (!path) return std::unexpected(path.error());
    if (auto written = write_whole_file(*path, log.bytes); !written) {
      return std::unexpected(written.error().in_context(*path));
    }
    report.backlink_entries += log.entries;
    report.bytes_written += log.bytes.size();
  }
  if (auto synced = fsync_directory(out); !synced) return std::unexpected(synced.error().in_context(out));
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  output.keep();
  return report;
}

}  // namespace quillet
