#include "python/errors.h"

#include <cerrno>

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

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// The core's Io errors carry either an OS error or one of its own texts; the
// texts of damaged files, refused arguments and read-only opens are told
// apart here until the core reports the kind itself.
ErrorKind classify_io(const IoError& io) {
  if (io.os_error != 0) return ErrorKind::Io;
  std::string_view text = io.text();
  if (contains(text, "invalid utf8") || text == kFillWholeBuffer ||
      contains(text, "more than an interrupted write leaves")) {
    return ErrorKind::Corruption;
  }
  if (text.ends_with("is open read-only")) return ErrorKind::ReadOnly;
  if (text == kNulInName || text.starts_with("collection name ") || contains(text, "too long") ||
      contains(text, "nesting")) {
    return ErrorKind::InvalidArgument;
  }
  return ErrorKind::Io;
}

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

ErrorKind classify(const StorageError& error) {
  switch (error.kind) {
    case StorageError::Kind::KeyNotFound:
      return ErrorKind::NotFound;
    case StorageError::Kind::Codec:
      return ErrorKind::Corruption;
    case StorageError::Kind::Io:
      break;
  }
  return classify_io(error.io);
}

PyObject* raise_storage_error(const StorageError& error, ErrorSite site) {
  return raise_text(class_for(classify(error), site), error.text());
}

PyObject* raise_resolve_error(const ResolveError& error) {
  ErrorKind kind = error.kind == ResolveError::Kind::Storage ? classify(error.storage) : ErrorKind::InvalidArgument;
  return raise_text(class_for(kind, ErrorSite::Write), error.text());
}

PyObject* raise_open_error(const StorageError& error, std::string_view dir) {
  std::string text = error.text();
  if (error.kind == StorageError::Kind::Io && error.io.text() != kNulInName) {
    text += ": " + quote_repr(dir);
    // Making the directory fails so when the path (or a parent) is a file.
    if (error.io.os_error == EEXIST || error.io.os_error == ENOTDIR) text += " is not a directory";
  }
  return raise_text(class_for(classify(error), ErrorSite::Write), text);
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
