#include "tools/expected_links.h"

#include <algorithm>

#include "format/records.h"
#include "store/database.h"

namespace quillet {

void EntryList::add(std::string_view target_key, std::string_view collection, std::string_view key,
                    std::string_view path) {
  records::append_link_body(bytes_, target_key, collection, key, path);
  ++count_;
}

bool LinkCollector::add(std::string_view collection, std::string_view key, std::string_view encoded_value) {
  links_.clear();
  if (!collect_links_encoded(encoded_value, links_)) return false;
  for (const LinkRef& l : links_) {
    auto it = expected_.find(l.target_collection);
    if (it == expected_.end()) it = expected_.emplace(l.target_collection, EntryList{}).first;
    it->second.add(l.target_key, collection, key, l.source_path);
  }
  return true;
}

std::expected<LiveRecords, Error> collect_live_links(const OpenFile& file, std::string_view collection,
                                                         ProblemList& problems, ExpectedLinks& expected,
                                                         ProgressMeter* meter, std::span<const records::Damage> skip) {
  auto live = index_live_records(file, Inspect::Values, problems, meter, skip);
  if (!live) return live;
  LinkCollector links(expected);
  auto walked = for_each_live_record(
      file, *live,
      [&](const DataRecord& r) -> Step {
        // A value that does not decode was reported by the indexing pass.
        links.add(collection, r.key, r.value);
        return {};
      },
      meter);
  if (!walked) return std::unexpected(walked.error());
  return live;
}

std::vector<std::string> backlink_targets(const Listing& listing, const ExpectedLinks& expected) {
  std::vector<std::string> targets = listing.backlink_targets;
  for (const auto& [target, entries] : expected) {
    if (check_collection_name(target)) targets.push_back(target);
  }
  std::ranges::sort(targets);
  targets.erase(std::unique(targets.begin(), targets.end()), targets.end());
  return targets;
}

const EntryList& expected_for(const ExpectedLinks& expected, std::string_view target) {
  static const EntryList kNone;
  auto it = expected.find(target);
  return it == expected.end() ? kNone : it->second;
}

}  // namespace quillet
