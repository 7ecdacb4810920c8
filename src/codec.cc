#include "codec.h"

#include <bit>
#include <cstring>

namespace quillet {

namespace {

enum TypeByte : std::uint8_t {
  kNull = 0x00,
  kBool = 0x01,
  kInt = 0x02,
  kFloat = 0x03,
  kText = 0x04,
  kLink = 0x05,
  kBlob = 0x06,
  kArray = 0x07,
  kMap = 0x08,
  kDate = 0x09,
  kTime = 0x0A,
  kDateTime = 0x0B,
  kTombstone = 0x0C,
};

// A declared count only tells how many elements may follow; room is reserved
// for at most this many up front and the rest grows as elements really decode,
// so nested containers that each claim billions of entries cost nothing.
constexpr std::uint32_t kMaxUpfrontReserve = 64;

void put_u64(std::string& out, std::uint64_t v) {
  char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(v >> (8 * i));
  out.append(b, 8);
}

std::uint64_t get_u64(const char* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

void put_bytes(std::string& out, std::string_view bytes) {
  put_u32(out, static_cast<std::uint32_t>(bytes.size()));
  out.append(bytes);
}

void encode_map_body(const Map& map, std::string& out);

void encode_value(const Value& value, std::string& out) {
  switch (value.kind()) {
    case Kind::Null:
      out.push_back(static_cast<char>(kNull));
      break;
    case Kind::Tombstone:
      out.push_back(static_cast<char>(kTombstone));
      break;
    case Kind::Bool:
      out.push_back(static_cast<char>(kBool));
      out.push_back(std::get<bool>(value.data) ? 1 : 0);
      break;
    case Kind::Int:
      out.push_back(static_cast<char>(kInt));
      put_u64(out, static_cast<std::uint64_t>(std::get<std::int64_t>(value.data)));
      break;
    case Kind::Float:
      out.push_back(static_cast<char>(kFloat));
      put_u64(out, std::bit_cast<std::uint64_t>(std::get<double>(value.data)));
      break;
    case Kind::Text:
      out.push_back(static_cast<char>(kText));
      put_bytes(out, std::get<std::string>(value.data));
      break;
    case Kind::Blob:
      out.push_back(static_cast<char>(kBlob));
      put_bytes(out, std::get<Blob>(value.data).bytes);
      break;
    case Kind::Date:
      out.push_back(static_cast<char>(kDate));
      put_u32(out, std::get<Date>(value.data).days);
      break;
    case Kind::Time:
      out.push_back(static_cast<char>(kTime));
      put_u32(out, std::get<Time>(value.data).value);
      break;
    case Kind::DateTime:
      out.push_back(static_cast<char>(kDateTime));
      put_u64(out, std::get<DateTime>(value.data).value);
      break;
    case Kind::Array: {
      const Array& items = std::get<Array>(value.data);
      out.push_back(static_cast<char>(kArray));
      put_u32(out, static_cast<std::uint32_t>(items.size()));
      for (const Value& item : items) encode_value(item, out);
      break;
    }
    case Kind::Map:
      out.push_back(static_cast<char>(kMap));
      encode_map_body(std::get<Map>(value.data), out);
      break;
    case Kind::Link: {
      const Link& link = std::get<Link>(value.data);
      out.push_back(static_cast<char>(kLink));
      put_bytes(out, link.path);
      encode_map_body(link.local, out);
      break;
    }
  }
}

void encode_map_body(const Map& map, std::string& out) {
  put_u32(out, static_cast<std::uint32_t>(map.size()));
  for (const MapEntry& e : map.entries()) {
    put_bytes(out, e.key);
    encode_value(e.value, out);
  }
}

std::string too_long(std::string_view what, std::uint64_t size) {
  return what == "array" || what == "map"
             ? std::string(what) + " of " + std::to_string(size) + " entries is too large to store (the limit is " +
                   std::to_string(kMaxLength) + ")"
             : std::string(what) + " of " + std::to_string(size) + " bytes is too long to store (the limit is " +
                   std::to_string(kMaxLength) + " bytes)";
}

std::string check_map(const Map& map, std::size_t depth);

// `depth` counts the containers (arrays, maps, links) enclosing `value`,
// `value` itself included when it is one.
std::string check_value(const Value& value, std::size_t depth) {
  switch (value.kind()) {
    case Kind::Text:
      if (std::get<std::string>(value.data).size() > kMaxLength)
        return too_long("text", std::get<std::string>(value.data).size());
      return {};
    case Kind::Blob:
      if (std::get<Blob>(value.data).bytes.size() > kMaxLength)
        return too_long("byte string", std::get<Blob>(value.data).bytes.size());
      return {};
    case Kind::Array: {
      if (depth + 1 > kMaxNesting) return CodecError::too_deep().text();
      const Array& items = std::get<Array>(value.data);
      if (items.size() > kMaxLength) return too_long("array", items.size());
      for (const Value& item : items) {
        if (std::string why = check_value(item, depth + 1); !why.empty()) return why;
      }
      return {};
    }
    case Kind::Map:
      if (depth + 1 > kMaxNesting) return CodecError::too_deep().text();
      return check_map(std::get<Map>(value.data), depth + 1);
    case Kind::Link: {
      if (depth + 1 > kMaxNesting) return CodecError::too_deep().text();
      const Link& link = std::get<Link>(value.data);
      if (link.path.size() > kMaxLength) return too_long("link path", link.path.size());
      return check_map(link.local, depth + 1);
    }
    default:
      return {};
  }
}

std::string check_map(const Map& map, std::size_t depth) {
  if (map.size() > kMaxLength) return too_long("map", map.size());
  for (const MapEntry& e : map.entries()) {
    if (e.key.size() > kMaxLength) return too_long("map key", e.key.size());
    if (std::string why = check_value(e.value, depth); !why.empty()) return why;
  }
  return {};
}

class Decoder {
 public:
  Decoder(std::string_view bytes, std::size_t& position) : bytes_(bytes), pos_(position) {}

  std::expected<Value, CodecError> value(std::size_t depth) {
    if (pos_ >= bytes_.size()) return std::unexpected(CodecError::unexpected_end());
    auto type = static_cast<std::uint8_t>(bytes_[pos_++]);
    switch (type) {
      case kNull:
        return Value{};
      case kTombstone:
        return Value::tombstone();
      case kBool:
        if (remaining() < 1) return std::unexpected(CodecError::unexpected_end());
        return Value::boolean(bytes_[pos_++] != 0);
      case kInt:
      case kFloat:
      case kDateTime: {
        if (remaining() < 8) return std::unexpected(CodecError::unexpected_end());
        std::uint64_t raw = get_u64(bytes_.data() + pos_);
        pos_ += 8;
        if (type == kInt) return Value::integer(static_cast<std::int64_t>(raw));
        if (type == kFloat) return Value::floating(std::bit_cast<double>(raw));
        return Value{DateTime{raw}};
      }
      case kDate:
      case kTime: {
        if (remaining() < 4) return std::unexpected(CodecError::unexpected_end());
        std::uint32_t raw = get_u32(bytes_.data() + pos_);
        pos_ += 4;
        return type == kDate ? Value{Date{raw}} : Value{Time{raw}};
      }
      case kText: {
        auto text = utf8_string();
        if (!text) return std::unexpected(text.error());
        return Value::text(std::string(*text));
      }
      case kBlob: {
        auto bytes = length_prefixed();
        if (!bytes) return std::unexpected(bytes.error());
        return Value::blob(std::string(*bytes));
      }
      case kLink: {
        if (depth + 1 > kMaxNesting) return std::unexpected(CodecError::too_deep());
        auto path = utf8_string();
        if (!path) return std::unexpected(path.error());
        auto local = map_body(depth + 1);
        if (!local) return std::unexpected(local.error());
        return Value::link(std::string(*path), std::move(*local));
      }
      case kArray: {
        if (depth + 1 > kMaxNesting) return std::unexpected(CodecError::too_deep());
        if (remaining() < 4) return std::unexpected(CodecError::unexpected_end());
        std::uint32_t count = get_u32(bytes_.data() + pos_);
        pos_ += 4;
        Array items;
        items.reserve(std::min(count, kMaxUpfrontReserve));
        for (std::uint32_t i = 0; i < count; ++i) {
          auto item = value(depth + 1);
          if (!item) return std::unexpected(item.error());
          items.push_back(std::move(*item));
        }
        return Value::array(std::move(items));
      }
      case kMap: {
        if (depth + 1 > kMaxNesting) return std::unexpected(CodecError::too_deep());
        auto map = map_body(depth + 1);
        if (!map) return std::unexpected(map.error());
        return Value::map(std::move(*map));
      }
      default:
        return std::unexpected(CodecError::unknown_type_byte(type));
    }
  }

  std::expected<Map, CodecError> map_body(std::size_t depth) {
    if (remaining() < 4) return std::unexpected(CodecError::unexpected_end());
    std::uint32_t count = get_u32(bytes_.data() + pos_);
    pos_ += 4;
    std::vector<MapEntry> entries;
    entries.reserve(std::min(count, kMaxUpfrontReserve));
    for (std::uint32_t i = 0; i < count; ++i) {
      auto key = utf8_string();
      if (!key) return std::unexpected(key.error());
      auto item = value(depth);
      if (!item) return std::unexpected(item.error());
      entries.push_back(MapEntry{std::string(*key), std::move(*item)});
    }
    return Map::from_entries(std::move(entries));
  }

 private:
  std::size_t remaining() const { return bytes_.size() - pos_; }

  std::expected<std::string_view, CodecError> length_prefixed() {
    if (remaining() < 4) return std::unexpected(CodecError::unexpected_end());
    std::uint32_t length = get_u32(bytes_.data() + pos_);
    pos_ += 4;
    if (remaining() < length) return std::unexpected(CodecError::unexpected_end());
    std::string_view out = bytes_.substr(pos_, length);
    pos_ += length;
    return out;
  }

  std::expected<std::string_view, CodecError> utf8_string() {
    auto bytes = length_prefixed();
    if (bytes && !is_valid_utf8(*bytes)) return std::unexpected(CodecError::invalid_utf8());
    return bytes;
  }

  std::string_view bytes_;
  std::size_t& pos_;
};

}  // namespace

std::string CodecError::text() const {
  switch (kind) {
    case Kind::UnexpectedEnd:
      return "unexpected end of buffer";
    case Kind::UnknownTypeByte: {
      static const char* digits = "0123456789ABCDEF";
      std::string out = "unknown type byte: 0x";
      out.push_back(digits[type_byte >> 4]);
      out.push_back(digits[type_byte & 15]);
      return out;
    }
    case Kind::InvalidUtf8:
      return "invalid UTF-8 in text field";
    case Kind::TooDeep:
      return "value nested deeper than the limit of " + std::to_string(kMaxNesting) + " levels";
  }
  return {};
}

void encode(const Value& value, std::string& out) { encode_value(value, out); }

std::string check_encodable(const Value& value) { return check_value(value, 0); }

std::expected<Value, CodecError> decode(std::string_view bytes, std::size_t& position) {
  return Decoder(bytes, position).value(0);
}

std::expected<Map, CodecError> decode_map(std::string_view bytes, std::size_t& position) {
  return Decoder(bytes, position).map_body(1);
}

}  // namespace quillet
