// Value: the tagged value every record holds, with its Link payload.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quillet {

// The deepest nesting of arrays, maps and links that any path of the system
// accepts: decoding, the refusal of oversized values at write time, and the
// Python conversion all stop here, so that no recursion can exhaust the stack.
inline constexpr std::size_t kMaxNesting = 10000;

// Largest length or count a 4-byte field can hold. Tests lower it through the
// build so the refusal paths can be exercised without gigabytes of data.
#ifdef QUILLET_MAX_LENGTH
inline constexpr std::uint64_t kMaxLength = QUILLET_MAX_LENGTH;
#else
inline constexpr std::uint64_t kMaxLength = 0xFFFFFFFFull;
#endif

struct Value;
struct MapEntry;

// A map from text keys to values. Keys are unique. Entries keep the order in
// which their keys were first inserted; assigning to an existing key keeps its
// position and replaces its value (the behaviour of a Python dict).
class Map {
 public:
  // Members that touch entries_ are defined after MapEntry: some standard
  // libraries instantiate std::vector's members eagerly and need the element
  // type complete.
  Map();
  Map(const Map& other);
  Map& operator=(const Map& other);
  Map(Map&&) noexcept;
  Map& operator=(Map&&) noexcept;
  ~Map();

  std::size_t size() const;
  bool empty() const;
  void reserve(std::size_t n);

  // Returns the value under `key`, or nullptr.
  const Value* find(std::string_view key) const;
  Value* find(std::string_view key);

  // Inserts or replaces; returns the stored value.
  Value& insert_or_assign(std::string key, Value value);
  // Appends without looking for an existing key. REQUIRES: `key` is absent.
  Value& append_unique(std::string key, Value value);

  // Builds a map from entries that may repeat a key: a repeated key keeps the
  // position of its first occurrence and the value of its last. Linear time.
  static Map from_entries(std::vector<MapEntry> entries);

  const std::vector<MapEntry>& entries() const { return entries_; }
  std::vector<MapEntry>& entries() { return entries_; }

 private:
  std::vector<MapEntry> entries_;
};

struct Link {
  std::string path;
  Map local;
};

struct TombstoneTag {};
struct Blob {
  std::string bytes;
};
struct Date {
  std::uint32_t days;
};
struct Time {
  std::uint32_t value;
};
struct DateTime {
  std::uint64_t value;
};
using Array = std::vector<Value>;

// The variant order is the system's variant order; Kind mirrors it.
enum class Kind : std::uint8_t {
  Null,
  Tombstone,
  Bool,
  Int,
  Float,
  Text,
  Blob,
  Date,
  Time,
  DateTime,
  Array,
  Map,
  Link,
};

struct Value {
  using Storage = std::variant<std::monostate, TombstoneTag, bool, std::int64_t, double, std::string, Blob,
                               Date, Time, DateTime, Array, Map, Link>;
  Storage data;

  Value() = default;
  Value(Storage d) : data(std::move(d)) {}
  // Copies are deep. Copying and destruction walk nested values with an
  // explicit stack, so their cost in C stack does not grow with the nesting.
  Value(const Value& other);
  Value& operator=(const Value& other);
  Value(Value&&) noexcept = default;
  Value& operator=(Value&&) noexcept = default;
  ~Value();

  static Value null() { return Value{}; }
  static Value tombstone() { return Value{TombstoneTag{}}; }
  static Value boolean(bool b) { return Value{b}; }
  static Value integer(std::int64_t i) { return Value{i}; }
  static Value floating(double d) { return Value{d}; }
  static Value text(std::string s) { return Value{std::move(s)}; }
  static Value blob(std::string bytes) { return Value{Blob{std::move(bytes)}}; }
  static Value array(Array a) { return Value{std::move(a)}; }
  static Value map(Map m) { return Value{std::move(m)}; }
  static Value link(std::string path, Map local = {}) { return Value{Link{std::move(path), std::move(local)}}; }

  Kind kind() const { return static_cast<Kind>(data.index()); }
  bool is_tombstone() const { return kind() == Kind::Tombstone; }

  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&data);
  }
  template <class T>
  T* get_if() {
    return std::get_if<T>(&data);
  }
};

struct MapEntry {
  std::string key;
  Value value;
};

inline Map::Map() = default;
inline Map::Map(Map&&) noexcept = default;
inline Map& Map::operator=(Map&&) noexcept = default;
inline std::size_t Map::size() const { return entries_.size(); }
inline bool Map::empty() const { return entries_.empty(); }

// The debug rendering used inside messages, for example Map({"x": Bool(false)}).
std::string debug_string(const Value& value);

// The quoted form of a text: "a\"b", with \t \r \n \0 and \u{...} escapes for
// non-printable and grapheme-extending characters.
std::string quote_text(std::string_view text);

// The quoted form used by the Python reprs: only controls, format characters
// and unassigned code points are escaped with \u{...}.
std::string quote_repr(std::string_view text);

// Shortest text that reads back as the same double, in the rendering's form:
// 1.0, 0.5, 1e16, 1.5e-5, -0.0, NaN, inf, -inf.
std::string render_float(double d);

// True when `bytes` is valid UTF-8 (no surrogates, no overlongs, <= U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

}  // namespace quillet
