#include "tools/dump.h"

#include <algorithm>

#include "format/codec.h"
#include "tools/json.h"
#include "tools/listing.h"
#include "value/value.h"

namespace quillet {

namespace {

// One collection's live keys, sorted, each with its record's offset.
struct LiveKeys {
  std::string name;
  OpenFile file;
  std::vector<std::pair<std::string, std::uint64_t>> keys;
};

// The value of the whole record of key `key` at `offset`.
std::expected<Value, Error> read_value(const OpenFile& file, std::string_view key, std::uint64_t offset) {
  const std::uint64_t header_end = offset + 8 + key.size();
  char length[4];
  if (auto read = pread_exact(file.fd.get(), length, 4, header_end - 4); !read) return std::unexpected(read.error());
  std::string bytes(get_u32(length), '\0');
  if (auto read = pread_exact(file.fd.get(), bytes.data(), bytes.size(), header_end); !read) {
    return std::unexpected(read.error());
  }
  std::size_t position = 0;
  return decode(bytes, position);
}

}  // namespace

std::expected<DumpReport, Error> dump_records(const std::string& dir, std::optional<std::string_view> collection,
                                                  const std::function<Step(std::string_view)>& write,
                                                  const Progress& progress, bool skip_damaged) {
  auto listing = list_database(dir);
  if (!listing) return std::unexpected(listing.error());
  std::vector<std::string> names = listing->collections;
  if (collection) {
    if (!std::ranges::binary_search(names, *collection)) {
      return std::unexpected(Error::not_found("unknown collection " + quote_text(*collection)));
    }
    names = {std::string(*collection)};
  }
  // Every file is looked at, and its keys listed, before a line is written.
  DumpReport report;
  std::vector<LiveKeys> all;
  std::uint64_t total = 0;
  for (const std::string& name : names) {
    auto file = open_scanned(dir, data_file(name));
    if (!file) return std::unexpected(file.error());
    auto damage = damage_to_skip(*file, "dump", skip_damaged, report.skipped);
    if (!damage) return std::unexpected(damage.error());
    ProblemList problems;  // none: only whole, valid records are read
    auto live = index_live_records(*file, Inspect::KeysOnly, problems, nullptr, *damage);
    if (!live) return std::unexpected(live.error());
    LiveKeys keys{name, std::move(*file), {}};
    live->latest.for_each_entry(
        [&](std::string_view key, std::uint64_t offset) { keys.keys.emplace_back(std::string(key), offset); });
    std::ranges::sort(keys.keys);
    total += keys.keys.size();
    all.push_back(std::move(keys));
  }
  ProgressMeter meter(progress, total);
  std::string chunk;
  for (const LiveKeys& c : all) {
    for (const auto& [key, offset] : c.keys) {
      auto value = read_value(c.file, key, offset);
      if (!value) return std::unexpected(value.error().in_context(c.file.name + " at " + at_offset(offset)));
      chunk += "{\"collection\":";
      append_json_string(c.name, chunk);
      chunk += ",\"key\":";
      append_json_string(key, chunk);
      chunk += ",\"value\":";
      append_json(*value, chunk);
      chunk += "}\n";
      ++report.records;
      if (chunk.size() >= kToolBlock / 4) {
        if (auto done = write(chunk); !done) return std::unexpected(done.error());
        chunk.clear();
      }
      // One unit per record, reported in the meter's large steps.
      if (auto advanced = meter.advance(1); !advanced) return std::unexpected(advanced.error());
    }
  }
  if (!chunk.empty()) {
    if (auto done = write(chunk); !done) return std::unexpected(done.error());
  }
  if (auto done = meter.finish(); !done) return std::unexpected(done.error());
  return report;
}

}  // namespace quillet
