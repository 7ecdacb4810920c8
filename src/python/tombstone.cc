// The Tombstone class: the deletion marker as Python sees it. It carries no
// data, cannot be constructed from Python and is false in a boolean context.
#include "python/classes.h"

namespace quillet::py {
namespace {

PyObject* tombstone_repr(PyObject*) { return PyUnicode_FromString("TOMBSTONE"); }

int tombstone_bool(PyObject*) { return 0; }

void tombstone_dealloc(PyObject* self) { free_instance(self); }

PyTypeObject tombstone_class = blank_class("Tombstone", sizeof(PyTombstone), nullptr);
PyNumberMethods tombstone_number_methods{};

}  // namespace

PyTypeObject* ready_tombstone_class() {
  if (!PyType_HasFeature(&tombstone_class, Py_TPFLAGS_READY)) {
    tombstone_number_methods.nb_bool = tombstone_bool;
    tombstone_class.tp_as_number = &tombstone_number_methods;
    tombstone_class.tp_new = refuse_construction;
    tombstone_class.tp_dealloc = tombstone_dealloc;
    tombstone_class.tp_repr = tombstone_repr;
    if (PyType_Ready(&tombstone_class) < 0) return nullptr;
  }
  return &tombstone_class;
}

PyObject* new_tombstone() { return classes.tombstone->tp_alloc(classes.tombstone, 0); }

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
  return nullptr;
}

}  // namespace quillet::py
