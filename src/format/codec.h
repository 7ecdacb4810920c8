// The binary value encoding: one type byte and its payload, little-endian,
// lengths and counts as unsigned 32-bit numbers.
#pragma once

#include <cstdint>
#include <cstring>
#include <expected>
#include <string>
#include <bit>
#include <string_view>
#include <vector>

#include "error.h"
#include "value/value.h"

namespace quillet {

// The byte that opens every encoded value and names its type. The order is
// the format's, not the variant order of Value. Bytes past Tombstone are
// invalid; a record whose value starts with Tombstone deletes its key.
enum class TypeByte : std::uint8_t {
  Null = 0x00,
  Bool = 0x01,
  Int = 0x02,
  Float = 0x03,
  Text = 0x04,
  Link = 0x05,
  Blob = 0x06,
  Array = 0x07,
  Map = 0x08,
  Date = 0x09,
  Time = 0x0A,
  DateTime = 0x0B,
  Tombstone = 0x0C,
};

// Whether an encoded value is the deletion marker: a record holding it
// deletes its key.
inline bool is_tombstone_encoding(std::string_view encoded) {
  return !encoded.empty() && static_cast<std::uint8_t>(encoded[0]) == static_cast<std::uint8_t>(TypeByte::Tombstone);
}

// Why an encoding could not be read, as the walk reports it on its hot path:
// two bytes, no allocation. Every public reader turns it into the one Error
// (kind Corruption) at its boundary.
struct DecodeFault {
  enum class Kind : std::uint8_t { UnexpectedEnd, UnknownTypeByte, InvalidUtf8, TooDeep };
  Kind kind = Kind::UnexpectedEnd;
  std::uint8_t type_byte = 0;  // for UnknownTypeByte

  static DecodeFault unexpected_end() { return {Kind::UnexpectedEnd, 0}; }
  static DecodeFault unknown_type_byte(std::uint8_t b) { return {Kind::UnknownTypeByte, b}; }
  static DecodeFault invalid_utf8() { return {Kind::InvalidUtf8, 0}; }
  static DecodeFault too_deep() { return {Kind::TooDeep, 0}; }

  // "unexpected end of buffer", "unknown type byte: 0x0D",
  // "invalid UTF-8 in text field", or the nesting-limit text.
  std::string text() const;
  Error error() const { return Error::corruption(text()); }
};

// Appends the encoding of `value` to `out`. Never fails; callers that must not
// write an unrepresentable value check it first with check_encodable.
void encode(const Value& value, std::string& out);

// Succeeds when `value` can be encoded faithfully; otherwise fails with why it
// cannot be stored: a length or count that does not fit 4 bytes, or nesting
// deeper than kMaxNesting.
// The error's kind is InvalidArgument.
std::expected<void, Error> check_encodable(const Value& value);

// Reads one value from `bytes` at `position` and advances `position` past it.
// Never reads outside `bytes`; trailing bytes are not looked at. After an
// error `position` is meaningless.
std::expected<Value, Error> decode(std::string_view bytes, std::size_t& position);

// Where the one encoded value at the start of `encoded` ends, checked as
// decoding checks it but without building it; fails with the decoder's error.
std::expected<std::size_t, Error> encoded_value_end(std::string_view encoded);

// Why `encoded` is not one value as the store writes it (a decoding error,
// or "N bytes follow the encoded value"), or empty when it is.
std::string value_fault(std::string_view encoded);

// Reads one map body (count, then key/value entries; a repeated key keeps its
// last value) at `position`.
std::expected<Map, Error> decode_map(std::string_view bytes, std::size_t& position);

// Little-endian helpers shared by the file formats.
inline void put_u32(std::string& out, std::uint32_t v) {
  char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
               static_cast<char>(v >> 24)};
  out.append(b, 4);
}
inline std::uint32_t get_u32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint32_t>(u[0]) | (static_cast<std::uint32_t>(u[1]) << 8) |
         (static_cast<std::uint32_t>(u[2]) << 16) | (static_cast<std::uint32_t>(u[3]) << 24);
}

// Receives the parts of one encoded value in order, as `walk` reads them: a
// scalar, or a container opening, its children (each map or link-local entry
// preceded by its key), and its end. Any callback may return false to stop.
class ValueVisitor {
 public:
  virtual ~ValueVisitor() = default;
  virtual bool null() = 0;
  virtual bool tombstone() = 0;
  virtual bool boolean(bool b) = 0;
  virtual bool integer(std::int64_t i) = 0;
  virtual bool floating(double d) = 0;
  virtual bool text(std::string_view s) = 0;
  virtual bool blob(std::string_view bytes) = 0;
  virtual bool date(std::uint32_t v) = 0;
  virtual bool time(std::uint32_t v) = 0;
  virtual bool datetime(std::uint64_t v) = 0;
  virtual bool begin_array(std::uint32_t count) = 0;
  virtual bool begin_map(std::uint32_t count) = 0;
  virtual bool begin_link(std::string_view path, std::uint32_t local_count) = 0;
  virtual bool key(std::string_view key) = 0;
  virtual bool end() = 0;
};

// Accepts every part of a value: walking with it checks exactly what
// decoding checks, without building the value. A visitor that looks at a few
// kinds of part overrides only those.
class AcceptAll : public ValueVisitor {
 public:
  bool null() override { return true; }
  bool tombstone() override { return true; }
  bool boolean(bool) override { return true; }
  bool integer(std::int64_t) override { return true; }
  bool floating(double) override { return true; }
  bool text(std::string_view) override { return true; }
  bool blob(std::string_view) override { return true; }
  bool date(std::uint32_t) override { return true; }
  bool time(std::uint32_t) override { return true; }
  bool datetime(std::uint64_t) override { return true; }
  bool begin_array(std::uint32_t) override { return true; }
  bool begin_map(std::uint32_t) override { return true; }
  bool begin_link(std::string_view, std::uint32_t) override { return true; }
  bool key(std::string_view) override { return true; }
  bool end() override { return true; }
};

// Walks one encoded value at `position` without building it, checking exactly
// what `decode` checks and failing with the same errors at the same point (a
// visitor must be ready to drop what it built when an error comes). Returns
// false when the visitor stopped the walk. Map entries are reported as they
// are stored; a repeated key is reported twice and the later one wins.
std::expected<bool, Error> walk(std::string_view bytes, std::size_t& position, ValueVisitor& visitor);

// Writes an encoding piece by piece: `encode` drives it from a Value, the
// Python layer straight from its objects. A container's count is given up front and must be followed
// by exactly that many children, each map or link-local entry preceded by its
// key. The producer keeps to the length and nesting limits itself.
class Encoder {
 public:
  explicit Encoder(std::string& out) : out_(out) {}
  void null() { type(TypeByte::Null); }
  void tombstone() { type(TypeByte::Tombstone); }
  void boolean(bool b) {
    const char head[2] = {static_cast<char>(TypeByte::Bool), static_cast<char>(b ? 1 : 0)};
    put(head, sizeof head);
  }
  void integer(std::int64_t i) { eight(TypeByte::Int, static_cast<std::uint64_t>(i)); }
  void floating(double d) { eight(TypeByte::Float, std::bit_cast<std::uint64_t>(d)); }
  void text(std::string_view s) { prefixed(TypeByte::Text, s); }
  void blob(std::string_view b) { prefixed(TypeByte::Blob, b); }
  void date(std::uint32_t v) { with_u32(TypeByte::Date, v); }
  void time(std::uint32_t v) { with_u32(TypeByte::Time, v); }
  void datetime(std::uint64_t v) { eight(TypeByte::DateTime, v); }
  void begin_array(std::uint32_t count) { with_u32(TypeByte::Array, count); }
  void begin_map(std::uint32_t count) { with_u32(TypeByte::Map, count); }
  void begin_link(std::string_view path, std::uint32_t local_count) {
    prefixed(TypeByte::Link, path);
    char count[4];
    store_le(count, local_count);
    put(count, sizeof count);
  }
  void key(std::string_view k) {
    char length[4];
    store_le(length, static_cast<std::uint32_t>(k.size()));
    put(length, sizeof length, k);
  }

 private:
  void type(TypeByte t) {
    const char head = static_cast<char>(t);
    put(&head, 1);
  }
  void eight(TypeByte t, std::uint64_t v) {
    char head[9];
    head[0] = static_cast<char>(t);
    store_le(head + 1, v);
    put(head, sizeof head);
  }
  void prefixed(TypeByte t, std::string_view bytes) {
    char head[5];
    head[0] = static_cast<char>(t);
    store_le(head + 1, static_cast<std::uint32_t>(bytes.size()));
    put(head, sizeof head, bytes);
  }
  void with_u32(TypeByte t, std::uint32_t count) {
    char head[5];
    head[0] = static_cast<char>(t);
    store_le(head + 1, count);
    put(head, sizeof head);
  }
  template <class Number>
  static void store_le(char* at, Number v) {
    if constexpr (std::endian::native != std::endian::little) v = std::byteswap(v);
    std::memcpy(at, &v, sizeof v);
  }
  // Appends a node's fixed head and its bytes with one check for room: a
  // document is encoded node by node, so this is the encoder's inner loop.
  void put(const char* head, std::size_t head_size, std::string_view bytes = {}) {
    const std::size_t at = out_.size();
    const std::size_t end = at + head_size + bytes.size();
    // The size handed to the callback may exceed `end` (the string grew by
    // more), so the length is always `end`.
    out_.resize_and_overwrite(end, [&](char* p, std::size_t) {
      std::memcpy(p + at, head, head_size);
      if (!bytes.empty()) std::memcpy(p + at + head_size, bytes.data(), bytes.size());
      return end;
    });
  }
  std::string& out_;
};

// Appends the encoding of a link value (as `encode` of a Link value would).
void encode_link(const Link& link, std::string& out);

namespace detail {

inline std::uint64_t read_u64_le(const char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

// The walk behind `walk` and `walk_with`: the decoder's checks, without
// building values. A template over the visitor, so that a concrete (final)
// visitor's calls are direct and inlined.
template <class Visitor>
class Walker {
 public:
  Walker(std::string_view bytes, std::size_t& position, Visitor& visitor)
      : bytes_(bytes), pos_(position), visitor_(visitor) {}

  std::expected<bool, DecodeFault> run() {
    auto first = value();
    if (!first || !*first) return first;
    return drain();
  }

  // A map body with no type byte before it, reported as a map.
  std::expected<bool, DecodeFault> run_map_body() {
    auto count = read_u32();
    if (!count) return std::unexpected(count.error());
    if (!visitor_.begin_map(*count)) return false;
    open(*count, true);
    return drain();
  }

 private:
  // Reads the children of the open containers until all are closed.
  std::expected<bool, DecodeFault> drain() {
    while (depth_ > 0) {
      Open& top = this->top();
      if (top.remaining == 0) {
        --depth_;
        if (!visitor_.end()) return false;
        continue;
      }
      --top.remaining;
      if (top.keyed) {
        auto key = utf8_string();
        if (!key) return std::unexpected(key.error());
        if (!visitor_.key(*key)) return false;
      }
      auto next = value();  // may push
      if (!next || !*next) return next;
    }
    return true;
  }

  struct Open {
    std::uint32_t remaining;
    bool keyed;
  };

  std::size_t remaining() const { return bytes_.size() - pos_; }

  std::expected<std::uint32_t, DecodeFault> read_u32() {
    if (remaining() < 4) return std::unexpected(DecodeFault::unexpected_end());
    std::uint32_t v = get_u32(bytes_.data() + pos_);
    pos_ += 4;
    return v;
  }

  std::expected<std::string_view, DecodeFault> length_prefixed() {
    auto length = read_u32();
    if (!length) return std::unexpected(length.error());
    if (remaining() < *length) return std::unexpected(DecodeFault::unexpected_end());
    std::string_view out = bytes_.substr(pos_, *length);
    pos_ += *length;
    return out;
  }

  std::expected<std::string_view, DecodeFault> utf8_string() {
    auto bytes = length_prefixed();
    if (bytes && !is_valid_utf8(*bytes)) return std::unexpected(DecodeFault::invalid_utf8());
    return bytes;
  }

  Open& top() { return depth_ <= 16 ? inline_stack_[depth_ - 1] : deep_stack_[depth_ - 17]; }

  std::expected<bool, DecodeFault> open(std::uint32_t count, bool keyed) {
    if (depth_ < 16) {
      inline_stack_[depth_] = Open{count, keyed};
    } else {
      deep_stack_.resize(depth_ - 15);
      deep_stack_[depth_ - 16] = Open{count, keyed};
    }
    ++depth_;
    return true;
  }

  // Reports one scalar, or opens one container (its children follow).
  std::expected<bool, DecodeFault> value() {
    if (pos_ >= bytes_.size()) return std::unexpected(DecodeFault::unexpected_end());
    auto type = static_cast<TypeByte>(static_cast<std::uint8_t>(bytes_[pos_++]));
    switch (type) {
      case TypeByte::Null:
        return visitor_.null();
      case TypeByte::Tombstone:
        return visitor_.tombstone();
      case TypeByte::Bool:
        if (remaining() < 1) return std::unexpected(DecodeFault::unexpected_end());
        return visitor_.boolean(bytes_[pos_++] != 0);
      case TypeByte::Int:
      case TypeByte::Float:
      case TypeByte::DateTime: {
        if (remaining() < 8) return std::unexpected(DecodeFault::unexpected_end());
        std::uint64_t raw = read_u64_le(bytes_.data() + pos_);
        pos_ += 8;
        if (type == TypeByte::Int) return visitor_.integer(static_cast<std::int64_t>(raw));
        if (type == TypeByte::Float) return visitor_.floating(std::bit_cast<double>(raw));
        return visitor_.datetime(raw);
      }
      case TypeByte::Date:
      case TypeByte::Time: {
        auto raw = read_u32();
        if (!raw) return std::unexpected(raw.error());
        return type == TypeByte::Date ? visitor_.date(*raw) : visitor_.time(*raw);
      }
      case TypeByte::Text: {
        auto text = utf8_string();
        if (!text) return std::unexpected(text.error());
        return visitor_.text(*text);
      }
      case TypeByte::Blob: {
        auto bytes = length_prefixed();
        if (!bytes) return std::unexpected(bytes.error());
        return visitor_.blob(*bytes);
      }
      case TypeByte::Link: {
        if (depth_ + 1 > kMaxNesting) return std::unexpected(DecodeFault::too_deep());
        auto path = utf8_string();
        if (!path) return std::unexpected(path.error());
        auto count = read_u32();
        if (!count) return std::unexpected(count.error());
        if (!visitor_.begin_link(*path, *count)) return false;
        return open(*count, true);
      }
      case TypeByte::Array:
      case TypeByte::Map: {
        if (depth_ + 1 > kMaxNesting) return std::unexpected(DecodeFault::too_deep());
        auto count = read_u32();
        if (!count) return std::unexpected(count.error());
        if (!(type == TypeByte::Array ? visitor_.begin_array(*count) : visitor_.begin_map(*count))) return false;
        return open(*count, type == TypeByte::Map);
      }
      default:
        return std::unexpected(DecodeFault::unknown_type_byte(static_cast<std::uint8_t>(type)));
    }
  }

  std::string_view bytes_;
  std::size_t& pos_;
  Visitor& visitor_;
  // Most values nest a few levels: those need no allocation.
  Open inline_stack_[16];
  std::vector<Open> deep_stack_;
  std::size_t depth_ = 0;
};


}  // namespace detail

// `walk` for a visitor whose type is known here: no virtual calls when the
// visitor class is final. Same contract as `walk`.
template <class Visitor>
std::expected<bool, DecodeFault> walk_with(std::string_view bytes, std::size_t& position, Visitor& visitor) {
  return detail::Walker<Visitor>(bytes, position, visitor).run();
}

}  // namespace quillet
