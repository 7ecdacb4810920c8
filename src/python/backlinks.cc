// Database.backlinks: the list of {"source_collection", "source_key",
// "source_path"} dicts for one record. The dicts are new at every call; the
// str objects in them are made once per target and reused while the
// target's backlink index has not changed, so that a repeated call costs
// little more than building the dicts.
#include "python/database.h"

#include <functional>
#include <vector>

#include "python/errors.h"

namespace quillet::py {
namespace {

// Targets with strings kept per database, and the most entries kept in all
// (about 20 MB at worst).
constexpr std::size_t kSlots = 4096;
constexpr std::size_t kMostEntries = std::size_t{1} << 18;

// The three keys of a backlinks dict, made once: every entry uses them.
PyObject* field_names[3];

bool ready_field_names() {
  if (field_names[2] != nullptr) return true;
  const char* texts[3] = {"source_collection", "source_key", "source_path"};
  for (int i = 0; i < 3; ++i) {
    if (field_names[i] == nullptr) field_names[i] = PyUnicode_InternFromString(texts[i]);
    if (field_names[i] == nullptr) return false;
  }
  return true;
}

BacklinkStrings::Slot& slot_for(BacklinkStrings& strings, std::string_view collection, std::string_view key) {
  if (strings.slots.empty()) strings.slots.resize(kSlots);
  const std::size_t h = std::hash<std::string_view>{}(collection) * 31 + std::hash<std::string_view>{}(key);
  return strings.slots[h % kSlots];
}

// The entries' texts as str objects, three per entry; a text equal to the
// one before it in the same field (the source collection and path mostly
// are) shares its object.
std::shared_ptr<const std::vector<PyRef>> strings_of(const std::vector<BacklinkEntry>& entries) {
  auto strings = std::make_shared<std::vector<PyRef>>();
  strings->reserve(entries.size() * 3);
  const BacklinkEntry* previous = nullptr;
  for (const BacklinkEntry& entry : entries) {
    const std::string* texts[3] = {&entry.source_collection, &entry.source_key, &entry.source_path};
    const std::string* before[3] = {};
    if (previous) {
      before[0] = &previous->source_collection;
      before[1] = &previous->source_key;
      before[2] = &previous->source_path;
    }
    for (int field = 0; field < 3; ++field) {
      if (before[field] && *before[field] == *texts[field]) {
        strings->push_back(PyRef::borrow((*strings)[strings->size() - 3].get()));
        continue;
      }
      PyObject* text =
          PyUnicode_DecodeUTF8(texts[field]->data(), static_cast<Py_ssize_t>(texts[field]->size()), "replace");
      if (text == nullptr) return nullptr;
      strings->push_back(PyRef::steal(text));
    }
    previous = &entry;
  }
  return strings;
}

PyObject* dicts_of(const std::vector<PyRef>& strings) {
  const Py_ssize_t count = static_cast<Py_ssize_t>(strings.size() / 3);
  PyRef list = PyRef::steal(PyList_New(count));
  if (!list) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* dict = PyDict_New();
    if (dict == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), i, dict);
    for (int field = 0; field < 3; ++field) {
      if (PyDict_SetItem(dict, field_names[field], strings[static_cast<std::size_t>(i) * 3 + field].get()) != 0) {
        return nullptr;
      }
    }
  }
  return list.release();
}

}  // namespace

PyObject* backlinks_list(PyObject* db, std::string_view collection, std::string_view key) {
  if (!ready_field_names()) return nullptr;
  BacklinkStrings::Slot& slot = slot_for(cell_of(db).backlink_strings, collection, key);
  std::shared_ptr<const std::vector<PyRef>> kept;
  std::uint64_t stamp = 0;
  // The strings are made under the lock, straight from the index: making a
  // str runs no Python code (str objects are not tracked by the collector,
  // so no collection and no finalizer can start). The dicts, which are
  // tracked, are made after the lock is let go.
  auto result = with_lock(db, [&](Database& core) -> std::expected<void, Error> {
    auto seen = core.backlinks_seen(collection, key);
    if (!seen) return std::unexpected(std::move(seen.error()));
    if (slot.strings && slot.stamp == seen->stamp && slot.collection == collection && slot.key == key) {
      kept = slot.strings;
    } else {
      kept = strings_of(*seen->entries);
      stamp = seen->stamp;
    }
    return {};
  });
  if (!result) return nullptr;
  if (!*result) return raise_core_error(result->error(), ErrorSite::Write);
  if (!kept) return nullptr;  // a str could not be made
  if (stamp != 0) {
    BacklinkStrings& all = cell_of(db).backlink_strings;
    const std::size_t replaced = slot.strings ? slot.strings->size() / 3 : 0;
    const std::size_t entries = kept->size() / 3;
    if (all.entries - replaced + entries <= kMostEntries) {
      all.entries = all.entries - replaced + entries;
      slot.collection.assign(collection);
      slot.key.assign(key);
      slot.stamp = stamp;
      slot.strings = kept;
    }
  }
  return dicts_of(*kept);
}

}  // namespace quillet::py
