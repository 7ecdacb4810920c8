// The module _quilletdb: its initialisation function and members.
#include "python/database.h"
#include "python/errors.h"

namespace quillet::py {

Classes classes;

// The command's support functions (_stat, _check, ...), defined in tools.cc.
extern PyMethodDef tool_functions[];

namespace {

PyMethodDef open_def = {"open", as_method(open_database), METH_FASTCALL | METH_KEYWORDS, kOpenSignature};
PyMethodDef tombstone_def = {"_tombstone", module_tombstone, METH_NOARGS,
                             "_tombstone()\n--\n\nTOMBSTONE (how a pickled tombstone is loaded)."};

// m_size 0 rather than -1: the interpreter then calls the init function again
// for every new interpreter instead of copying the first module's dict into
// it, which is what lets a sub-interpreter be refused.
constexpr const char kModuleDoc[] =
    "QuilletDB: an embedded document store with links and backlinks.\n"
    "\n"
    "open(path) gives a Database; records are values (None, bool, int, float, str, bytes,\n"
    "list, dict with str keys, Link, Tombstone) stored under a collection and a key.\n"
    "Failures of the store raise Error (a RuntimeError) or one of its subclasses:\n"
    "CorruptionError, ReadOnlyError, ClosedError. Database.get raises KeyError: exactly\n"
    "KeyError('key not found') for a missing record, RecordReadError or CorruptRecordError\n"
    "(KeyErrors too) when the record cannot be read.";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quilletdb", kModuleDoc, 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Adds `value` (a new reference, or null after a failure) under `name`.
bool add_member(PyObject* module, const char* name, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

// Readies a class on first use and records it for the type tests.
PyObject* class_object(PyTypeObject*& slot, PyTypeObject* (*ready)()) {
  slot = ready();
  return Py_XNewRef(reinterpret_cast<PyObject*>(slot));
}

bool register_members(PyObject* module) {
  PyObject* name = PyModule_GetNameObject(module);
  PyRef owned_name = PyRef::steal(name);
  return owned_name && add_member(module, "Tombstone", class_object(classes.tombstone, ready_tombstone_class)) &&
         add_member(module, "Link", class_object(classes.link, ready_link_class)) &&
         add_member(module, "Database", class_object(classes.database, ready_database_class)) &&
         add_member(module, "Transaction", Py_XNewRef(reinterpret_cast<PyObject*>(ready_transaction_class()))) &&
         add_member(module, "open", PyCFunction_NewEx(&open_def, module, name)) &&
         add_member(module, "TOMBSTONE", new_tombstone()) && add_error_classes(module) &&
         add_member(module, "_tombstone", PyCFunction_NewEx(&tombstone_def, module, name)) &&
         add_member(module, "CollectionView", class_object(classes.view, ready_view_class)) &&
         add_member(module, "CollectionIterator", class_object(classes.key_iterator, ready_key_iterator_class)) &&
         PyModule_AddFunctions(module, tool_functions) == 0;
}

}  // namespace
}  // namespace quillet::py

PyMODINIT_FUNC PyInit__quilletdb() {
  using namespace quillet::py;
  // The classes, TOMBSTONE and every Database belong to the main
  // interpreter; another interpreter must not share them.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "_quilletdb: sub-interpreters are not supported");
    return nullptr;
  }
  // Initialising again (after the module was dropped from sys.modules, say)
  // hands back the module made the first time.
  static PyObject* module = nullptr;
  if (module == nullptr) {
    PyRef created = PyRef::steal(PyModule_Create(&module_def));
    if (!created || !register_members(created.get())) return nullptr;
    module = created.release();
  }
  return Py_NewRef(module);
}
