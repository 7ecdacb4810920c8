#include "tools/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "harness.h"

namespace quillet::tools_test {
namespace {

TEST(Json, RendersEveryKindWithItsDocumentedEncoding) {
  Map local;
  local.insert_or_assign("w", Value::integer(2));
  Map dollar;
  dollar.insert_or_assign("$link", Value::text("not a link"));
  Map plain;
  plain.insert_or_assign("b", Value::boolean(true));
  plain.insert_or_assign("a", Value::null());
  const std::vector<std::pair<Value, std::string>> cases = {
      {Value::null(), "null"},
      {Value::boolean(false), "false"},
      {Value::integer(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Value::floating(1.0), "1.0"},
      {Value::floating(-0.0), "-0.0"},
      {Value::floating(1e300), "1e300"},
      {Value::floating(std::nan("")), "{\"$float\":\"NaN\"}"},
      {Value::floating(-INFINITY), "{\"$float\":\"-inf\"}"},
      {Value::text("a\"b\\c\n\x01\x7f\xC3\xA9"), "\"a\\\"b\\\\c\\n\\u0001\x7f\xC3\xA9\""},
      {Value::blob(""), "{\"$bytes\":\"\"}"},
      {Value::blob("f"), "{\"$bytes\":\"Zg==\"}"},
      {Value::blob("fo"), "{\"$bytes\":\"Zm8=\"}"},
      {Value::blob("foobar"), "{\"$bytes\":\"Zm9vYmFy\"}"},
      {Value{Date{19000}}, "{\"$date\":19000}"},
      {Value{Time{5}}, "{\"$time\":5}"},
      {Value{DateTime{std::numeric_limits<std::uint64_t>::max()}}, "{\"$datetime\":18446744073709551615}"},
      {Value::tombstone(), "{\"$tombstone\":true}"},
      {Value::array({}), "[]"},
      {Value::array({Value::integer(1), Value::array({}), Value::text("x")}), "[1,[],\"x\"]"},
      {Value::map(plain), "{\"b\":true,\"a\":null}"},
      {Value::map(dollar), "{\"$map\":{\"$link\":\"not a link\"}}"},
      {Value::link("users/alice"), "{\"$link\":\"users/alice\",\"local\":{}}"},
      {Value::link("u/a", local), "{\"$link\":\"u/a\",\"local\":{\"w\":2}}"},
      {Value::link("u/a", dollar), "{\"$link\":\"u/a\",\"local\":{\"$map\":{\"$link\":\"not a link\"}}}"},
  };
  for (const auto& [value, json] : cases) {
    SCOPED_TRACE(debug_string(value));
    EXPECT_EQ(to_json(value), json);
  }
}

TEST(Json, RendersTheDeepestValueTheStoreHolds) {
  Value v = Value::integer(7);
  for (std::size_t i = 0; i + 1 < kMaxNesting; ++i) {
    Array a;
    a.push_back(std::move(v));
    v = Value::array(std::move(a));
  }
  const std::string json = to_json(v);
  EXPECT_EQ(json, std::string(kMaxNesting - 1, '[') + "7" + std::string(kMaxNesting - 1, ']'));
}

}  // namespace
}  // namespace quillet::tools_test
