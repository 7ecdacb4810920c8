#include "store/resolver.h"

#include <gtest/gtest.h>

#include "store/database.h"
#include "test_support.h"

namespace quillet {
namespace {

Map entries(std::initializer_list<std::pair<std::string, Value>> items) {
  Map m;
  for (const auto& [k, v] : items) m.insert_or_assign(k, v);
  return m;
}

Value map_of(std::initializer_list<std::pair<std::string, Value>> items) { return Value::map(entries(items)); }

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto opened = Database::open(dir_.path());
    ASSERT_TRUE(opened) << opened.error().text();
    db_ = std::move(*opened);
  }

  void put(std::string_view collection, std::string_view key, const Value& value) {
    auto r = db_->set(collection, key, value);
    ASSERT_TRUE(r) << r.error().text();
  }

  std::expected<Value, Error> resolve(std::string_view collection, std::string_view key,
                                             std::vector<std::string> path) {
    return Resolver(*db_).get_field(collection, key, path);
  }

  // The debug rendering of the result, or "error: <text>".
  std::string outcome(std::string_view collection, std::string_view key, std::vector<std::string> path) {
    auto r = resolve(collection, key, std::move(path));
    return r ? debug_string(*r) : "error: " + r.error().text();
  }

  testing::TempDir dir_;
  std::unique_ptr<Database> db_;
};

TEST_F(ResolverTest, WalksMapsAndFollowsLinks) {
  put("users", "alice", map_of({{"name", Value::text("Alice")}, {"address", Value::link("addresses/a1")}}));
  put("addresses", "a1", map_of({{"city", Value::text("Paris")}}));

  EXPECT_EQ(outcome("users", "alice", {"address", "city"}), R"(Text("Paris"))");
  EXPECT_EQ(outcome("users", "alice", {"address"}), R"(Map({"city": Text("Paris")}))");
  EXPECT_EQ(outcome("users", "alice", {"name"}), R"(Text("Alice"))");
  EXPECT_EQ(outcome("users", "alice", {"missing", "x", "y"}), "Null");
  EXPECT_EQ(outcome("users", "alice", {"name", "x"}), "error: field not found");
  EXPECT_EQ(outcome("users", "nobody", {}), "error: storage: key not found");
}

TEST_F(ResolverTest, EmptyPathFollowsATopLevelLinkWithItsOwnSegments) {
  put("users", "alice", map_of({{"address", map_of({{"city", Value::text("Oslo")}})}}));
  put("refs", "r1", Value::link("users/alice/address"));
  put("refs", "r2", Value::link("users/alice"));
  EXPECT_EQ(outcome("refs", "r1", {}), R"(Map({"city": Text("Oslo")}))");
  EXPECT_EQ(outcome("refs", "r1", {"city"}), R"(Text("Oslo"))");
  EXPECT_EQ(outcome("refs", "r2", {"address", "city"}), R"(Text("Oslo"))");
}

TEST_F(ResolverTest, ValuesThatCannotBeEntered) {
  Array items;
  items.push_back(Value::integer(1));
  put("c", "k",
      map_of({{"list", Value::array(items)},
              {"n", Value::null()},
              {"t", Value::tombstone()},
              {"i", Value::integer(3)},
              {"b", Value::blob("x")}}));
  EXPECT_EQ(outcome("c", "k", {"list", "0"}), "error: field not found");
  EXPECT_EQ(outcome("c", "k", {"n", "a", "b"}), "Null");
  EXPECT_EQ(outcome("c", "k", {"t", "a"}), "Tombstone");
  EXPECT_EQ(outcome("c", "k", {"i", "a"}), "error: field not found");
  EXPECT_EQ(outcome("c", "k", {"b", "a"}), "error: field not found");
}

TEST_F(ResolverTest, LocalValuesStandInForFieldsOfTheTarget) {
  put("posts", "p1",
      map_of({{"author", Value::link("users/ghost", entries({{"role", Value::text("editor")}}))}}));
  // The target does not exist: the local value still answers, the rest reads null.
  EXPECT_EQ(outcome("posts", "p1", {"author", "role"}), R"(Text("editor"))");
  EXPECT_EQ(outcome("posts", "p1", {"author", "name"}), "Null");
  EXPECT_EQ(outcome("posts", "p1", {"author"}), "Null");
}

TEST_F(ResolverTest, SelfKeys) {
  put("settings", "bob", map_of({{"theme", Value::text("dark")}}));
  put("profiles", "bob",
      map_of({{"settings", Value::link("settings/$self")},
              {"owner", Value::text("bob")},
              {"count", Value::integer(5)},
              {"meta", map_of({{"id", Value::text("bob")}})},
              {"by_owner", Value::link("settings/$self.owner")},
              {"by_meta", Value::link("settings/$self.meta.id")},
              {"by_count", Value::link("settings/$self.count")},
              {"by_missing", Value::link("settings/$self.nothing")},
              {"literal", Value::link("settings/$x")}}));
  EXPECT_EQ(outcome("profiles", "bob", {"settings", "theme"}), R"(Text("dark"))");
  EXPECT_EQ(outcome("profiles", "bob", {"by_owner", "theme"}), R"(Text("dark"))");
  EXPECT_EQ(outcome("profiles", "bob", {"by_meta", "theme"}), R"(Text("dark"))");
  EXPECT_EQ(outcome("profiles", "bob", {"by_count", "theme"}),
            "error: invalid path: $self.count resolved to Int(5), expected TEXT");
  EXPECT_EQ(outcome("profiles", "bob", {"by_missing"}),
            "error: invalid path: $self.nothing resolved to Null, expected TEXT");
  EXPECT_EQ(outcome("profiles", "bob", {"literal"}), "Null");  // the key "$x" read as written
}

TEST_F(ResolverTest, InvalidAndEmptyKeyLinks) {
  put("users", "", map_of({{"x", Value::text("empty key")}}));
  put("c", "k",
      map_of({{"bad", Value::link("users")}, {"empty", Value::link("users/")}, {"empty2", Value::link("users//x")}}));
  EXPECT_EQ(outcome("c", "k", {"bad", "x"}), "error: invalid path: users");
  EXPECT_EQ(outcome("c", "k", {"empty", "x"}), R"(Text("empty key"))");
  EXPECT_EQ(outcome("c", "k", {"empty2"}), R"(Text("empty key"))");
}

TEST_F(ResolverTest, LinkDepthLimitAndCycles) {
  // n0 -> n1 -> ... -> n32 holds a value: 32 links resolve, 33 do not.
  for (int i = 0; i < 33; ++i) {
    put("chain", "n" + std::to_string(i), Value::link("chain/n" + std::to_string(i + 1)));
  }
  put("chain", "n33", Value::text("end"));
  EXPECT_EQ(outcome("chain", "n1", {}), R"(Text("end"))");  // 32 links
  EXPECT_EQ(outcome("chain", "n0", {}), "error: cyclic link detected");  // 33 links

  put("loop", "a", map_of({{"next", Value::link("loop/b")}}));
  put("loop", "b", map_of({{"next", Value::link("loop/a")}}));
  put("loop", "c", Value::link("loop/d"));
  put("loop", "d", Value::link("loop/c"));
  EXPECT_EQ(outcome("loop", "c", {}), "error: cyclic link detected");
  std::vector<std::string> long_walk(40, "next");
  EXPECT_EQ(outcome("loop", "a", long_walk), "error: cyclic link detected");
  // a -> b -> a, then the path ends on b's link to a... which is followed too:
  // the result is b's record.
  EXPECT_EQ(outcome("loop", "a", {"next", "next", "next"}), R"(Map({"next": Link(Link { path: "loop/a", local: {} })}))");
}

TEST_F(ResolverTest, LongPathsIntoDeepRecordsStayLinear) {
  // A record nested 9,000 maps deep walked with a path of 300,000 segments
  // whose first 9,000 exist: the walk reads in place instead of copying.
  Value v = Value::text("bottom");
  for (int i = 0; i < 9000; ++i) {
    Map level;
    level.append_unique("d", std::move(v));
    v = Value::map(std::move(level));
  }
  put("deep", "k", v);
  std::vector<std::string> path(9000, "d");
  EXPECT_EQ(outcome("deep", "k", path), R"(Text("bottom"))");
  path.resize(300000, "d");
  EXPECT_EQ(outcome("deep", "k", path), "error: field not found");
}

TEST_F(ResolverTest, ChainedSelfKeysAreWalkedOncePerResolution) {
  // Field f<i> of the root is a link whose key is read through f<i+1>, and
  // whose target walk (the root again) passes through f<i+1> once more: each
  // level follows the next one twice, about 2^31 links if walked naively.
  Map root;
  for (int i = 0; i < 31; ++i) {
    std::string next = "f" + std::to_string(i + 1);
    root.insert_or_assign("f" + std::to_string(i), Value::link("start/$self." + next + ".key/" + next));
  }
  root.insert_or_assign("f31", map_of({{"key", Value::text("r")}}));
  put("start", "r", Value::map(root));
  EXPECT_EQ(outcome("start", "r", {"f0", "key"}), R"(Text("r"))");
  EXPECT_EQ(outcome("start", "r", {"f30", "key"}), R"(Text("r"))");
}

}  // namespace
}  // namespace quillet
