// The three classes Python sees (Tombstone, Link, Database): their instance
// layouts, their class objects, and how the rest of the layer makes instances.
#pragma once

#include "python/pyref.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/database.h"
#include "value/value.h"

namespace quillet::py {

struct PyTombstone {
  PyObject_HEAD
};

struct PyLink {
  PyObject_HEAD
  Link link;
};

// The database lock around one core. `owner` names the thread holding the
// lock (a default id when free) so that a call re-entering from the same
// thread, for example from a finalizer that runs during a conversion, is
// refused instead of waiting for itself.
// The str objects of the backlinks lately built for a few targets, three
// per entry, kept while the target's index keeps the stamp it had then
// (python/backlinks.cc). Guarded by the GIL.
struct BacklinkStrings {
  struct Slot {
    std::string collection;
    std::string key;
    std::uint64_t stamp = 0;
    // Shared, so that a call holding it survives a finalizer that refills the slot.
    std::shared_ptr<const std::vector<PyRef>> strings;
  };
  std::vector<Slot> slots;
  std::size_t entries = 0;  // kept in all the slots
};

struct DatabaseCell {
  std::mutex mutex;
  std::atomic<std::thread::id> owner{};
  std::unique_ptr<Database> core;  // null once closed
  std::string path;                // as given to open, for repr after close
  BacklinkStrings backlink_strings;
};

struct PyDatabase {
  PyObject_HEAD
  std::shared_ptr<DatabaseCell> cell;
};

// The class objects, in static storage like the interpreter's own classes:
// readied by the first module initialisation and kept for the life of the
// process. Their tp_name is qualified ("_quilletdb.Link"), so __module__
// names the module and pickle finds them; __name__ stays the bare name,
// which is what every message shows. They are immutable and none of them
// can be subclassed, so a type test is an identity test on these pointers.
struct Classes {
  PyTypeObject* tombstone = nullptr;
  PyTypeObject* link = nullptr;
  PyTypeObject* database = nullptr;
  PyTypeObject* view = nullptr;
  PyTypeObject* key_iterator = nullptr;
};
extern Classes classes;

// Each readies its class on first use and returns it, or null with the error set.
PyTypeObject* ready_tombstone_class();
PyTypeObject* ready_link_class();
PyTypeObject* ready_database_class();
PyTypeObject* ready_transaction_class();

// A class object with the fields every class of the module shares; the
// caller adds its slots and passes it to PyType_Ready.
inline PyTypeObject blank_class(const char* name, Py_ssize_t basicsize, const char* doc) {
  PyTypeObject type{};
  Py_SET_REFCNT(&type, 1);
  type.tp_name = name;
  type.tp_basicsize = basicsize;
  type.tp_flags = Py_TPFLAGS_DEFAULT;
  type.tp_doc = doc;
  return type;
}

// The method table of a class whose one method is `reduce` as __reduce__
// (how pickle and copy take its instances apart).
template <PyCFunction reduce>
inline PyMethodDef reduce_only_methods[] = {
    {"__reduce__", reduce, METH_NOARGS, "__reduce__($self)\n--\n\nFor pickle and copy."},
    {nullptr, nullptr, 0, nullptr},
};

// A fresh Tombstone instance (never the module's TOMBSTONE unless asked for
// by initialisation itself).
PyObject* new_tombstone();
// The module function _tombstone(): the module's TOMBSTONE (what a pickled
// tombstone is loaded as).
PyObject* module_tombstone(PyObject* module, PyObject*);
// A new Link object holding `link`.
PyObject* new_link(Link link);

// The module function open(path); a METH_FASTCALL | METH_KEYWORDS function.
PyObject* open_database(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
extern const char kOpenSignature[];

// "No constructor defined for {name}" (the bare name): the tp_new of the
// classes Python cannot instantiate.
PyObject* refuse_construction(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Frees an instance's memory; the class's own tp_dealloc destroys its C++
// members first.
inline void free_instance(PyObject* self) { Py_TYPE(self)->tp_free(self); }

// Casts a METH_FASTCALL | METH_KEYWORDS function for a PyMethodDef.
template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace quillet::py
