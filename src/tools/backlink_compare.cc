#include "tools/backlink_compare.h"

#include <optional>

#include "format/codec.h"
#include "value/value.h"

namespace quillet {

namespace {

bool contains(const KeyTable& table, std::string_view text) {
  return table.find(text, KeyTable::hash(text)) != nullptr;
}

}  // namespace

std::string describe_entry(std::string_view body) {
  std::string_view fields[4];
  for (std::string_view& field : fields) {
    const std::uint32_t size = get_u32(body.data());
    field = body.substr(4, size);
    body.remove_prefix(4 + size);
  }
  return "key " + quote_text(fields[0]) + ": the link from " + quote_text(fields[1]) + " " + quote_text(fields[2]) +
         " at " + quote_text(fields[3]);
}

std::uint64_t compare_backlinks(std::string_view file, const Replay& replay, const EntryList& expected,
                                ProblemList& problems) {
  KeyTable wanted;
  expected.for_each([&](std::string_view body) {
    if (wanted.insert(body, KeyTable::hash(body), 0).second && !replay.lists(body)) {
      problems.add(file, std::nullopt, describe_entry(body) + " is not listed");
    }
  });
  for (const auto& [position, body] : replay.in_order()) {
    if (!contains(wanted, body)) {
      problems.add(file, std::nullopt, describe_entry(body) + " is listed, but no record holds it");
    }
  }
  return wanted.size();
}

RebuiltLog rebuild_log(const Replay* old, const EntryList& expected) {
  RebuiltLog log;
  KeyTable wanted;
  expected.for_each([&](std::string_view body) { wanted.insert(body, KeyTable::hash(body), 0); });
  KeyTable written;
  auto write = [&](std::string_view body) {
    log.bytes.push_back(static_cast<char>(records::kAddOp));
    log.bytes.append(body);
    ++log.entries;
  };
  if (old) {
    for (const auto& [position, body] : old->in_order()) {
      if (!contains(wanted, body)) {
        ++log.dropped;
        continue;
      }
      written.insert(body, KeyTable::hash(body), 0);
      write(body);
    }
  }
  expected.for_each([&](std::string_view body) {
    if (!written.insert(body, KeyTable::hash(body), 0).second) return;
    write(body);
    ++log.added;
  });
  return log;
}

}  // namespace quillet
