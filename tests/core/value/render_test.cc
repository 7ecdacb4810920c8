// Debug rendering of values, quoted text, floats, and the Unicode tables
// behind the escapes.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "value/value.h"
#include "value/unicode_tables.h"

namespace quillet {
namespace {

Map make_map(std::vector<std::pair<std::string, Value>> entries) {
  Map map;
  for (auto& [key, value] : entries) map.insert_or_assign(std::move(key), std::move(value));
  return map;
}

Array make_array(std::vector<Value> items) { return Array(std::make_move_iterator(items.begin()), std::make_move_iterator(items.end())); }

// ---------------------------------------------------------------- values

struct RenderCase {
  const char* name;
  Value value;
  std::string expected;
};

TEST(DebugString, RendersEveryVariant) {
  const std::vector<RenderCase> cases = {
      {"null", Value::null(), "Null"},
      {"tombstone", Value::tombstone(), "Tombstone"},
      {"true", Value::boolean(true), "Bool(true)"},
      {"false", Value::boolean(false), "Bool(false)"},
      {"int", Value::integer(5), "Int(5)"},
      {"negative int", Value::integer(-12), "Int(-12)"},
      {"smallest int", Value::integer(std::numeric_limits<std::int64_t>::min()), "Int(-9223372036854775808)"},
      {"float", Value::floating(1.0), "Float(1.0)"},
      {"large float", Value::floating(1e16), "Float(1e16)"},
      {"text", Value::text("ab"), "Text(\"ab\")"},
      {"escaped text", Value::text("a\"\n"), "Text(\"a\\\"\\n\")"},
      {"blob", Value::blob(std::string("\x01\x02\xff", 3)), "Blob([1, 2, 255])"},
      {"empty blob", Value::blob(""), "Blob([])"},
      {"date", Value{Date{19000}}, "Date(19000)"},
      {"time", Value{Time{3600}}, "Time(3600)"},
      {"datetime", Value{DateTime{0}}, "DateTime(0)"},
      {"largest datetime", Value{DateTime{std::numeric_limits<std::uint64_t>::max()}},
       "DateTime(18446744073709551615)"},
      {"largest date", Value{Date{std::numeric_limits<std::uint32_t>::max()}}, "Date(4294967295)"},
      {"array", Value::array(make_array({Value::integer(1), Value::null()})), "Array([Int(1), Null])"},
      {"empty array", Value::array({}), "Array([])"},
      {"map", Value::map(make_map({{"x", Value::boolean(false)}})), "Map({\"x\": Bool(false)})"},
      {"empty map", Value::map({}), "Map({})"},
      {"map keeps entry order",
       Value::map(make_map({{"b", Value::integer(1)}, {"a", Value::integer(2)}, {"c", Value::integer(3)}})),
       "Map({\"b\": Int(1), \"a\": Int(2), \"c\": Int(3)})"},
      {"map key escaped", Value::map(make_map({{"k\t", Value::null()}})), "Map({\"k\\t\": Null})"},
      {"link", Value::link("a/b"), "Link(Link { path: \"a/b\", local: {} })"},
      {"link with locals",
       Value::link("a/\"b", make_map({{"n", Value::integer(1)}, {"m", Value::text("x")}})),
       "Link(Link { path: \"a/\\\"b\", local: {\"n\": Int(1), \"m\": Text(\"x\")} })"},
      {"nested",
       Value::array(make_array({
           Value::map(make_map({{"l", Value::link("c/k", make_map({{"a", Value::array({})}}))}})),
           Value::array(make_array({Value::array({}), Value::map({})})),
           Value::floating(0.5),
       })),
       "Array([Map({\"l\": Link(Link { path: \"c/k\", local: {\"a\": Array([])} })}), "
       "Array([Array([]), Map({})]), Float(0.5)])"},
  };
  for (const RenderCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(debug_string(c.value), c.expected);
  }
}

// Builds `depth` levels of containers around Null, cycling through array,
// map and link so every kind of frame is opened and closed, and the text the
// rendering must produce for it.
std::pair<Value, std::string> deeply_nested(std::size_t depth) {
  Value value = Value::null();
  std::vector<std::string_view> openings;  // outermost last
  std::string closing;
  for (std::size_t level = 0; level < depth; ++level) {
    switch (level % 3) {
      case 0: {
        Array array;
        array.push_back(std::move(value));
        value = Value::array(std::move(array));
        openings.push_back("Array([");
        closing += "])";
        break;
      }
      case 1: {
        Map map;
        map.insert_or_assign("k", std::move(value));
        value = Value::map(std::move(map));
        openings.push_back("Map({\"k\": ");
        closing += "})";
        break;
      }
      default: {
        Map local;
        local.insert_or_assign("k", std::move(value));
        value = Value::link("p", std::move(local));
        openings.push_back("Link(Link { path: \"p\", local: {\"k\": ");
        closing += "} })";
        break;
      }
    }
  }
  std::string expected;
  for (auto it = openings.rbegin(); it != openings.rend(); ++it) expected += *it;
  expected += "Null";
  expected += closing;
  return {std::move(value), std::move(expected)};
}

TEST(DebugString, RendersValuesNestedToTheLimit) {
  auto [value, expected] = deeply_nested(kMaxNesting);
  EXPECT_EQ(debug_string(value), expected);
}

TEST(DebugString, NestingHelperMatchesShallowRendering) {
  // Guards the expectation builder above against mistakes of its own.
  EXPECT_EQ(deeply_nested(3).second,
            "Link(Link { path: \"p\", local: {\"k\": Map({\"k\": Array([Null])})} })");
}

// ---------------------------------------------------------------- floats

TEST(RenderFloat, FollowsTheFloatRule) {
  const std::vector<std::pair<double, std::string>> cases = {
      {1.0, "1.0"},
      {0.5, "0.5"},
      {0.0001, "0.0001"},
      {123.25, "123.25"},
      {1e16, "1e16"},
      {1.5e-5, "1.5e-5"},
      {1e-7, "1e-7"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {-2.5, "-2.5"},
      {0.1, "0.1"},
      {100.0, "100.0"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1.2345e20, "1.2345e20"},
      {-1.2345e20, "-1.2345e20"},
      {0.00012, "0.00012"},
      {9.999e-5, "9.999e-5"},
      {123456.789, "123456.789"},
      {std::numeric_limits<double>::denorm_min(), "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
      {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
  };
  for (const auto& [value, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(render_float(value), expected);
  }
}

void expect_round_trip_in_rule_form(double value) {
  SCOPED_TRACE(testing::Message() << std::hexfloat << value);
  const std::string text = render_float(value);
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  ASSERT_EQ(end, text.c_str() + text.size()) << text;
  EXPECT_EQ(std::bit_cast<std::uint64_t>(parsed), std::bit_cast<std::uint64_t>(value)) << text;

  const double magnitude = std::fabs(value);
  const bool exponent_form = magnitude >= 1e16 || (magnitude != 0.0 && magnitude < 1e-4);
  EXPECT_EQ(text.find('e') != std::string::npos, exponent_form) << text;
  if (!exponent_form) {
    const std::size_t point = text.find('.');
    ASSERT_NE(point, std::string::npos) << text;
    EXPECT_LT(point + 1, text.size()) << text;
  }
  // Shortest: the nearest decimal with one significant digit fewer must not
  // read back as the same double.
  std::string significant;
  for (char c : text.substr(0, text.find('e'))) {
    if (c >= '0' && c <= '9' && !(significant.empty() && c == '0')) significant += c;
  }
  while (!significant.empty() && significant.back() == '0') significant.pop_back();
  ASSERT_LE(significant.size(), 17u) << text;
  if (significant.size() > 1) {
    char fewer[64];
    std::snprintf(fewer, sizeof fewer, "%.*e", static_cast<int>(significant.size()) - 2, value);
    EXPECT_NE(std::strtod(fewer, nullptr), value) << text << " could be " << fewer;
  }
}

TEST(RenderFloat, RoundTripsRandomBitPatterns) {
  std::mt19937_64 random(20240611);
  for (int i = 0; i < 200000; ++i) {
    const double value = std::bit_cast<double>(random());
    if (std::isnan(value) || std::isinf(value)) continue;
    expect_round_trip_in_rule_form(value);
    if (HasFatalFailure()) return;
  }
}

TEST(RenderFloat, RoundTripsAroundTheFormBoundaries) {
  // Random bit patterns rarely land near 1e-4 and 1e16, where the form switches,
  // or in the plain range at all; sample those magnitudes on purpose.
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> mantissa(1.0, 10.0);
  std::uniform_int_distribution<int> exponent(-8, 20);
  for (int i = 0; i < 100000; ++i) {
    const double value = mantissa(random) * std::pow(10.0, exponent(random)) * (i % 2 ? -1 : 1);
    expect_round_trip_in_rule_form(value);
    if (HasFatalFailure()) return;
  }
  for (double boundary : {1e-4, 1e16}) {
    double below = boundary;
    double above = boundary;
    for (int step = 0; step < 50; ++step) {
      below = std::nextafter(below, 0.0);
      above = std::nextafter(above, 1e300);
      expect_round_trip_in_rule_form(below);
      expect_round_trip_in_rule_form(above);
    }
  }
}

// ---------------------------------------------------------------- quoting

struct QuoteCase {
  const char* name;
  std::string input;
  std::string text_form;  // quote_text
  std::string repr_form;  // quote_repr
};

TEST(Quote, EscapesAsEachFormRequires) {
  const std::vector<QuoteCase> cases = {
      {"plain", "abc", "\"abc\"", "\"abc\""},
      {"empty", "", "\"\"", "\"\""},
      {"double quote", "a\"b", "\"a\\\"b\"", "\"a\\\"b\""},
      {"backslash", "a\\b", "\"a\\\\b\"", "\"a\\\\b\""},
      {"single quote stays", "it's", "\"it's\"", "\"it's\""},
      {"space stays", "a b", "\"a b\"", "\"a b\""},
      {"tab cr lf", "\t\r\n", "\"\\t\\r\\n\"", "\"\\t\\r\\n\""},
      {"nul", std::string("a\0b", 3), "\"a\\0b\"", "\"a\\0b\""},
      {"bell (Cc)", "\x07", "\"\\u{7}\"", "\"\\u{7}\""},
      {"escape (Cc)", "\x1b[0m", "\"\\u{1b}[0m\"", "\"\\u{1b}[0m\""},
      {"delete (Cc)", "\x7f", "\"\\u{7f}\"", "\"\\u{7f}\""},
      {"next line (Cc)", "\u0085", "\"\\u{85}\"", "\"\\u{85}\""},
      {"soft hyphen (Cf)", "\u00ad", "\"\\u{ad}\"", "\"\\u{ad}\""},
      {"zero width space (Cf)", "a\u200bb", "\"a\\u{200b}b\"", "\"a\\u{200b}b\""},
      {"byte order mark (Cf)", "\ufeff", "\"\\u{feff}\"", "\"\\u{feff}\""},
      {"zero width joiner (Cf, extend)", "\u200d", "\"\\u{200d}\"", "\"\\u{200d}\""},
      {"line separator (Zl)", "\u2028", "\"\\u{2028}\"", "\"\u2028\""},
      {"paragraph separator (Zp)", "\u2029", "\"\\u{2029}\"", "\"\u2029\""},
      {"no-break space (Zs)", "a\u00a0b", "\"a\\u{a0}b\"", "\"a\u00a0b\""},
      {"ideographic space (Zs)", "\u3000", "\"\\u{3000}\"", "\"\u3000\""},
      {"combining acute (Mn)", "e\u0301", "\"e\\u{301}\"", "\"e\u0301\""},
      {"enclosing circle (Me)", "1\u20dd", "\"1\\u{20dd}\"", "\"1\u20dd\""},
      {"private use (Co)", "\ue000", "\"\\u{e000}\"", "\"\ue000\""},
      {"plane 16 private use (Co)", "\U00100000", "\"\\u{100000}\"", "\"\U00100000\""},
      {"unassigned (Cn)", "\u0378", "\"\\u{378}\"", "\"\\u{378}\""},
      {"noncharacter (Cn)", "\U0010ffff", "\"\\u{10ffff}\"", "\"\\u{10ffff}\""},
      {"letters stay", "h\u00e9llo \u4e16\u754c", "\"h\u00e9llo \u4e16\u754c\"", "\"h\u00e9llo \u4e16\u754c\""},
      {"emoji stays", "\U0001f600", "\"\U0001f600\"", "\"\U0001f600\""},
      {"precomposed letter stays", "\u00e9", "\"\u00e9\"", "\"\u00e9\""},
  };
  for (const QuoteCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(quote_text(c.input), c.text_form);
    EXPECT_EQ(quote_repr(c.input), c.repr_form);
  }
}

TEST(Quote, ShowsInvalidUtf8AsReplacementEscapes) {
  // Texts are always valid UTF-8, but a caller handing in raw bytes must get
  // valid output, one escape per offending byte, and no out-of-range read.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\xff", "\"\\u{fffd}\""},
      {"a\x80z", "\"a\\u{fffd}z\""},
      {"\xc0\x80", "\"\\u{fffd}\\u{fffd}\""},                 // overlong NUL
      {"\xed\xa0\x80", "\"\\u{fffd}\\u{fffd}\\u{fffd}\""},    // a surrogate
      {"\xf4\x90\x80\x80", "\"\\u{fffd}\\u{fffd}\\u{fffd}\\u{fffd}\""},  // above U+10FFFF
      {"ok\xe2\x82", "\"ok\\u{fffd}\\u{fffd}\""},             // cut at the end
      {"\xe2\x82\xac\xe2", "\"\u20ac\\u{fffd}\""},
  };
  for (const auto& [input, expected] : cases) {
    SCOPED_TRACE(expected);
    EXPECT_EQ(quote_text(input), expected);
    EXPECT_EQ(quote_repr(input), expected);
  }
}

std::string utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

TEST(Quote, EveryCodePointIsEitherKeptOrEscapedByItsProperties) {
  // Over the whole code space: a character is kept verbatim exactly when the
  // tables say so, and the output is always valid UTF-8.
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;  // not encodable in UTF-8
    if (c == '"' || c == '\\' || c == '\t' || c == '\r' || c == '\n' || c == 0) continue;
    const std::string raw = utf8(c);
    const bool text_keeps = unicode::is_printable(c) && !unicode::is_grapheme_extend(c);
    const std::string text_form = quote_text(raw);
    const std::string repr_form = quote_repr(raw);
    ASSERT_EQ(text_form == "\"" + raw + "\"", text_keeps) << std::hex << static_cast<std::uint32_t>(c);
    ASSERT_EQ(repr_form == "\"" + raw + "\"", !unicode::is_repr_escaped(c)) << std::hex << static_cast<std::uint32_t>(c);
    ASSERT_TRUE(is_valid_utf8(text_form));
  }
}

// ---------------------------------------------------------------- tables

TEST(UnicodeTables, AreSortedDisjointAndMerged) {
  for (auto table : {unicode::non_printable_ranges(), unicode::grapheme_extend_ranges(),
                     unicode::repr_escaped_ranges()}) {
    ASSERT_FALSE(table.empty());
    for (std::size_t i = 0; i < table.size(); ++i) {
      EXPECT_LE(table[i].first, table[i].last);
      EXPECT_LE(table[i].last, 0x10FFFFu);
      // Adjacent ranges would have been merged by the generator.
      if (i > 0) {
        EXPECT_GT(table[i].first, table[i - 1].last + 1);
      }
    }
  }
}

TEST(UnicodeTables, LookupsAgreeWithTheTablesAtEveryBoundary) {
  struct Table {
    const char* name;
    std::span<const unicode::CodePointRange> ranges;
    bool (*contains)(char32_t);
  };
  const Table tables[] = {
      {"non-printable", unicode::non_printable_ranges(), [](char32_t c) { return !unicode::is_printable(c); }},
      {"grapheme extend", unicode::grapheme_extend_ranges(), unicode::is_grapheme_extend},
      {"repr escaped", unicode::repr_escaped_ranges(), unicode::is_repr_escaped},
  };
  for (const Table& table : tables) {
    SCOPED_TRACE(table.name);
    for (const auto& range : table.ranges) {
      const auto first = static_cast<std::uint32_t>(range.first);
      const auto last = static_cast<std::uint32_t>(range.last);
      EXPECT_TRUE(table.contains(range.first)) << std::hex << first;
      EXPECT_TRUE(table.contains(range.last)) << std::hex << last;
      // Ranges are merged, so the neighbours on both sides lie outside.
      if (first > 0) {
        EXPECT_FALSE(table.contains(range.first - 1)) << std::hex << first - 1;
      }
      if (last < 0x10FFFF) {
        EXPECT_FALSE(table.contains(range.last + 1)) << std::hex << last + 1;
      }
    }
  }
}

TEST(UnicodeTables, ClassifyKnownCharacters) {
  EXPECT_EQ(unicode::version(), "15.0.0");
  struct Known {
    char32_t c;
    bool printable;
    bool extend;
    bool repr_escaped;
  };
  const Known known[] = {
      {U'A', true, false, false},         {U' ', true, false, false},
      {0x00, false, false, true},         {0x9F, false, false, true},       // Cc
      {0xA0, false, false, false},        {0x3000, false, false, false},    // Zs
      {0x0300, true, true, false},        {0x0301, true, true, false},      // Mn
      {0x200C, false, true, true},        {0xE0020, false, true, true},     // Cf and extend
      {0x2028, false, false, false},      {0x2029, false, false, false},    // Zl, Zp
      {0xD800, false, false, false},      {0xDFFF, false, false, false},    // Cs
      {0xE000, false, false, false},      {0x10FFFD, false, false, false},  // Co
      {0x0378, false, false, true},       {0xFFFF, false, false, true},     // Cn
      {0x1FAE8, true, false, false},      {0x1FAE9, false, false, true},    // assigned in 15.0 / not
      {0x323AF, true, false, false},      {0x323B0, false, false, true},    // CJK extension H ends
      {0x110000, false, false, true},
  };
  for (const Known& k : known) {
    SCOPED_TRACE(testing::Message() << std::hex << static_cast<std::uint32_t>(k.c));
    EXPECT_EQ(unicode::is_printable(k.c), k.printable);
    EXPECT_EQ(unicode::is_grapheme_extend(k.c), k.extend);
    EXPECT_EQ(unicode::is_repr_escaped(k.c), k.repr_escaped);
  }
}

TEST(UnicodeTables, ReprEscapesOnlyNonPrintableCharacters) {
  // Cc, Cf and Cn are all among the non-printable categories.
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (unicode::is_repr_escaped(c)) {
      ASSERT_FALSE(unicode::is_printable(c)) << std::hex << static_cast<std::uint32_t>(c);
    }
  }
}

}  // namespace
}  // namespace quillet
