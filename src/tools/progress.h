// Progress reporting for the tools: a callback told the work done so far,
// called in large steps, that can stop the work.
#pragma once

#include <cstdint>
#include <functional>

#include "tools/common.h"

namespace quillet {

// Told the work done so far and the total expected (bytes read, or records
// for a dump); returning false stops the operation with "interrupted".
using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

// Reports progress to a Progress callback in steps of about 1/256 of the
// total, but at least every 4 Mi units (bytes, or records for a dump).
class ProgressMeter {
 public:
  ProgressMeter(const Progress& report, std::uint64_t total);
  // Adds `bytes` of work done; fails with "interrupted" when the callback
  // asks to stop.
  Step advance(std::uint64_t bytes);
  // Reports the end (done = total) once.
  Step finish();

 private:
  const Progress& report_;
  std::uint64_t total_;
  std::uint64_t step_;
  std::uint64_t done_ = 0;
  std::uint64_t reported_ = 0;
};

// Hands the bytes a pass over one file has gone through to a meter (which may
// be null) in large steps, so that a pass costs no call per record.
class ScanProgress {
 public:
  // `from`: where the pass starts.
  explicit ScanProgress(ProgressMeter* meter, std::uint64_t from = 0) : meter_(meter), reported_(from) {}
  // Reports up to `pos` once enough has passed since the last report.
  Step at(std::uint64_t pos);
  // Reports up to `pos` now.
  Step done_to(std::uint64_t pos);

 private:
  ProgressMeter* meter_;
  std::uint64_t reported_ = 0;
};

}  // namespace quillet
