// The Tombstone class: the deletion marker as Python sees it. It carries no
// data, cannot be constructed from Python and is false in a boolean context.
#include "classes.h"

namespace quillet::py {
namespace {

PyObject* tombstone_repr(PyObject*) { return PyUnicode_FromString("TOMBSTONE"); }

int tombstone_bool(PyObject*) { return 0; }

void tombstone_dealloc(PyObject* self) { free_instance(self); }

PyType_Slot tombstone_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(refuse_construction)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tombstone_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(tombstone_repr)},
    {Py_nb_bool, reinterpret_cast<void*>(tombstone_bool)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec tombstone_spec = {
    "Tombstone",
    sizeof(PyTombstone),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    tombstone_slots,
};

}  // namespace

PyTypeObject* make_tombstone_class() {
  return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&tombstone_spec));
}

PyObject* new_tombstone() { return classes.tombstone->tp_alloc(classes.tombstone, 0); }

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_TypeError, "No constructor defined for %s", type->tp_name);
  return nullptr;
}

}  // namespace quillet::py
