#include "tools/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

#include "harness.h"

namespace quillet::tools_test {
namespace {

TEST(Scanner, FramesDataRecordsAndFindsTheTailAtEveryCut) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> records = {
      {"a", encoded(Value::integer(1))}, {"", encoded(Value::text("x"))}, {"long key", std::string()},
      {"b", encoded(Value::tombstone())}, {"c", encoded(Value::blob(std::string(300, 'z')))}};
  std::string file;
  std::vector<std::uint64_t> ends;
  for (const auto& [key, value] : records) {
    file += data_record(key, value);
    ends.push_back(file.size());
  }
  const std::string path = dir.file("x.qdb");
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    testing::write_file(path, std::string_view(file).substr(0, cut));
    auto fd = open_for_scan(path);
    ASSERT_TRUE(fd.has_value());
    std::vector<std::pair<std::string, std::string>> seen;
    std::uint64_t expected_offset = 0;
    auto end = scan_data_records(fd->get(), cut, "x.qdb", [&](const DataRecord& r) -> Step {
      EXPECT_EQ(r.offset, expected_offset);
      EXPECT_EQ(r.bytes.size(), 8 + r.key.size() + r.value.size());
      expected_offset += r.bytes.size();
      seen.emplace_back(r.key, r.value);
      return {};
    });
    ASSERT_TRUE(end.has_value());
    const auto whole = static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
    EXPECT_EQ(seen, std::vector(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(whole)));
    EXPECT_EQ(end->complete_end, whole == 0 ? 0 : ends[whole - 1]);
    EXPECT_EQ(end->end, cut);
  }
}

TEST(Scanner, FramesLinkRecordsAndFindsTheTailAtEveryCut) {
  TempDir dir;
  const std::string first = link_record(1, "alice", "posts", "p1", "author");
  const std::string second = link_record(7, "", "", "", "");
  const std::string third = link_record(2, "bob", "posts", "p2", "a/b");
  const std::string file = first + second + third;
  const std::vector<std::uint64_t> ends = {first.size(), first.size() + second.size(), file.size()};
  const std::string path = dir.file("x.qbl");
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    testing::write_file(path, std::string_view(file).substr(0, cut));
    auto fd = open_for_scan(path);
    ASSERT_TRUE(fd.has_value());
    std::vector<std::string> seen;
    auto end = scan_link_records(fd->get(), cut, "x.qbl", [&](const LinkRecord& r) -> Step {
      EXPECT_EQ(r.body(), r.bytes.substr(1));
      seen.push_back(std::to_string(r.op) + ":" + std::string(r.target_key) + "|" + std::string(r.source_collection) +
                     "|" + std::string(r.source_key) + "|" + std::string(r.source_path));
      return {};
    });
    ASSERT_TRUE(end.has_value());
    const std::vector<std::string> all = {"1:alice|posts|p1|author", "7:|||", "2:bob|posts|p2|a/b"};
    const auto whole = static_cast<std::size_t>(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
    EXPECT_EQ(seen, std::vector(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(whole)));
    EXPECT_EQ(end->complete_end, whole == 0 ? 0 : ends[whole - 1]);
  }
}

TEST(Scanner, StopsAtTheFirstErrorOfTheCallback) {
  TempDir dir;
  const std::string null_value(1, '\0');
  testing::write_file(dir.file("x.qdb"), data_record("a", null_value) + data_record("b", null_value));
  auto fd = open_for_scan(dir.file("x.qdb"));
  int calls = 0;
  auto end = scan_data_records(fd->get(), 20, "x.qdb", [&](const DataRecord&) -> Step {
    ++calls;
    return std::unexpected(ToolError{"stop"});
  });
  ASSERT_FALSE(end.has_value());
  EXPECT_EQ(end.error().text(), "stop");
  EXPECT_EQ(calls, 1);
}

TEST(Scanner, RefusesWhatIsNotARegularFile) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("d.qdb").c_str(), 0777), 0);
  EXPECT_FALSE(open_for_scan(dir.file("d.qdb")).has_value());
  EXPECT_FALSE(open_for_scan(dir.file("missing.qdb")).has_value());
  EXPECT_FALSE(testing::file_exists(dir.file("missing.qdb")));
}

}  // namespace
}  // namespace quillet::tools_test
