// The one mapping from the core's errors to Python exceptions, the module's
// exception classes, and the guard that turns std::bad_alloc into MemoryError
// at every entry point of the module.
//
// Classes (all made by add_error_classes, members of _quilletdb):
//   Error(RuntimeError)            every failure of the store
//     CorruptionError(Error)       a file holds something that cannot be read
//     ReadOnlyError(Error)         a write on a database opened read-only
//     ClosedError(Error)           a call on a closed database
//   RecordReadError(KeyError, Error)               get: a failure other than a
//   CorruptRecordError(KeyError, CorruptionError)  missing record
// A missing record read by get is exactly KeyError("key not found").
#pragma once

#include "python/pyref.h"

#include <new>
#include <string>
#include <string_view>
#include <type_traits>

#include "error.h"

namespace quillet::py {

// Where a core error is raised: get reports failures as KeyError.
enum class ErrorSite { Read, Write };

// The one mapping: raises the exception for `error`, chosen by its kind and
// the site, with its display text; returns null.
PyObject* raise_core_error(const Error& error, ErrorSite site);
// As raise_core_error for a failed open, with the text naming the
// directory: "{display text}: {quoted dir}", or for a path that exists but
// is no directory "{display text}: {quoted dir} is not a directory". The NUL
// text stays exactly as the core gives it.
PyObject* raise_open_error(const Error& error, std::string_view dir);
// ClosedError("database is closed").
PyObject* raise_closed();
// Error with `text` (failures of the layer itself, such as a re-entrant call).
PyObject* raise_error(const std::string& text);

// Creates the exception classes and adds them to `module`.
bool add_error_classes(PyObject* module);

// The value a C API entry point returns after an error: null or -1.
template <class R>
R failure_result() {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    return static_cast<R>(-1);
  }
}

// Wraps the entry point `F` so that std::bad_alloc thrown anywhere below it
// (the core allocates with new) becomes MemoryError instead of unwinding
// into the interpreter. Register `guarded<f>` wherever `f` would be.
template <auto F>
struct Guard;

template <class R, class... Args, R (*F)(Args...)>
struct Guard<F> {
  static R call(Args... args) noexcept {
    try {
      return F(args...);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      return failure_result<R>();
    }
  }
};

template <auto F>
inline constexpr auto guarded = &Guard<F>::call;

}  // namespace quillet::py
