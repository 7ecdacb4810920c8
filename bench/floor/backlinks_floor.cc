// The least a backlinks call can cost from Python: a list of three-entry
// dicts built in C from strings that already exist. bench/backlinks.py
// times db.backlinks next to it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject* names[3];

// dicts(triples): [{"source_collection": c, "source_key": k, "source_path": p} for c, k, p in triples]
PyObject* dicts(PyObject*, PyObject* triples) {
  if (!PyList_CheckExact(triples)) {
    PyErr_SetString(PyExc_TypeError, "a list of 3-tuples of str");
    return nullptr;
  }
  const Py_ssize_t count = PyList_GET_SIZE(triples);
  PyObject* list = PyList_New(count);
  if (list == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* triple = PyList_GET_ITEM(triples, i);
    PyObject* dict = PyDict_New();
    if (dict == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SET_ITEM(list, i, dict);
    for (int field = 0; field < 3; ++field) {
      if (PyDict_SetItem(dict, names[field], PyTuple_GET_ITEM(triple, field)) != 0) {
        Py_DECREF(list);
        return nullptr;
      }
    }
  }
  return list;
}

PyMethodDef methods[] = {{"dicts", dicts, METH_O, nullptr}, {nullptr, nullptr, 0, nullptr}};
PyModuleDef module = {PyModuleDef_HEAD_INIT, "_quillet_floor", nullptr, -1, methods,
                      nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__quillet_floor() {
  const char* texts[3] = {"source_collection", "source_key", "source_path"};
  for (int i = 0; i < 3; ++i) {
    names[i] = PyUnicode_InternFromString(texts[i]);
    if (names[i] == nullptr) return nullptr;
  }
  return PyModule_Create(&module);
}
