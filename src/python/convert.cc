#include "convert.h"

#include <string>
#include <utility>

#include "binder.h"
#include "classes.h"
#include "codec.h"

namespace quillet::py {
namespace {

// `depth` everywhere below counts the containers (lists, dicts, links)
// enclosing the object or value at hand, the way the encoder counts them, so
// that whatever converts here also fits the file format.

// Fails when a container at `depth` would nest deeper than the format allows.
bool within_nesting_limit(std::size_t depth) {
  if (depth + 1 <= kMaxNesting) return true;
  PyErr_SetString(PyExc_RecursionError, CodecError::too_deep().text().c_str());
  return false;
}

// Enters one more container level, or fails with RecursionError.
bool enter_level(std::size_t depth) {
  return within_nesting_limit(depth) && Py_EnterRecursiveCall(" while converting a value") == 0;
}

// Leaves the level entered by enter_level when it goes out of scope.
class LevelGuard {
 public:
  ~LevelGuard() { Py_LeaveRecursiveCall(); }
};

std::optional<Value> to_value(PyObject* object, std::size_t depth);

// Note on borrowed references: while converting inwards nothing runs Python
// code (no user method is called, and no object is allocated except an
// exception on the way out), so list and dict items cannot change under us.

std::optional<Map> dict_to_map(PyObject* dict, std::size_t depth) {
  std::vector<MapEntry> entries;
  entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(dict)));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* item = nullptr;
  while (PyDict_Next(dict, &position, &key, &item)) {
    if (!PyUnicode_Check(key)) {
      raise_cannot_convert(key, "PyString");
      return std::nullopt;
    }
    std::string_view text;
    if (!utf8_of(key, text)) return std::nullopt;
    std::optional<Value> value = to_value(item, depth);
    if (!value) return std::nullopt;
    entries.push_back(MapEntry{std::string(text), std::move(*value)});
  }
  // Keys of one dict can repeat a text only through str subclasses;
  // from_entries then keeps the first position and the last value.
  return Map::from_entries(std::move(entries));
}

std::optional<Value> list_to_array(PyObject* list, std::size_t depth) {
  Array items;
  items.reserve(static_cast<std::size_t>(PyList_GET_SIZE(list)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    std::optional<Value> item = to_value(PyList_GET_ITEM(list, i), depth + 1);
    if (!item) return std::nullopt;
    items.push_back(std::move(*item));
  }
  return Value::array(std::move(items));
}

std::optional<Value> to_value(PyObject* object, std::size_t depth) {
  if (object == Py_None) return Value::null();
  // The classes cannot be subclassed, so the exact type is the whole test;
  // __class__ and isinstance hooks are never consulted.
  if (Py_IS_TYPE(object, classes.tombstone)) return Value::tombstone();
  if (Py_IS_TYPE(object, classes.link)) {
    if (!within_nesting_limit(depth)) return std::nullopt;
    return Value{reinterpret_cast<PyLink*>(object)->link};
  }
  if (PyBool_Check(object)) return Value::boolean(object == Py_True);
  if (PyLong_Check(object)) {
    // Reads the int itself, without __index__; out of range is OverflowError.
    long long number = PyLong_AsLongLong(object);
    if (number == -1 && PyErr_Occurred()) return std::nullopt;
    return Value::integer(number);
  }
  if (PyFloat_Check(object)) return Value::floating(PyFloat_AS_DOUBLE(object));
  if (PyUnicode_Check(object)) {
    std::string_view text;
    if (!utf8_of(object, text)) return std::nullopt;
    return Value::text(std::string(text));
  }
  if (PyBytes_Check(object)) {
    return Value::blob(std::string(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))));
  }
  if (PyList_Check(object)) {
    if (!enter_level(depth)) return std::nullopt;
    LevelGuard level;
    return list_to_array(object, depth);
  }
  if (PyDict_Check(object)) {
    if (!enter_level(depth)) return std::nullopt;
    LevelGuard level;
    std::optional<Map> map = dict_to_map(object, depth + 1);
    if (!map) return std::nullopt;
    return Value::map(std::move(*map));
  }
  PyRef name = type_name_of(object);
  if (name) PyErr_Format(PyExc_TypeError, "cannot convert %U to a QuilletDB value", name.get());
  return std::nullopt;
}

PyObject* to_py(Value& value, std::size_t depth);

PyObject* map_into_dict(Map& map, std::size_t depth) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (MapEntry& entry : map.entries()) {
    PyRef key = PyRef::steal(PyUnicode_DecodeUTF8(entry.key.data(), static_cast<Py_ssize_t>(entry.key.size()), nullptr));
    if (!key) return nullptr;
    PyRef item = PyRef::steal(to_py(entry.value, depth));
    if (!item) return nullptr;
    if (PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* array_into_list(Array& items, std::size_t depth) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item = to_py(items[i], depth + 1);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

// Converts `value`, moving link payloads out of it.
PyObject* to_py(Value& value, std::size_t depth) {
  switch (value.kind()) {
    case Kind::Null:
      Py_RETURN_NONE;
    case Kind::Tombstone:
      return new_tombstone();
    case Kind::Bool:
      return PyBool_FromLong(*value.get_if<bool>() ? 1 : 0);
    case Kind::Int:
      return PyLong_FromLongLong(*value.get_if<std::int64_t>());
    case Kind::Float:
      return PyFloat_FromDouble(*value.get_if<double>());
    case Kind::Text: {
      const std::string& text = *value.get_if<std::string>();
      return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }
    case Kind::Blob: {
      const std::string& bytes = value.get_if<Blob>()->bytes;
      return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    }
    case Kind::Date:
      return PyLong_FromUnsignedLong(value.get_if<Date>()->days);
    case Kind::Time:
      return PyLong_FromUnsignedLong(value.get_if<Time>()->value);
    case Kind::DateTime:
      return PyLong_FromUnsignedLongLong(value.get_if<DateTime>()->value);
    case Kind::Array: {
      if (!enter_level(depth)) return nullptr;
      LevelGuard level;
      return array_into_list(*value.get_if<Array>(), depth);
    }
    case Kind::Map: {
      if (!enter_level(depth)) return nullptr;
      LevelGuard level;
      return map_into_dict(*value.get_if<Map>(), depth + 1);
    }
    case Kind::Link:
      return new_link(std::move(*value.get_if<Link>()));
  }
  PyErr_SetString(PyExc_SystemError, "unknown value kind");
  return nullptr;
}

}  // namespace

std::optional<Value> py_to_value(PyObject* object) { return to_value(object, 0); }

// A link's local values sit one level below the link itself.
std::optional<Map> py_dict_to_map(PyObject* dict) { return dict_to_map(dict, 1); }

PyObject* value_to_py(Value&& value) {
  Value owned = std::move(value);
  return to_py(owned, 0);
}

PyObject* map_to_py(const Map& map) {
  Map copy = map;
  return map_into_dict(copy, 1);
}

}  // namespace quillet::py
