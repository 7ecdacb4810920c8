#include "tools/json.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>


namespace quillet {

namespace {

void append_base64(std::string_view bytes, std::string& out) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::size_t i = 0;
  auto byte = [&](std::size_t k) { return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[k])); };
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = byte(i) << 16 | byte(i + 1) << 8 | byte(i + 2);
    for (int shift : {18, 12, 6, 0}) out.push_back(kAlphabet[(n >> shift) & 63]);
  }
  if (const std::size_t rest = bytes.size() - i; rest > 0) {
    const std::uint32_t n = byte(i) << 16 | (rest == 2 ? byte(i + 1) << 8 : 0);
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
}

void append_tagged_number(std::string_view tag, std::uint64_t n, std::string& out) {
  out += "{\"";
  out += tag;
  out += "\":";
  out += std::to_string(n);
  out += '}';
}

// A map whose keys could be read as one of the tags is wrapped, so that every
// object holding a "$" key is a tag.
bool needs_wrapping(const Map& map) {
  return std::ranges::any_of(map.entries(), [](const MapEntry& e) { return e.key.starts_with('$'); });
}

}  // namespace

void append_json_string(std::string_view text, std::string& out) {
  out.push_back('"');
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (u < 0x20) {
          static constexpr char kHex[] = "0123456789abcdef";
          out += "\\u00";
          out.push_back(kHex[u >> 4]);
          out.push_back(kHex[u & 15]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void append_json(const Value& root, std::string& out) {
  // An explicit stack, so that the deepest value the store holds renders
  // without deep recursion.
  struct Frame {
    const Value* elements;     // an array's, or null
    const MapEntry* entries;   // a map's or a link's local values, or null
    std::size_t count;
    std::size_t next;
    std::string_view close;
  };
  std::vector<Frame> stack;
  auto open_map = [&](const Map& map, std::string_view close_plain, std::string_view close_wrapped) {
    const bool wrapped = needs_wrapping(map);
    out += wrapped ? "{\"$map\":{" : "{";
    stack.push_back(Frame{nullptr, map.entries().data(), map.size(), 0, wrapped ? close_wrapped : close_plain});
  };
  auto enter = [&](const Value& v) {
    switch (v.kind()) {
      case Kind::Null:
        out += "null";
        break;
      case Kind::Tombstone:
        out += "{\"$tombstone\":true}";
        break;
      case Kind::Bool:
        out += *v.get_if<bool>() ? "true" : "false";
        break;
      case Kind::Int:
        out += std::to_string(*v.get_if<std::int64_t>());
        break;
      case Kind::Float: {
        const double d = *v.get_if<double>();
        if (std::isnan(d)) {
          out += "{\"$float\":\"NaN\"}";
        } else if (std::isinf(d)) {
          out += d > 0 ? "{\"$float\":\"inf\"}" : "{\"$float\":\"-inf\"}";
        } else {
          out += render_float(d);
        }
        break;
      }
      case Kind::Text:
        append_json_string(*v.get_if<std::string>(), out);
        break;
      case Kind::Blob:
        out += "{\"$bytes\":\"";
        append_base64(v.get_if<Blob>()->bytes, out);
        out += "\"}";
        break;
      case Kind::Date:
        append_tagged_number("$date", v.get_if<Date>()->days, out);
        break;
      case Kind::Time:
        append_tagged_number("$time", v.get_if<Time>()->value, out);
        break;
      case Kind::DateTime:
        append_tagged_number("$datetime", v.get_if<DateTime>()->value, out);
        break;
      case Kind::Array: {
        const Array& a = *v.get_if<Array>();
        out.push_back('[');
        stack.push_back(Frame{a.data(), nullptr, a.size(), 0, "]"});
        break;
      }
      case Kind::Map:
        open_map(*v.get_if<Map>(), "}", "}}");
        break;
      case Kind::Link: {
        const Link& link = *v.get_if<Link>();
        out += "{\"$link\":";
        append_json_string(link.path, out);
        out += ",\"local\":";
        open_map(link.local, "}}", "}}}");
        break;
      }
    }
  };
  enter(root);
  while (!stack.empty()) {
    Frame& frame = stack.back();
    if (frame.next == frame.count) {
      out += frame.close;
      stack.pop_back();
      continue;
    }
    if (frame.next > 0) out.push_back(',');
    const std::size_t i = frame.next++;
    const Value* child = nullptr;
    if (frame.entries != nullptr) {
      append_json_string(frame.entries[i].key, out);
      out.push_back(':');
      child = &frame.entries[i].value;
    } else {
      child = &frame.elements[i];
    }
    enter(*child);  // may grow the stack: `frame` is not used after this
  }
}

std::string to_json(const Value& value) {
  std::string out;
  append_json(value, out);
  return out;
}

}  // namespace quillet
