// The tools' scans are the record reader's (tested in format/records_test.cc);
// what is checked here is what the tools add: the Step callback, the label in
// errors, the metering, and the shared-lock open.
#include "tools/scan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/stat.h>

#include "harness.h"
#include "io/file_system.h"

namespace quillet::tools_test {
namespace {

// Fails every read with EIO.
class FailingReads : public PosixFileSystem {
 public:
  ssize_t pread(int, char*, std::size_t, std::uint64_t) override { return -EIO; }
};

TEST(Scanner, HandsOnWholeRecordsMetersTheBytesAndLabelsAFailedRead) {
  TempDir dir;
  const std::string first = data_record("a", encoded(Value::integer(1)));
  const std::string data = first + data_record("b", std::string(1, '\0'));
  const std::string link = link_record(1, "alice", "posts", "p1", "author");
  testing::write_file(dir.file("x.qdb"), data + "\x01\x00");
  testing::write_file(dir.file("x.qbl"), link);
  std::uint64_t reported = 0;
  const Progress progress = [&](std::uint64_t done, std::uint64_t) { return reported = done, true; };
  ProgressMeter meter(progress, data.size() + 2);

  auto fd = open_for_scan(dir.file("x.qdb"));
  ASSERT_TRUE(fd.has_value());
  std::string keys;
  auto end = scan_data_records(fd->get(), data.size() + 2, "x.qdb", [&](const DataRecord& r) -> Step {
    keys += std::string(r.key) + "@" + std::to_string(r.offset) + ";";
    return {};
  }, &meter);
  ASSERT_TRUE(end.has_value());
  EXPECT_EQ(keys, "a@0;b@" + std::to_string(first.size()) + ";");
  EXPECT_EQ(end->complete_end, data.size());
  EXPECT_EQ(end->tail_bytes(), 2u);
  EXPECT_EQ(reported, data.size() + 2);

  auto links = open_for_scan(dir.file("x.qbl"));
  ASSERT_TRUE(links.has_value());
  std::string bodies;
  auto link_end = scan_link_records(links->get(), link.size(), "x.qbl", [&](const LinkRecord& r) -> Step {
    bodies += std::string(r.body());
    return {};
  });
  ASSERT_TRUE(link_end.has_value());
  EXPECT_EQ(bodies, link.substr(1));

  FailingReads failing;
  ScopedFileSystem scoped(failing);
  auto failed = scan_data_records(fd->get(), data.size(), "x.qdb", [](const DataRecord&) -> Step { return {}; });
  ASSERT_FALSE(failed.has_value());
  EXPECT_EQ(failed.error().text(), "x.qdb: " + Error::from_errno(EIO).text());
}

TEST(Scanner, StopsAtTheFirstErrorOfTheCallback) {
  TempDir dir;
  const std::string null_value(1, '\0');
  testing::write_file(dir.file("x.qdb"), data_record("a", null_value) + data_record("b", null_value));
  auto fd = open_for_scan(dir.file("x.qdb"));
  int calls = 0;
  auto end = scan_data_records(fd->get(), 20, "x.qdb", [&](const DataRecord&) -> Step {
    ++calls;
    return std::unexpected(Error::io("stop"));
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
