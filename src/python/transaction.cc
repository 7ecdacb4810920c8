// Database.rollback() and the context manager that Database.transaction()
// gives: begin on entry; commit when the block ends normally, rollback when
// it raises (KeyboardInterrupt included), the exception going on.
#include "python/binder.h"
#include "python/classes.h"
#include "python/database.h"

#define QUILLET_DOC(signature, text) signature "\n--\n\n" text

namespace quillet::py {
namespace {

struct PyTransaction {
  PyObject_HEAD
  PyObject* database;
};

void transaction_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<PyTransaction*>(self)->database);
  free_instance(self);
}

PyObject* transaction_enter(PyObject* self, PyObject*) {
  PyObject* database = reinterpret_cast<PyTransaction*>(self)->database;
  PyRef begun = PyRef::steal(PyObject_CallMethod(database, "begin", nullptr));
  if (!begun) return nullptr;
  return Py_NewRef(database);
}

PyObject* transaction_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "Transaction.__exit__() takes exactly 3 arguments (%zd given)", nargs);
    return nullptr;
  }
  PyObject* database = reinterpret_cast<PyTransaction*>(self)->database;
  const bool raised = args[0] != Py_None;
  PyRef done = PyRef::steal(PyObject_CallMethod(database, raised ? "rollback" : "commit", nullptr));
  if (!done) return nullptr;
  Py_RETURN_NONE;  // an exception from the block goes on
}

PyMethodDef transaction_methods[] = {
    {"__enter__", guarded<transaction_enter>, METH_NOARGS,
     QUILLET_DOC("__enter__($self)", "Begins the transaction; gives the database.")},
    {"__exit__", as_method(guarded<transaction_exit>),
     METH_FASTCALL,
     QUILLET_DOC("__exit__($self, exc_type, exc_value, traceback)",
                 "Commits when the block ended normally; rolls back when it raised.")},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject transaction_class = blank_class(
    "_quilletdb.Transaction", sizeof(PyTransaction),
    "What Database.transaction() gives: `with db.transaction():` begins, commits when the block\n"
    "ends normally and rolls back when it raises.");

}  // namespace

PyTypeObject* ready_transaction_class() {
  if (!PyType_HasFeature(&transaction_class, Py_TPFLAGS_READY)) {
    transaction_class.tp_new = refuse_construction;
    transaction_class.tp_dealloc = transaction_dealloc;
    transaction_class.tp_methods = transaction_methods;
    if (PyType_Ready(&transaction_class) < 0) return nullptr;
  }
  return &transaction_class;
}

PyObject* database_rollback(PyObject* self, PyObject*) {
  auto done = with_lock(self, [](Database& db) {
    db.rollback();
    return true;
  });
  if (!done) return nullptr;
  Py_RETURN_NONE;
}

PyObject* database_transaction(PyObject* self, PyObject*) {
  PyTypeObject* type = ready_transaction_class();
  if (type == nullptr) return nullptr;
  PyObject* made = type->tp_alloc(type, 0);
  if (made == nullptr) return nullptr;
  reinterpret_cast<PyTransaction*>(made)->database = Py_NewRef(self);
  return made;
}

}  // namespace quillet::py
