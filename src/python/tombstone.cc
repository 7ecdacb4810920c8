// The Tombstone class: the deletion marker as Python sees it. It carries no
// data, cannot be constructed from Python and is false in a boolean context.
#include "python/binder.h"
#include "python/classes.h"

namespace quillet::py {
namespace {

PyObject* tombstone_repr(PyObject*) { return PyUnicode_FromString("TOMBSTONE"); }

int tombstone_bool(PyObject*) { return 0; }

void tombstone_dealloc(PyObject* self) { free_instance(self); }

// Pickles as a call of the module's _tombstone(), which gives TOMBSTONE back.
// (A reduce to the bare name cannot work: instances have no __module__.)
PyObject* tombstone_reduce(PyObject*, PyObject*) {
  PyRef module = PyRef::steal(PyImport_ImportModule("_quilletdb"));
  if (!module) return nullptr;
  PyRef factory = PyRef::steal(PyObject_GetAttrString(module.get(), "_tombstone"));
  if (!factory) return nullptr;
  return Py_BuildValue("(O())", factory.get());
}

PyTypeObject tombstone_class =
    blank_class("_quilletdb.Tombstone", sizeof(PyTombstone),
                "The deletion marker (the module's TOMBSTONE). Not constructible; false in a boolean\n"
                "context. Storing it deletes a record; read back inside a value it is a new instance\n"
                "each time, so test with isinstance, not with `is TOMBSTONE`.");
PyNumberMethods tombstone_number_methods{};

}  // namespace

PyTypeObject* ready_tombstone_class() {
  if (!PyType_HasFeature(&tombstone_class, Py_TPFLAGS_READY)) {
    tombstone_number_methods.nb_bool = tombstone_bool;
    tombstone_class.tp_as_number = &tombstone_number_methods;
    tombstone_class.tp_new = refuse_construction;
    tombstone_class.tp_dealloc = tombstone_dealloc;
    tombstone_class.tp_repr = tombstone_repr;
    tombstone_class.tp_methods = reduce_only_methods<tombstone_reduce>;
    if (PyType_Ready(&tombstone_class) < 0) return nullptr;
  }
  return &tombstone_class;
}

PyObject* new_tombstone() { return classes.tombstone->tp_alloc(classes.tombstone, 0); }

PyObject* module_tombstone(PyObject* module, PyObject*) { return PyObject_GetAttrString(module, "TOMBSTONE"); }

PyObject* refuse_construction(PyTypeObject* type, PyObject*, PyObject*) {
  PyRef name = type_name(type);
  if (name) PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name.get());
  return nullptr;
}

}  // namespace quillet::py
