#include "format/codec.h"

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

// Builds the Value a walk reports. Containers under construction sit on an
// explicit stack, so nesting costs heap rather than C stack; map entries are
// gathered and made unique at the end (a repeated key keeps its first
// position and its last value) in linear time.
class ValueBuilder final : public ValueVisitor {
 public:
  Value result;

  bool null() override { return put(Value{}); }
  bool tombstone() override { return put(Value::tombstone()); }
  bool boolean(bool b) override { return put(Value::boolean(b)); }
  bool integer(std::int64_t i) override { return put(Value::integer(i)); }
  bool floating(double d) override { return put(Value::floating(d)); }
  bool text(std::string_view s) override { return put(Value::text(std::string(s))); }
  bool blob(std::string_view b) override { return put(Value::blob(std::string(b))); }
  bool date(std::uint32_t v) override { return put(Value{Date{v}}); }
  bool time(std::uint32_t v) override { return put(Value{Time{v}}); }
  bool datetime(std::uint64_t v) override { return put(Value{DateTime{v}}); }
  bool begin_array(std::uint32_t count) override {
    Frame& frame = open(Frame::Kind::Array);
    frame.items.reserve(std::min(count, kMaxUpfrontReserve));
    return true;
  }
  bool begin_map(std::uint32_t count) override {
    open(Frame::Kind::Map).entries.reserve(std::min(count, kMaxUpfrontReserve));
    return true;
  }
  bool begin_link(std::string_view path, std::uint32_t count) override {
    Frame& frame = open(Frame::Kind::Link);
    frame.link_path = std::string(path);
    frame.entries.reserve(std::min(count, kMaxUpfrontReserve));
    return true;
  }
  bool key(std::string_view k) override {
    stack_.back().entries.push_back(MapEntry{std::string(k), Value{}});
    return true;
  }
  bool end() override {
    Frame& frame = stack_.back();
    Value done;
    switch (frame.kind) {
      case Frame::Kind::Array:
        done = Value::array(std::move(frame.items));
        break;
      case Frame::Kind::Map:
        done = Value::map(Map::from_entries(std::move(frame.entries)));
        break;
      case Frame::Kind::Link:
        done = Value::link(std::move(frame.link_path), Map::from_entries(std::move(frame.entries)));
        break;
    }
    stack_.pop_back();
    return put(std::move(done));
  }

 private:
  struct Frame {
    enum class Kind : std::uint8_t { Array, Map, Link };
    Kind kind;
    Array items;                    // Array
    std::vector<MapEntry> entries;  // Map, Link locals; the last one awaits its value
    std::string link_path;          // Link
  };

  Frame& open(Frame::Kind kind) {
    stack_.push_back(Frame{kind, {}, {}, {}});
    return stack_.back();
  }

  // Places a finished value into the container on top, or as the result.
  bool put(Value v) {
    if (stack_.empty()) {
      result = std::move(v);
    } else if (stack_.back().kind == Frame::Kind::Array) {
      stack_.back().items.push_back(std::move(v));
    } else {
      stack_.back().entries.back().value = std::move(v);
    }
    return true;
  }

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
  ValueBuilder builder;
  auto walked = walk_with(bytes, position, builder);
  if (!walked) return std::unexpected(walked.error());
  return std::move(builder.result);
}

std::expected<Map, CodecError> decode_map(std::string_view bytes, std::size_t& position) {
  ValueBuilder builder;
  auto walked = detail::Walker<ValueBuilder>(bytes, position, builder).run_map_body();
  if (!walked) return std::unexpected(walked.error());
  return std::move(std::get<Map>(builder.result.data));
}

}  // namespace quillet
