#include "python/binder.h"

#include <cstring>
#include <string>

namespace quillet::py {
namespace {

// The keyword half of a call: parallel arrays of names (str) and values.
struct Keywords {
  PyObject* const* names;
  PyObject* const* values;
  Py_ssize_t count;
};

// Index of the parameter called `name`, or -1.
Py_ssize_t param_index(const Signature& sig, PyObject* name) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(name, sig.params[i]) == 0) return static_cast<Py_ssize_t>(i);
  }
  return -1;
}

const char* was_or_were(Py_ssize_t n) { return n == 1 ? "was" : "were"; }

void raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
  auto count = static_cast<Py_ssize_t>(sig.positional());
  if (sig.required == sig.positional()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", sig.qualname, count,
                 given, was_or_were(given));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 sig.qualname, static_cast<Py_ssize_t>(sig.required), count, given, was_or_were(given));
  }
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() == 2) {
        text += " and ";
      } else {
        text += i + 1 == names.size() ? ", and " : ", ";
      }
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

bool bind_core(const Signature& sig, PyObject* const* positional, Py_ssize_t npositional, Keywords keywords,
               std::span<PyObject*> bound) {
  if (npositional > static_cast<Py_ssize_t>(sig.positional())) {
    raise_too_many_positional(sig, npositional);
    return false;
  }
  for (std::size_t i = 0; i < bound.size(); ++i) {
    bound[i] = static_cast<Py_ssize_t>(i) < npositional ? positional[i] : nullptr;
  }
  for (Py_ssize_t k = 0; k < keywords.count; ++k) {
    PyObject* name = keywords.names[k];
    Py_ssize_t index = param_index(sig, name);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.qualname, name);
      return false;
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.qualname,
                   sig.params[index]);
      return false;
    }
    bound[index] = keywords.values[k];
  }
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (bound[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (!missing.empty()) {
    std::string names = quoted_name_list(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.qualname,
                 static_cast<Py_ssize_t>(missing.size()), missing.size() == 1 ? "argument" : "arguments",
                 names.c_str());
    return false;
  }
  return true;
}

// Replaces a pending TypeError by "argument '{param}': {its text}"; any other
// pending exception is left as it is.
void reword_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  PyRef text = PyRef::steal(PyObject_Str(value));
  if (!text) return;  // the str() failure is the pending error now
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", param, text.get());
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    std::span<PyObject*> bound) {
  Py_ssize_t npositional = PyVectorcall_NARGS(nargsf);
  // The usual call: positional arguments only, as many as the signature takes.
  if (kwnames == nullptr && npositional >= static_cast<Py_ssize_t>(sig.required) &&
      npositional <= static_cast<Py_ssize_t>(sig.positional())) {
    for (std::size_t i = 0; i < bound.size(); ++i) {
      bound[i] = static_cast<Py_ssize_t>(i) < npositional ? args[i] : nullptr;
    }
    return true;
  }
  Keywords keywords{nullptr, args + npositional, 0};
  if (kwnames != nullptr) {
    keywords.names = &PyTuple_GET_ITEM(kwnames, 0);
    keywords.count = PyTuple_GET_SIZE(kwnames);
  }
  return bind_core(sig, args, npositional, keywords, bound);
}

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound) {
  std::vector<PyObject*> names;
  std::vector<PyObject*> values;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &name, &value)) {
      names.push_back(name);
      values.push_back(value);
    }
  }
  Keywords keywords{names.data(), values.data(), static_cast<Py_ssize_t>(names.size())};
  return bind_core(sig, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), keywords, bound);
}

PyRef type_name(PyTypeObject* type) {
  // A class statement keeps __name__ in the heap type; a static type keeps
  // "module.Name" in tp_name, and __name__ is the part after the last dot.
  if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) {
    return PyRef::steal(Py_NewRef(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name));
  }
  const char* last_dot = std::strrchr(type->tp_name, '.');
  return PyRef::steal(PyUnicode_FromString(last_dot != nullptr ? last_dot + 1 : type->tp_name));
}

PyRef type_name_of(PyObject* object) { return type_name(Py_TYPE(object)); }

void raise_wrong_argument_type(const char* param, PyObject* object, const char* expected) {
  PyRef name = type_name_of(object);
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", param, name.get(),
               expected);
}

void raise_cannot_convert(PyObject* object, const char* expected) {
  PyRef name = type_name_of(object);
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(), expected);
}

bool utf8_of(PyObject* str, std::string_view& text) {
  // An ASCII str's characters are already its UTF-8 bytes.
  if (PyUnicode_IS_COMPACT_ASCII(str)) {
    text = std::string_view(static_cast<const char*>(PyUnicode_DATA(str)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(str)));
    return true;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(str, &size);
  if (data == nullptr) return false;
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool bind_text(const char* param, PyObject* object, std::string_view& text) {
  if (!PyUnicode_Check(object)) {
    raise_wrong_argument_type(param, object, "PyString");
    return false;
  }
  return utf8_of(object, text);
}

bool bind_text_list(const char* param, PyObject* object, std::vector<std::string>& items) {
  if (PyUnicode_Check(object)) {
    // A str is a sequence of str, but taking "address" as seven one-letter
    // segments is never what the caller meant.
    PyErr_Format(PyExc_TypeError, "argument '%s': Can't extract `str` to `Vec`", param);
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_wrong_argument_type(param, object, "Sequence");
    return false;
  }
  // Item access may run the sequence's own Python code, which is why the
  // items are copied out before the database is touched.
  Py_ssize_t size = PySequence_Size(object);
  if (size < 0) {
    reword_type_error(param);
    return false;
  }
  items.clear();
  items.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(object, i));
    if (!item) {
      reword_type_error(param);
      return false;
    }
    if (!PyUnicode_Check(item.get())) {
      raise_wrong_argument_type(param, item.get(), "PyString");
      return false;
    }
    std::string_view text;
    if (!utf8_of(item.get(), text)) return false;
    items.emplace_back(text);
  }
  return true;
}

}  // namespace quillet::py
