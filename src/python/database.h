// The database lock (database.cc) and the record operations (records.cc) that
// both the Database methods and the collection view (view.cc) are made of.
#pragma once

#include "python/classes.h"

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "python/errors.h"

namespace quillet::py {

inline DatabaseCell& cell_of(PyObject* self) { return *reinterpret_cast<PyDatabase*>(self)->cell; }

// Holds a Database's lock for the span of one call (or one slice of a long
// call, see release).
//
// No call may wait for itself: a thread that finds the lock held by itself
// (a finalizer or other Python code run in the middle of a call on the same
// Database) gets Error. A thread that finds it held by another thread
// waits with the GIL released, since the holder may need the GIL to finish.
class DatabaseLock {
 public:
  explicit DatabaseLock(DatabaseCell& cell) : cell_(cell) {}
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;
  ~DatabaseLock() { release(); }

  // False with Error set for a re-entrant call.
  bool acquire();
  // Lets the lock go early, so that Python code (a signal handler) can run
  // without it; acquire takes it again.
  void release();
  // acquire, then ClosedError when the database was closed.
  bool acquire_open();

 private:
  DatabaseCell& cell_;
  bool held_ = false;
};

// Runs `body` on the core under the database lock and returns its result,
// or nullopt (exception set) for a re-entrant call or a closed database.
// The lock is released before the result reaches the caller, so exceptions
// are raised outside it.
template <class Body>
auto with_lock(PyObject* self, Body&& body) -> std::optional<std::invoke_result_t<Body, Database&>> {
  DatabaseCell& cell = cell_of(self);
  DatabaseLock lock(cell);
  if (!lock.acquire_open()) return std::nullopt;
  return body(*cell.core);
}

// The record operations on the database object `db`, each one call on the
// core under the lock; they return a new reference or null with the error
// set. A missing record reads as KeyError("key not found").
PyObject* get_record(PyObject* db, std::string_view collection, std::string_view key);
PyObject* set_record(PyObject* db, std::string_view collection, std::string_view key, PyObject* value);
// With `must_exist`, a missing record is a KeyError and nothing is written.
PyObject* delete_record(PyObject* db, std::string_view collection, std::string_view key, bool must_exist);
// 1 when the record exists, 0 when not, -1 with the error set.
int has_record(PyObject* db, std::string_view collection, std::string_view key);
// Writes the list `ops` of (collection, key, value) tuples in order under one
// holding of the lock (let go every ~50 ms for the signal handlers), stopping
// at the first failing item; the items before it stay written.
PyObject* set_many_records(PyObject* db, PyObject* ops);

// The list of dicts `backlinks` returns for the record, or null with the
// error set.
PyObject* backlinks_list(PyObject* db, std::string_view collection, std::string_view key);

// The live keys of `collection` (opening it, and creating its file, on first
// use, as get does), or nullopt with the error set.
std::optional<std::vector<std::string>> live_keys(PyObject* db, std::string_view collection);
// The number of live keys of `collection`, or nullopt with the error set.
std::optional<std::size_t> live_count(PyObject* db, std::string_view collection);

// The collection view class (view.cc) and its constructor: a view of the
// collection `name` (a str) of the database object `db`.
PyTypeObject* ready_view_class();
PyTypeObject* ready_key_iterator_class();
PyObject* new_view(PyObject* db, PyObject* name);

// The signal check of long calls: true (no signal, or its handler returned)
// at most every kSignalInterval, false with the handler's exception set
// (KeyboardInterrupt for Ctrl-C). Runs Python code: never call it with the
// database lock held.
class SignalCheck {
 public:
  // Whether the interval has passed since the last check (cheap, no Python).
  bool due();
  bool check();

 private:
  std::uint64_t last_ns_ = now_ns();
  std::uint32_t calls_ = 0;
  static std::uint64_t now_ns();
};

// Database.rollback() and Database.transaction() (transaction.cc).
PyObject* database_rollback(PyObject* self, PyObject*);
PyObject* database_transaction(PyObject* self, PyObject*);

}  // namespace quillet::py
