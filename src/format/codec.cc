#include "format/codec.h"

#include <bit>
#include <cstring>
#include <optional>

#include "value/walk.h"

namespace quillet {

namespace {

// A declared count only tells how many elements may follow; room is reserved
// for at most this many up front and the rest grows as elements really decode,
// so nested containers that each claim billions of entries cost nothing.
constexpr std::uint32_t kMaxUpfrontReserve = 64;

// Writes each node as the walk reaches it, through the one Encoder.
class EncodeVisitor {
 public:
  explicit EncodeVisitor(std::string& out) : encoder_(out) {}

  bool leaf(const Value& value) {
    switch (value.kind()) {
      case Kind::Null:
        encoder_.null();
        break;
      case Kind::Tombstone:
        encoder_.tombstone();
        break;
      case Kind::Bool:
        encoder_.boolean(*value.get_if<bool>());
        break;
      case Kind::Int:
        encoder_.integer(*value.get_if<std::int64_t>());
        break;
      case Kind::Float:
        encoder_.floating(*value.get_if<double>());
        break;
      case Kind::Text:
        encoder_.text(*value.get_if<std::string>());
        break;
      case Kind::Blob:
        encoder_.blob(value.get_if<Blob>()->bytes);
        break;
      case Kind::Date:
        encoder_.date(value.get_if<Date>()->days);
        break;
      case Kind::Time:
        encoder_.time(value.get_if<Time>()->value);
        break;
      case Kind::DateTime:
        encoder_.datetime(value.get_if<DateTime>()->value);
        break;
      case Kind::Array:
      case Kind::Map:
      case Kind::Link:
        break;
    }
    return true;
  }

  WalkStep enter(const Value& value, NoWalkFrame&, std::size_t) {
    if (const Array* items = value.get_if<Array>()) {
      encoder_.begin_array(static_cast<std::uint32_t>(items->size()));
    } else if (const Map* map = value.get_if<Map>()) {
      encoder_.begin_map(static_cast<std::uint32_t>(map->size()));
    } else {
      const Link& link = *value.get_if<Link>();
      encoder_.begin_link(link.path, static_cast<std::uint32_t>(link.local.size()));
    }
    return WalkStep::Descend;
  }

  bool entry(NoWalkFrame&, std::size_t, const std::string* key) {
    if (key != nullptr) encoder_.key(*key);
    return true;
  }

 private:
  Encoder encoder_;
};

std::string too_long(std::string_view what, std::uint64_t size) {
  return what == "array" || what == "map"
             ? std::string(what) + " of " + std::to_string(size) + " entries is too large to store (the limit is " +
                   std::to_string(kMaxLength) + ")"
             : std::string(what) + " of " + std::to_string(size) + " bytes is too long to store (the limit is " +
                   std::to_string(kMaxLength) + " bytes)";
}

// Finds the first part of a value the format cannot hold, in encoding order.
class EncodableCheck {
 public:
  std::string why;

  bool leaf(const Value& value) {
    if (const std::string* text = value.get_if<std::string>(); text && text->size() > kMaxLength) {
      why = too_long("text", text->size());
    } else if (const Blob* blob = value.get_if<Blob>(); blob && blob->bytes.size() > kMaxLength) {
      why = too_long("byte string", blob->bytes.size());
    }
    return why.empty();
  }

  WalkStep enter(const Value& value, NoWalkFrame&, std::size_t depth) {
    if (depth + 1 > kMaxNesting) {
      why = DecodeFault::too_deep().text();
    } else if (const Array* items = value.get_if<Array>(); items && items->size() > kMaxLength) {
      why = too_long("array", items->size());
    } else if (const Map* map = value.get_if<Map>(); map && map->size() > kMaxLength) {
      why = too_long("map", map->size());
    } else if (const Link* link = value.get_if<Link>(); link && link->path.size() > kMaxLength) {
      why = too_long("link path", link->path.size());
    } else if (link && link->local.size() > kMaxLength) {
      why = too_long("map", link->local.size());
    }
    return why.empty() ? WalkStep::Descend : WalkStep::Stop;
  }

  bool entry(NoWalkFrame&, std::size_t, const std::string* key) {
    if (key != nullptr && key->size() > kMaxLength) why = too_long("map key", key->size());
    return why.empty();
  }
};

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

std::expected<bool, Error> walk(std::string_view bytes, std::size_t& position, ValueVisitor& visitor) {
  auto walked = walk_with(bytes, position, visitor);
  if (!walked) return std::unexpected(walked.error().error());
  return *walked;
}

std::string DecodeFault::text() const {
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

void encode(const Value& value, std::string& out) {
  EncodeVisitor visitor(out);
  walk_value(value, visitor);
}

void encode_link(const Link& link, std::string& out) {
  if (link.local.empty()) {
    Encoder(out).begin_link(link.path, 0);
    return;
  }
  encode(Value::link(link.path, link.local), out);
}

std::expected<void, Error> check_encodable(const Value& value) {
  EncodableCheck check;
  if (walk_value(value, check)) return {};
  return std::unexpected(Error::invalid_argument(std::move(check.why)));
}

std::expected<Value, Error> decode(std::string_view bytes, std::size_t& position) {
  ValueBuilder builder;
  auto walked = walk_with(bytes, position, builder);
  if (!walked) return std::unexpected(walked.error().error());
  return std::move(builder.result);
}

std::expected<Map, Error> decode_map(std::string_view bytes, std::size_t& position) {
  ValueBuilder builder;
  auto walked = detail::Walker<ValueBuilder>(bytes, position, builder).run_map_body();
  if (!walked) return std::unexpected(walked.error().error());
  return std::move(std::get<Map>(builder.result.data));
}

std::expected<std::size_t, Error> encoded_value_end(std::string_view encoded) {
  std::size_t position = 0;
  AcceptAll accept;
  auto walked = walk_with(encoded, position, accept);
  if (!walked) return std::unexpected(walked.error().error());
  return position;
}

std::string value_fault(std::string_view encoded) {
  auto end = encoded_value_end(encoded);
  if (!end) return end.error().text();
  if (*end != encoded.size()) return std::to_string(encoded.size() - *end) + " bytes follow the encoded value";
  return {};
}

}  // namespace quillet
