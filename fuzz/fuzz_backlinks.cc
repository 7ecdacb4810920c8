// A backlink index replayed from an arbitrary .qbl file. Opening may fail;
// nothing may crash. After one add and one remove, a replay of the file must
// give exactly the entries the index holds in memory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "store/backlinks.h"
#include "fuzz_support.h"

using namespace quillet;

namespace {

std::string describe(const BacklinkEntry& e) {
  return e.source_collection + "|" + e.source_key + "|" + e.source_path;
}

// The smallest target key that has an entry, with its first entry, so that the
// removal below takes out something the file added.
std::pair<std::string, BacklinkEntry> some_listed_entry(const BacklinkIndex& index) {
  std::pair<std::string, BacklinkEntry> found{"alice", {"posts", "p1", "author"}};
  bool any = false;
  for (const auto& [target, entries] : index.all_entries()) {
    if (entries.empty() || (any && target >= found.first)) continue;
    found = {target, entries.front()};
    any = true;
  }
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::string path = fuzz::scratch_dir() + "/t.qbl";
  fuzz::write_whole_file(path, std::string_view(reinterpret_cast<const char*>(data), size));

  auto opened = BacklinkIndex::open(path);
  if (!opened) {
    (void)opened.error().text();
    return 0;
  }
  BacklinkIndex& index = *opened;
  for (const auto& [target, entries] : index.all_entries()) {
    const auto& listed = index.entries_of(target);
    if (&listed != &entries) fuzz::fail("entries_of does not list the replayed entries", target);
    for (const BacklinkEntry& e : listed) (void)describe(e);
  }
  if (!index.entries_of("no such key that the corpus uses \x01").empty()) fuzz::fail("an absent key lists entries");

  auto [target, entry] = some_listed_entry(index);
  const BacklinkEntry added{"posts", "p9", "by/0"};
  const BacklinkIndex::Change changes[] = {{BacklinkIndex::Op::Remove, target, &entry},
                                           {BacklinkIndex::Op::Add, "users", &added}};
  std::size_t made = 0;
  (void)index.apply(changes, made);
  const auto in_memory = index.all_entries();
  opened = std::unexpected(Error::io("closed"));  // closes the file before it is read again

  auto replayed = BacklinkIndex::open(path);
  if (!replayed) fuzz::fail("an index that opened once does not open again", replayed.error().text());
  if (replayed->all_entries() != in_memory) fuzz::fail("the replay differs from the entries in memory");
  return 0;
}
