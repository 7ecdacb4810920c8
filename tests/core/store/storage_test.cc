#include "store/collection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <functional>
#include <map>
#include <unordered_set>
#include <random>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "format/codec.h"
#include "test_support.h"

namespace quillet {
namespace {

using testing::hex;
using testing::read_file;
using testing::TempDir;
using testing::to_hex;

std::string encoded(const Value& value) {
  std::string out;
  encode(value, out);
  return out;
}

// A record as the file holds it, built from an encoded value.
std::string record(std::string_view key, std::string_view value_bytes) {
  std::string out;
  put_u32(out, static_cast<std::uint32_t>(key.size()));
  out.append(key);
  put_u32(out, static_cast<std::uint32_t>(value_bytes.size()));
  out.append(value_bytes);
  return out;
}
std::string record(std::string_view key, const Value& value) { return record(key, encoded(value)); }

// Concatenating a literal with std::to_string trips a false -Wrestrict in GCC 12 at -O3.
std::string numbered(std::string prefix, int i) {
  prefix += std::to_string(i);
  return prefix;
}

std::unique_ptr<Collection> open_ok(const std::string& path) {
  auto opened = Collection::open(path);
  EXPECT_TRUE(opened.has_value()) << opened.error().text();
  return opened ? std::move(*opened) : nullptr;
}

// What `get` answers, as one comparable text: the hex of the value's
// encoding, or the error's text.
std::string lookup(Collection& c, std::string_view key) {
  auto value = c.get(key);
  return value ? to_hex(encoded(*value)) : value.error().text();
}
std::string hex_of(const Value& value) { return to_hex(encoded(value)); }

std::string set_result(Collection& c, std::string_view key, const Value& value) {
  auto done = c.set(key, value);
  return done ? "ok" : done.error().text();
}

std::string flush_result(Collection& c) {
  auto done = c.flush();
  return done ? "ok" : done.error().text();
}

TEST(StorageErrorTest, Texts) {
  EXPECT_EQ(io_error(ErrorKind::Io, "failed to fill whole buffer").text(), "io: failed to fill whole buffer");
  EXPECT_EQ(io_error(Error::from_errno(13)).text(), "io: Permission denied (os error 13)");
  EXPECT_EQ(DecodeFault::unknown_type_byte(0x0D).error().in_context("codec").text(), "codec: unknown type byte: 0x0D");
  EXPECT_EQ(key_not_found().text(), "key not found");
  EXPECT_TRUE(key_not_found().is(ErrorKind::NotFound));
  EXPECT_FALSE(io_error(ErrorKind::Io, "x").is(ErrorKind::NotFound));
}

// A key's slot comes from its hash's top bits. Keys that differ only in a
// number, short or long, must spread evenly over them and never share a hash.
TEST(KeyTableTest, HashSpreadsNumberedKeys) {
  for (const std::string prefix : {"", "u", "posts/2026/12/author-"}) {
    SCOPED_TRACE(prefix);
    constexpr int kKeys = 1 << 18;
    std::vector<int> per_bucket(1 << 10);  // 256 keys each on average
    std::unordered_set<std::uint64_t> seen;
    for (int i = 0; i < kKeys; ++i) {
      const std::uint64_t h = KeyTable::hash(prefix + std::to_string(i));
      ASSERT_TRUE(seen.insert(h).second) << i;
      ++per_bucket[h >> 54];
    }
    const auto [fewest, most] = std::ranges::minmax_element(per_bucket);
    EXPECT_GT(*fewest, 160);
    EXPECT_LT(*most, 352);
  }
}

// KeyTable against std::map. A sliding window of a few dozen live keys keeps
// the table small and makes removed keys' bytes pile up for reclaiming; the
// colliding variant gives every key a home in the last slots, so that every
// probe run, and every backward shift on removal, wraps around the end.
TEST(KeyTableTest, AgreesWithMap) {
  for (const bool colliding : {false, true}) {
    SCOPED_TRACE(colliding ? "colliding hashes" : "real hashes");
    std::mt19937 rng(colliding ? 2 : 1);
    KeyTable table;
    std::map<std::string, std::uint64_t> model;
    auto hash_of = [&](const std::string& key) {
      const std::uint64_t h = KeyTable::hash(key);
      return colliding ? (0xFFFFFFFFull - h % 3) << 32 : h;
    };
    auto key_of = [](std::uint64_t n) { return numbered(std::string(n % 12, 'k'), static_cast<int>(n)); };
    for (std::uint64_t i = 0; i < 60000; ++i) {
      const std::uint64_t window = i / 100;
      if (i % 100 == 0 && window > 0) {
        // The key leaving the window goes for good.
        const std::string gone = key_of(window - 1);
        ASSERT_EQ(table.erase(gone, hash_of(gone)).has_value(), model.erase(gone) == 1);
      }
      const std::string key = key_of(window + rng() % 40);
      const std::uint64_t h = hash_of(key);
      const auto in_model = model.find(key);
      switch (rng() % 3) {
        case 0: {
          auto [number, added] = table.insert(key, h, i);
          ASSERT_EQ(added, in_model == model.end()) << key;
          ASSERT_EQ(*number, added ? i : in_model->second) << key;
          *number = i + 1;
          model[key] = i + 1;
          break;
        }
        case 1: {
          const auto removed = table.erase(key, h);
          ASSERT_EQ(removed.has_value(), in_model != model.end()) << key;
          if (removed) {
            ASSERT_EQ(*removed, in_model->second);
            model.erase(in_model);
          }
          break;
        }
        default: {
          const std::uint64_t* number = table.find(key, h);
          ASSERT_EQ(number != nullptr, in_model != model.end()) << key;
          if (number) {
            ASSERT_EQ(*number, in_model->second);
          }
        }
      }
      ASSERT_EQ(table.size(), model.size());
    }
    auto keys = table.keys();
    std::sort(keys.begin(), keys.end());
    std::vector<std::string> expected;
    std::size_t live_bytes = 0;
    for (const auto& [key, number] : model) {
      expected.push_back(key);
      live_bytes += key.size();
      const std::uint64_t* found = table.find(key, hash_of(key));
      ASSERT_NE(found, nullptr);
      EXPECT_EQ(*found, number);
    }
    EXPECT_EQ(keys, expected);
    // Thousands of insertions of ~10-byte keys went through; at most 40
    // keys are live.
    EXPECT_LT(table.key_bytes_held(), 2 * live_bytes + 1024);
  }
}

TEST(CollectionTest, MissingFileIsCreatedEmpty) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  auto c = open_ok(path);
  ASSERT_NE(c, nullptr);
  EXPECT_TRUE(testing::file_exists(path));
  EXPECT_EQ(testing::file_size_of(path), 0u);
  EXPECT_EQ(c->end_offset(), 0u);
  EXPECT_EQ(lookup(*c, "anything"), "key not found");
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST(CollectionTest, RecordBytesOnFile) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  {
    auto c = open_ok(path);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(set_result(*c, "k", Value::text("abc")), "ok");
    // Outside a transaction the record is on file as soon as set returns.
    EXPECT_EQ(to_hex(read_file(path)), "01 00 00 00 6B 08 00 00 00 04 03 00 00 00 61 62 63");
    ASSERT_EQ(set_result(*c, "", Value::tombstone()), "ok");
    EXPECT_EQ(to_hex(read_file(path)),
              "01 00 00 00 6B 08 00 00 00 04 03 00 00 00 61 62 63 00 00 00 00 01 00 00 00 0C");
    EXPECT_EQ(c->end_offset(), 26u);
  }
  auto c = open_ok(path);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(lookup(*c, "k"), "04 03 00 00 00 61 62 63");
  EXPECT_EQ(c->end_offset(), 26u);
}

TEST(CollectionTest, NewestRecordWinsAndTombstonesDelete) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  {
    auto c = open_ok(path);
    ASSERT_NE(c, nullptr);
    ASSERT_EQ(set_result(*c, "k", Value::integer(1)), "ok");
    ASSERT_EQ(set_result(*c, "k", Value::integer(2)), "ok");
    ASSERT_EQ(set_result(*c, "gone", Value::integer(3)), "ok");
    ASSERT_EQ(set_result(*c, "gone", Value::tombstone()), "ok");
    ASSERT_EQ(set_result(*c, "back", Value::text("a")), "ok");
    ASSERT_EQ(set_result(*c, "back", Value::tombstone()), "ok");
    ASSERT_EQ(set_result(*c, "back", Value::text("b")), "ok");
    const auto size_before = testing::file_size_of(path);
    ASSERT_EQ(set_result(*c, "never", Value::tombstone()), "ok");
    // A tombstone is an ordinary record of 8 + K + 1 bytes, even for a key
    // that never existed.
    EXPECT_EQ(testing::file_size_of(path), size_before + 8 + 5 + 1);
    EXPECT_EQ(lookup(*c, "gone"), "key not found");
    EXPECT_EQ(lookup(*c, "never"), "key not found");
    EXPECT_EQ(c->live_count(), 2u);
  }
  auto c = open_ok(path);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(lookup(*c, "k"), hex_of(Value::integer(2)));
  EXPECT_EQ(lookup(*c, "back"), hex_of(Value::text("b")));
  EXPECT_EQ(lookup(*c, "gone"), "key not found");
  EXPECT_EQ(lookup(*c, "never"), "key not found");
  auto keys = c->live_keys();
  std::sort(keys.begin(), keys.end());
  EXPECT_EQ(keys, (std::vector<std::string>{"back", "k"}));
  EXPECT_EQ(c->end_offset(), testing::file_size_of(path));
}

// Random sets and deletes over a few keys, some inside transactions, with
// reopens in between: after every reopen each key reads as the last value
// the model gave it, and the file holds exactly the records written.
TEST(CollectionTest, ReopenAgreesWithModel) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  std::mt19937 rng(12345);
  std::map<std::string, std::string> model;  // key -> hex of the live value
  std::string expected_file;
  const std::vector<std::string> keys = {"", "a", "b", "long key with spaces", "\xC3\xA9t\xC3\xA9"};
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto c = open_ok(path);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->end_offset(), expected_file.size());
    for (const auto& key : keys) {
      const auto it = model.find(key);
      EXPECT_EQ(lookup(*c, key), it == model.end() ? "key not found" : it->second) << "key " << key;
    }
    c->set_in_transaction(rng() % 3 == 0);
    const int writes = static_cast<int>(rng() % 30);
    for (int i = 0; i < writes; ++i) {
      const std::string& key = keys[rng() % keys.size()];
      Value value = rng() % 4 == 0   ? Value::tombstone()
                    : rng() % 2 == 0 ? Value::integer(static_cast<std::int64_t>(rng()))
                                     : Value::text(std::string(rng() % 100, 'x'));
      ASSERT_EQ(set_result(*c, key, value), "ok");
      expected_file += record(key, value);
      if (value.is_tombstone()) {
        model.erase(key);
      } else {
        model[key] = hex_of(value);
      }
      EXPECT_EQ(lookup(*c, key), value.is_tombstone() ? "key not found" : model[key]);
    }
    EXPECT_EQ(c->end_offset(), expected_file.size());
    if (rng() % 2 == 0) {
      ASSERT_TRUE(c->flush().has_value());
    }
  }
  EXPECT_EQ(read_file(path), expected_file);
}

// Thousands of keys, overwritten and deleted many times over: enough for
// the index to grow and shift entries on deletion, and for the cache's value
// store to be rebuilt several times. Every key must read as the model says,
// from memory and, after a reopen, from the file.
TEST(CollectionTest, ManyKeysAgreeWithModel) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  std::mt19937 rng(777);
  std::vector<std::string> keys;
  for (int i = 0; i < 4000; ++i) {
    keys.push_back(std::string(rng() % 30, static_cast<char>('a' + rng() % 26)) + numbered("\xE2\x82\xAC", i));
  }
  std::map<std::string, std::string> model;
  auto check_all = [&](Collection& c) {
    for (const auto& key : keys) {
      const auto it = model.find(key);
      ASSERT_EQ(lookup(c, key), it == model.end() ? "key not found" : it->second) << "key " << key;
    }
    auto live = c.live_keys();
    std::sort(live.begin(), live.end());
    std::vector<std::string> expected;
    for (const auto& entry : model) expected.push_back(entry.first);
    ASSERT_EQ(live, expected);
  };
  {
    auto c = open_ok(path);
    ASSERT_NE(c, nullptr);
    for (int i = 0; i < 30000; ++i) {
      if (i % 5000 == 0) c->set_in_transaction(rng() % 2 == 0);
      const std::string& key = keys[rng() % keys.size()];
      const Value value = rng() % 4 == 0 ? Value::tombstone() : Value::blob(std::string(rng() % 800, 'v'));
      ASSERT_EQ(set_result(*c, key, value), "ok");
      if (value.is_tombstone()) {
        model.erase(key);
      } else {
        model[key] = hex_of(value);
      }
    }
    check_all(*c);
  }
  auto c = open_ok(path);
  ASSERT_NE(c, nullptr);
  check_all(*c);
  EXPECT_EQ(c->end_offset(), testing::file_size_of(path));
}

TEST(CollectionTest, NewRecordsGoAfterTheLastByte) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  const std::string existing = record("x", Value::integer(7)) + record("y", Value::null());
  testing::write_file(path, existing);
  auto c = open_ok(path);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->end_offset(), existing.size());
  ASSERT_EQ(set_result(*c, "z", Value::boolean(true)), "ok");
  EXPECT_EQ(read_file(path), existing + record("z", Value::boolean(true)));
  EXPECT_EQ(c->end_offset(), testing::file_size_of(path));
  EXPECT_EQ(lookup(*c, "x"), hex_of(Value::integer(7)));
}

TEST(CollectionTest, DamagedRecordsShowWhenRead) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  // A record with V = 0 is complete: its key is indexed, reading it fails,
  // and the scan goes on right after its value-length field.
  testing::write_file(path, record("empty", "") + record("bad", hex("0D")) + record("ok", Value::integer(5)));
  auto c = open_ok(path);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(lookup(*c, "empty"), "codec: unexpected end of buffer");
  EXPECT_EQ(lookup(*c, "bad"), "codec: unknown type byte: 0x0D");
  EXPECT_EQ(lookup(*c, "ok"), hex_of(Value::integer(5)));
  EXPECT_EQ(c->end_offset(), testing::file_size_of(path));
}

TEST(CollectionTest, ValueCutAfterOpenFailsToRead) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  testing::write_file(path, record("a", Value::integer(1)) + record("b", Value::text(std::string(1000, 'q'))));
  auto c = open_ok(path);
  ASSERT_NE(c, nullptr);
  testing::truncate_file(path, testing::file_size_of(path) - 1);
  EXPECT_EQ(lookup(*c, "b"), "io: failed to fill whole buffer");
  EXPECT_EQ(lookup(*c, "a"), hex_of(Value::integer(1)));
  // Once the file is mapped for "a", "b" still reads through pread, not the
  // mapping, which would fault past the file's end.
  EXPECT_EQ(lookup(*c, "b"), "io: failed to fill whole buffer");
}

TEST(CollectionTest, InvalidUtf8KeyFailsOpen) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  testing::write_file(path, record("ok", Value::null()) + record("\xFF", Value::null()));
  auto opened = Collection::open(path);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().text(), "io: invalid utf8 key in " + path + " at offset 11");
}

TEST(CollectionTest, NonRegularFilesAreRefused) {
  TempDir dir;
  const std::string fifo = dir.file("fifo.qdb");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0666), 0);
  // Opening must neither block waiting for a writer nor read the stream.
  auto opened = Collection::open(fifo);
  ASSERT_FALSE(opened.has_value());
  EXPECT_EQ(opened.error().text(), "io: not a regular file (the path names a FIFO)");

  ASSERT_EQ(::mkdir(dir.file("d.qdb").c_str(), 0777), 0);
  EXPECT_FALSE(Collection::open(dir.file("d.qdb")).has_value());
  auto missing_dir = Collection::open(dir.file("no/such.qdb"));
  ASSERT_FALSE(missing_dir.has_value());
  EXPECT_EQ(missing_dir.error().text(), "io: No such file or directory (os error 2)");
}

TEST(CollectionTest, TooDeepValueIsRefusedBeforeWriting) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  auto c = open_ok(path);
  ASSERT_NE(c, nullptr);
  auto nested = [](std::size_t depth) {
    Value v = Value::null();
    for (std::size_t i = 0; i < depth; ++i) {
      Array wrapper;
      wrapper.push_back(std::move(v));
      v = Value::array(std::move(wrapper));
    }
    return v;
  };
  ASSERT_EQ(set_result(*c, "deep", nested(kMaxNesting)), "ok");
  const auto size = testing::file_size_of(path);
  EXPECT_EQ(set_result(*c, "deeper", nested(kMaxNesting + 1)),
            "io: value nested deeper than the limit of 10000 levels");
  EXPECT_EQ(testing::file_size_of(path), size);
  EXPECT_EQ(c->end_offset(), size);
  EXPECT_EQ(lookup(*c, "deeper"), "key not found");
  c.reset();
  c = open_ok(path);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(lookup(*c, "deep"), hex_of(nested(kMaxNesting)));
}

// Only meaningful when the build lowers kMaxLength (-DQUILLET_MAX_LENGTH=1000).
TEST(CollectionTest, OversizedPartsAreRefusedBeforeWriting) {
  if (kMaxLength > 100000) GTEST_SKIP() << "needs a build with a lowered QUILLET_MAX_LENGTH";
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  auto c = open_ok(path);
  ASSERT_NE(c, nullptr);
  const std::size_t limit = kMaxLength;
  const std::string limit_text = std::to_string(limit);
  // At the limit everything fits; one byte more is refused.
  ASSERT_EQ(set_result(*c, std::string(limit, 'k'), Value::null()), "ok");
  ASSERT_EQ(set_result(*c, "t", Value::text(std::string(limit - 5, 't'))), "ok");
  const auto size = testing::file_size_of(path);
  struct Case {
    std::string key;
    Value value;
    std::string error;
  };
  const std::vector<Case> cases = {
      {std::string(limit + 1, 'k'), Value::null(),
       "io: key of " + std::to_string(limit + 1) + " bytes is too long to store (the limit is " + limit_text +
           " bytes)"},
      {"t", Value::text(std::string(limit + 1, 't')),
       "io: text of " + std::to_string(limit + 1) + " bytes is too long to store (the limit is " + limit_text +
           " bytes)"},
      // Each part fits, the whole encoding does not.
      {"t", Value::text(std::string(limit - 4, 't')),
       "io: encoded value of " + std::to_string(limit + 1) + " bytes is too long to store (the limit is " +
           limit_text + " bytes)"},
      {"a", Value::array(Array(limit + 1, Value::null())),
       "io: array of " + std::to_string(limit + 1) + " entries is too large to store (the limit is " + limit_text +
           ")"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.error);
    EXPECT_EQ(set_result(*c, test.key, test.value), test.error);
    EXPECT_EQ(testing::file_size_of(path), size);
    EXPECT_EQ(c->end_offset(), size);
  }
  EXPECT_EQ(lookup(*c, "t"), hex_of(Value::text(std::string(limit - 5, 't'))));
}

TEST(CollectionTest, TransactionKeepsRecordsInTheBuffer) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  auto c = open_ok(path);
  ASSERT_NE(c, nullptr);
  c->set_in_transaction(true);
  std::string expected;
  std::string written;
  // Small records collect until one no longer fits; then the buffer goes out
  // first, whole records only, and the new record starts the next buffer.
  for (int i = 0; expected.size() <= kWriteBufferSize; ++i) {
    const std::string key = numbered("key", i);
    const Value value = Value::text(std::string(100, 'v'));
    const std::string rec = record(key, value);
    if (expected.size() - written.size() + rec.size() > kWriteBufferSize) written = expected;
    ASSERT_EQ(set_result(*c, key, value), "ok");
    expected += rec;
    ASSERT_EQ(read_file(path), written) << "after record " << i;
    ASSERT_EQ(lookup(*c, key), hex_of(value));
  }
  EXPECT_GT(written.size(), kWriteBufferSize - 200);
  EXPECT_TRUE(c->has_buffered_data());

  // A record larger than the buffer goes out at once, after the buffer.
  const Value big = Value::blob(std::string(kWriteBufferSize + 10, 'B'));
  ASSERT_EQ(set_result(*c, "big", big), "ok");
  expected += record("big", big);
  EXPECT_EQ(read_file(path), expected);
  EXPECT_FALSE(c->has_buffered_data());

  ASSERT_EQ(set_result(*c, "last", Value::integer(1)), "ok");
  EXPECT_EQ(read_file(path), expected);
  ASSERT_TRUE(c->flush().has_value());
  expected += record("last", Value::integer(1));
  EXPECT_EQ(read_file(path), expected);
  EXPECT_EQ(c->end_offset(), expected.size());
}

TEST(CollectionTest, ClosingWritesOutTheBuffer) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  {
    auto c = open_ok(path);
    ASSERT_NE(c, nullptr);
    c->set_in_transaction(true);
    ASSERT_EQ(set_result(*c, "a", Value::integer(1)), "ok");
    ASSERT_EQ(set_result(*c, "a", Value::tombstone()), "ok");
    ASSERT_EQ(set_result(*c, "b", Value::integer(2)), "ok");
    EXPECT_EQ(testing::file_size_of(path), 0u);
    EXPECT_EQ(lookup(*c, "a"), "key not found");
  }
  EXPECT_EQ(read_file(path), record("a", Value::integer(1)) + record("a", Value::tombstone()) +
                                 record("b", Value::integer(2)));
}

// The file ends inside its last record, cut at every byte: the complete
// records are found, the tail is cut off (no other holder, short tail), and
// records written afterwards are found after another reopen.
TEST(CollectionTest, TornTailIsCutAtEveryPosition) {
  const std::string head = record("a", Value::integer(1)) + record("b", Value::text("bee"));
  const std::vector<std::pair<std::string, std::string>> last_records = {
      {"value", record("a", Value::text("newer"))},
      {"tombstone", record("b", Value::tombstone())},
      {"empty value", record("c", "")},
  };
  for (const auto& [name, last] : last_records) {
    for (std::size_t cut = 0; cut < last.size(); ++cut) {
      SCOPED_TRACE(name + " cut after " + std::to_string(cut) + " bytes");
      TempDir dir;
      const std::string path = dir.file("c.qdb");
      testing::write_file(path, head + last.substr(0, cut));
      {
        auto c = open_ok(path);
        ASSERT_NE(c, nullptr);
        EXPECT_EQ(lookup(*c, "a"), hex_of(Value::integer(1)));
        EXPECT_EQ(lookup(*c, "b"), hex_of(Value::text("bee")));
        EXPECT_EQ(lookup(*c, "c"), "key not found");
        EXPECT_EQ(c->end_offset(), head.size());
        EXPECT_EQ(read_file(path), head);
        ASSERT_EQ(set_result(*c, "d", Value::integer(4)), "ok");
      }
      EXPECT_EQ(read_file(path), head + record("d", Value::integer(4)));
      auto c = open_ok(path);
      ASSERT_NE(c, nullptr);
      EXPECT_EQ(lookup(*c, "d"), hex_of(Value::integer(4)));
      EXPECT_EQ(lookup(*c, "a"), hex_of(Value::integer(1)));
    }
  }
}

// Another open collection on the file may be in the middle of that append:
// reads work, writes are refused and nothing is cut, until the record is
// complete or the other holder is gone.
TEST(CollectionTest, TornTailWhileAnotherHolderHasTheFile) {
  const std::string head = record("a", Value::integer(1));
  const std::string last = record("b", Value::text("from the other database"));
  for (const bool completed : {true, false}) {
    SCOPED_TRACE(completed ? "the other append completes" : "the other holder goes away");
    TempDir dir;
    const std::string path = dir.file("c.qdb");
    testing::write_file(path, head);
    auto other = open_ok(path);
    ASSERT_NE(other, nullptr);
    testing::append_file(path, last.substr(0, 10));

    auto c = open_ok(path);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(lookup(*c, "a"), hex_of(Value::integer(1)));
    EXPECT_EQ(lookup(*c, "b"), "key not found");
    const std::string refusal = set_result(*c, "x", Value::integer(9));
    EXPECT_TRUE(refusal.starts_with("io: " + path + " ends inside an incomplete record (10 bytes from offset " +
                                    std::to_string(head.size()) + ")"))
        << refusal;
    EXPECT_NE(refusal.find("another open database"), std::string::npos) << refusal;
    c->set_in_transaction(true);
    EXPECT_EQ(set_result(*c, "x", Value::integer(9)), refusal);
    c->set_in_transaction(false);
    EXPECT_EQ(read_file(path), head + last.substr(0, 10));
    EXPECT_EQ(lookup(*c, "x"), "key not found");

    std::string expected;
    if (completed) {
      testing::append_file(path, last.substr(10));
      expected = head + last;
    } else {
      other.reset();
      expected = head;
    }
    ASSERT_EQ(set_result(*c, "x", Value::integer(9)), "ok");
    expected += record("x", Value::integer(9));
    EXPECT_EQ(read_file(path), expected);
    EXPECT_EQ(c->end_offset(), expected.size());
    // The other database's completed record is seen without a reopen.
    EXPECT_EQ(lookup(*c, "b"), completed ? hex_of(Value::text("from the other database")) : "key not found");
    c.reset();
    other.reset();
    c = open_ok(path);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(lookup(*c, "x"), hex_of(Value::integer(9)));
  }
}

// A tail longer than an interrupted append can leave is damage: it is never
// cut, even with no other holder, and writes are refused.
TEST(CollectionTest, LongTornTailIsNeverCut) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  const std::string head = record("a", Value::integer(1));
  const std::string big = record("big", Value::blob(std::string(records::kMaxTornTail, 'x')));
  std::string after_damage;
  for (int i = 0; after_damage.size() <= records::kMaxTornTail; ++i) {
    after_damage += record(numbered("k", i), Value::text(std::string(100, 'y')));
  }
  // A corrupted length field pointing past the end looks like a long record.
  const std::string damaged = hex("01 00 00 00 62 FF FF FF 7F") + after_damage;
  for (const std::string& tail : {big.substr(0, big.size() - 1), damaged}) {
    SCOPED_TRACE("tail of " + std::to_string(tail.size()) + " bytes");
    testing::write_file(path, head + tail);
    auto c = open_ok(path);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(lookup(*c, "a"), hex_of(Value::integer(1)));
    EXPECT_EQ(lookup(*c, "k0"), "key not found");
    EXPECT_EQ(read_file(path), head + tail);
    const std::string refusal = set_result(*c, "x", Value::null());
    EXPECT_TRUE(refusal.starts_with("io: " + path + " ends inside an incomplete record (" +
                                    std::to_string(tail.size()) + " bytes from offset " +
                                    std::to_string(head.size()) + ")"))
        << refusal;
    EXPECT_NE(refusal.find("until the file is repaired"), std::string::npos) << refusal;
    EXPECT_EQ(read_file(path), head + tail);
  }
}

// Lets the file grow to `size` bytes at most; writes beyond fail with EFBIG.
void limit_file_size(rlim_t size) {
  ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limit;
  ::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = size;
  ::setrlimit(RLIMIT_FSIZE, &limit);
}
void lift_file_size_limit() {
  struct rlimit limit;
  ::getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_FSIZE, &limit);
}

constexpr const char* kFileTooLarge = "io: File too large (os error 27)";

TEST(CollectionWriteFailureTest, FailedSetLeavesNoTrace) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  const std::string first = record("first", Value::integer(1));
  testing::write_file(path, first);
  const Value failing = Value::text(std::string(100, 'f'));
  // Room for part of the record, and for none of it.
  for (const std::size_t room : {std::size_t{10}, std::size_t{0}}) {
    SCOPED_TRACE("room for " + std::to_string(room) + " bytes");
    testing::write_file(path, first);
    const std::string report = testing::run_in_child([&] {
      auto c = Collection::open(path);
      if (!c) return "open: " + c.error().text();
      limit_file_size(first.size() + room);
      std::string out = set_result(**c, "failing", failing) + "\n";
      out += "size " + std::to_string(testing::file_size_of(path)) + " end " + std::to_string((*c)->end_offset()) +
             "\n";
      out += lookup(**c, "failing") + "\n";
      lift_file_size_limit();
      out += set_result(**c, "after", Value::integer(2)) + "\n";
      return out;
    });
    EXPECT_EQ(report, std::string(kFileTooLarge) + "\nsize " + std::to_string(first.size()) + " end " +
                          std::to_string(first.size()) + "\nkey not found\nok\n");
    EXPECT_EQ(read_file(path), first + record("after", Value::integer(2)));
    auto c = open_ok(path);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(lookup(*c, "after"), hex_of(Value::integer(2)));
    EXPECT_EQ(lookup(*c, "failing"), "key not found");
  }
}

TEST(CollectionWriteFailureTest, BufferWriteOutFailingPartWayKeepsTheRest) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  std::vector<std::string> records;
  for (int i = 0; i < 4; ++i) records.push_back(record(numbered("k", i), Value::integer(i)));
  const std::string report = testing::run_in_child([&] {
    auto c = Collection::open(path);
    if (!c) return "open: " + c.error().text();
    (*c)->set_in_transaction(true);
    for (int i = 0; i < 4; ++i) (void)(*c)->set(numbered("k", i), Value::integer(i));
    // The write-out stops inside the second record.
    limit_file_size(records[0].size() + 5);
    std::string out = flush_result(**c);
    out += "\n";
    out += to_hex(read_file(path));
    out += "\n";
    lift_file_size_limit();
    out += flush_result(**c);
    return out;
  });
  EXPECT_EQ(report, std::string(kFileTooLarge) + "\n" + to_hex(records[0]) + "\nok");
  EXPECT_EQ(read_file(path), records[0] + records[1] + records[2] + records[3]);
}

// Inside a transaction a set whose record does not fit makes the buffer go
// out; when that fails the set fails without adding its record, and what was
// buffered stays for the next write-out.
TEST(CollectionWriteFailureTest, TransactionalSetThatCannotBeBufferedFails) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  const Value filler = Value::blob(std::string(kWriteBufferSize / 2, 'f'));
  const std::string report = testing::run_in_child([&] {
    auto c = Collection::open(path);
    if (!c) return "open: " + c.error().text();
    (*c)->set_in_transaction(true);
    (void)(*c)->set("one", filler);
    limit_file_size(100);
    std::string out = set_result(**c, "two", filler) + "\n";
    out += lookup(**c, "two") + "\n";
    out += std::to_string(testing::file_size_of(path)) + "\n";
    lift_file_size_limit();
    out += set_result(**c, "three", Value::integer(3)) + "\n";
    out += flush_result(**c);
    return out;
  });
  EXPECT_EQ(report, std::string(kFileTooLarge) + "\nkey not found\n0\nok\nok");
  EXPECT_EQ(read_file(path), record("one", filler) + record("three", Value::integer(3)));
}

// With another database holding the file, the bytes of a failed write cannot
// be cut at once: writes are refused until the holder is gone, and then the
// failed record's bytes are cut even though they are longer than the limit
// for tails of unknown origin.
TEST(CollectionWriteFailureTest, FailedWriteWhileAnotherHolderHasTheFile) {
  TempDir dir;
  const std::string path = dir.file("c.qdb");
  const std::string first = record("first", Value::integer(1));
  testing::write_file(path, first);
  const Value huge = Value::blob(std::string(3 * kWriteBufferSize, 'h'));
  const std::size_t room = 2 * kWriteBufferSize;
  const std::string report = testing::run_in_child([&] {
    auto other = Collection::open(path);
    auto c = Collection::open(path);
    if (!other || !c) return std::string("open failed");
    limit_file_size(first.size() + room);
    std::string out = set_result(**c, "huge", huge) + "\n";
    out += std::to_string(testing::file_size_of(path)) + "\n";
    lift_file_size_limit();
    const std::string refusal = set_result(**c, "after", Value::integer(2));
    out += (refusal.find("another open database") != std::string::npos ? "refused" : refusal) + "\n";
    out += lookup(**c, "first") + "\n";
    other->reset();
    out += set_result(**c, "after", Value::integer(2)) + "\n";
    return out;
  });
  EXPECT_EQ(report, std::string(kFileTooLarge) + "\n" + std::to_string(first.size() + room) + "\nrefused\n" +
                        hex_of(Value::integer(1)) + "\nok\n");
  EXPECT_EQ(read_file(path), first + record("after", Value::integer(2)));
}

}  // namespace
}  // namespace quillet
