// The record operations the Database methods and the collection view share:
// get, set, delete and membership of one record, set_many, and the live keys
// of a collection.
#include "python/database.h"

#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "python/binder.h"
#include "python/convert.h"
#include "python/fast.h"

namespace quillet::py {
namespace {

// A buffer for one value's encoding on its way in or out. Each call takes
// the spare buffer (so a warm call allocates nothing for it) and
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
  // Taken and given back only while the GIL is held (a call may let go of
  // it in between, holding its own buffer), so one spare serves every thread.
  static std::string& spare() {
    static std::string buffer;
    return buffer;
  }
  std::string buffer_;
};

// Turns a record's encoding into objects (after the lock is released).
PyObject* decode_record(const std::string& encoded) {
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
  if (!value) return raise_core_error(std::move(value.error()).in_context("codec"), ErrorSite::Read);
  return value_to_py(std::move(*value));
}

}  // namespace

PyObject* get_record(PyObject* db, std::string_view collection, std::string_view key) {
  // The record's encoding is copied out under the lock and turned into
  // objects after it is released.
  ScratchBuffer scratch;
  std::string& encoded = scratch.get();
  auto result = with_lock(db, [&](Database& core) { return core.get_encoded(collection, key, encoded); });
  if (!result) return nullptr;
  // Every storage error of a read is a KeyError, not only a missing record.
  if (!*result) return raise_core_error(result->error(), ErrorSite::Read);
  return decode_record(encoded);
}

PyObject* set_record(PyObject* db, std::string_view collection, std::string_view key, PyObject* object) {
  // Converted before the lock is taken: a refused value never reaches the store.
  ScratchBuffer scratch;
  std::string& encoded = scratch.get();
  bool has_links = false;
  std::expected<void, Error> written;
  if (encode_common(object, encoded, has_links)) {
    auto result =
        with_lock(db, [&](Database& core) { return core.set_encoded(collection, key, encoded, has_links); });
    if (!result) return nullptr;
    written = std::move(*result);
  } else {
    std::optional<Value> value = py_to_value(object);
    if (!value) return nullptr;
    auto result = with_lock(db, [&](Database& core) { return core.set(collection, key, *value); });
    if (!result) return nullptr;
    written = std::move(*result);
  }
  if (!written) return raise_core_error(written.error(), ErrorSite::Write);
  Py_RETURN_NONE;
}

PyObject* delete_record(PyObject* db, std::string_view collection, std::string_view key, bool must_exist) {
  // Deleting is writing the marker, whether or not the key exists, unless
  // the caller asked for a KeyError on a missing one.
  ScratchBuffer scratch;
  auto result = with_lock(db, [&](Database& core) -> std::expected<void, Error> {
    if (must_exist) {
      if (auto found = core.get_encoded(collection, key, scratch.get()); !found) return found;
    }
    return core.set(collection, key, Value::tombstone());
  });
  if (!result) return nullptr;
  if (!*result) {
    bool missing = result->error().is(ErrorKind::NotFound);
    return raise_core_error(result->error(), missing ? ErrorSite::Read : ErrorSite::Write);
  }
  Py_RETURN_NONE;
}

int has_record(PyObject* db, std::string_view collection, std::string_view key) {
  ScratchBuffer scratch;
  auto result = with_lock(db, [&](Database& core) { return core.get_encoded(collection, key, scratch.get()); });
  if (!result) return -1;
  if (*result) return 1;
  if (result->error().is(ErrorKind::NotFound)) return 0;
  raise_core_error(result->error(), ErrorSite::Read);
  return -1;
}

namespace {

// Runs `read` on the collection `collection` (opened on first use) under
// the database lock and the collection's own; nullopt with the error set
// when the collection cannot be opened.
template <class Read>
auto read_collection(PyObject* db, std::string_view collection, Read&& read)
    -> std::optional<std::invoke_result_t<Read, Collection&>> {
  using Result = std::invoke_result_t<Read, Collection&>;
  auto result = with_lock(db, [&](Database& core) -> std::expected<Result, Error> {
    auto guarded = core.collection(collection);
    if (!guarded) return std::unexpected(std::move(guarded.error()));
    std::lock_guard lock((*guarded)->mutex);
    return read(*(*guarded)->collection);
  });
  if (!result) return std::nullopt;
  if (!*result) {
    raise_core_error(result->error(), ErrorSite::Write);
    return std::nullopt;
  }
  return std::move(**result);
}

}  // namespace

std::optional<std::vector<std::string>> live_keys(PyObject* db, std::string_view collection) {
  return read_collection(db, collection, [](Collection& c) { return c.live_keys(); });
}

std::optional<std::size_t> live_count(PyObject* db, std::string_view collection) {
  return read_collection(db, collection, [](Collection& c) { return c.live_count(); });
}

namespace {

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

// Holds the raised exception aside while other calls run, and raises it
// again at the end of its scope unless dropped.
class PendingError {
 public:
#if PY_VERSION_HEX >= 0x030C0000
  PendingError() : raised_(PyErr_GetRaisedException()) {}
  ~PendingError() {
    if (raised_) PyErr_SetRaisedException(raised_);
  }
  void drop() { Py_CLEAR(raised_); }

 private:
  PyObject* raised_;
#else
  PendingError() { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PendingError() {
    if (type_) PyErr_Restore(type_, value_, traceback_);
  }
  void drop() {
    Py_CLEAR(type_);
    Py_CLEAR(value_);
    Py_CLEAR(traceback_);
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
#endif
};

// Checks, converts and writes one (collection, key, value) item; elements
// after the third are ignored.
ItemOutcome write_item(Database& db, PyObject* item, std::optional<Error>& storage_error) {
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

}  // namespace

PyObject* set_many_records(PyObject* db, PyObject* ops) {
  if (!PyList_Check(ops)) {
    raise_wrong_argument_type("ops", ops, "PyList");
    return nullptr;
  }
  // One holding of the lock for the whole list, conversions included, so no
  // other call on this Database interleaves, except at a signal check: a
  // long list lets the lock go every ~50 ms to run the signal handlers
  // without it (Ctrl-C stops the call there). Items already written stay
  // written when a later one fails or the call is interrupted.
  std::optional<Error> storage_error;
  ItemOutcome outcome = ItemOutcome::Written;
  {
    DatabaseCell& cell = cell_of(db);
    DatabaseLock lock(cell);
    if (!lock.acquire_open()) return nullptr;
    SignalCheck signals;
    // With sync on, the items share one sync per holding of the lock: the
    // deferral never outlasts the holding, so no other call's write goes
    // unsynced.
    auto end_deferral = [&] {
      if (auto synced = cell.core->end_deferred_syncs(); !synced && outcome == ItemOutcome::Written) {
        storage_error = std::move(synced.error());
        outcome = ItemOutcome::StorageFailed;
      }
    };
    // Outside a transaction the items go out together, the way a commit
    // writes them (one write of many records instead of one per item), in a
    // transaction of the call's own that ends before every letting go of the
    // lock, so other databases see each part whole. When that commit fails,
    // the part's items are written again one by one, so that the items
    // before the one that cannot be written stay written.
    const bool own_transaction = !cell.core->in_transaction();
    Py_ssize_t part_start = 0;
    auto begin_part = [&](Py_ssize_t start) {
      part_start = start;
      cell.core->defer_syncs();
      if (own_transaction) cell.core->begin();
    };
    auto end_part = [&](Py_ssize_t end) {
      if (own_transaction && cell.core->in_transaction()) {
        if (auto committed = cell.core->commit(); !committed) {
          cell.core->rollback();
          PendingError held;  // the failing item's own error, if any
          for (Py_ssize_t j = part_start; j < end; ++j) {
            PyRef item = PyRef::borrow(PyList_GET_ITEM(ops, j));
            if (ItemOutcome one = write_item(*cell.core, item.get(), storage_error); one != ItemOutcome::Written) {
              held.drop();
              outcome = one;
              break;
            }
          }
        }
      }
      end_deferral();
    };
    begin_part(0);
    // The size is read again each round: a finalizer run by the collector in
    // the middle of a conversion could shrink the list.
    Py_ssize_t i = 0;
    for (; i < PyList_GET_SIZE(ops) && outcome == ItemOutcome::Written; ++i) {
      if (signals.due()) {
        end_part(i);
        if (outcome != ItemOutcome::Written) break;
        lock.release();
        if (!signals.check() || !lock.acquire_open()) return nullptr;
        begin_part(i);
      }
      PyRef item = PyRef::borrow(PyList_GET_ITEM(ops, i));
      outcome = write_item(*cell.core, item.get(), storage_error);
    }
    // The item that failed is not written again.
    end_part(outcome == ItemOutcome::Written ? i : i - 1);
  }
  switch (outcome) {
    case ItemOutcome::Written:
      Py_RETURN_NONE;
    case ItemOutcome::StorageFailed:
      return raise_core_error(*storage_error, ErrorSite::Write);
    case ItemOutcome::PythonError:
      break;
  }
  return nullptr;
}

}  // namespace quillet::py
