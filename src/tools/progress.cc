#include "tools/progress.h"

#include <algorithm>

namespace quillet {

namespace {
constexpr std::uint64_t kReportEvery = std::uint64_t{4} << 20;
}  // namespace

ProgressMeter::ProgressMeter(const Progress& report, std::uint64_t total)
    : report_(report), total_(total), step_(std::clamp<std::uint64_t>(total / 256, 1, kReportEvery)) {}

Step ProgressMeter::advance(std::uint64_t bytes) {
  done_ += bytes;
  if (!report_ || done_ - reported_ < step_) return {};
  reported_ = done_;
  if (!report_(std::min(done_, total_), total_)) return std::unexpected(tool_interrupted());
  return {};
}

Step ProgressMeter::finish() {
  if (!report_) return {};
  done_ = reported_ = total_;
  if (!report_(total_, total_)) return std::unexpected(tool_interrupted());
  return {};
}

Step ScanProgress::at(std::uint64_t pos) {
  if (meter_ == nullptr || pos - reported_ < kReportEvery) return {};
  return done_to(pos);
}

Step ScanProgress::done_to(std::uint64_t pos) {
  if (meter_ == nullptr) return {};
  const std::uint64_t step = pos - reported_;
  reported_ = pos;
  return meter_->advance(step);
}

}  // namespace quillet
