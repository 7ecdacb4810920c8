// The binary value encoding: one type byte and its payload, little-endian,
// lengths and counts as unsigned 32-bit numbers.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "types.h"

namespace quillet {

// The type byte of the deletion marker: a record holding it deletes its key.
inline constexpr std::uint8_t kTombstoneTypeByte = 0x0C;

struct CodecError {
  enum class Kind : std::uint8_t { UnexpectedEnd, UnknownTypeByte, InvalidUtf8, TooDeep };
  Kind kind = Kind::UnexpectedEnd;
  std::uint8_t type_byte = 0;  // for UnknownTypeByte

  static CodecError unexpected_end() { return {Kind::UnexpectedEnd, 0}; }
  static CodecError unknown_type_byte(std::uint8_t b) { return {Kind::UnknownTypeByte, b}; }
  static CodecError invalid_utf8() { return {Kind::InvalidUtf8, 0}; }
  static CodecError too_deep() { return {Kind::TooDeep, 0}; }

  // "unexpected end of buffer", "unknown type byte: 0x0D",
  // "invalid UTF-8 in text field", or the nesting-limit text.
  std::string text() const;
};

// Appends the encoding of `value` to `out`. Never fails; callers that must not
// write an unrepresentable value check it first with check_encodable.
void encode(const Value& value, std::string& out);

// Why `value` cannot be stored: a length or count that does not fit 4 bytes,
// or nesting deeper than kMaxNesting. Empty when it can be encoded faithfully.
std::string check_encodable(const Value& value);

// Reads one value from `bytes` at `position` and advances `position` past it.
// Never reads outside `bytes`; trailing bytes are not looked at. After an
// error `position` is meaningless.
std::expected<Value, CodecError> decode(std::string_view bytes, std::size_t& position);

// Reads one map body (count, then key/value entries; a repeated key keeps its
// last value) at `position`.
std::expected<Map, CodecError> decode_map(std::string_view bytes, std::size_t& position);

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

// Walks one encoded value at `position` without building it, checking exactly
// what `decode` checks and failing with the same errors at the same point (a
// visitor must be ready to drop what it built when an error comes). Returns
// false when the visitor stopped the walk. Map entries are reported as they
// are stored; a repeated key is reported twice and the later one wins.
std::expected<bool, CodecError> walk(std::string_view bytes, std::size_t& position, ValueVisitor& visitor);

// Writes an encoding piece by piece, for producers that hold no Value (the
// Python layer). A container's count is given up front and must be followed
// by exactly that many children, each map or link-local entry preceded by its
// key. The producer keeps to the length and nesting limits itself.
class Encoder {
 public:
  explicit Encoder(std::string& out) : out_(out) {}
  void null() { out_.push_back(0x00); }
  void tombstone() { out_.push_back(static_cast<char>(kTombstoneTypeByte)); }
  void boolean(bool b) {
    out_.push_back(0x01);
    out_.push_back(b ? 1 : 0);
  }
  void integer(std::int64_t i) { eight(0x02, static_cast<std::uint64_t>(i)); }
  void floating(double d);
  void text(std::string_view s) { prefixed(0x04, s); }
  void blob(std::string_view b) { prefixed(0x06, b); }
  void begin_array(std::uint32_t count) { counted(0x07, count); }
  void begin_map(std::uint32_t count) { counted(0x08, count); }
  void begin_link(std::string_view path, std::uint32_t local_count);
  void key(std::string_view k);

 private:
  void eight(char type, std::uint64_t v);
  void prefixed(char type, std::string_view bytes);
  void counted(char type, std::uint32_t count);
  std::string& out_;
};

// Appends the encoding of a link value (as `encode` of a Link value would).
void encode_link(const Link& link, std::string& out);

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

}  // namespace quillet
