#include "value/walk.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "format/codec.h"
#include "store/links.h"

namespace quillet {
namespace {

// Writes every event as text; stops at a Text "stop" and skips links with
// the path "skip".
struct Recorder {
  struct Frame {
    std::size_t depth;
  };
  std::string events;

  bool leaf(const Value& v) {
    events += debug_string(v) + " ";
    return !(v.get_if<std::string>() && *v.get_if<std::string>() == "stop");
  }
  WalkStep enter(const Value& v, Frame& frame, std::size_t depth) {
    frame.depth = depth;
    events += "enter" + std::to_string(depth) + " ";
    const Link* link = v.get_if<Link>();
    return link && link->path == "skip" ? WalkStep::Skip : WalkStep::Descend;
  }
  bool entry(Frame& parent, std::size_t index, const std::string* key) {
    events += "[" + std::to_string(parent.depth) + ":" + std::to_string(index) + (key ? "=" + *key : "") + "] ";
    return true;
  }
  bool leave(const Value&, Frame& frame) {
    events += "leave" + std::to_string(frame.depth) + " ";
    return true;
  }
};

TEST(Walk, ReportsEveryNodeWithItsPositionAndObeysSkipAndStop) {
  Map local;
  local.insert_or_assign("k", Value::array({}));
  Map root;
  root.insert_or_assign("a", Value::array({Value::integer(1), Value::link("p", local)}));
  root.insert_or_assign("s", Value::link("skip", local));
  root.insert_or_assign("t", Value::text("stop"));
  root.insert_or_assign("never", Value::null());
  const Value value = Value::map(std::move(root));
  Recorder recorder;
  EXPECT_FALSE(walk_value(value, recorder));
  EXPECT_EQ(recorder.events,
            "enter0 [0:0=a] enter1 [1:0] Int(1) [1:1] enter2 [2:0=k] enter3 leave3 leave2 leave1 "
            "[0:1=s] enter1 [0:2=t] Text(\"stop\") ");
}

// A value far deeper than the format allows, as a caller might build one:
// copying, checking, encoding, link collection and destruction all walk it
// without using C stack per level.
TEST(Walk, ValuesAMillionDeepCostNoStack) {
  constexpr std::size_t kDepth = 1'000'000;
  Value value = Value::link("users/alice");
  for (std::size_t i = 0; i < kDepth; ++i) {
    Array items;
    items.push_back(std::move(value));
    value = Value::array(std::move(items));
  }
  Value copy = value;
  auto fits = check_encodable(copy);
  ASSERT_FALSE(fits);
  EXPECT_EQ(fits.error().text(), DecodeFault::too_deep().text());
  std::string bytes;
  encode(copy, bytes);
  EXPECT_EQ(bytes.size(), kDepth * 5 + 1 + 4 + 11 + 4);
  std::vector<LinkRef> links = collect_links(copy);
  ASSERT_EQ(links.size(), 1u);
  EXPECT_EQ(links[0].source_path.size(), kDepth * 2 - 1);  // "0/0/.../0"
}

}  // namespace
}  // namespace quillet
