#include "python/errors.h"

#include <cerrno>

#include "io/file.h"
#include "value/value.h"

namespace quillet::py {
namespace {

// The exception classes, made once by add_error_classes and kept for the
// life of the process like the module's other classes.
struct ErrorClasses {
  PyObject* error = nullptr;
  PyObject* corruption = nullptr;
  PyObject* read_only = nullptr;
  PyObject* closed = nullptr;
  PyObject* record_read = nullptr;
  PyObject* corrupt_record = nullptr;
};
ErrorClasses error_classes;

PyObject* class_for(ErrorKind kind, ErrorSite site) {
  if (site == ErrorSite::Read) {
    switch (kind) {
      case ErrorKind::NotFound:
        return PyExc_KeyError;
      case ErrorKind::Corruption:
        return error_classes.corrupt_record;
      case ErrorKind::InvalidArgument:
      case ErrorKind::ReadOnly:
      case ErrorKind::Io:
        return error_classes.record_read;
    }
  }
  switch (kind) {
    case ErrorKind::Corruption:
      return error_classes.corruption;
    case ErrorKind::ReadOnly:
      return error_classes.read_only;
    case ErrorKind::NotFound:
    case ErrorKind::InvalidArgument:
    case ErrorKind::Io:
      break;
  }
  return error_classes.error;
}

// Core texts are UTF-8; "replace" keeps a stray byte from turning into a
// different error.
PyObject* raise_text(PyObject* type, std::string_view text) {
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) PyErr_SetObject(type, message.get());
  return nullptr;
}

PyObject* new_class(const char* name, PyObject* bases, const char* doc) {
  return PyErr_NewExceptionWithDoc(name, doc, bases, nullptr);
}

bool add_class(PyObject* module, const char* attribute, PyObject* cls) {
  return cls != nullptr && PyModule_AddObjectRef(module, attribute, cls) == 0;
}

}  // namespace

PyObject* raise_core_error(const Error& error, ErrorSite site) {
  return raise_text(class_for(error.kind(), site), error.text());
}

PyObject* raise_open_error(const Error& error, std::string_view dir) {
  std::string text = error.text();
  if (!text.ends_with(kNulInName)) {
    text += ": " + quote_repr(dir);
    // Making the directory fails so when the path (or a parent) is a file.
    if (error.os_error() == EEXIST || error.os_error() == ENOTDIR) text += " is not a directory";
  }
  return raise_core_error(Error(error.kind(), std::move(text), error.os_error()), ErrorSite::Write);
}

PyObject* raise_closed() { return raise_text(error_classes.closed, "database is closed"); }

PyObject* raise_error(const std::string& text) { return raise_text(error_classes.error, text); }

bool add_error_classes(PyObject* module) {
  ErrorClasses& c = error_classes;
  if (c.error == nullptr) {
    c.error = new_class("_quilletdb.Error", PyExc_RuntimeError,
                        "A failure of the store. Its single argument is the store's text.");
    if (c.error == nullptr) return false;
    c.corruption = new_class("_quilletdb.CorruptionError", c.error, "A file holds data that cannot be read.");
    c.read_only = new_class("_quilletdb.ReadOnlyError", c.error, "A write on a database opened read-only.");
    c.closed = new_class("_quilletdb.ClosedError", c.error, "A call on a closed database.");
    if (c.corruption == nullptr || c.read_only == nullptr || c.closed == nullptr) return false;
    PyRef read_bases = PyRef::steal(PyTuple_Pack(2, PyExc_KeyError, c.error));
    PyRef corrupt_bases = PyRef::steal(PyTuple_Pack(2, PyExc_KeyError, c.corruption));
    if (!read_bases || !corrupt_bases) return false;
    c.record_read = new_class("_quilletdb.RecordReadError", read_bases.get(),
                              "get() could not read the record (a KeyError, so code that treats any "
                              "KeyError as absent keeps working).");
    c.corrupt_record = new_class("_quilletdb.CorruptRecordError", corrupt_bases.get(),
                                 "get() found the record damaged (a KeyError and a CorruptionError).");
    if (c.record_read == nullptr || c.corrupt_record == nullptr) return false;
  }
  return add_class(module, "Error", c.error) && add_class(module, "CorruptionError", c.corruption) &&
         add_class(module, "ReadOnlyError", c.read_only) && add_class(module, "ClosedError", c.closed) &&
         add_class(module, "RecordReadError", c.record_read) &&
         add_class(module, "CorruptRecordError", c.corrupt_record);
}

}  // namespace quillet::py
