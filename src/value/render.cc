// Debug rendering of values, quoted text and floats, for messages and reprs.
#include <charconv>
#include <cstdint>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "value/value.h"
#include "value/unicode_tables.h"
#include "value/walk.h"

namespace quillet {
namespace {

// Appends an integer in the given base (lower-case digits for hexadecimal).
template <class Integer>
void append_integer(std::string& out, Integer value, int base = 10) {
  char buffer[24];
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, value, base).ptr;
  out.append(buffer, static_cast<std::size_t>(end - buffer));
}

// ---------------------------------------------------------------- quoting

struct DecodedChar {
  char32_t code_point;
  std::size_t length;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
// Returns nothing when the bytes at `pos` do not start a valid sequence.
std::optional<DecodedChar> decode_utf8(std::string_view text, std::size_t pos) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(pos);
  if (lead < 0x80) return DecodedChar{lead, 1};

  std::size_t length;
  char32_t code_point;
  char32_t min_value;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code_point = lead & 0x1F, min_value = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code_point = lead & 0x0F, min_value = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code_point = lead & 0x07, min_value = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() - pos < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(pos + i);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    code_point = (code_point << 6) | (next & 0x3F);
  }
  if (code_point < min_value || code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF)) {
    return std::nullopt;
  }
  return DecodedChar{code_point, length};
}

void append_code_point_escape(std::string& out, char32_t c) {
  out += "\\u{";
  append_integer(out, static_cast<std::uint32_t>(c), 16);
  out += '}';
}

// Appends the quoted form of `text`. `needs_escape` decides for every
// character outside the fixed escapes whether it is written as \u{...}.
// Bytes that are not valid UTF-8 (texts never hold them, but a caller might
// pass some) are each shown as the replacement character's escape, so the
// output is always valid UTF-8.
template <class NeedsEscape>
void append_quoted(std::string& out, std::string_view text, NeedsEscape needs_escape) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    switch (byte) {
      case '"': out += "\\\""; ++pos; continue;
      case '\\': out += "\\\\"; ++pos; continue;
      case '\t': out += "\\t"; ++pos; continue;
      case '\r': out += "\\r"; ++pos; continue;
      case '\n': out += "\\n"; ++pos; continue;
      case '\0': out += "\\0"; ++pos; continue;
      default: break;
    }
    // Plain ASCII is by far the common case; skip the table lookups for it.
    if (byte >= 0x20 && byte < 0x7F) {
      out += static_cast<char>(byte);
      ++pos;
      continue;
    }
    const std::optional<DecodedChar> decoded = decode_utf8(text, pos);
    if (!decoded) {
      append_code_point_escape(out, 0xFFFD);
      ++pos;
      continue;
    }
    if (needs_escape(decoded->code_point)) {
      append_code_point_escape(out, decoded->code_point);
    } else {
      out.append(text.substr(pos, decoded->length));
    }
    pos += decoded->length;
  }
  out += '"';
}

bool escaped_in_rendering(char32_t c) { return !unicode::is_printable(c) || unicode::is_grapheme_extend(c); }

void append_quoted_text(std::string& out, std::string_view text) { append_quoted(out, text, escaped_in_rendering); }

// ---------------------------------------------------------------- floats

// The shortest round-trip digits of a finite, positive double, and the
// decimal exponent of the first digit: value = d.ddd × 10^exponent.
struct ShortestDigits {
  std::string digits;
  int exponent;
};

ShortestDigits shortest_digits(double magnitude) {
  // to_chars without a precision yields the shortest text that reads back as
  // the same double; the scientific form keeps digits and exponent apart.
  // The longest result, 17 digits with point, sign and exponent, fits easily.
  char buffer[64];
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific).ptr;
  const std::string_view text(buffer, end);
  const std::size_t e = text.find('e');
  ShortestDigits result{{}, 0};
  for (char c : text.substr(0, e)) {
    if (c != '.') result.digits += c;
  }
  const std::string_view exponent_text = text.substr(e + 1);
  const char* first = exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0);
  std::from_chars(first, exponent_text.data() + exponent_text.size(), result.exponent);
  return result;
}

void append_exponent_form(std::string& out, const ShortestDigits& shortest) {
  out += shortest.digits[0];
  if (shortest.digits.size() > 1) {
    out += '.';
    out.append(shortest.digits, 1);
  }
  out += 'e';
  append_integer(out, shortest.exponent);
}

void append_plain_form(std::string& out, const ShortestDigits& shortest) {
  const std::string& digits = shortest.digits;
  if (shortest.exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-shortest.exponent - 1), '0');
    out += digits;
    return;
  }
  const auto integer_digits = static_cast<std::size_t>(shortest.exponent) + 1;
  if (digits.size() <= integer_digits) {
    out += digits;
    out.append(integer_digits - digits.size(), '0');
    out += ".0";
  } else {
    out.append(digits, 0, integer_digits);
    out += '.';
    out.append(digits, integer_digits);
  }
}

void append_float(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "NaN";
    return;
  }
  if (std::signbit(d)) out += '-';
  const double magnitude = std::fabs(d);
  if (std::isinf(magnitude)) {
    out += "inf";
  } else if (magnitude == 0.0) {
    out += "0.0";
  } else if (magnitude >= 1e16 || magnitude < 1e-4) {
    append_exponent_form(out, shortest_digits(magnitude));
  } else {
    append_plain_form(out, shortest_digits(magnitude));
  }
}

// ---------------------------------------------------------------- values

// Renders each node as the walk reaches it: a scalar in full, a container's
// opening text, each entry's separator and key, and the closing text.
class RenderVisitor {
 public:
  explicit RenderVisitor(std::string& out) : out_(out) {}

  bool leaf(const Value& value) {
    std::visit(*this, value.data);
    return true;
  }

  WalkStep enter(const Value& value, NoWalkFrame&, std::size_t) {
    if (value.get_if<Array>() != nullptr) {
      out_ += "Array([";
    } else if (value.get_if<Map>() != nullptr) {
      out_ += "Map({";
    } else {
      out_ += "Link(Link { path: ";
      append_quoted_text(out_, value.get_if<Link>()->path);
      out_ += ", local: {";
    }
    return WalkStep::Descend;
  }

  bool entry(NoWalkFrame&, std::size_t index, const std::string* key) {
    if (index > 0) out_ += ", ";
    if (key != nullptr) {
      append_quoted_text(out_, *key);
      out_ += ": ";
    }
    return true;
  }

  bool leave(const Value& value, NoWalkFrame&) {
    Kind kind = value.kind();
    out_ += kind == Kind::Array ? "])" : kind == Kind::Map ? "})" : "} })";
    return true;
  }

  void operator()(std::monostate) const { out_ += "Null"; }
  void operator()(TombstoneTag) const { out_ += "Tombstone"; }
  void operator()(bool b) const { out_ += b ? "Bool(true)" : "Bool(false)"; }
  void operator()(std::int64_t i) const { append_wrapped("Int(", i); }
  void operator()(double d) const {
    out_ += "Float(";
    append_float(out_, d);
    out_ += ')';
  }
  void operator()(const std::string& text) const {
    out_ += "Text(";
    append_quoted_text(out_, text);
    out_ += ')';
  }
  void operator()(const Blob& blob) const {
    out_ += "Blob([";
    for (std::size_t i = 0; i < blob.bytes.size(); ++i) {
      if (i > 0) out_ += ", ";
      append_integer(out_, static_cast<unsigned char>(blob.bytes[i]));
    }
    out_ += "])";
  }
  void operator()(Date d) const { append_wrapped("Date(", d.days); }
  void operator()(Time t) const { append_wrapped("Time(", t.value); }
  void operator()(DateTime t) const { append_wrapped("DateTime(", t.value); }
  // Containers arrive through enter, never as leaves.
  void operator()(const Array&) const {}
  void operator()(const Map&) const {}
  void operator()(const Link&) const {}

 private:
  template <class Integer>
  void append_wrapped(std::string_view name, Integer value) const {
    out_ += name;
    append_integer(out_, value);
    out_ += ')';
  }

  std::string& out_;
};

}  // namespace

std::string debug_string(const Value& value) {
  std::string out;
  RenderVisitor visitor(out);
  walk_value(value, visitor);
  return out;
}

std::string quote_text(std::string_view text) {
  std::string out;
  append_quoted_text(out, text);
  return out;
}

std::string quote_repr(std::string_view text) {
  std::string out;
  append_quoted(out, text, unicode::is_repr_escaped);
  return out;
}

std::string render_float(double d) {
  std::string out;
  append_float(out, d);
  return out;
}

}  // namespace quillet
