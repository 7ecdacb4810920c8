// The one argument binder of the module: maps the arguments of a call onto a
// function's parameters and reads text and text-list parameters, producing
// every binding message the module shows.
#pragma once

#include "python/pyref.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillet::py {

// A function as its callers see it. Every parameter is positional-or-keyword
// except the last `keyword_only`; the first `required` are required, the
// others default to "not given".
struct Signature {
  const char* qualname;  // how messages name it: "open()", "Database.get()"
  std::span<const char* const> params;
  std::size_t required;
  std::size_t keyword_only = 0;

  std::size_t positional() const { return params.size() - keyword_only; }
};

// Binds the arguments of a vectorcall. `bound` (one slot per parameter)
// receives borrowed references, null for an optional parameter not given.
// Fails with the binding TypeError when the call does not fit the signature.
bool bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                    std::span<PyObject*> bound);

// The same for a call that arrives as an argument tuple and keyword dict.
bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> bound);

// Reads a text parameter: only str (or a subclass) is accepted, and the view
// stays valid as long as `object` lives. A Unicode error passes through.
bool bind_text(const char* param, PyObject* object, std::string_view& text);

// Reads a parameter that must be a sequence of str (a single str is refused),
// copying every item. TypeErrors raised by the sequence itself are reworded
// with the parameter name; other errors pass through.
bool bind_text_list(const char* param, PyObject* object, std::vector<std::string>& items);

// "argument '{param}': '{type}' object cannot be converted to '{expected}'".
void raise_wrong_argument_type(const char* param, PyObject* object, const char* expected);

// "'{type}' object cannot be converted to '{expected}'", with no parameter name
// (dict keys, set_many elements).
void raise_cannot_convert(PyObject* object, const char* expected);

// The type's __name__, read from the type object itself: no attribute lookup,
// so no user code runs. (What PyType_GetName gives from 3.11 on, for 3.10 too.)
// A new reference, or null with an exception set.
PyRef type_name(PyTypeObject* type);

// type_name of the object's type.
PyRef type_name_of(PyObject* object);

// The UTF-8 text of a str, or false with the Unicode error set.
bool utf8_of(PyObject* str, std::string_view& text);

}  // namespace quillet::py
