// The backlink entries that the live records of a database call for, found
// straight in the records' encodings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "format/codec.h"
#include "store/links.h"
#include "tools/listing.h"
#include "tools/live_records.h"
#include "tools/problems.h"
#include "tools/progress.h"

namespace quillet {

// Entries as the backlink file holds them after the operation byte: target
// key, source collection, source key and source path, each length-prefixed.
// One text per entry makes comparing and rewriting logs cheap, and as the
// texts delimit themselves a list of them is one string.
class EntryList {
 public:
  void add(std::string_view target_key, std::string_view collection, std::string_view key, std::string_view path);
  // Calls f(body) for each entry in the order added, duplicates included.
  template <class F>
  void for_each(F&& f) const {
    std::size_t at = 0;
    while (at < bytes_.size()) {
      std::size_t end = at;
      for (int field = 0; field < 4; ++field) end += 4 + get_u32(bytes_.data() + end);
      f(std::string_view(bytes_).substr(at, end - at));
      at = end;
    }
  }
  std::size_t size() const { return count_; }

 private:
  std::string bytes_;
  std::size_t count_ = 0;
};

// Target collection -> the entries the live records call for, in the order
// their records lie in the files.
using ExpectedLinks = std::map<std::string, EntryList, std::less<>>;

// Adds the links of records to an ExpectedLinks.
class LinkCollector {
 public:
  explicit LinkCollector(ExpectedLinks& expected) : expected_(expected) {}
  // Adds every link of the encoded value of record `key` of `collection`;
  // false, adding nothing, when the value does not decode.
  bool add(std::string_view collection, std::string_view key, std::string_view encoded_value);

 private:
  ExpectedLinks& expected_;
  std::vector<LinkRef> links_;
};

// Indexes the live records of the collection file `file` (of `collection`),
// leaving out the `skip` stretches and reporting every damaged record to
// `problems`, then adds the links of each live record to `expected`; a value
// that does not decode adds none.
std::expected<LiveRecords, Error> collect_live_links(const OpenFile& file, std::string_view collection,
                                                         ProblemList& problems, ExpectedLinks& expected,
                                                         ProgressMeter* meter,
                                                         std::span<const records::Damage> skip = {});

// Targets that can have a backlink file: the listed logs and every valid
// collection name the records link to (others can never be indexed, and
// check reports them). Sorted, each once.
std::vector<std::string> backlink_targets(const Listing& listing, const ExpectedLinks& expected);

// The entries called for in `target`, or an empty list.
const EntryList& expected_for(const ExpectedLinks& expected, std::string_view target);

}  // namespace quillet
