#include "format/salvage.h"

#include <optional>

#include "value/value.h"

namespace quillet::records {

std::string fault_of(const DataRecord& record) {
  if (!is_valid_utf8(record.key)) return "the key is not valid UTF-8";
  return value_fault(record.value);
}

std::string fault_of(const LinkRecord& record) {
  if (record.op != kAddOp && record.op != kRemoveOp) return "unknown operation byte " + std::to_string(record.op);
  for (std::string_view field : {record.target_key, record.source_collection, record.source_key, record.source_path}) {
    if (!is_valid_utf8(field)) return "invalid utf8 in backlink";
  }
  return {};
}

namespace {

// How a chain ends: at `end`, where the next record is not whole (`torn`) or
// is whole but not valid (then `bad_size` is its size).
struct Chain {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
  bool torn = false;
  std::uint64_t bad_size = 0;
  std::string why;
  bool empty() const { return end == start; }
};

// The searches of one file, over one window.
class Salvager {
 public:
  Salvager(int fd, Layout layout, std::uint64_t end) : file_(fd), layout_(layout), end_(end) {}

  std::expected<Chain, Error> chain(std::uint64_t from) {
    Chain c{from, from, false, 0, {}};
    auto take = [&](const auto& r) {
      c.why = fault_of(r);
      if (c.why.empty()) return true;
      c.bad_size = r.bytes.size();
      return false;
    };
    auto scanned = layout_ == Layout::Data ? scan_data_records(file_, from, end_, take)
                                           : scan_link_records(file_, from, end_, take);
    if (!scanned) return std::unexpected(scanned.error());
    c.end = scanned->complete_end;
    c.torn = scanned->torn();
    if (c.torn) c.why = "the record there runs past the end of the file, or no record starts there";
    return c;
  }

  // The first chain that starts at `guess` (when given) or in (from, end_).
  std::expected<std::optional<Chain>, Error> resume(std::uint64_t from, std::optional<std::uint64_t> guess) {
    if (guess && *guess < end_) {
      auto c = chain(*guess);
      if (!c) return std::unexpected(c.error());
      if (!c->empty()) return *c;
    }
    for (std::uint64_t q = from + 1; q < end_; ++q) {
      auto plausible = could_start(q);
      if (!plausible) return std::unexpected(plausible.error());
      if (!*plausible) continue;
      auto c = chain(q);
      if (!c) return std::unexpected(c.error());
      if (!c->empty()) return *c;
    }
    return std::nullopt;
  }

 private:
  // A cheap look at the header at `q`, so that most offsets cost no scan:
  // the lengths fit, and the value or the operation could be valid.
  std::expected<bool, Error> could_start(std::uint64_t q) {
    const std::uint64_t header = layout_ == Layout::Data ? 4 : 5;
    if (end_ - q < header) return false;
    auto covered = detail::cover(file_, {}, q, q + header);
    if (!covered) return std::unexpected(covered.error());
    if (!*covered) return false;
    if (layout_ == Layout::Link) {
      const auto op = static_cast<std::uint8_t>(*file_.at(q));
      return (op == kAddOp || op == kRemoveOp) && get_u32(file_.at(q + 1)) <= end_ - q - 17;
    }
    const std::uint64_t key_len = get_u32(file_.at(q));
    // A valid value has at least its type byte.
    if (end_ - q < 9 || key_len > end_ - q - 9) return false;
    if (key_len > 0) return true;
    // An empty key with an empty value is what a run of zeros reads as:
    // never a record, and ruled out here so that a long run costs no scan
    // from each of its bytes.
    covered = detail::cover(file_, {}, q, q + 8);
    if (!covered) return std::unexpected(covered.error());
    return *covered && get_u32(file_.at(q + 4)) > 0;
  }

  BlockReader file_;
  Layout layout_;
  std::uint64_t end_;
};

}  // namespace

std::expected<std::vector<Damage>, Error> find_damage(int fd, Layout layout, std::uint64_t end) {
  Salvager salvager(fd, layout, end);
  std::vector<Damage> damage;
  auto c = salvager.chain(0);
  if (!c) return std::unexpected(c.error());
  Chain last = *c;
  while (last.end < end) {
    std::optional<std::uint64_t> guess;
    if (!last.torn) guess = last.end + last.bad_size;
    auto next = salvager.resume(last.end, guess);
    if (!next) return std::unexpected(next.error());
    if (!*next) {
      damage.push_back(Damage{last.end, end - last.end, last.torn, last.why});
      break;
    }
    damage.push_back(Damage{last.end, (*next)->start - last.end, false, last.why});
    last = **next;
  }
  return damage;
}

std::expected<bool, Error> holds_records_after(int fd, Layout layout, std::uint64_t from, std::uint64_t end) {
  Salvager salvager(fd, layout, end);
  auto next = salvager.resume(from, std::nullopt);
  if (!next) return std::unexpected(next.error());
  return next->has_value();
}

}  // namespace quillet::records
