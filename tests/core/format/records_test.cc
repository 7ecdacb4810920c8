#include "format/records.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <vector>

#include "test_support.h"

namespace quillet::records {
namespace {

using testing::TempDir;

// Writes `bytes` to a file, scans [from, size) with either reader and tells
// what was read ("offset:key" or "offset:op:target") and what was reported.
struct Harness {
  TempDir dir;
  std::string path = dir.file("log");

  std::string scan(std::string_view bytes, bool links, Extent extent = Extent::Whole, std::uint64_t from = 0) {
    testing::write_file(path, bytes);
    auto fd = open_file(path, O_RDONLY);
    EXPECT_TRUE(fd.has_value());
    BlockReader file(fd->get());
    std::string out;
    Reporter reporter{{}, [&](const ScanEnd& end) { out += "torn " + std::to_string(end.tail_bytes()) + ";"; }};
    auto end = links ? scan_link_records(file, from, bytes.size(),
                                         [&](const LinkRecord& r) {
                                           EXPECT_EQ(r.bytes.size(), 17 + r.target_key.size() +
                                                                         r.source_collection.size() +
                                                                         r.source_key.size() + r.source_path.size());
                                           out += std::to_string(r.offset) + ":" + std::to_string(r.op) + ":" +
                                                  std::string(r.target_key) + ";";
                                           return true;
                                         },
                                         reporter)
                     : scan_data_records(file, from, bytes.size(),
                                         [&](const DataRecord& r) {
                                           EXPECT_EQ(r.bytes.size(), extent == Extent::Whole
                                                                         ? r.size
                                                                         : 8 + r.key.size() + r.value.size());
                                           out += std::to_string(r.offset) + ":" + std::string(r.key) +
                                                  (r.is_tombstone() ? "(deleted)" : "") + ";";
                                           return r.key != "stop";
                                         },
                                         reporter, extent);
    EXPECT_TRUE(end.has_value());
    out += "end " + std::to_string(end->complete_end) + (end->stopped ? " stopped" : "");
    return out;
  }
};

std::string data(std::string_view key, std::string_view value) {
  std::string out;
  append_data_record(out, key, value);
  return out;
}

TEST(Records, DataRecordsAreReadWholeAndATornTailIsReported) {
  Harness h;
  const std::string file = data("a", "\x05x") + data("bb", "\x0C") + data("", "") + data("c", "\x00");
  EXPECT_EQ(testing::to_hex(data("a", "\x05x")), "01 00 00 00 61 02 00 00 00 05 78");
  EXPECT_EQ(h.scan(file, false), "0:a;11:bb(deleted);22:;30:c;end 39");
  EXPECT_EQ(h.scan(file, false, Extent::Head), "0:a;11:bb(deleted);22:;30:c;end 39");
  EXPECT_EQ(h.scan(file, false, Extent::Whole, 11), "11:bb(deleted);22:;30:c;end 39");
  // Zeros from a record boundary to the end are a torn tail, not records of
  // the empty key, whether shorter or longer than a block.
  for (std::size_t zeros : {std::size_t{8}, std::size_t{100}, BlockReader::kBlock + 3}) {
    EXPECT_EQ(h.scan(file + std::string(zeros, '\0'), false), "0:a;11:bb(deleted);22:;30:c;torn " +
                                                                 std::to_string(zeros) + ";end 39");
  }
  // Cut at every byte: the whole records before the cut are read, the rest
  // is the torn tail.
  for (std::size_t cut = 1; cut < 11; ++cut) {
    EXPECT_EQ(h.scan(file.substr(0, 11 + cut), false), "0:a;torn " + std::to_string(cut) + ";end 11") << cut;
  }
  // A declared length that runs past the end is the tail, whatever it says.
  EXPECT_EQ(h.scan(data("a", "1") + "\xff\xff\xff\xff" + std::string(8, 'x'), false), "0:a;torn 12;end 10");
  EXPECT_EQ(h.scan(data("a", "1") + data("stop", "2") + data("c", "3"), false), "0:a;10:stop;end 10 stopped");
}

TEST(Records, LinkRecordsAreReadWholeAndATornTailIsReported) {
  Harness h;
  std::string file;
  append_link_record(file, kAddOp, "alice", "posts", "p1", "author");
  EXPECT_EQ(testing::to_hex(file),
            "01 05 00 00 00 61 6C 69 63 65 05 00 00 00 70 6F 73 74 73 02 00 00 00 70 31 06 00 00 00 61 75 74 68 6F 72");
  const std::size_t first = file.size();
  append_link_record(file, kRemoveOp, "bob", "", "", "");
  EXPECT_EQ(h.scan(file, true), "0:1:alice;35:2:bob;end 55");
  EXPECT_EQ(h.scan(file + std::string(40, '\0'), true), "0:1:alice;35:2:bob;torn 40;end 55");
  for (std::size_t cut = 1; cut < file.size() - first; ++cut) {
    EXPECT_EQ(h.scan(file.substr(0, first + cut), true), "0:1:alice;torn " + std::to_string(cut) + ";end 35");
  }
}

TEST(Records, RecordsLargerThanABlockAndManyBlocksAreRead) {
  Harness h;
  std::string file;
  std::string expected;
  const std::string big(BlockReader::kBlock + 7, 'v');
  for (int i = 0; i < 3; ++i) {
    expected += std::to_string(file.size()) + ":k" + std::to_string(i) + ";";
    file += data("k" + std::to_string(i), big);
  }
  EXPECT_EQ(h.scan(file, false), expected + "end " + std::to_string(file.size()));
  EXPECT_EQ(h.scan(file, false, Extent::Head), expected + "end " + std::to_string(file.size()));
}

}  // namespace
}  // namespace quillet::records
