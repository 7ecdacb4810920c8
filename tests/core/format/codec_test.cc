#include "format/codec.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "test_support.h"
#include "value/value.h"

namespace quillet {
namespace {

using testing::hex;
using testing::to_hex;

std::string encoded(const Value& v) {
  std::string out;
  encode(v, out);
  return out;
}

std::expected<Value, Error> decode_all(std::string_view bytes) {
  std::size_t pos = 0;
  return decode(bytes, pos);
}

std::string decode_error(std::string_view bytes) {
  auto v = decode_all(bytes);
  return v ? std::string("(decoded)") : v.error().text();
}

Map one_entry(std::string key, Value v) {
  Map m;
  m.insert_or_assign(std::move(key), std::move(v));
  return m;
}

// Structural equality for tests (values have no equality of their own).
// Maps compare as sets of entries; floats by bit pattern.
bool same(const Value& a, const Value& b);

bool same_map(const Map& a, const Map& b) {
  if (a.size() != b.size()) return false;
  for (const MapEntry& e : a.entries()) {
    const Value* other = b.find(e.key);
    if (!other || !same(e.value, *other)) return false;
  }
  return true;
}

bool same(const Value& a, const Value& b) {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Null:
    case Kind::Tombstone:
      return true;
    case Kind::Bool:
      return std::get<bool>(a.data) == std::get<bool>(b.data);
    case Kind::Int:
      return std::get<std::int64_t>(a.data) == std::get<std::int64_t>(b.data);
    case Kind::Float:
      return std::bit_cast<std::uint64_t>(std::get<double>(a.data)) ==
             std::bit_cast<std::uint64_t>(std::get<double>(b.data));
    case Kind::Text:
      return std::get<std::string>(a.data) == std::get<std::string>(b.data);
    case Kind::Blob:
      return std::get<Blob>(a.data).bytes == std::get<Blob>(b.data).bytes;
    case Kind::Date:
      return std::get<Date>(a.data).days == std::get<Date>(b.data).days;
    case Kind::Time:
      return std::get<Time>(a.data).value == std::get<Time>(b.data).value;
    case Kind::DateTime:
      return std::get<DateTime>(a.data).value == std::get<DateTime>(b.data).value;
    case Kind::Array: {
      const Array& x = std::get<Array>(a.data);
      const Array& y = std::get<Array>(b.data);
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i)
        if (!same(x[i], y[i])) return false;
      return true;
    }
    case Kind::Map:
      return same_map(std::get<Map>(a.data), std::get<Map>(b.data));
    case Kind::Link:
      return std::get<Link>(a.data).path == std::get<Link>(b.data).path &&
             same_map(std::get<Link>(a.data).local, std::get<Link>(b.data).local);
  }
  return false;
}

struct Example {
  const char* name;
  Value value;
  const char* bytes;
};

TEST(Codec, ExamplesEncodeAndDecodeExactly) {
  Array int_and_null;
  int_and_null.push_back(Value::integer(1));
  int_and_null.push_back(Value::null());
  const Example examples[] = {
      {"null", Value::null(), "00"},
      {"tombstone", Value::tombstone(), "0C"},
      {"true", Value::boolean(true), "01 01"},
      {"int -1", Value::integer(-1), "02 FF FF FF FF FF FF FF FF"},
      {"float 1.0", Value::floating(1.0), "03 00 00 00 00 00 00 F0 3F"},
      {"text abc", Value::text("abc"), "04 03 00 00 00 61 62 63"},
      {"empty text", Value::text(""), "04 00 00 00 00"},
      {"date", Value{Date{19000}}, "09 38 4A 00 00"},
      {"time", Value{Time{3600}}, "0A 10 0E 00 00"},
      {"datetime", Value{DateTime{0xFFFFFFFFFFFFFFFFull}}, "0B FF FF FF FF FF FF FF FF"},
      {"blob", Value::blob(std::string("\x01\xff", 2)), "06 02 00 00 00 01 FF"},
      {"array", Value::array(int_and_null), "07 02 00 00 00 02 01 00 00 00 00 00 00 00 00"},
      {"link", Value::link("a/b"), "05 03 00 00 00 61 2F 62 00 00 00 00"},
      {"map", Value::map(one_entry("x", Value::boolean(false))), "08 01 00 00 00 01 00 00 00 78 01 00"},
  };
  for (const Example& e : examples) {
    SCOPED_TRACE(e.name);
    EXPECT_EQ(to_hex(encoded(e.value)), to_hex(hex(e.bytes)));
    std::string bytes = hex(e.bytes);
    std::size_t pos = 0;
    auto back = decode(bytes, pos);
    ASSERT_TRUE(back.has_value()) << back.error().text();
    EXPECT_TRUE(same(*back, e.value));
    EXPECT_EQ(pos, bytes.size());
  }
}

TEST(Codec, DecodeFailuresCarryExactTexts) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "unexpected end of buffer"},
      {"0D", "unknown type byte: 0x0D"},
      {"FF", "unknown type byte: 0xFF"},
      {"04 05 00 00 00 61 62", "unexpected end of buffer"},
      {"04 05 00 00 00 FF FF", "unexpected end of buffer"},  // length checked before UTF-8
      {"04 01 00 00 00 FF", "invalid UTF-8 in text field"},
      {"04 02 00 00 00 C0 80", "invalid UTF-8 in text field"},     // overlong
      {"04 03 00 00 00 ED A0 80", "invalid UTF-8 in text field"},  // surrogate
      {"05 03 00 00 00 61 2F 62", "unexpected end of buffer"},     // link needs its map body
      {"07 03 00 00 00 00 00 0D", "unknown type byte: 0x0D"},      // third element bad
      {"08 01 00 00 00 01 00 00 00 FF 00", "invalid UTF-8 in text field"},
      {"01", "unexpected end of buffer"},
      {"02 00 00", "unexpected end of buffer"},
      {"09 00 00", "unexpected end of buffer"},
      {"07 FF FF FF FF", "unexpected end of buffer"},  // huge count, nothing behind it
      {"08 FF FF FF FF", "unexpected end of buffer"},
  };
  for (const auto& [bytes, text] : cases) {
    SCOPED_TRACE(bytes);
    EXPECT_EQ(decode_error(hex(bytes)), text);
  }
}

TEST(Codec, LenientReadsAndTrailingBytes) {
  auto b = decode_all(hex("01 02"));
  ASSERT_TRUE(b);
  EXPECT_EQ(to_hex(encoded(*b)), "01 01");

  std::string bytes = hex("00 01 02 03");
  std::size_t pos = 0;
  ASSERT_TRUE(decode(bytes, pos));
  EXPECT_EQ(pos, 1u);

  auto blob = decode_all(hex("06 01 00 00 00 FF"));
  ASSERT_TRUE(blob);
  EXPECT_EQ(std::get<Blob>(blob->data).bytes, "\xff");
}

TEST(Codec, RepeatedMapKeyKeepsFirstPositionAndLastValue) {
  // {"a": 1, "b": 2, "a": 3}
  std::string bytes = hex("08 03 00 00 00  01 00 00 00 61 02 01 00 00 00 00 00 00 00"
                          "01 00 00 00 62 02 02 00 00 00 00 00 00 00"
                          "01 00 00 00 61 02 03 00 00 00 00 00 00 00");
  auto v = decode_all(bytes);
  ASSERT_TRUE(v);
  const Map& m = std::get<Map>(v->data);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m.entries()[0].key, "a");
  EXPECT_EQ(std::get<std::int64_t>(m.entries()[0].value.data), 3);
  EXPECT_EQ(m.entries()[1].key, "b");

  // Large maps take the hashed path of the same rule.
  std::string big = hex("08");
  put_u32(big, 41);
  for (int i = 0; i < 41; ++i) {
    std::string key = i == 40 ? "k7" : "k" + std::to_string(i);
    put_u32(big, static_cast<std::uint32_t>(key.size()));
    big += key;
    big += hex("02");
    std::string n;
    for (int b = 0; b < 8; ++b) n.push_back(static_cast<char>(b == 0 ? i : 0));
    big += n;
  }
  auto bv = decode_all(big);
  ASSERT_TRUE(bv);
  const Map& bm = std::get<Map>(bv->data);
  ASSERT_EQ(bm.size(), 40u);
  EXPECT_EQ(bm.entries()[7].key, "k7");
  EXPECT_EQ(std::get<std::int64_t>(bm.entries()[7].value.data), 40);
}

TEST(Codec, DecodeMapReadsABodyWithoutTypeByte) {
  std::string body = hex("02 00 00 00  01 00 00 00 78 01 00  01 00 00 00 78 01 01 FF");
  std::size_t pos = 0;
  auto map = decode_map(body, pos);
  ASSERT_TRUE(map);
  EXPECT_EQ(pos, body.size() - 1);  // the trailing byte is not looked at
  ASSERT_EQ(map->size(), 1u);
  EXPECT_TRUE(std::get<bool>(map->entries()[0].value.data));
  for (const char* bad : {"", "01 00 00", "01 00 00 00 01 00 00 00 78", "01 00 00 00 01 00 00 00 FF 00"}) {
    std::size_t p = 0;
    std::string bytes = hex(bad);
    auto r = decode_map(bytes, p);
    ASSERT_FALSE(r.has_value()) << bad;
  }
}

Value nested_arrays(std::size_t depth) {
  Value v = Value::null();
  for (std::size_t i = 0; i < depth; ++i) {
    Array a;
    a.push_back(std::move(v));
    v = Value::array(std::move(a));
  }
  return v;
}

TEST(Codec, DeepNestingUpToTheLimitRoundTripsAndBeyondItFails) {
  for (std::size_t depth : {std::size_t{1000}, kMaxNesting}) {
    SCOPED_TRACE(depth);
    Value v = nested_arrays(depth);
    EXPECT_TRUE(check_encodable(v));
    std::string bytes = encoded(v);
    auto back = decode_all(bytes);
    ASSERT_TRUE(back);
    Value copy = *back;  // deep copy at depth
    EXPECT_EQ(encoded(copy), bytes);
  }
  Value too_deep = nested_arrays(kMaxNesting + 1);
  EXPECT_NE(check_encodable(too_deep).error().text().find("nested deeper"), std::string::npos);
  std::string bytes = encoded(too_deep);
  std::string text = decode_error(bytes);
  EXPECT_NE(text.find(std::to_string(kMaxNesting)), std::string::npos) << text;

  // A hostile input a million levels deep fails without exhausting the stack.
  std::string hostile;
  for (int i = 0; i < 1000000; ++i) hostile += hex("07 01 00 00 00");
  hostile += hex("00");
  EXPECT_NE(decode_error(hostile).find("nested deeper"), std::string::npos);

  // Maps and link locals count as nesting too.
  std::string maps;
  for (std::size_t i = 0; i <= kMaxNesting; ++i) maps += hex("08 01 00 00 00 01 00 00 00 6B");
  maps += hex("00");
  EXPECT_NE(decode_error(maps).find("nested deeper"), std::string::npos);
}

// Random values of all thirteen variants, nested.
class ValueGen {
 public:
  explicit ValueGen(std::uint32_t seed) : rng_(seed) {}

  Value make(int depth) {
    int kind = pick(0, depth > 0 ? 12 : 9);
    switch (kind) {
      case 0:
        return Value::null();
      case 1:
        return Value::tombstone();
      case 2:
        return Value::boolean(pick(0, 1) == 1);
      case 3:
        return Value::integer(static_cast<std::int64_t>((static_cast<std::uint64_t>(rng_()) << 32) | rng_()));
      case 4:
        return Value::floating(std::bit_cast<double>(static_cast<std::uint64_t>(rng_()) << 32 | rng_()));
      case 5:
        return Value::text(text());
      case 6: {
        std::string b;
        for (int i = pick(0, 6); i > 0; --i) b.push_back(static_cast<char>(rng_()));
        return Value::blob(b);
      }
      case 7:
        return Value{Date{static_cast<std::uint32_t>(rng_())}};
      case 8:
        return Value{Time{static_cast<std::uint32_t>(rng_())}};
      case 9:
        return Value{DateTime{static_cast<std::uint64_t>(rng_()) << 32 | rng_()}};
      case 10: {
        Array a;
        for (int i = pick(0, 4); i > 0; --i) a.push_back(make(depth - 1));
        return Value::array(std::move(a));
      }
      case 11:
        return Value::map(map(depth - 1));
      default:
        return Value::link(text() + "/" + text(), map(depth - 1));
    }
  }

 private:
  int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  std::string text() {
    static const char* pieces[] = {"a", "b", "é", "日本", "\n", "\"", "😀", ""};
    std::string s;
    for (int i = pick(0, 3); i > 0; --i) s += pieces[pick(0, 7)];
    return s;
  }
  Map map(int depth) {
    Map m;
    for (int i = pick(0, 4); i > 0; --i) m.insert_or_assign(text(), make(depth));
    return m;
  }
  std::mt19937 rng_;
};

TEST(Codec, RandomValuesRoundTrip) {
  ValueGen gen(20261208);
  for (int i = 0; i < 3000; ++i) {
    Value v = gen.make(4);
    std::string bytes = encoded(v);
    std::size_t pos = 0;
    auto back = decode(bytes, pos);
    ASSERT_TRUE(back) << back.error().text();
    ASSERT_EQ(pos, bytes.size());
    ASSERT_TRUE(same(*back, v)) << testing::to_hex(bytes);
    Value copy = v;
    ASSERT_TRUE(same(copy, v));
    // Every strict prefix of an encoding is incomplete, never a crash.
    if (i % 50 == 0) {
      for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
        std::size_t p = 0;
        auto r = decode(std::string_view(bytes).substr(0, cut), p);
        ASSERT_FALSE(r.has_value());
        ASSERT_EQ(r.error().text(), "unexpected end of buffer");
      }
    }
  }
}

// Rebuilds the walked value, to compare `walk` with `decode`.
class Rebuild : public ValueVisitor {
 public:
  Value result;
  bool null() override { return put(Value::null()); }
  bool tombstone() override { return put(Value::tombstone()); }
  bool boolean(bool b) override { return put(Value::boolean(b)); }
  bool integer(std::int64_t i) override { return put(Value::integer(i)); }
  bool floating(double d) override { return put(Value::floating(d)); }
  bool text(std::string_view t) override { return put(Value::text(std::string(t))); }
  bool blob(std::string_view b) override { return put(Value::blob(std::string(b))); }
  bool date(std::uint32_t v) override { return put(Value{Date{v}}); }
  bool time(std::uint32_t v) override { return put(Value{Time{v}}); }
  bool datetime(std::uint64_t v) override { return put(Value{DateTime{v}}); }
  bool begin_array(std::uint32_t) override { return open(Value::array({})); }
  bool begin_map(std::uint32_t) override { return open(Value::map({})); }
  bool begin_link(std::string_view path, std::uint32_t) override { return open(Value::link(std::string(path))); }
  bool key(std::string_view k) override {
    keys_.back() = std::string(k);
    return true;
  }
  bool end() override {
    Value done = std::move(stack_.back());
    stack_.pop_back();
    keys_.pop_back();
    return put(std::move(done));
  }

 private:
  bool open(Value container) {
    stack_.push_back(std::move(container));
    keys_.emplace_back();
    return true;
  }
  bool put(Value v) {
    if (stack_.empty()) {
      result = std::move(v);
    } else if (Array* a = stack_.back().get_if<Array>()) {
      a->push_back(std::move(v));
    } else if (Map* m = stack_.back().get_if<Map>()) {
      m->insert_or_assign(keys_.back(), std::move(v));
    } else {
      stack_.back().get_if<Link>()->local.insert_or_assign(keys_.back(), std::move(v));
    }
    return true;
  }
  std::vector<Value> stack_;
  std::vector<std::string> keys_;
};

TEST(Codec, WalkSeesWhatDecodeBuildsAndFailsWhereItFails) {
  ValueGen gen(77);
  for (int i = 0; i < 1000; ++i) {
    std::string bytes = encoded(gen.make(4));
    for (std::size_t cut : {bytes.size(), bytes.size() / 2, bytes.size() / 3}) {
      std::string_view part = std::string_view(bytes).substr(0, cut);
      std::size_t decode_pos = 0, walk_pos = 0;
      auto decoded = decode(part, decode_pos);
      Rebuild rebuild;
      auto walked = walk(part, walk_pos, rebuild);
      ASSERT_EQ(decoded.has_value(), walked.has_value());
      if (decoded) {
        ASSERT_TRUE(*walked);
        ASSERT_EQ(walk_pos, decode_pos);
        ASSERT_TRUE(same(rebuild.result, *decoded));
      } else {
        ASSERT_EQ(walked.error().text(), decoded.error().text());
      }
    }
  }
  for (const char* bad : {"0D", "04 01 00 00 00 FF", "07 02 00 00 00 00 0E", "08 01 00 00 00 01 00 00 00 C3"}) {
    std::size_t pos = 0;
    Rebuild rebuild;
    auto walked = walk(hex(bad), pos, rebuild);
    ASSERT_FALSE(walked.has_value());
    EXPECT_EQ(walked.error().text(), decode_error(hex(bad)));
  }
  std::string hostile;
  for (int i = 0; i < 1000000; ++i) hostile += hex("07 01 00 00 00");
  std::size_t pos = 0;
  Rebuild rebuild;
  auto walked = walk(hostile, pos, rebuild);
  ASSERT_FALSE(walked.has_value());
  EXPECT_EQ(walked.error().text(), DecodeFault::too_deep().text());
}

TEST(Codec, OversizedValuesAreRefusedBeforeWriting) {
  if (kMaxLength >= 0xFFFFFFFFull) GTEST_SKIP() << "needs a build with QUILLET_MAX_LENGTH lowered";
  std::string big(static_cast<std::size_t>(kMaxLength) + 1, 'x');
  EXPECT_NE(check_encodable(Value::text(big)).error().text().find("too long"), std::string::npos);
  EXPECT_NE(check_encodable(Value::blob(big)).error().text().find("too long"), std::string::npos);
  EXPECT_NE(check_encodable(Value::link(big)).error().text().find("too long"), std::string::npos);
  EXPECT_NE(check_encodable(Value::map(one_entry(big, Value::null()))).error().text().find("too long"), std::string::npos);
  EXPECT_TRUE(check_encodable(Value::text(std::string(static_cast<std::size_t>(kMaxLength), 'x'))));
}

}  // namespace
}  // namespace quillet
