// A collection opened from an arbitrary .qdb file. Opening may fail and any
// key may fail to read; nothing may crash. When a record can be appended, a
// reopened collection must read every key as before, plus the new record when
// it could be appended.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "fuzz_support.h"
#include "store/collection.h"

using namespace quillet;

namespace {

// What get() gave for a key: the value's encoding, or the error's text.
std::string outcome_of(Collection& collection, std::string_view key) {
  auto value = collection.get(key);
  return value ? "value " + fuzz::encoding_of(*value) : "error " + value.error().text();
}

std::unordered_map<std::string, std::string> read_every_key(Collection& collection) {
  std::unordered_map<std::string, std::string> outcomes;
  for (const std::string& key : collection.live_keys()) outcomes.emplace(key, outcome_of(collection, key));
  if (outcomes.size() != collection.live_count()) fuzz::fail("live_keys lists a key twice");
  return outcomes;
}

Value appended_value() {
  Map map;
  map.insert_or_assign("n", Value::integer(7));
  map.insert_or_assign("to", Value::link("c/k"));
  return Value::map(std::move(map));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = fuzz::scratch_dir() + "/c.qdb";
  fuzz::write_whole_file(path, std::string_view(reinterpret_cast<const char*>(data), size));

  auto opened = Collection::open(path);
  if (!opened) {
    (void)opened.error().text();
    return 0;
  }
  auto before = read_every_key(**opened);

  // The new record overwrites the smallest present key, or adds one.
  std::string key = "k";
  if (!before.empty()) {
    key = std::min_element(before.begin(), before.end(), [](const auto& a, const auto& b) { return a.first < b.first; })
              ->first;
  }
  const Value value = appended_value();
  const bool written = opened->get()->set(key, value).has_value();
  if (written) {
    if (outcome_of(**opened, key) != "value " + fuzz::encoding_of(value)) fuzz::fail("set is not read back");
    before[key] = "value " + fuzz::encoding_of(value);
  }
  opened->reset();

  auto reopened = Collection::open(path);
  if (!reopened) fuzz::fail("a collection that opened once does not open again", reopened.error().text());
  auto after = read_every_key(**reopened);
  if (after.size() != before.size()) fuzz::fail("reopening changed the set of keys");
  for (const auto& [k, outcome] : before) {
    auto it = after.find(k);
    if (it == after.end()) fuzz::fail("a key went missing on reopening", k);
    if (it->second != outcome) fuzz::fail("a key reads differently after reopening", k);
  }
  return 0;
}
