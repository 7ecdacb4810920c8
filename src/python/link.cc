// The Link class: a link value as Python sees it, holding a path and a map of
// local values. Immutable from Python: both attributes are read-only and
// `local` hands out a fresh dict on every access.
#include "python/classes.h"

#include <new>
#include <string>

#include "python/binder.h"
#include "python/convert.h"
#include "python/errors.h"

namespace quillet::py {
namespace {

constexpr const char* kLinkParams[] = {"path", "local"};
constexpr Signature kLinkSignature{"Link.__new__()", kLinkParams, 1};

Link& link_of(PyObject* self) { return reinterpret_cast<PyLink*>(self)->link; }

PyObject* construct_link(PyObject* const* bound) {
  std::string_view path;
  if (!bind_text("path", bound[0], path)) return nullptr;
  Map local;
  PyObject* local_arg = bound[1];
  if (local_arg != nullptr && local_arg != Py_None) {
    if (!PyDict_Check(local_arg)) {
      raise_wrong_argument_type("local", local_arg, "PyDict");
      return nullptr;
    }
    // The dict's own errors (a non-str key, a refused value) are the
    // conversion's, so they are not reworded with the parameter name.
    std::optional<Map> converted = py_dict_to_map(local_arg);
    if (!converted) return nullptr;
    local = std::move(*converted);
  }
  return new_link(Link{std::string(path), std::move(local)});
}

// Link(...) from Python arrives here without an argument tuple being built.
PyObject* link_vectorcall(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  PyObject* bound[2];
  if (!bind_arguments(kLinkSignature, args, static_cast<Py_ssize_t>(nargsf), kwnames, bound)) return nullptr;
  return construct_link(bound);
}

// Link.__new__(Link, ...) called explicitly.
PyObject* link_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* bound[2];
  if (!bind_arguments(kLinkSignature, args, kwargs, bound)) return nullptr;
  return construct_link(bound);
}

void link_dealloc(PyObject* self) {
  std::destroy_at(&link_of(self));
  free_instance(self);
}

PyObject* link_repr(PyObject* self) {
  const Link& link = link_of(self);
  // The local values are never shown: they can be large or deeply nested.
  std::string text = "Link(" + quote_repr(link.path) + (link.local.empty() ? ")" : ", local={...})");
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* link_get_path(PyObject* self, void*) {
  const std::string& path = link_of(self).path;
  return PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), nullptr);
}

PyObject* link_get_local(PyObject* self, void*) { return map_to_py(link_of(self).local); }

// Link(path, local or None): what pickle and copy rebuild it from.
PyObject* link_reduce(PyObject* self, PyObject*) {
  const Link& link = link_of(self);
  PyRef path = PyRef::steal(link_get_path(self, nullptr));
  PyRef local = link.local.empty() ? PyRef::borrow(Py_None) : PyRef::steal(map_to_py(link.local));
  if (!path || !local) return nullptr;
  return Py_BuildValue("O(OO)", reinterpret_cast<PyObject*>(classes.link), path.get(), local.get());
}

PyGetSetDef link_getset[] = {
    {"path", guarded<link_get_path>, nullptr, "The linked path: collection/key, then field names.", nullptr},
    {"local", guarded<link_get_local>, nullptr,
     "The link's own values, as a new dict on every access (changing it does not change the link).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject link_class =
    blank_class("_quilletdb.Link", sizeof(PyLink),
                "Link(path, local=None)\n--\n\n"
                "A link to the record collection/key (optionally followed by field names), carrying\n"
                "local values of its own. Immutable; compares by identity; pickles and copies.");

}  // namespace

PyTypeObject* ready_link_class() {
  if (!PyType_HasFeature(&link_class, Py_TPFLAGS_READY)) {
    link_class.tp_new = guarded<link_new>;
    link_class.tp_vectorcall = guarded<link_vectorcall>;
    link_class.tp_dealloc = link_dealloc;
    link_class.tp_repr = guarded<link_repr>;
    link_class.tp_getset = link_getset;
    link_class.tp_methods = reduce_only_methods<guarded<link_reduce>>;
    if (PyType_Ready(&link_class) < 0) return nullptr;
  }
  return &link_class;
}

PyObject* new_link(Link link) {
  PyObject* self = classes.link->tp_alloc(classes.link, 0);
  if (self == nullptr) return nullptr;
  new (&link_of(self)) Link(std::move(link));
  return self;
}

}  // namespace quillet::py
