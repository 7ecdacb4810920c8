// The Database class and the module function open(): argument binding, the
// database lock, and the methods over the record operations (records.cc).
#include "python/database.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "python/binder.h"
#include "python/convert.h"
#include "store/resolver.h"

namespace quillet::py {
namespace {

constexpr const char* kOpenParams[] = {"path", "readonly", "sync", "autocompact"};
constexpr Signature kOpen{"open()", kOpenParams, 1, 3};
constexpr const char* kCompactParams[] = {"collection"};
constexpr Signature kCompact{"Database.compact()", kCompactParams, 0};
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
constexpr const char* kName[] = {"name"};
constexpr Signature kCollectionView{"Database.collection()", kName, 1};

constexpr const char kReentrantCall[] =
    "Database is already in use by this thread (a re-entrant call, for example from a finalizer)";

}  // namespace

bool DatabaseLock::acquire() {
  std::thread::id me = std::this_thread::get_id();
  if (cell_.owner.load() == me) {
    raise_error(kReentrantCall);
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

void DatabaseLock::release() {
  if (held_) {
    cell_.owner.store(std::thread::id{});
    cell_.mutex.unlock();
    held_ = false;
  }
}

bool DatabaseLock::acquire_open() {
  if (!acquire()) return false;
  if (cell_.core) return true;
  release();
  raise_closed();
  return false;
}

std::uint64_t SignalCheck::now_ns() {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

bool SignalCheck::due() {
  // The clock is read every few calls only: a call is often well under a
  // microsecond.
  constexpr std::uint32_t kCallsPerClockRead = 16;
  constexpr std::uint64_t kIntervalNs = 50'000'000;
  if (++calls_ % kCallsPerClockRead != 0) return false;
  return now_ns() - last_ns_ >= kIntervalNs;
}

bool SignalCheck::check() {
  last_ns_ = now_ns();
  return PyErr_CheckSignals() == 0;
}

namespace {

// Binds a call whose first two parameters are the texts collection and key;
// `bound` has one slot per parameter of `sig`.
bool bind_collection_key(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         std::span<PyObject*> bound, std::string_view& collection, std::string_view& key) {
  return bind_arguments(sig, args, nargs, kwnames, bound) && bind_text("collection", bound[0], collection) &&
         bind_text("key", bound[1], key);
}

// Binds a call of one text parameter (the first of `sig`); `bound` receives
// the argument itself.
bool bind_one_text(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject*& bound, std::string_view& text) {
  return bind_arguments(sig, args, nargs, kwnames, std::span(&bound, 1)) && bind_text(sig.params[0], bound, text);
}

PyObject* database_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  std::string_view collection;
  std::string_view key;
  if (!bind_collection_key(kGet, args, nargs, kwnames, bound, collection, key)) {
    return nullptr;
  }
  return get_record(self, collection, key);
}

PyObject* database_set(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3];
  std::string_view collection;
  std::string_view key;
  if (!bind_collection_key(kSet, args, nargs, kwnames, bound, collection, key)) {
    return nullptr;
  }
  return set_record(self, collection, key, bound[2]);
}

PyObject* database_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  std::string_view collection;
  std::string_view key;
  if (!bind_collection_key(kDelete, args, nargs, kwnames, bound, collection, key)) {
    return nullptr;
  }
  return delete_record(self, collection, key, false);
}

PyObject* database_set_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1];
  if (!bind_arguments(kSetMany, args, nargs, kwnames, bound)) return nullptr;
  return set_many_records(self, bound[0]);
}


PyObject* database_resolve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[3];
  std::string_view collection;
  std::string_view key;
  std::vector<std::string> path;
  if (!bind_collection_key(kResolve, args, nargs, kwnames, bound, collection, key) ||
      !bind_text_list("path", bound[2], path)) {
    return nullptr;
  }
  std::optional<Error> resolve_error;
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
  if (resolve_error) return raise_core_error(*resolve_error, ErrorSite::Write);
  return *converted;
}

PyObject* database_backlinks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[2];
  std::string_view collection;
  std::string_view key;
  if (!bind_collection_key(kBacklinks, args, nargs, kwnames, bound, collection, key)) {
    return nullptr;
  }
  return backlinks_list(self, collection, key);
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
  // Ctrl-C is noticed before the commit is sealed, without running any
  // handler under the lock: nothing is written, the transaction stays open,
  // and KeyboardInterrupt is raised.
  bool interrupted = false;
  auto keep_going = [&interrupted] {
    interrupted = PyOS_InterruptOccurred() != 0;
    return !interrupted;
  };
  auto result = with_lock(self, [&](Database& db) { return db.commit(keep_going); });
  if (!result) return nullptr;
  if (interrupted) {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  if (!*result) return raise_core_error(result->error(), ErrorSite::Write);
  Py_RETURN_NONE;
}

PyObject* database_sync(PyObject* self, PyObject*) {
  auto result = with_lock(self, [](Database& db) { return db.sync(); });
  if (!result) return nullptr;
  if (!*result) return raise_core_error(result->error(), ErrorSite::Write);
  Py_RETURN_NONE;
}

// The logs are listed under the lock; they are copied with neither the
// database lock nor the GIL, so that this Database (from other threads) and
// every other one keep working; only the final switch of each log holds
// that log's write lock.
PyObject* database_compact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound[1] = {nullptr};
  if (!bind_arguments(kCompact, args, nargs, kwnames, bound)) return nullptr;
  std::optional<std::string_view> name;
  if (bound[0] != nullptr && bound[0] != Py_None) {
    std::string_view text;
    if (!bind_text("collection", bound[0], text)) return nullptr;
    name = text;
  }
  auto targets = with_lock(self, [&](Database& db) { return db.compaction_targets(name); });
  if (!targets) return nullptr;
  if (!*targets) return raise_core_error(targets->error(), ErrorSite::Write);
  InPlaceCompactReport report;
  std::optional<Error> failed;
  Py_BEGIN_ALLOW_THREADS
  for (const CompactionTarget& target : **targets) {
    auto done = compact_log(target);
    if (!done) {
      failed = io_error(std::move(done.error()));
      break;
    }
    ++report.files;
    report.bytes_before += done->bytes_before;
    report.bytes_after += done->bytes_after;
  }
  Py_END_ALLOW_THREADS
  if (failed) return raise_core_error(*failed, ErrorSite::Write);
  return Py_BuildValue("{s:K,s:K,s:K}", "files", static_cast<unsigned long long>(report.files), "bytes_before",
                       static_cast<unsigned long long>(report.bytes_before), "bytes_after",
                       static_cast<unsigned long long>(report.bytes_after));
}

// --- Additions beyond the specified methods: close, the context manager,
// and listing collections and keys.

// Writes out every buffer and applies the queued backlink operations as a
// commit does, so that a failure can be reported; the core is dropped either
// way, which tries once more (as destruction does) and closes every file.
PyObject* database_close(PyObject* self, PyObject*) {
  std::optional<Error> error;
  {
    DatabaseCell& cell = cell_of(self);
    DatabaseLock lock(cell);
    if (!lock.acquire()) return nullptr;
    if (cell.core) {
      if (auto committed = cell.core->commit(); !committed) error = std::move(committed.error());
      cell.core.reset();
    }
  }
  if (error) return raise_core_error(*error, ErrorSite::Write);
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

// A list of str made from `texts` (UTF-8) after the lock is released; the
// signal handlers get a chance every ~50 ms of a long conversion.
PyObject* text_list(const std::vector<std::string>& texts) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  SignalCheck signals;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (signals.due() && !signals.check()) return nullptr;
    PyObject* text = PyUnicode_DecodeUTF8(texts[i].data(), static_cast<Py_ssize_t>(texts[i].size()), "replace");
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
  }
  return list.release();
}

// text_list of `texts` sorted, or null when they are nullopt (the error set).
PyObject* sorted_text_list(std::optional<std::vector<std::string>> texts) {
  if (!texts) return nullptr;
  std::ranges::sort(*texts);
  return text_list(*texts);
}

PyObject* database_collections(PyObject* self, PyObject*) {
  return sorted_text_list(with_lock(self, [](Database& db) {
    db.register_new_collections();
    return db.collection_names();
  }));
}

PyObject* database_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound = nullptr;
  std::string_view collection;
  if (!bind_one_text(kKeys, args, nargs, kwnames, bound, collection)) return nullptr;
  return sorted_text_list(live_keys(self, collection));
}

PyObject* database_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound = nullptr;
  std::string_view collection;
  if (!bind_one_text(kCount, args, nargs, kwnames, bound, collection)) return nullptr;
  auto count = live_count(self, collection);
  return count ? PyLong_FromSize_t(*count) : nullptr;
}

PyObject* database_collection(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* bound = nullptr;
  std::string_view name;
  if (!bind_one_text(kCollectionView, args, nargs, kwnames, bound, name)) return nullptr;
  return new_view(self, bound);
}

// db[name]: the same view as db.collection(name).
PyObject* database_subscript(PyObject* self, PyObject* name) {
  std::string_view text;
  if (!bind_text("name", name, text)) return nullptr;
  return new_view(self, name);
}

// "Database("{dir}")", or "Database("{dir}", closed=True)" once closed.
PyObject* database_repr(PyObject* self) {
  DatabaseCell& cell = cell_of(self);
  std::string text;
  {
    DatabaseLock lock(cell);
    if (!lock.acquire()) return nullptr;
    text = "Database(" + quote_repr(cell.path) + (cell.core ? ")" : ", closed=True)");
  }
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

void database_dealloc(PyObject* self) {
  // Dropping the core writes out its buffers and closes its files.
  std::destroy_at(&reinterpret_cast<PyDatabase*>(self)->cell);
  free_instance(self);
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

#define QUILLET_DOC(signature, text) signature "\n--\n\n" text

PyMethodDef database_methods[] = {
    {"get", as_method(guarded<database_get>), kFastcall,
     QUILLET_DOC("get($self, collection, key)",
                 "The record's value. KeyError('key not found') when it does not exist; a record that\n"
                 "cannot be read raises RecordReadError or CorruptRecordError (both KeyErrors).")},
    {"set", as_method(guarded<database_set>), kFastcall,
     QUILLET_DOC("set($self, collection, key, value)",
                 "Writes the record. TypeError for a value that cannot be stored (nothing is written).")},
    {"set_many", as_method(guarded<database_set_many>), kFastcall,
     QUILLET_DOC("set_many($self, ops)",
                 "Writes a list of (collection, key, value) tuples in order. Stops at the first failing\n"
                 "item (or at Ctrl-C); the items before it stay written.")},
    {"delete", as_method(guarded<database_delete>), kFastcall,
     QUILLET_DOC("delete($self, collection, key)", "Deletes the record; deleting a missing key does nothing.")},
    {"resolve", as_method(guarded<database_resolve>), kFastcall,
     QUILLET_DOC("resolve($self, collection, key, path)",
                 "The value at `path` (a sequence of field names, never a single str), following links\n"
                 "across records. An empty path gives the whole record.")},
    {"begin", guarded<database_begin>, METH_NOARGS,
     QUILLET_DOC("begin($self)",
                 "Starts a transaction: its writes reach no file and no other Database before commit();\n"
                 "reads of this Database see them at once. Inside a transaction begin() does nothing.")},
    {"commit", guarded<database_commit>, METH_NOARGS,
     QUILLET_DOC("commit($self)",
                 "Lands the transaction whole: its records and backlink updates appear to every Database\n"
                 "at once, and survive a crash. If it fails (or Ctrl-C arrives first), nothing of it is\n"
                 "written and the transaction stays open for another commit() or rollback().")},
    {"rollback", guarded<database_rollback>, METH_NOARGS,
     QUILLET_DOC("rollback($self)", "Discards the open transaction's writes. Without one it does nothing.")},
    {"transaction", guarded<database_transaction>, METH_NOARGS,
     QUILLET_DOC("transaction($self)",
                 "A context manager: `with db.transaction():` begins, commits when the block ends normally\n"
                 "and rolls back when it raises (KeyboardInterrupt included).")},
    {"sync", guarded<database_sync>, METH_NOARGS,
     QUILLET_DOC("sync($self)",
                 "Puts everything written so far on stable storage (records buffered by an open\n"
                 "transaction go out at commit()), in either sync mode.")},
    {"backlinks", as_method(guarded<database_backlinks>), kFastcall,
     QUILLET_DOC("backlinks($self, collection, key)",
                 "One dict per record linking here, with the keys source_collection, source_key and\n"
                 "source_path.")},
    {"compact", as_method(guarded<database_compact>), kFastcall,
     QUILLET_DOC("compact($self, collection=None)",
                 "Rewrites the collection (or every one) with only the latest record of each live key,\n"
                 "and its backlink file with only the listed entries, in place. Other threads and\n"
                 "processes keep reading and writing; writers wait only for the final switch of each\n"
                 "file. Needs free disk space for the live data. Returns a dict with files,\n"
                 "bytes_before and bytes_after.")},
    {"close", guarded<database_close>, METH_NOARGS,
     QUILLET_DOC("close($self)",
                 "Writes out every buffer and closes every file; afterwards calls raise ClosedError.\n"
                 "Closing again does nothing.")},
    {"__enter__", guarded<database_enter>, METH_NOARGS, QUILLET_DOC("__enter__($self)", "")},
    {"__exit__", as_method(guarded<database_exit>), METH_FASTCALL,
     QUILLET_DOC("__exit__($self, exc_type, exc_value, traceback)", "Closes the database.")},
    {"collections", guarded<database_collections>, METH_NOARGS,
     QUILLET_DOC("collections($self)", "The names of the registered collections, sorted.")},
    {"keys", as_method(guarded<database_keys>), kFastcall,
     QUILLET_DOC("keys($self, collection)",
                 "The live keys of a collection as a sorted list (see collection() for a streaming scan).")},
    {"count", as_method(guarded<database_count>), kFastcall,
     QUILLET_DOC("count($self, collection)", "The number of live keys of a collection.")},
    {"collection", as_method(guarded<database_collection>), kFastcall,
     QUILLET_DOC("collection($self, name)",
                 "A mapping view of one collection: v[key], v[key] = value, del v[key], key in v,\n"
                 "len(v), iteration and ordered scans. db[name] gives the same view.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMappingMethods database_mapping = {nullptr, guarded<database_subscript>, nullptr};

PyTypeObject database_class =
    blank_class("_quilletdb.Database", sizeof(PyDatabase),
                "An open database directory, made by open(). Safe to share between threads: every\n"
                "call holds the database's lock. Use it as a context manager to close it.");

// Reads the path of open(): str (taken as UTF-8, as every text parameter),
// bytes, or an os.PathLike giving either.
bool bind_path(PyObject* object, std::string& path) {
  PyRef fs_path = PyRef::borrow(object);
  if (!PyUnicode_Check(object) && !PyBytes_Check(object)) {
    fs_path = PyRef::steal(PyOS_FSPath(object));
    if (!fs_path) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        raise_wrong_argument_type("path", object, "PyString");  // the text open() always gave
      }
      return false;
    }
  }
  if (PyBytes_Check(fs_path.get())) {
    path.assign(PyBytes_AS_STRING(fs_path.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(fs_path.get())));
    return true;
  }
  std::string_view text;
  if (!utf8_of(fs_path.get(), text)) return false;
  path.assign(text);
  return true;
}

// Reads open()'s autocompact: None or False (off), True (the defaults), or a
// dict with the keys dead_share (a float in (0, 1]) and min_bytes (an int
// >= 0), each optional.
bool bind_autocompact(PyObject* object, std::optional<AutoCompact>& rule) {
  if (object == nullptr || object == Py_None || object == Py_False) return true;
  rule = AutoCompact{};
  if (object == Py_True) return true;
  if (!PyDict_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "autocompact must be None, a bool or a dict");
    return false;
  }
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  for (Py_ssize_t pos = 0; PyDict_Next(object, &pos, &key, &value);) {
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "dead_share") == 0) {
      rule->dead_share = PyFloat_AsDouble(value);
      if (rule->dead_share == -1.0 && PyErr_Occurred()) return false;
      if (!(rule->dead_share > 0 && rule->dead_share <= 1)) {
        PyErr_SetString(PyExc_ValueError, "autocompact dead_share must be in (0, 1]");
        return false;
      }
    } else if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "min_bytes") == 0) {
      rule->min_bytes = PyLong_AsUnsignedLongLong(value);
      if (PyErr_Occurred()) return false;
    } else {
      PyErr_SetString(PyExc_TypeError, "autocompact keys are dead_share and min_bytes");
      return false;
    }
  }
  return true;
}

PyObject* open_database_unguarded(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  PyObject* bound[4];
  std::string path;
  if (!bind_arguments(kOpen, args, nargsf, kwnames, bound) || !bind_path(bound[0], path)) return nullptr;
  int readonly = bound[1] == nullptr ? 0 : PyObject_IsTrue(bound[1]);
  if (readonly < 0) return nullptr;
  int sync = bound[2] == nullptr ? 0 : PyObject_IsTrue(bound[2]);
  if (sync < 0) return nullptr;
  std::optional<AutoCompact> autocompact;
  if (!bind_autocompact(bound[3], autocompact)) return nullptr;
  auto core = Database::open(path, readonly ? OpenMode::ReadOnly : OpenMode::ReadWrite,
                             sync ? SyncMode::Full : SyncMode::None);
  if (!core) return raise_open_error(core.error(), path);
  (*core)->set_autocompact(autocompact);
  PyObject* self = classes.database->tp_alloc(classes.database, 0);
  if (self == nullptr) return nullptr;
  auto* database = reinterpret_cast<PyDatabase*>(self);
  new (&database->cell) std::shared_ptr<DatabaseCell>(std::make_shared<DatabaseCell>());
  database->cell->core = std::move(*core);
  database->cell->path = std::move(path);
  return self;
}

}  // namespace

const char kOpenSignature[] = QUILLET_DOC(
    "open(path, *, readonly=False, sync=False, autocompact=None)",
    "Opens the database directory `path` (str, bytes or os.PathLike), creating it when\n"
    "missing. With readonly=True nothing is created or written: the directory must exist,\n"
    "and every write raises ReadOnlyError. With sync=True, set, delete, set_many and commit\n"
    "return only once what they wrote is on stable storage (it survives a power cut); by\n"
    "default a write survives the process being killed, not the machine losing power.\n"
    "autocompact (off by default): True, or a dict {'dead_share': 0.5, 'min_bytes': 64 << 20},\n"
    "makes a collection compact itself after a write once its file holds min_bytes and\n"
    "dead_share of its records are overwritten or deleted; the compaction runs inside that write.");

PyTypeObject* ready_database_class() {
  if (!PyType_HasFeature(&database_class, Py_TPFLAGS_READY)) {
    database_class.tp_new = refuse_construction;
    database_class.tp_dealloc = database_dealloc;
    database_class.tp_repr = guarded<database_repr>;
    database_class.tp_methods = database_methods;
    database_class.tp_as_mapping = &database_mapping;
    if (PyType_Ready(&database_class) < 0) return nullptr;
  }
  return &database_class;
}

PyObject* open_database(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<open_database_unguarded>(module, args, nargsf, kwnames);
}

}  // namespace quillet::py
