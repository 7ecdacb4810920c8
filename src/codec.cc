#include "codec.h"

#include <bit>
#include <cstring>
#include <optional>

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

void put_scalar(const Value& value, std::string& out) {
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
    case Kind::Array:
    case Kind::Map:
    case Kind::Link:
      break;
  }
}

// Containers are encoded with an explicit stack instead of recursion, so a
// value nested thousands of levels deep costs heap, not C stack.
struct EncodeFrame {
  const Value* array_items = nullptr;  // first element, for arrays
  const MapEntry* map_entries = nullptr;  // first entry, for maps and link locals
  std::size_t count = 0;
  std::size_t next = 0;
};

// Writes the header of a container (type byte, count, link path) and returns
// the frame that walks its children.
EncodeFrame open_container(const Value& value, std::string& out) {
  EncodeFrame frame;
  if (const Array* items = value.get_if<Array>()) {
    out.push_back(static_cast<char>(kArray));
    put_u32(out, static_cast<std::uint32_t>(items->size()));
    frame.array_items = items->data();
    frame.count = items->size();
  } else if (const Map* map = value.get_if<Map>()) {
    out.push_back(static_cast<char>(kMap));
    put_u32(out, static_cast<std::uint32_t>(map->size()));
    frame.map_entries = map->entries().data();
    frame.count = map->size();
  } else {
    const Link& link = std::get<Link>(value.data);
    out.push_back(static_cast<char>(kLink));
    put_bytes(out, link.path);
    put_u32(out, static_cast<std::uint32_t>(link.local.size()));
    frame.map_entries = link.local.entries().data();
    frame.count = link.local.size();
  }
  return frame;
}

bool is_container(const Value& value) {
  Kind k = value.kind();
  return k == Kind::Array || k == Kind::Map || k == Kind::Link;
}

void encode_value(const Value& root, std::string& out) {
  if (!is_container(root)) {
    put_scalar(root, out);
    return;
  }
  std::vector<EncodeFrame> stack;
  stack.push_back(open_container(root, out));
  while (!stack.empty()) {
    EncodeFrame& top = stack.back();
    if (top.next == top.count) {
      stack.pop_back();
      continue;
    }
    const Value* child;
    if (top.array_items) {
      child = &top.array_items[top.next++];
    } else {
      const MapEntry& e = top.map_entries[top.next++];
      put_bytes(out, e.key);
      child = &e.value;
    }
    if (is_container(*child)) {
      stack.push_back(open_container(*child, out));  // invalidates `top`
    } else {
      put_scalar(*child, out);
    }
  }
}

std::string too_long(std::string_view what, std::uint64_t size) {
  return what == "array" || what == "map"
             ? std::string(what) + " of " + std::to_string(size) + " entries is too large to store (the limit is " +
                   std::to_string(kMaxLength) + ")"
             : std::string(what) + " of " + std::to_string(size) + " bytes is too long to store (the limit is " +
                   std::to_string(kMaxLength) + " bytes)";
}

std::string check_scalar(const Value& value) {
  if (const std::string* text = value.get_if<std::string>(); text && text->size() > kMaxLength)
    return too_long("text", text->size());
  if (const Blob* blob = value.get_if<Blob>(); blob && blob->bytes.size() > kMaxLength)
    return too_long("byte string", blob->bytes.size());
  return {};
}

// The same explicit-stack walk as encoding; the stack's height is the nesting.
std::string check_value(const Value& root) {
  if (!is_container(root)) return check_scalar(root);
  std::vector<EncodeFrame> stack;
  std::string scratch;
  auto open = [&](const Value& v) -> std::string {
    if (stack.size() + 1 > kMaxNesting) return CodecError::too_deep().text();
    if (const Array* items = v.get_if<Array>(); items && items->size() > kMaxLength)
      return too_long("array", items->size());
    if (const Map* map = v.get_if<Map>(); map && map->size() > kMaxLength) return too_long("map", map->size());
    if (const Link* link = v.get_if<Link>()) {
      if (link->path.size() > kMaxLength) return too_long("link path", link->path.size());
      if (link->local.size() > kMaxLength) return too_long("map", link->local.size());
    }
    EncodeFrame frame;
    if (const Array* items = v.get_if<Array>()) {
      frame.array_items = items->data();
      frame.count = items->size();
    } else {
      const Map& map = v.get_if<Map>() ? *v.get_if<Map>() : v.get_if<Link>()->local;
      frame.map_entries = map.entries().data();
      frame.count = map.size();
    }
    stack.push_back(frame);
    return {};
  };
  if (std::string why = open(root); !why.empty()) return why;
  while (!stack.empty()) {
    EncodeFrame& top = stack.back();
    if (top.next == top.count) {
      stack.pop_back();
      continue;
    }
    const Value* child;
    if (top.array_items) {
      child = &top.array_items[top.next++];
    } else {
      const MapEntry& e = top.map_entries[top.next++];
      if (e.key.size() > kMaxLength) return too_long("map key", e.key.size());
      child = &e.value;
    }
    std::string why = is_container(*child) ? open(*child) : check_scalar(*child);
    if (!why.empty()) return why;
  }
  return {};
}

// Decodes with an explicit stack of open containers instead of recursion, so
// nesting costs heap rather than C stack and is cut off at kMaxNesting.
class Decoder {
 public:
  Decoder(std::string_view bytes, std::size_t& position) : bytes_(bytes), pos_(position) {}

  std::expected<Value, CodecError> value() {
    auto first = start_value();
    if (!first) return std::unexpected(first.error());
    if (!first->has_value()) return run();
    return std::move(**first);
  }

  // A map body at the top level, as the `local` part of a link or a map is.
  std::expected<Map, CodecError> map_body() {
    if (auto opened = open_map(Frame::Kind::Map, {}); !opened) return std::unexpected(opened.error());
    auto result = run();
    if (!result) return std::unexpected(result.error());
    return std::move(std::get<Map>(result->data));
  }

 private:
  struct Frame {
    enum class Kind : std::uint8_t { Array, Map, Link };
    Kind kind;
    std::uint32_t remaining;
    Array items;                  // Array
    std::vector<MapEntry> entries;  // Map, Link locals
    std::string link_path;        // Link
  };

  std::size_t remaining() const { return bytes_.size() - pos_; }

  std::expected<std::uint32_t, CodecError> read_u32() {
    if (remaining() < 4) return std::unexpected(CodecError::unexpected_end());
    std::uint32_t v = get_u32(bytes_.data() + pos_);
    pos_ += 4;
    return v;
  }

  std::expected<std::string_view, CodecError> length_prefixed() {
    auto length = read_u32();
    if (!length) return std::unexpected(length.error());
    if (remaining() < *length) return std::unexpected(CodecError::unexpected_end());
    std::string_view out = bytes_.substr(pos_, *length);
    pos_ += *length;
    return out;
  }

  std::expected<std::string_view, CodecError> utf8_string() {
    auto bytes = length_prefixed();
    if (bytes && !is_valid_utf8(*bytes)) return std::unexpected(CodecError::invalid_utf8());
    return bytes;
  }

  std::expected<void, CodecError> open_map(Frame::Kind kind, std::string link_path) {
    if (stack_.size() + 1 > kMaxNesting) return std::unexpected(CodecError::too_deep());
    auto count = read_u32();
    if (!count) return std::unexpected(count.error());
    Frame frame{kind, *count, {}, {}, std::move(link_path)};
    frame.entries.reserve(std::min(*count, kMaxUpfrontReserve));
    stack_.push_back(std::move(frame));
    return {};
  }

  // Reads one value. A scalar comes back whole; a container is pushed onto the
  // stack and an empty optional comes back.
  std::expected<std::optional<Value>, CodecError> start_value() {
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
        auto raw = read_u32();
        if (!raw) return std::unexpected(raw.error());
        return type == kDate ? Value{Date{*raw}} : Value{Time{*raw}};
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
        if (stack_.size() + 1 > kMaxNesting) return std::unexpected(CodecError::too_deep());
        auto path = utf8_string();
        if (!path) return std::unexpected(path.error());
        if (auto opened = open_map(Frame::Kind::Link, std::string(*path)); !opened)
          return std::unexpected(opened.error());
        return std::optional<Value>{};
      }
      case kArray: {
        if (stack_.size() + 1 > kMaxNesting) return std::unexpected(CodecError::too_deep());
        auto count = read_u32();
        if (!count) return std::unexpected(count.error());
        Frame frame{Frame::Kind::Array, *count, {}, {}, {}};
        frame.items.reserve(std::min(*count, kMaxUpfrontReserve));
        stack_.push_back(std::move(frame));
        return std::optional<Value>{};
      }
      case kMap:
        if (auto opened = open_map(Frame::Kind::Map, {}); !opened) return std::unexpected(opened.error());
        return std::optional<Value>{};
      default:
        return std::unexpected(CodecError::unknown_type_byte(type));
    }
  }

  static Value close(Frame& frame) {
    switch (frame.kind) {
      case Frame::Kind::Array:
        return Value::array(std::move(frame.items));
      case Frame::Kind::Map:
        return Value::map(Map::from_entries(std::move(frame.entries)));
      case Frame::Kind::Link:
        break;
    }
    return Value::link(std::move(frame.link_path), Map::from_entries(std::move(frame.entries)));
  }

  // Places a finished child into the frame on top of the stack.
  static void attach(Frame& parent, Value child) {
    if (parent.kind == Frame::Kind::Array) {
      parent.items.push_back(std::move(child));
    } else {
      parent.entries.back().value = std::move(child);
    }
  }

  // Runs until the container at the bottom of the stack is complete.
  std::expected<Value, CodecError> run() {
    for (;;) {
      Frame& top = stack_.back();
      if (top.remaining == 0) {
        Value done = close(top);
        stack_.pop_back();
        if (stack_.empty()) return done;
        attach(stack_.back(), std::move(done));
        continue;
      }
      --top.remaining;
      if (top.kind != Frame::Kind::Array) {
        auto key = utf8_string();
        if (!key) return std::unexpected(key.error());
        top.entries.push_back(MapEntry{std::string(*key), Value{}});
      }
      auto child = start_value();  // may push, invalidating `top`
      if (!child) return std::unexpected(child.error());
      if (child->has_value()) attach(stack_.back(), std::move(**child));
    }
  }

  std::string_view bytes_;
  std::size_t& pos_;
  std::vector<Frame> stack_;
};

}  // namespace

std::expected<bool, CodecError> walk(std::string_view bytes, std::size_t& position, ValueVisitor& visitor) {
  return walk_with(bytes, position, visitor);
}

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

void encode_link(const Link& link, std::string& out) {
  if (link.local.empty()) {
    out.push_back(static_cast<char>(kLink));
    put_bytes(out, link.path);
    put_u32(out, 0);
    return;
  }
  encode_value(Value::link(link.path, link.local), out);
}

void Encoder::floating(double d) { eight(static_cast<char>(kFloat), std::bit_cast<std::uint64_t>(d)); }

void Encoder::begin_link(std::string_view path, std::uint32_t local_count) {
  prefixed(static_cast<char>(kLink), path);
  put_u32(out_, local_count);
}

void Encoder::key(std::string_view k) { put_bytes(out_, k); }

void Encoder::eight(char type, std::uint64_t v) {
  out_.push_back(type);
  put_u64(out_, v);
}

void Encoder::prefixed(char type, std::string_view bytes) {
  out_.push_back(type);
  put_bytes(out_, bytes);
}

void Encoder::counted(char type, std::uint32_t count) {
  out_.push_back(type);
  put_u32(out_, count);
}

std::string check_encodable(const Value& value) { return check_value(value); }

std::expected<Value, CodecError> decode(std::string_view bytes, std::size_t& position) {
  return Decoder(bytes, position).value();
}

std::expected<Map, CodecError> decode_map(std::string_view bytes, std::size_t& position) {
  return Decoder(bytes, position).map_body();
}

}  // namespace quillet
