#include "python/convert.h"

#include <string>
#include <utility>
#include <vector>

#include "python/binder.h"
#include "python/classes.h"
#include "format/codec.h"
#include "value/walk.h"

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
  PyErr_SetString(PyExc_RecursionError, DecodeFault::too_deep().text().c_str());
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

// Value to Python. Link payloads are moved out of the value. Each new object
// is placed in its parent's list or dict at once, a container before its own
// items are converted: the parent then owns it, and dropping the result on a
// failure releases everything built so far.
class Outward {
 public:
  struct Frame {
    PyObject* container;  // borrowed: owned by its parent, or the result
  };

  ~Outward() { Py_XDECREF(result_); }

  PyObject* convert(Value& value) {
    if (!walk_value(value, *this)) return nullptr;
    return std::exchange(result_, nullptr);
  }

  bool leaf(Value& value) { return place(leaf_object(value)); }

  WalkStep enter(Value& value, Frame& frame, std::size_t depth) {
    if (Link* link = value.get_if<Link>()) {
      // A link becomes one object holding its local map: not walked here.
      return place(new_link(std::move(*link))) ? WalkStep::Skip : WalkStep::Stop;
    }
    if (!levels_.enter(depth)) return WalkStep::Stop;
    Array* items = value.get_if<Array>();
    frame.container = items != nullptr ? PyList_New(static_cast<Py_ssize_t>(items->size())) : PyDict_New();
    return place(frame.container) ? WalkStep::Descend : WalkStep::Stop;
  }

  bool entry(Frame& parent, std::size_t index, const std::string* key) {
    target_ = parent.container;
    index_ = static_cast<Py_ssize_t>(index);
    if (key == nullptr) return true;
    key_ = PyRef::steal(PyUnicode_DecodeUTF8(key->data(), static_cast<Py_ssize_t>(key->size()), nullptr));
    return bool(key_);
  }

  bool leave(Value&, Frame&) {
    levels_.leave();
    return true;
  }

 private:
  static PyObject* leaf_object(Value& value) {
    switch (value.kind()) {
      case Kind::Null:
        return Py_NewRef(Py_None);
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
      case Kind::Array:
      case Kind::Map:
      case Kind::Link:
        break;
    }
    return nullptr;
  }

  // Takes `object` (a new reference, or null after a failure) over and puts
  // it where the walk is: the result, or the position `entry` announced.
  bool place(PyObject* object) {
    if (object == nullptr) return false;
    if (target_ == nullptr) {
      result_ = object;
      return true;
    }
    if (PyList_CheckExact(target_)) {
      PyList_SET_ITEM(target_, index_, object);
      return true;
    }
    PyRef owned = PyRef::steal(object);
    return PyDict_SetItem(target_, key_.get(), owned.get()) == 0;
  }

  PyObject* result_ = nullptr;
  PyObject* target_ = nullptr;  // the open list or dict the next object goes to
  Py_ssize_t index_ = 0;        // its position there, for a list
  PyRef key_;                   // its key, for a dict
  GuardedLevels levels_;        // declared last: leaves its levels first
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
  return Outward().convert(owned);
}

PyObject* map_to_py(const Map& map) {
  // The link's level is counted by treating its map as the outer container.
  Value copy = Value::map(map);
  return Outward().convert(copy);
}

}  // namespace quillet::py
