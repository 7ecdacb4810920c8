// The collection view: one collection of a Database as a mapping from str
// keys to values (db.collection(name) or db[name]), with ordered scans.
//
// A scan takes a sorted snapshot of the matching keys under the database
// lock and hands them out one at a time, each turned into a str (and, for
// values() and items(), read) only when the iteration reaches it. A key
// deleted after the snapshot is skipped by values() and items().
#include "python/database.h"

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "python/binder.h"

namespace quillet::py {
namespace {

struct PyView {
  PyObject_HEAD
  PyObject* db;    // the Database object (strong)
  PyObject* name;  // the collection name, a str (strong)
  std::string name_text;
};

enum class ScanMode { Keys, Values, Items };

struct PyKeyIterator {
  PyObject_HEAD
  PyObject* view;  // strong
  ScanMode mode;
  std::vector<std::string> keys;
  std::size_t next;
  std::size_t sorted_end;  // keys[0, sorted_end) are in order and come first
};

// Puts the next keys in order, a few at first and then all: a scan stopped
// after its first keys costs a partition, not a sort of every key it
// matched, and a whole scan costs one sort.
void sort_more(PyKeyIterator& it) {
  const auto first = it.keys.begin() + static_cast<std::ptrdiff_t>(it.sorted_end);
  const std::size_t left = it.keys.size() - it.sorted_end;
  const std::size_t chunk = std::size_t{256} << (2 * std::min<std::size_t>(it.sorted_end / 256, 3));
  if (it.sorted_end >= 4096 || left <= chunk) {
    std::sort(first, it.keys.end());
    it.sorted_end = it.keys.size();
    return;
  }
  const auto chunk_end = first + static_cast<std::ptrdiff_t>(chunk);
  std::nth_element(first, chunk_end, it.keys.end());
  std::sort(first, chunk_end);
  it.sorted_end += chunk;
}

PyView& view_of(PyObject* self) { return *reinterpret_cast<PyView*>(self); }
PyKeyIterator& iterator_of(PyObject* self) { return *reinterpret_cast<PyKeyIterator*>(self); }

constexpr const char* kScanParams[] = {"prefix", "start", "stop"};
constexpr Signature kKeysScan{"CollectionView.keys()", kScanParams, 0, 3};
constexpr Signature kValuesScan{"CollectionView.values()", kScanParams, 0, 3};
constexpr Signature kItemsScan{"CollectionView.items()", kScanParams, 0, 3};
constexpr const char* kGetParams[] = {"key", "default"};
constexpr Signature kViewGet{"CollectionView.get()", kGetParams, 1};

// Which keys a scan yields: those starting with `prefix`, at or after
// `start` and before `stop` (each unset when not given). UTF-8 byte order
// is code point order, which is how Python orders str.
struct KeyRange {
  std::optional<std::string> prefix;
  std::optional<std::string> start;
  std::optional<std::string> stop;

  bool contains(std::string_view key) const {
    return (!prefix || key.starts_with(*prefix)) && (!start || key >= *start) && (!stop || key < *stop);
  }
};

bool bind_optional_text(const char* param, PyObject* object, std::optional<std::string>& text) {
  if (object == nullptr || object == Py_None) return true;
  std::string_view view;
  if (!bind_text(param, object, view)) return false;
  text.emplace(view);
  return true;
}

PyObject* new_key_iterator(PyObject* view, ScanMode mode, const KeyRange& range) {
  auto keys = live_keys(view_of(view).db, view_of(view).name_text);
  if (!keys) return nullptr;
  std::erase_if(*keys, [&](const std::string& key) { return !range.contains(key); });
  PyObject* self = classes.key_iterator->tp_alloc(classes.key_iterator, 0);
  if (self == nullptr) return nullptr;
  PyKeyIterator& it = iterator_of(self);
  it.view = Py_NewRef(view);
  it.mode = mode;
  new (&it.keys) std::vector<std::string>(std::move(*keys));
  it.next = 0;
  it.sorted_end = 0;
  return self;
}

PyObject* scan(const Signature& sig, ScanMode mode, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
               PyObject* kwnames) {
  PyObject* bound[3];
  KeyRange range;
  if (!bind_arguments(sig, args, nargs, kwnames, bound) || !bind_optional_text("prefix", bound[0], range.prefix) ||
      !bind_optional_text("start", bound[1], range.start) || !bind_optional_text("stop", bound[2], range.stop)) {
    return nullptr;
  }
  return new_key_iterator(self, mode, range);
}

PyObject* view_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return scan(kKeysScan, ScanMode::Keys, self, args, nargs, kwnames);
}

PyObject* view_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return scan(kValuesScan, ScanMode::Values, self, args, nargs, kwnames);
}

PyObject* view_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return scan(kItemsScan, ScanMode::Items, self, args, nargs, kwnames);
}

PyObject* view_iter(PyObject* self) { return new_key_iterator(self, ScanMode::Keys, KeyRange{}); }

PyObject* view_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  std::string_view key;
  if (!bind_arguments(kViewGet, args, nargs, kwnames, bound) || !bind_text("key", bound[0], key)) return nullptr;
  PyObject* value = get_record(view_of(self).db, view_of(self).name_text, key);
  // Only a missing record gives the default; a damaged one is still raised.
  if (value == nullptr && PyErr_Occurred() == PyExc_KeyError) {
    PyErr_Clear();
    return Py_NewRef(bound[1] != nullptr ? bound[1] : Py_None);
  }
  return value;
}

PyObject* view_subscript(PyObject* self, PyObject* key_object) {
  std::string_view key;
  if (!bind_text("key", key_object, key)) return nullptr;
  return get_record(view_of(self).db, view_of(self).name_text, key);
}

int view_assign(PyObject* self, PyObject* key_object, PyObject* value) {
  std::string_view key;
  if (!bind_text("key", key_object, key)) return -1;
  PyRef done = PyRef::steal(value == nullptr ? delete_record(view_of(self).db, view_of(self).name_text, key, true)
                                             : set_record(view_of(self).db, view_of(self).name_text, key, value));
  return done ? 0 : -1;
}

int view_contains(PyObject* self, PyObject* key_object) {
  std::string_view key;
  if (!bind_text("key", key_object, key)) return -1;
  return has_record(view_of(self).db, view_of(self).name_text, key);
}

Py_ssize_t view_length(PyObject* self) {
  auto count = live_count(view_of(self).db, view_of(self).name_text);
  return count ? static_cast<Py_ssize_t>(*count) : -1;
}

PyObject* view_repr(PyObject* self) {
  return PyUnicode_FromFormat("<CollectionView %R of %R>", view_of(self).name, view_of(self).db);
}

void view_dealloc(PyObject* self) {
  PyView& view = view_of(self);
  std::destroy_at(&view.name_text);
  Py_DECREF(view.name);
  Py_DECREF(view.db);
  free_instance(self);
}

PyObject* view_get_name(PyObject* self, void*) { return Py_NewRef(view_of(self).name); }
PyObject* view_get_database(PyObject* self, void*) { return Py_NewRef(view_of(self).db); }

PyObject* iterator_next(PyObject* self) {
  PyKeyIterator& it = iterator_of(self);
  PyView& view = view_of(it.view);
  while (it.next < it.keys.size()) {
    if (it.next == it.sorted_end) sort_more(it);
    const std::string& key = it.keys[it.next++];
    PyRef text = PyRef::steal(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
    if (!text) return nullptr;
    if (it.mode == ScanMode::Keys) return text.release();
    PyObject* value = get_record(view.db, view.name_text, key);
    if (value == nullptr) {
      // Deleted since the snapshot: not part of the scan any more.
      if (PyErr_Occurred() == PyExc_KeyError) {
        PyErr_Clear();
        continue;
      }
      return nullptr;
    }
    if (it.mode == ScanMode::Values) return value;
    PyRef owned_value = PyRef::steal(value);
    return PyTuple_Pack(2, text.get(), owned_value.get());
  }
  return nullptr;  // exhausted: StopIteration without an exception object
}

PyObject* iterator_length_hint(PyObject* self, PyObject*) {
  const PyKeyIterator& it = iterator_of(self);
  return PyLong_FromSize_t(it.keys.size() - it.next);
}

void iterator_dealloc(PyObject* self) {
  PyKeyIterator& it = iterator_of(self);
  std::destroy_at(&it.keys);
  Py_DECREF(it.view);
  free_instance(self);
}

#define QUILLET_DOC(signature, text) signature "\n--\n\n" text
constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef view_methods[] = {
    {"get", as_method(guarded<view_get>), kFastcall,
     QUILLET_DOC("get($self, key, default=None)", "The record's value, or `default` when it does not exist.")},
    {"keys", as_method(guarded<view_keys>), kFastcall,
     QUILLET_DOC("keys($self, *, prefix=None, start=None, stop=None)",
                 "An iterator over the live keys in order: those starting with `prefix`, at or after\n"
                 "`start`, before `stop`. The keys are a snapshot taken by this call.")},
    {"values", as_method(guarded<view_values>), kFastcall,
     QUILLET_DOC("values($self, *, prefix=None, start=None, stop=None)",
                 "An iterator over the values of the keys that keys() would give, read as it goes.")},
    {"items", as_method(guarded<view_items>), kFastcall,
     QUILLET_DOC("items($self, *, prefix=None, start=None, stop=None)",
                 "An iterator over (key, value) pairs, in key order, read as it goes.")},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef view_getset[] = {
    {"name", view_get_name, nullptr, "The collection's name.", nullptr},
    {"database", view_get_database, nullptr, "The Database the view reads and writes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMappingMethods view_mapping = {guarded<view_length>, guarded<view_subscript>, guarded<view_assign>};
PySequenceMethods view_sequence{};

PyTypeObject view_class = blank_class(
    "_quilletdb.CollectionView", sizeof(PyView),
    "One collection of a Database as a mapping of str keys to values, made by\n"
    "Database.collection(name) or db[name]. v[key] raises KeyError('key not found') for a\n"
    "missing key; del v[key] raises it too. Iteration yields the keys in order.");

PyMethodDef iterator_methods[] = {
    {"__length_hint__", guarded<iterator_length_hint>, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject key_iterator_class =
    blank_class("_quilletdb.CollectionIterator", sizeof(PyKeyIterator), "An ordered scan of a collection.");

}  // namespace

PyTypeObject* ready_view_class() {
  if (!PyType_HasFeature(&view_class, Py_TPFLAGS_READY)) {
    view_sequence.sq_contains = guarded<view_contains>;
    view_class.tp_new = refuse_construction;
    view_class.tp_dealloc = view_dealloc;
    view_class.tp_repr = guarded<view_repr>;
    view_class.tp_iter = guarded<view_iter>;
    view_class.tp_as_mapping = &view_mapping;
    view_class.tp_as_sequence = &view_sequence;
    view_class.tp_methods = view_methods;
    view_class.tp_getset = view_getset;
    if (PyType_Ready(&view_class) < 0) return nullptr;
  }
  return &view_class;
}

PyTypeObject* ready_key_iterator_class() {
  if (!PyType_HasFeature(&key_iterator_class, Py_TPFLAGS_READY)) {
    key_iterator_class.tp_new = refuse_construction;
    key_iterator_class.tp_dealloc = iterator_dealloc;
    key_iterator_class.tp_iter = PyObject_SelfIter;
    key_iterator_class.tp_iternext = guarded<iterator_next>;
    key_iterator_class.tp_methods = iterator_methods;
    if (PyType_Ready(&key_iterator_class) < 0) return nullptr;
  }
  return &key_iterator_class;
}

PyObject* new_view(PyObject* db, PyObject* name) {
  std::string_view text;
  if (!utf8_of(name, text)) return nullptr;
  PyObject* self = classes.view->tp_alloc(classes.view, 0);
  if (self == nullptr) return nullptr;
  PyView& view = view_of(self);
  view.db = Py_NewRef(db);
  view.name = Py_NewRef(name);
  new (&view.name_text) std::string(text);
  return self;
}

}  // namespace quillet::py
