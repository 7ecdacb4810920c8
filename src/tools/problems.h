// What check finds wrong, collected in the order found, with a cap on how
// many are kept.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/scan.h"

namespace quillet {

struct Problem {
  std::string file;  // relative to the database directory
  std::optional<std::uint64_t> offset;
  std::string message;
};

inline constexpr std::size_t kMaxProblems = 1000;

// Keeps the first kMaxProblems problems and counts the rest.
class ProblemList {
 public:
  void add(std::string_view file, std::optional<std::uint64_t> offset, std::string message);
  std::uint64_t count() const { return count_; }
  const std::vector<Problem>& kept() const { return problems_; }
  std::uint64_t omitted() const { return omitted_; }
  std::vector<Problem> take_kept() { return std::move(problems_); }

 private:
  std::vector<Problem> problems_;
  std::uint64_t omitted_ = 0;
  std::uint64_t count_ = 0;
};

// The problem text of an incomplete last record.
std::string tail_message(const ScanEnd& end);

}  // namespace quillet
