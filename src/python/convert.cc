#include "python/convert.h"

#include <string>
#include <utility>
#include <vector>

#include "python/binder.h"
#include "python/classes.h"
#include "format/codec.h"

namespace quillet::py {
namespace {

// Both directions walk nested containers with an explicit stack instead of
// recursing, so a value as deep as kMaxNesting costs heap, not C stack (a
// thread may have far less stack than the main one). Each open container
// still passes through the interpreter's recursion guard, so the recursion
// limit applies as it does to any nested Python data.
//
// `depth` counts the containers (lists, dicts, maps, arrays, links) that
// enclose a value, the way the encoder counts them, so that whatever converts
// here also fits the file format.

bool within_nesting_limit(std::size_t depth) {
  if (depth + 1 <= kMaxNesting) return true;
  PyErr_SetString(PyExc_RecursionError, CodecError::too_deep().text().c_str());
  return false;
}

// The container levels entered through the recursion guard; whatever is
// still entered when the walk ends (an error part-way) is left again.
class GuardedLevels {
 public:
  GuardedLevels() = default;
  GuardedLevels(const GuardedLevels&) = delete;
  GuardedLevels& operator=(const GuardedLevels&) = delete;
  ~GuardedLevels() {
    while (entered_ > 0) leave();
  }

  // Enters a container that sits at `depth`, or fails with RecursionError.
  bool enter(std::size_t depth) {
    if (!within_nesting_limit(depth) || Py_EnterRecursiveCall(" while converting a value") != 0) return false;
    ++entered_;
    return true;
  }
  void leave() {
    Py_LeaveRecursiveCall();
    --entered_;
  }

 private:
  std::size_t entered_ = 0;
};

// Python to Value.
//
// Items are borrowed from their containers: nothing here runs Python code
// (no user method is called, and no object is allocated except an exception
// on the way out), so a list or dict cannot change during the walk.
class Inward {
 public:
  std::optional<Value> convert(PyObject* object) {
    std::optional<Value> leaf;
    if (!start(object, leaf)) return std::nullopt;
    if (leaf) return leaf;
    while (true) {
      OpenContainer& top = open_.back();
      PyObject* child = nullptr;
      if (!next_child(top, child)) return std::nullopt;
      if (child == nullptr) {
        Value finished = close(top);
        open_.pop_back();
        levels_.leave();
        if (open_.empty()) return finished;
        attach(open_.back(), std::move(finished));
        continue;
      }
      if (!start(child, leaf)) return std::nullopt;
      if (leaf) attach(open_.back(), std::move(*leaf));
    }
  }

 private:
  // A list or dict whose items are being converted.
  struct OpenContainer {
    OpenContainer(PyObject* source_object, bool dict) : source(source_object), is_dict(dict) {}
    PyObject* source;
    bool is_dict;
    Py_ssize_t position = 0;
    Array items;                     // of a list
    std::vector<MapEntry> entries;   // of a dict
    std::string key;                 // of a dict: the key of the item in progress
  };

  // Converts a scalar or a link into `leaf`, or opens a container (leaving
  // `leaf` empty). False with the Python error set on failure.
  bool start(PyObject* object, std::optional<Value>& leaf) {
    leaf.reset();
    std::size_t depth = open_.size();
    // The classes cannot be subclassed, so for Tombstone and Link the exact
    // type is the whole test; __class__ and isinstance hooks are never used.
    if (object == Py_None) {
      leaf = Value::null();
    } else if (Py_IS_TYPE(object, classes.tombstone)) {
      leaf = Value::tombstone();
    } else if (Py_IS_TYPE(object, classes.link)) {
      if (!within_nesting_limit(depth)) return false;
      leaf = Value{reinterpret_cast<PyLink*>(object)->link};
    } else if (PyBool_Check(object)) {
      leaf = Value::boolean(object == Py_True);
    } else if (PyLong_Check(object)) {
      // Reads the int itself, without __index__; out of range is OverflowError.
      long long number = PyLong_AsLongLong(object);
      if (number == -1 && PyErr_Occurred()) return false;
      leaf = Value::integer(number);
    } else if (PyFloat_Check(object)) {
      leaf = Value::floating(PyFloat_AS_DOUBLE(object));
    } else if (PyUnicode_Check(object)) {
      std::string_view text;
      if (!utf8_of(object, text)) return false;
      leaf = Value::text(std::string(text));
    } else if (PyBytes_Check(object)) {
      leaf = Value::blob(
          std::string(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))));
    } else if (PyList_Check(object) || PyDict_Check(object)) {
      if (!levels_.enter(depth)) return false;
      bool is_dict = PyDict_Check(object);
      OpenContainer& opened = open_.emplace_back(object, is_dict);
      if (is_dict) {
        opened.entries.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(object)));
      } else {
        opened.items.reserve(static_cast<std::size_t>(PyList_GET_SIZE(object)));
      }
    } else {
      PyRef name = type_name_of(object);
      if (name) PyErr_Format(PyExc_TypeError, "cannot convert %U to a QuilletDB value", name.get());
      return false;
    }
    return true;
  }

  // The next item of `open` in `child`, or null when there is none left.
  bool next_child(OpenContainer& open, PyObject*& child) {
    child = nullptr;
    if (!open.is_dict) {
      if (open.position < PyList_GET_SIZE(open.source)) child = PyList_GET_ITEM(open.source, open.position++);
      return true;
    }
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    if (!PyDict_Next(open.source, &open.position, &key, &item)) return true;
    if (!PyUnicode_Check(key)) {
      raise_cannot_convert(key, "PyString");
      return false;
    }
    std::string_view text;
    if (!utf8_of(key, text)) return false;
    open.key.assign(text);
    child = item;
    return true;
  }

  static void attach(OpenContainer& open, Value value) {
    if (open.is_dict) {
      open.entries.push_back(MapEntry{std::move(open.key), std::move(value)});
    } else {
      open.items.push_back(std::move(value));
    }
  }

  static Value close(OpenContainer& open) {
    if (!open.is_dict) return Value::array(std::move(open.items));
    // Keys of one dict can repeat a text only through str subclasses;
    // from_entries then keeps the first position and the last value.
    return Value::map(Map::from_entries(std::move(open.entries)));
  }

  std::vector<OpenContainer> open_;
  GuardedLevels levels_;  // declared last: leaves its levels first
};

// Value to Python. Link payloads are moved out of the value.
class Outward {
 public:
  explicit Outward(std::size_t base_depth) : base_depth_(base_depth) {}

  PyObject* convert(Value& value) {
    PyObject* leaf = nullptr;
    if (!start(value, leaf)) return nullptr;
    if (leaf != nullptr) return leaf;
    while (true) {
      OpenValue& top = open_.back();
      if (top.index == top.size) {
        PyObject* finished = top.container.release();
        open_.pop_back();
        levels_.leave();
        if (open_.empty()) return finished;
        if (!put(open_.back(), finished)) return nullptr;
        continue;
      }
      Value& child = top.is_map ? top.map->entries()[top.index].value : (*top.array)[top.index];
      ++top.index;
      if (!start(child, leaf)) return nullptr;
      if (leaf != nullptr && !put(open_.back(), leaf)) return nullptr;
    }
  }

  // A map as a dict, the map's values sitting at `base_depth`.
  PyObject* convert_map(Map& map) {
    Value wrapped = Value::map(std::move(map));
    return convert(wrapped);
  }

 private:
  // An array or map whose items are being converted into `container`.
  struct OpenValue {
    bool is_map;
    Array* array;
    Map* map;
    std::size_t size;
    std::size_t index = 0;  // next item to convert; the one before is in progress
    PyRef container;
  };

  // Converts a leaf into `leaf`, or opens a container (leaving `leaf` null).
  bool start(Value& value, PyObject*& leaf) {
    leaf = nullptr;
    switch (value.kind()) {
      case Kind::Null:
        leaf = Py_NewRef(Py_None);
        return true;
      case Kind::Tombstone:
        leaf = new_tombstone();
        break;
      case Kind::Bool:
        leaf = PyBool_FromLong(*value.get_if<bool>() ? 1 : 0);
        break;
      case Kind::Int:
        leaf = PyLong_FromLongLong(*value.get_if<std::int64_t>());
        break;
      case Kind::Float:
        leaf = PyFloat_FromDouble(*value.get_if<double>());
        break;
      case Kind::Text: {
        const std::string& text = *value.get_if<std::string>();
        leaf = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
        break;
      }
      case Kind::Blob: {
        const std::string& bytes = value.get_if<Blob>()->bytes;
        leaf = PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
        break;
      }
      case Kind::Date:
        leaf = PyLong_FromUnsignedLong(value.get_if<Date>()->days);
        break;
      case Kind::Time:
        leaf = PyLong_FromUnsignedLong(value.get_if<Time>()->value);
        break;
      case Kind::DateTime:
        leaf = PyLong_FromUnsignedLongLong(value.get_if<DateTime>()->value);
        break;
      case Kind::Link:
        leaf = new_link(std::move(*value.get_if<Link>()));
        break;
      case Kind::Array: {
        Array& items = *value.get_if<Array>();
        if (!levels_.enter(base_depth_ + open_.size())) return false;
        PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
        if (!list) return false;
        open_.push_back(OpenValue{false, &items, nullptr, items.size(), 0, std::move(list)});
        return true;
      }
      case Kind::Map: {
        Map& map = *value.get_if<Map>();
        if (!levels_.enter(base_depth_ + open_.size())) return false;
        PyRef dict = PyRef::steal(PyDict_New());
        if (!dict) return false;
        open_.push_back(OpenValue{true, nullptr, &map, map.size(), 0, std::move(dict)});
        return true;
      }
    }
    return leaf != nullptr;
  }

  // Stores `item` (a new reference, taken over) as the item in progress of `open`.
  static bool put(OpenValue& open, PyObject* item) {
    std::size_t position = open.index - 1;
    if (!open.is_map) {
      PyList_SET_ITEM(open.container.get(), static_cast<Py_ssize_t>(position), item);
      return true;
    }
    PyRef owned = PyRef::steal(item);
    const std::string& key = open.map->entries()[position].key;
    PyRef name = PyRef::steal(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
    return name && PyDict_SetItem(open.container.get(), name.get(), owned.get()) == 0;
  }

  std::size_t base_depth_;
  std::vector<OpenValue> open_;
  GuardedLevels levels_;  // declared last: leaves its levels first
};

}  // namespace

std::optional<Value> py_to_value(PyObject* object) { return Inward().convert(object); }

std::optional<Map> py_dict_to_map(PyObject* dict) {
  // Converted as a whole dict, whose level stands for the link's own: the
  // values then sit one level deep, as they do inside a stored link.
  std::optional<Value> converted = Inward().convert(dict);
  if (!converted) return std::nullopt;
  return std::move(*converted->get_if<Map>());
}

PyObject* value_to_py(Value&& value) {
  Value owned = std::move(value);
  return Outward(0).convert(owned);
}

PyObject* map_to_py(const Map& map) {
  // The link's level is counted by treating its map as the outer container.
  Map copy = map;
  return Outward(0).convert_map(copy);
}

}  // namespace quillet::py
