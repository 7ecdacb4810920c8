#include <gtest/gtest.h>

#include <random>

#include "store/backlinks.h"
#include "format/codec.h"

namespace quillet {
namespace {

// Values rich in links: nested maps, arrays, links with local values, keys
// holding "/" and empty keys, paths with "$" keys, no "/" or empty parts.
Value random_linked(std::mt19937& rng, int depth) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  static const char* paths[] = {"users/alice", "users/", "users", "/x", "a/b/c", "t/$self", "t/$x", "c/k/f/g", ""};
  static const char* keys[] = {"a", "b", "", "x/y", "author"};
  int roll = depth <= 0 ? pick(3) : pick(6);
  switch (roll) {
    case 0:
      return Value::integer(pick(100));
    case 1:
      return Value::text("plain");
    case 2:
      return Value::link(paths[pick(9)]);
    case 3: {
      Array items;
      for (int i = pick(12); i > 0; --i) items.push_back(random_linked(rng, depth - 1));
      return Value::array(std::move(items));
    }
    case 4: {
      Map m;
      for (int i = pick(4); i > 0; --i) m.insert_or_assign(keys[pick(5)], random_linked(rng, depth - 1));
      return Value::map(std::move(m));
    }
    default: {
      Map local;
      for (int i = pick(3); i > 0; --i) local.insert_or_assign(keys[pick(5)], random_linked(rng, depth - 1));
      return Value::link(paths[pick(9)], std::move(local));
    }
  }
}

TEST(LinksEncoded, AgreeWithLinksOfTheDecodedValue) {
  std::mt19937 rng(99);
  for (int i = 0; i < 3000; ++i) {
    Value v = random_linked(rng, 5);
    std::string bytes;
    encode(v, bytes);
    std::vector<LinkRef> from_value = collect_links(v);
    std::vector<LinkRef> from_bytes;
    ASSERT_TRUE(collect_links_encoded(bytes, from_bytes));
    ASSERT_EQ(from_bytes, from_value);
  }
}

TEST(LinksEncoded, UndecodableBytesGiveNothing) {
  std::vector<LinkRef> out{LinkRef{"kept", "k", ""}};
  std::string bytes;
  encode(Value::array({Value::link("users/a"), Value::link("users/b")}), bytes);
  bytes.pop_back();
  EXPECT_FALSE(collect_links_encoded(bytes, out));
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].target_collection, "kept");
}

}  // namespace
}  // namespace quillet
