// Collection store costs: the open-time scan of a 1,000,000-record file, and
// one set outside and inside a transaction.
// Run: ./bench_storage [records] [opens]; with `opens` given only the open is
// timed, that many times (for profiling the scan).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "store/collection.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this process: on a busy machine it shows the scan's own cost
// where wall time also counts waiting for a core.
double cpu_seconds() {
  timespec ts;
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string key_of(std::size_t i) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "user:%07zu", i);
  return buf;
}

quillet::Value value_of(std::size_t i) {
  return i % 2 == 0 ? quillet::Value::integer(static_cast<std::int64_t>(i)) : quillet::Value::text("name");
}

std::unique_ptr<quillet::Collection> open_or_die(const std::string& path) {
  auto opened = quillet::Collection::open(path);
  if (!opened) {
    std::fprintf(stderr, "open %s: %s\n", path.c_str(), opened.error().text().c_str());
    std::exit(1);
  }
  return std::move(*opened);
}

void set_or_die(quillet::Collection& c, const std::string& key, const quillet::Value& value) {
  if (auto done = c.set(key, value); !done) {
    std::fprintf(stderr, "set: %s\n", done.error().text().c_str());
    std::exit(1);
  }
}

// Time per set of `count` sets into a fresh collection.
double time_sets(const std::string& path, std::size_t count, bool in_transaction) {
  std::filesystem::remove(path);
  auto c = open_or_die(path);
  c->set_in_transaction(in_transaction);
  std::vector<std::string> keys;
  keys.reserve(count);
  for (std::size_t i = 0; i < count; ++i) keys.push_back(key_of(i));
  const auto start = Clock::now();
  for (std::size_t i = 0; i < count; ++i) set_or_die(*c, keys[i], value_of(i));
  if (auto flushed = c->flush(); !flushed) std::exit(1);
  return seconds_since(start) / static_cast<double>(count);
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const char* tmp = std::getenv("TMPDIR");
  const std::filesystem::path dir =
      std::filesystem::path(tmp && *tmp ? tmp : "/tmp") / ("quillet-bench-storage-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "bench.qdb").string();

  {
    auto c = open_or_die(path);
    c->set_in_transaction(true);
    for (std::size_t i = 0; i < records; ++i) set_or_die(*c, key_of(i), value_of(i));
  }
  const double file_mb = static_cast<double>(std::filesystem::file_size(path)) / 1e6;

  // The file is in the page cache after the first open; the best of a few
  // runs is the scan's own cost.
  const int open_runs = argc > 2 ? std::atoi(argv[2]) : 5;
  std::vector<double> opens;
  std::vector<double> open_cpu;
  std::size_t live = 0;
  for (int run = 0; run < open_runs; ++run) {
    const auto start = Clock::now();
    const double cpu_start = cpu_seconds();
    auto c = open_or_die(path);
    open_cpu.push_back(cpu_seconds() - cpu_start);
    opens.push_back(seconds_since(start));
    live = c->live_count();
  }
  const double best_open = *std::min_element(opens.begin(), opens.end());
  const double best_cpu = *std::min_element(open_cpu.begin(), open_cpu.end());
  std::printf("open+scan: %zu records (%zu live), %.1f MB: %.1f ms, %.0f ns/record, %.0f MB/s (cpu %.0f ns/record)\n",
              records, live, file_mb, best_open * 1e3, best_open * 1e9 / static_cast<double>(records),
              file_mb / best_open, best_cpu * 1e9 / static_cast<double>(records));
  if (argc > 2) {
    std::filesystem::remove_all(dir);
    return 0;
  }

  // The physical floor of an open: reading the file once (as cat would), plus
  // inserting every key into the same hash table the index uses, sized up
  // front as the scan sizes it.
  std::vector<double> reads;
  std::vector<char> block(1 << 20);
  for (int run = 0; run < 5; ++run) {
    const auto start = Clock::now();
    int fd = ::open(path.c_str(), O_RDONLY);
    while (::read(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
    reads.push_back(seconds_since(start));
  }
  std::vector<std::string> keys;
  keys.reserve(records);
  for (std::size_t i = 0; i < records; ++i) keys.push_back(key_of(i));
  std::vector<double> inserts;
  for (int run = 0; run < 5; ++run) {
    quillet::KeyTable table;
    const auto start = Clock::now();
    table.reserve(keys.size(), keys.size() * keys[0].size());
    std::uint64_t offset = 0;
    for (const std::string& key : keys) table.insert(key, quillet::KeyTable::hash(key), offset++);
    inserts.push_back(seconds_since(start));
  }
  const double best_read = *std::min_element(reads.begin(), reads.end());
  const double best_insert = *std::min_element(inserts.begin(), inserts.end());
  const double floor = best_read + best_insert;
  std::printf("floor: read the file %.1f ms + insert %zu keys %.1f ms = %.1f ms (%.0f ns/record); open is %.2fx the floor\n",
              best_read * 1e3, records, best_insert * 1e3, floor * 1e3, floor * 1e9 / static_cast<double>(records),
              best_open / floor);

  {
    auto c = open_or_die(path);
    const std::size_t gets = std::min<std::size_t>(records, 200000);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < gets; ++i) {
      if (!c->get(key_of((i * 7919) % records))) std::exit(1);
    }
    std::printf("get from file: %.0f ns\n", seconds_since(start) * 1e9 / static_cast<double>(gets));
  }

  const std::string fresh = (dir / "sets.qdb").string();
  std::printf("set outside a transaction: %.0f ns\n", time_sets(fresh, std::min<std::size_t>(records, 200000), false) * 1e9);
  std::printf("set inside a transaction: %.0f ns\n", time_sets(fresh, records, true) * 1e9);

  std::filesystem::remove_all(dir);
  return 0;
}
