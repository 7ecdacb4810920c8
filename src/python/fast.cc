#include "python/fast.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "python/classes.h"
#include "python/convert.h"
#include "format/codec.h"

namespace quillet::py {
namespace {

// Deeper values take the general path, with its own guards.
constexpr std::size_t kFastDepth = 32;

// The levels a fast conversion starting now handles: never more than the
// general conversion admits, so that both paths agree on where the recursion
// limit bites; a refusal is left to the general path to report.
std::size_t fast_depth_limit() { return std::min(kFastDepth, conversion_depth_limit()); }

bool text_of(PyObject* object, std::string_view& text) {
  // Most text is ASCII, whose characters are already its UTF-8 bytes.
  if (PyUnicode_IS_COMPACT_ASCII(object)) {
    text = std::string_view(static_cast<const char*>(PyUnicode_DATA(object)),
                            static_cast<std::size_t>(PyUnicode_GET_LENGTH(object)));
    return text.size() <= kMaxLength;
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    PyErr_Clear();  // a lone surrogate: the general path raises the error
    return false;
  }
  if (static_cast<std::uint64_t>(size) > kMaxLength) return false;
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

class FastEncoder {
 public:
  explicit FastEncoder(std::string& out) : encoder_(out) {}

  bool value(PyObject* object, std::size_t depth) {
    if (object == Py_None) {
      encoder_.null();
    } else if (PyUnicode_CheckExact(object)) {
      std::string_view text;
      if (!text_of(object, text)) return false;
      encoder_.text(text);
    } else if (PyLong_CheckExact(object)) {
      int overflow = 0;
      long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
      if (overflow != 0 || (number == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
      }
      encoder_.integer(number);
    } else if (PyFloat_CheckExact(object)) {
      encoder_.floating(PyFloat_AS_DOUBLE(object));
    } else if (PyBool_Check(object)) {
      encoder_.boolean(object == Py_True);
    } else if (PyDict_CheckExact(object)) {
      return dict(object, depth);
    } else if (PyList_CheckExact(object)) {
      return list(object, depth);
    } else if (PyBytes_CheckExact(object)) {
      if (static_cast<std::uint64_t>(PyBytes_GET_SIZE(object)) > kMaxLength) return false;
      encoder_.blob(std::string_view(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object))));
    } else if (Py_IS_TYPE(object, classes.link)) {
      const Link& link = reinterpret_cast<PyLink*>(object)->link;
      if (!link.local.empty() || depth >= deepest_) return false;
      encoder_.begin_link(link.path, 0);
      has_links_ = true;
    } else if (Py_IS_TYPE(object, classes.tombstone)) {
      encoder_.tombstone();
    } else {
      return false;
    }
    return true;
  }

 private:
  // Items are held while they are encoded: encoding a str may allocate (its
  // UTF-8 form), which may run the garbage collector and a finalizer that
  // changes the container. A container whose size changed meanwhile no longer
  // matches the count already written, so the general path takes over.
  bool list(PyObject* list, std::size_t depth) {
    if (depth >= deepest_) return false;
    Py_ssize_t count = PyList_GET_SIZE(list);
    if (static_cast<std::uint64_t>(count) > kMaxLength) return false;
    encoder_.begin_array(static_cast<std::uint32_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (PyList_GET_SIZE(list) != count) return false;
      PyRef item = PyRef::borrow(PyList_GET_ITEM(list, i));
      if (!value(item.get(), depth + 1)) return false;
    }
    return PyList_GET_SIZE(list) == count;
  }

  bool dict(PyObject* dict, std::size_t depth) {
    if (depth >= deepest_) return false;
    Py_ssize_t count = PyDict_GET_SIZE(dict);
    if (static_cast<std::uint64_t>(count) > kMaxLength) return false;
    encoder_.begin_map(static_cast<std::uint32_t>(count));
    Py_ssize_t position = 0;
    Py_ssize_t written = 0;
    PyObject* key;
    PyObject* item;
    while (PyDict_Next(dict, &position, &key, &item)) {
      // Only exact str keys are certain to differ in text; others (str
      // subclasses, or keys that are no str at all) take the general path.
      if (!PyUnicode_CheckExact(key) || ++written > count) return false;
      PyRef held_key = PyRef::borrow(key);
      PyRef held_item = PyRef::borrow(item);
      std::string_view text;
      if (!text_of(held_key.get(), text)) return false;
      encoder_.key(text);
      if (!value(held_item.get(), depth + 1)) return false;
    }
    return written == count && PyDict_GET_SIZE(dict) == count;
  }

  Encoder encoder_;
  std::size_t deepest_ = fast_depth_limit();

 public:
  bool has_links_ = false;
};

// Map keys repeat from one record to the next ("name", "id", ...). A small
// direct-mapped cache hands out the same str object for the same short ASCII
// key, with its hash already computed, so that building a dict neither decodes
// nor hashes its keys again. The GIL guards it; entries live for the process.
class KeyCache {
 public:
  PyObject* get(std::string_view key) {
    if (key.size() > kMaxCachedLength) return decode(key);
    std::uint32_t h = 2166136261u;
    for (char c : key) h = (h ^ static_cast<unsigned char>(c)) * 16777619u;
    PyObject*& slot = slots_[h & (kSlots - 1)];
    if (slot != nullptr && static_cast<std::size_t>(PyUnicode_GET_LENGTH(slot)) == key.size() &&
        std::memcmp(PyUnicode_DATA(slot), key.data(), key.size()) == 0) {
      return Py_NewRef(slot);
    }
    PyObject* fresh = decode(key);
    if (fresh == nullptr) return nullptr;
    if (PyUnicode_IS_COMPACT_ASCII(fresh) && PyObject_Hash(fresh) != -1) {
      Py_XSETREF(slot, Py_NewRef(fresh));
    } else {
      PyErr_Clear();
    }
    return fresh;
  }

 private:
  static constexpr std::size_t kSlots = 1024;
  static constexpr std::size_t kMaxCachedLength = 48;
  static PyObject* decode(std::string_view key) {
    return PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr);
  }
  PyObject* slots_[kSlots] = {};
};

KeyCache key_cache;

// Builds Python objects as the walk reports the parts of a value.
class Builder final : public ValueVisitor {
 public:
  ~Builder() override {
    for (Open& o : open_) {
      Py_XDECREF(o.container);
      Py_XDECREF(o.key);
    }
    Py_XDECREF(result_);
  }

  PyObject* take_result() {
    PyObject* r = result_;
    result_ = nullptr;
    return r;
  }
  bool python_error() const { return python_error_; }

  bool null() override { return put(Py_NewRef(Py_None)); }
  bool tombstone() override { return put(new_tombstone()); }
  bool boolean(bool b) override { return put(PyBool_FromLong(b)); }
  bool integer(std::int64_t i) override { return put(PyLong_FromLongLong(i)); }
  bool floating(double d) override { return put(PyFloat_FromDouble(d)); }
  bool text(std::string_view s) override {
    return put(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
  }
  bool blob(std::string_view b) override {
    return put(PyBytes_FromStringAndSize(b.data(), static_cast<Py_ssize_t>(b.size())));
  }
  bool date(std::uint32_t v) override { return put(PyLong_FromUnsignedLong(v)); }
  bool time(std::uint32_t v) override { return put(PyLong_FromUnsignedLong(v)); }
  bool datetime(std::uint64_t v) override { return put(PyLong_FromUnsignedLongLong(v)); }
  bool begin_array(std::uint32_t count) override {
    // Room is made up front only for small counts: a count read from a file
    // is checked by the walk only as the elements arrive.
    bool presized = count <= 64;
    return open(PyList_New(presized ? count : 0), presized);
  }
  bool begin_map(std::uint32_t) override { return open(PyDict_New(), false); }
  bool begin_link(std::string_view path, std::uint32_t local_count) override {
    if (local_count != 0) return false;  // links with local values: general path
    if (!put(new_link(Link{std::string(path), {}}))) return false;
    // The walk still closes the link's (empty) local map with end().
    open_.push_back(Open{nullptr, nullptr, false, 0});
    return true;
  }
  bool key(std::string_view k) override {
    PyObject* text = key_cache.get(k);
    if (text == nullptr) return fail();
    Py_XSETREF(open_.back().key, text);
    return true;
  }
  bool end() override {
    Open done = open_.back();
    open_.pop_back();
    if (done.container == nullptr) return true;  // a link, already placed
    Py_XDECREF(done.key);
    return put(done.container);
  }

 private:
  struct Open {
    PyObject* container;
    PyObject* key;
    bool presized;
    Py_ssize_t next;
  };

  bool fail() {
    python_error_ = true;
    return false;
  }

  bool open(PyObject* container, bool presized) {
    if (container == nullptr) return fail();
    if (open_.size() >= deepest_) {  // the general path takes it, or reports it
      Py_DECREF(container);
      return false;
    }
    open_.push_back(Open{container, nullptr, presized, 0});
    return true;
  }

  // Takes `object` over and places it in the open container, or as the result.
  bool put(PyObject* object) {
    if (object == nullptr) return fail();
    if (open_.empty()) {
      result_ = object;
      return true;
    }
    Open& top = open_.back();
    if (PyDict_CheckExact(top.container)) {
      int rc = PyDict_SetItem(top.container, top.key, object);
      Py_DECREF(object);
      return rc == 0 || fail();
    }
    if (top.presized) {
      PyList_SET_ITEM(top.container, top.next++, object);
      return true;
    }
    int rc = PyList_Append(top.container, object);
    Py_DECREF(object);
    return rc == 0 || fail();
  }

  std::vector<Open> open_;
  std::size_t deepest_ = fast_depth_limit();
  PyObject* result_ = nullptr;
  bool python_error_ = false;
};

}  // namespace

bool encode_common(PyObject* object, std::string& out, bool& has_links) {
  out.clear();
  FastEncoder encoder(out);
  bool done = encoder.value(object, 0);
  has_links = encoder.has_links_;
  return done;
}

FastDecode decode_common(std::string_view encoded, PyObject** result) {
  Builder builder;
  std::size_t position = 0;
  auto walked = walk_with(encoded, position, builder);
  if (walked && *walked) {
    *result = builder.take_result();
    return FastDecode::Done;
  }
  return builder.python_error() ? FastDecode::Failed : FastDecode::LeftToGeneral;
}

}  // namespace quillet::py
