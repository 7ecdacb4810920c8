// The Database class and the module function open(): binding, conversion,
// the database lock, and the mapping of core errors to Python exceptions.
#include "python/classes.h"

#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "python/binder.h"
#include "python/convert.h"
#include "python/fast.h"
#include "store/resolver.h"

namespace quillet::py {
namespace {

constexpr const char* kOpenParams[] = {"path"};
constexpr Signature kOpen{"open()", kOpenParams, 1};
constexpr const char* kCollectionKey[] = {"collection", "key"};
constexpr const char* kCollectionKeyValue[] = {"collection", "key", "value"};
constexpr const char* kCollectionKeyPath[] = {"collection", "key", "path"};
constexpr const char* kOps[] = {"ops"};
constexpr Signature kGet{"Database.get()", kCollectionKey, 2};
constexpr Signature kSet{"Database.set()", kCollectionKeyValue, 3};
constexpr Signature kSetMany{"Database.set_many()", kOps, 1};
constexpr Signature kDelete{"Database.delete()", kCollectionKey, 2};
constexpr Signature kResolve{"Database.resolve()", kCollectionKeyPath, 3};
constexpr Signature kBacklinks{"Database.backlinks()", kCollectionKey, 2};
constexpr const char* kCollection[] = {"collection"};
constexpr Signature kKeys{"Database.keys()", kCollection, 1};
constexpr Signature kCount{"Database.count()", kCollection, 1};

constexpr const char kReentrantCall[] =
    "Database is already in use by this thread (a re-entrant call, for example from a finalizer)";
constexpr const char kClosed[] = "database is closed";

DatabaseCell& cell_of(PyObject* self) { return *reinterpret_cast<PyDatabase*>(self)->cell; }

// Raises `type` with `text` as its single str argument. Core texts are
// UTF-8; "replace" keeps a stray byte from turning into a different error.
PyObject* raise_text(PyObject* type, const std::string& text) {
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

// Holds a Database's lock for the span of one call.
//
// No call may wait for itself: a thread that finds the lock held by itself
// (a finalizer or other Python code run in the middle of a call on the same
// Database) gets RuntimeError. A thread that finds it held by another thread
// waits with the GIL released, since the holder may need the GIL to finish.
class DatabaseLock {
 public:
  explicit DatabaseLock(DatabaseCell& cell) : cell_(cell) {}
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;
  ~DatabaseLock() {
    if (held_) {
      cell_.owner.store(std::thread::id{});
      cell_.mutex.unlock();
    }
  }

  // False with RuntimeError set for a re-entrant call.
  bool acquire() {
    std::thread::id me = std::this_thread::get_id();
    if (cell_.owner.load() == me) {
      PyErr_SetString(PyExc_RuntimeError, kReentrantCall);
      return false;
    }
    if (!cell_.mutex.try_lock()) {
      Py_BEGIN_ALLOW_THREADS
      cell_.mutex.lock();
      Py_END_ALLOW_THREADS
    }
    cell_.owner.store(me);
    held_ = true;
    return true;
  }

 private:
  DatabaseCell& cell_;
  bool held_ = false;
};

// Runs `body` on the core under the database lock and returns its result,
// or nullopt (RuntimeError set) for a re-entrant call or a closed database.
// The lock is released before the result reaches the caller, so exceptions
// are raised outside it.
template <class Body>
auto with_lock(PyObject* self, Body&& body) -> std::optional<std::invoke_result_t<Body, Database&>> {
  DatabaseCell& cell = cell_of(self);
  DatabaseLock lock(cell);
  if (!lock.acquire()) return std::nullopt;
  if (!cell.core) {
    PyErr_SetString(PyExc_RuntimeError, kClosed);
    return std::nullopt;
  }
  return body(*cell.core);
}

// A buffer for one value's encoding on its way in or out. Each call takes
// the thread's spare buffer (so a warm call allocates nothing for it) and
// gives it back when done; a call that re-enters in the middle (a finalizer)
// finds none spare and uses a fresh one, so no two calls ever share one.
class ScratchBuffer {
 public:
  ScratchBuffer() : buffer_(std::move(spare())) { buffer_.clear(); }
  ~ScratchBuffer() {
    if (buffer_.capacity() <= kKeepCapacity) spare() = std::move(buffer_);
  }
  ScratchBuffer(const ScratchBuffer&) = delete;
  ScratchBuffer& operator=(const ScratchBuffer&) = delete;
  std::string& get() { return buffer_; }

 private:
  static constexpr std::size_t kKeepCapacity = 1 << 16;
  static std::string& spare() {
    thread_local std::string buffer;
    return buffer;
  }
  std::string buffer_;
};

bool bind_collection_key(PyObject* const* bound, std::string_view& collection, std::string_view& key) {
  return bind_text("collection", bound[0], collection) && bind_text("key", bound[1], key);
}

PyObject* database_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  std::string_view collection;
  std::string_view key;
  if (!bind_arguments(kGet, args, nargs, kwnames, bound) || !bind_collection_key(bound, collection, key)) {
    return nullptr;
  }
  // The record's encoding is copied out under the lock and turned into
  // objects after it is released.
  ScratchBuffer scratch;
  std::string& encoded = scratch.get();
  auto result = with_lock(self, [&](Database& db) { return db.get_encoded(collection, key, encoded); });
  if (!result) return nullptr;
  // Every storage error of a read is a KeyError, not only a missing record.
  if (!*result) return raise_text(PyExc_KeyError, result->error().text());
  PyObject* object = nullptr;
  switch (decode_common(encoded, &object)) {
    case FastDecode::Done:
      return object;
    case FastDecode::Failed:
      return nullptr;
    case FastDecode::LeftToGeneral:
      break;
  }
  std::size_t position = 0;
  auto value = decode(encoded, position);
  if (!value) return raise_text(PyExc_KeyError, StorageError::from_codec(value.error()).text());
  return value_to_py(std::move(*value));
}

PyObject* database_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3];
  std::string_view collection;
  std::string_view key;
  if (!bind_arguments(kSet, args, nargs, kwnames, bound) || !bind_collection_key(bound, collection, key)) {
    return nullptr;
  }
  // Converted before the lock is taken: a refused value never reaches the store.
  ScratchBuffer scratch;
  std::string& encoded = scratch.get();
  bool has_links = false;
  if (encode_common(bound[2], encoded, has_links)) {
    auto result =
        with_lock(self, [&](Database& db) { return db.set_encoded(collection, key, encoded, has_links); });
    if (!result) return nullptr;
    if (!*result) return raise_text(PyExc_RuntimeError, result->error().text());
    Py_RETURN_NONE;
  }
  std::optional<Value> value = py_to_value(bound[2]);
  if (!value) return nullptr;
  auto result = with_lock(self, [&](Database& db) { return db.set(collection, key, *value); });
  if (!result) return nullptr;
  if (!*result) return raise_text(PyExc_RuntimeError, result->error().text());
  Py_RETURN_NONE;
}

PyObject* database_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  std::string_view collection;
  std::string_view key;
  if (!bind_arguments(kDelete, args, nargs, kwnames, bound) || !bind_collection_key(bound, collection, key)) {
    return nullptr;
  }
  // Deleting is writing the marker, whether or not the key exists.
  auto result = with_lock(self, [&](Database& db) { return db.set(collection, key, Value::tombstone()); });
  if (!result) return nullptr;
  if (!*result) return raise_text(PyExc_RuntimeError, result->error().text());
  Py_RETURN_NONE;
}

// Reads element `index` of a set_many item as text.
bool item_text(PyObject* item, Py_ssize_t index, std::string_view& text) {
  PyObject* element = PyTuple_GetItem(item, index);  // IndexError when missing
  if (element == nullptr) return false;
  if (!PyUnicode_Check(element)) {
    raise_cannot_convert(element, "PyString");
    return false;
  }
  return utf8_of(element, text);
}

enum class ItemOutcome { Written, PythonError, StorageFailed };

// Checks, converts and writes one (collection, key, value) item; elements
// after the third are ignored.
ItemOutcome write_item(Database& db, PyObject* item, std::optional<StorageError>& storage_error) {
  if (!PyTuple_Check(item)) {
    PyErr_SetString(PyExc_TypeError, "set_many: expected list of (col, key, value) tuples");
    return ItemOutcome::PythonError;
  }
  std::string_view collection;
  std::string_view key;
  if (!item_text(item, 0, collection) || !item_text(item, 1, key)) return ItemOutcome::PythonError;
  PyObject* element = PyTuple_GetItem(item, 2);
  if (element == nullptr) return ItemOutcome::PythonError;
  ScratchBuffer scratch;
  std::string& encoded = scratch.get();
  bool has_links = false;
  if (encode_common(element, encoded, has_links)) {
    if (auto written = db.set_encoded(collection, key, encoded, has_links); !written) {
      storage_error = std::move(written.error());
      return ItemOutcome::StorageFailed;
    }
    return ItemOutcome::Written;
  }
  std::optional<Value> value = py_to_value(element);
  if (!value) return ItemOutcome::PythonError;
  if (auto written = db.set(collection, key, *value); !written) {
    storage_error = std::move(written.error());
    return ItemOutcome::StorageFailed;
  }
  return ItemOutcome::Written;
}

PyObject* database_set_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind_arguments(kSetMany, args, nargs, kwnames, bound)) return nullptr;
  PyObject* ops = bound[0];
  if (!PyList_Check(ops)) {
    raise_wrong_argument_type("ops", ops, "PyList");
    return nullptr;
  }
  // One holding of the lock for the whole list, conversions included, so no
  // other call on this Database interleaves. Items already written stay
  // written when a later one fails.
  std::optional<StorageError> storage_error;
  ItemOutcome outcome = ItemOutcome::Written;
  {
    DatabaseCell& cell = cell_of(self);
    DatabaseLock lock(cell);
    if (!lock.acquire()) return nullptr;
    if (!cell.core) {
      PyErr_SetString(PyExc_RuntimeError, kClosed);
      return nullptr;
    }
    // The size is read again each round: a finalizer run by the collector in
    // the middle of a conversion could shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(ops) && outcome == ItemOutcome::Written; ++i) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(ops, i));
      outcome = write_item(*cell.core, item.get(), storage_error);
    }
  }
  switch (outcome) {
    case ItemOutcome::Written:
      Py_RETURN_NONE;
    case ItemOutcome::StorageFailed:
      return raise_text(PyExc_RuntimeError, storage_error->text());
    case ItemOutcome::PythonError:
      break;
  }
  return nullptr;
}

PyObject* database_resolve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3];
  std::string_view collection;
  std::string_view key;
  std::vector<std::string> path;
  if (!bind_arguments(kResolve, args, nargs, kwnames, bound) || !bind_collection_key(bound, collection, key) ||
      !bind_text_list("path", bound[2], path)) {
    return nullptr;
  }
  std::optional<ResolveError> resolve_error;
  // The result is converted while the lock is held.
  auto converted = with_lock(self, [&](Database& db) -> PyObject* {
    auto found = Resolver(db).get_field(collection, key, path);
    if (!found) {
      resolve_error = std::move(found.error());
      return nullptr;
    }
    return value_to_py(std::move(*found));
  });
  if (!converted) return nullptr;
  if (resolve_error) return raise_text(PyExc_RuntimeError, resolve_error->text());
  return *converted;
}

// The three keys of a backlinks dict, made once: every entry uses them.
struct BacklinkKeys {
  PyObject* source_collection = nullptr;
  PyObject* source_key = nullptr;
  PyObject* source_path = nullptr;
};

const BacklinkKeys* backlink_keys() {
  static BacklinkKeys keys;
  if (keys.source_path == nullptr) {
    keys.source_collection = PyUnicode_InternFromString("source_collection");
    keys.source_key = PyUnicode_InternFromString("source_key");
    keys.source_path = PyUnicode_InternFromString("source_path");
    if (keys.source_collection == nullptr || keys.source_key == nullptr || keys.source_path == nullptr) {
      return nullptr;
    }
  }
  return &keys;
}

bool set_text_item(PyObject* dict, PyObject* name, const std::string& text) {
  PyRef value = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  return value && PyDict_SetItem(dict, name, value.get()) == 0;
}

PyObject* backlink_to_dict(const BacklinkEntry& entry, const BacklinkKeys& keys) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict || !set_text_item(dict.get(), keys.source_collection, entry.source_collection) ||
      !set_text_item(dict.get(), keys.source_key, entry.source_key) ||
      !set_text_item(dict.get(), keys.source_path, entry.source_path)) {
    return nullptr;
  }
  return dict.release();
}

PyObject* database_backlinks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  std::string_view collection;
  std::string_view key;
  if (!bind_arguments(kBacklinks, args, nargs, kwnames, bound) || !bind_collection_key(bound, collection, key)) {
    return nullptr;
  }
  auto result = with_lock(self, [&](Database& db) { return db.get_backlinks(collection, key); });
  if (!result) return nullptr;
  if (!*result) return raise_text(PyExc_RuntimeError, result->error().text());
  // Built after the lock is released.
  const BacklinkKeys* keys = backlink_keys();
  if (keys == nullptr) return nullptr;
  const std::vector<BacklinkEntry>& entries = **result;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PyObject* dict = backlink_to_dict(entries[i], *keys);
    if (dict == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), dict);
  }
  return list.release();
}

PyObject* database_begin(PyObject* self, PyObject*) {
  auto done = with_lock(self, [](Database& db) {
    db.begin();
    return true;
  });
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* database_commit(PyObject* self, PyObject*) {
  auto result = with_lock(self, [](Database& db) { return db.commit(); });
  if (!result) return nullptr;
  if (!*result) return raise_text(PyExc_RuntimeError, result->error().text());
  Py_RETURN_NONE;
}

// --- Additions beyond the specified methods: close, the context manager,
// and listing collections and keys.

// Writes out every buffer and applies the queued backlink operations as a
// commit does, so that a failure can be reported; the core is dropped either
// way, which tries once more (as destruction does) and closes every file.
PyObject* database_close(PyObject* self, PyObject*) {
  std::optional<StorageError> error;
  {
    DatabaseCell& cell = cell_of(self);
    DatabaseLock lock(cell);
    if (!lock.acquire()) return nullptr;
    if (cell.core) {
      if (auto committed = cell.core->commit(); !committed) error = std::move(committed.error());
      cell.core.reset();
    }
  }
  if (error) return raise_text(PyExc_RuntimeError, error->text());
  Py_RETURN_NONE;
}

PyObject* database_enter(PyObject* self, PyObject*) {
  auto open = with_lock(self, [](Database&) { return true; });
  if (!open) return nullptr;
  return Py_NewRef(self);
}

// Closes whatever ended the block; returns None so that an exception goes on.
PyObject* database_exit(PyObject* self, PyObject* const*, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "Database.__exit__() takes exactly 3 arguments (%zd given)", nargs);
    return nullptr;
  }
  return database_close(self, nullptr);
}

// A list of str made from `texts` (UTF-8) after the lock is released.
PyObject* text_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* text = PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()), "replace");
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

PyObject* database_collections(PyObject* self, PyObject*) {
  auto names = with_lock(self, [](Database& db) { return db.collection_names(); });
  if (!names) return nullptr;
  std::ranges::sort(*names);
  return text_list(*names);
}

// The live keys of a collection (opening it, and creating its file, on first
// use, as get does), or nullopt with the error set.
std::optional<std::vector<std::string>> live_keys_of(PyObject* self, const Signature& sig, PyObject* const* args,
                                                     Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1];
  std::string_view collection;
  if (!bind_arguments(sig, args, nargs, kwnames, bound) || !bind_text("collection", bound[0], collection)) {
    return std::nullopt;
  }
  auto result = with_lock(self, [&](Database& db) -> std::expected<std::vector<std::string>, StorageError> {
    auto guarded = db.collection(collection);
    if (!guarded) return std::unexpected(std::move(guarded.error()));
    std::lock_guard lock((*guarded)->mutex);
    return (*guarded)->collection->live_keys();
  });
  if (!result) return std::nullopt;
  if (!*result) {
    raise_text(PyExc_RuntimeError, result->error().text());
    return std::nullopt;
  }
  return std::move(**result);
}

PyObject* database_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto keys = live_keys_of(self, kKeys, args, nargs, kwnames);
  if (!keys) return nullptr;
  std::ranges::sort(*keys);
  return text_list(*keys);
}

PyObject* database_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1];
  std::string_view collection;
  if (!bind_arguments(kCount, args, nargs, kwnames, bound) || !bind_text("collection", bound[0], collection)) {
    return nullptr;
  }
  auto result = with_lock(self, [&](Database& db) -> std::expected<std::size_t, StorageError> {
    auto guarded = db.collection(collection);
    if (!guarded) return std::unexpected(std::move(guarded.error()));
    std::lock_guard lock((*guarded)->mutex);
    return (*guarded)->collection->live_count();
  });
  if (!result) return nullptr;
  if (!*result) return raise_text(PyExc_RuntimeError, result->error().text());
  return PyLong_FromSize_t(**result);
}

PyObject* database_repr(PyObject* self) {
  auto text = with_lock(self, [](Database& db) { return "Database(" + quote_repr(db.dir_path()) + ")"; });
  if (!text) return nullptr;
  return PyUnicode_DecodeUTF8(text->data(), static_cast<Py_ssize_t>(text->size()), "replace");
}

void database_dealloc(PyObject* self) {
  // Dropping the core writes out its buffers and closes its files.
  std::destroy_at(&reinterpret_cast<PyDatabase*>(self)->cell);
  free_instance(self);
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// Each docstring is only a text signature; the methods carry no other text.
PyMethodDef database_methods[] = {
    {"get", as_method(database_get), kFastcall, "get($self, collection, key)\n--\n\n"},
    {"set", as_method(database_set), kFastcall, "set($self, collection, key, value)\n--\n\n"},
    {"set_many", as_method(database_set_many), kFastcall, "set_many($self, ops)\n--\n\n"},
    {"delete", as_method(database_delete), kFastcall, "delete($self, collection, key)\n--\n\n"},
    {"resolve", as_method(database_resolve), kFastcall, "resolve($self, collection, key, path)\n--\n\n"},
    {"begin", database_begin, METH_NOARGS, "begin($self)\n--\n\n"},
    {"commit", database_commit, METH_NOARGS, "commit($self)\n--\n\n"},
    {"backlinks", as_method(database_backlinks), kFastcall, "backlinks($self, collection, key)\n--\n\n"},
    // Additions.
    {"close", database_close, METH_NOARGS, "close($self)\n--\n\n"},
    {"__enter__", database_enter, METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_method(database_exit), METH_FASTCALL, "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"},
    {"collections", database_collections, METH_NOARGS, "collections($self)\n--\n\n"},
    {"keys", as_method(database_keys), kFastcall, "keys($self, collection)\n--\n\n"},
    {"count", as_method(database_count), kFastcall, "count($self, collection)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject database_class = blank_class("Database", sizeof(PyDatabase), nullptr);

}  // namespace

const char kOpenSignature[] = "open(path)\n--\n\n";

PyTypeObject* ready_database_class() {
  if (!PyType_HasFeature(&database_class, Py_TPFLAGS_READY)) {
    database_class.tp_new = refuse_construction;
    database_class.tp_dealloc = database_dealloc;
    database_class.tp_repr = database_repr;
    database_class.tp_methods = database_methods;
    if (PyType_Ready(&database_class) < 0) return nullptr;
  }
  return &database_class;
}

PyObject* open_database(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* bound[1];
  std::string_view path;
  if (!bind_arguments(kOpen, args, nargsf, kwnames, bound) || !bind_text("path", bound[0], path)) return nullptr;
  auto core = Database::open(std::string(path));
  if (!core) return raise_text(PyExc_RuntimeError, core.error().text());
  PyObject* self = classes.database->tp_alloc(classes.database, 0);
  if (self == nullptr) return nullptr;
  auto* database = reinterpret_cast<PyDatabase*>(self);
  new (&database->cell) std::shared_ptr<DatabaseCell>(std::make_shared<DatabaseCell>());
  database->cell->core = std::move(*core);
  return self;
}

}  // namespace quillet::py
