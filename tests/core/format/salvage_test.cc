#include "format/salvage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>

#include "test_support.h"

namespace quillet::records {
namespace {

using testing::TempDir;
using namespace std::string_view_literals;

// "offset+size" of each damaged stretch, "torn" marking the tail of an
// interrupted append.
std::string damage_of(const std::string& bytes, Layout layout) {
  TempDir dir;
  testing::write_file(dir.file("log"), bytes);
  auto fd = open_file(dir.file("log"), O_RDONLY);
  auto found = find_damage(fd->get(), layout, bytes.size());
  EXPECT_TRUE(found.has_value());
  std::string out;
  for (const Damage& d : *found) {
    out += std::to_string(d.offset) + "+" + std::to_string(d.size) + (d.torn ? " torn;" : ";");
  }
  return out;
}

bool resumes(const std::string& bytes, Layout layout, std::uint64_t from) {
  TempDir dir;
  testing::write_file(dir.file("log"), bytes);
  auto fd = open_file(dir.file("log"), O_RDONLY);
  return *holds_records_after(fd->get(), layout, from, bytes.size());
}

TEST(Salvage, DamageIsFoundInBothLayoutsAndTornTailsAreToldApart) {
  std::string link;
  append_link_record(link, kAddOp, "alice", "posts", "p1", "a");  // 30 bytes
  const std::string links = link + link + link;
  std::string bad_op = links;
  bad_op[30] = 9;
  EXPECT_EQ(damage_of(links, Layout::Link), "");
  EXPECT_EQ(damage_of(bad_op, Layout::Link), "30+30;");
  EXPECT_EQ(damage_of(links + std::string(30, '\0'), Layout::Link), "90+30 torn;");
  EXPECT_EQ(damage_of(links + link.substr(0, 7), Layout::Link), "90+7 torn;");

  std::string data;
  append_data_record(data, "k", "\x04\x03\0\0\0abc"sv);  // the text "abc": 17 bytes
  std::string long_key = data + data + data;
  long_key[20] = 0x40;  // the second record's key length runs past the end
  EXPECT_EQ(damage_of(long_key, Layout::Data), "17+17;");
  EXPECT_TRUE(resumes(long_key, Layout::Data, 17));
  EXPECT_FALSE(resumes(data + data + data.substr(0, 10), Layout::Data, 34));
  EXPECT_FALSE(resumes(data + std::string(50, '\0'), Layout::Data, 17));
}

}  // namespace
}  // namespace quillet::records
