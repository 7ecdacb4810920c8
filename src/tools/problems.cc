#include "tools/problems.h"

#include <utility>

namespace quillet {

void ProblemList::add(std::string_view file, std::optional<std::uint64_t> offset, std::string message) {
  ++count_;
  if (problems_.size() < kMaxProblems) {
    problems_.push_back(Problem{std::string(file), offset, std::move(message)});
  } else {
    ++omitted_;
  }
}

std::string tail_message(const ScanEnd& end) {
  return "the file ends inside a record: the last " + std::to_string(end.tail_bytes()) +
         " bytes are an incomplete record";
}

}  // namespace quillet
