#include "tools/progress.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "harness.h"

namespace quillet::tools_test {
namespace {

TEST(Progress, GrowsToItsTotalAndStopsTheWorkWhenAsked) {
  TempDir dir;
  write_history(dir.file("db"), 5, 600);
  using Run = std::function<Step(const Progress&)>;
  auto ok = [](auto result) -> Step {
    if (!result) return std::unexpected(result.error());
    return {};
  };
  const std::vector<std::pair<std::string, Run>> runs = {
      {"stat", [&](const Progress& p) { return ok(stat_database(dir.file("db"), p)); }},
      {"check", [&](const Progress& p) { return ok(check_database(dir.file("db"), p)); }},
      {"compact", [&](const Progress& p) { return ok(compact_database(dir.file("db"), dir.file("out"), p)); }},
      {"repair", [&](const Progress& p) { return ok(repair_database(dir.file("db"), {}, p)); }},
      {"dump", [&](const Progress& p) {
         return ok(dump_records(dir.file("db"), std::nullopt, [](std::string_view) -> Step { return {}; }, p));
       }},
  };
  for (const auto& [name, run] : runs) {
    SCOPED_TRACE(name);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> calls;
    ASSERT_TRUE(run([&](std::uint64_t done, std::uint64_t total) {
      calls.emplace_back(done, total);
      return true;
    }).has_value());
    ASSERT_GE(calls.size(), 2u);
    EXPECT_TRUE(std::ranges::is_sorted(calls));
    EXPECT_EQ(calls.back().first, calls.back().second);
    EXPECT_GT(calls.back().second, 0u);
    std::filesystem::remove_all(dir.file("out"));

    const auto before = snapshot(dir.file("db"));
    auto stopped = run([](std::uint64_t, std::uint64_t) { return false; });
    ASSERT_FALSE(stopped.has_value());
    EXPECT_EQ(stopped.error().text(), "interrupted");
    EXPECT_FALSE(testing::file_exists(dir.file("out")));
    EXPECT_EQ(snapshot(dir.file("db")), before);  // repair stops before it changes anything
  }
}

}  // namespace
}  // namespace quillet::tools_test
