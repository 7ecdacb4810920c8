// What every tool shares: its error, the result of one step, and the size of
// the blocks files are read and written in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>

#include "io/file.h"

namespace quillet {

// A tool's failure, worded for a person on one line.
struct ToolError {
  std::string message;
  const std::string& text() const { return message; }
};

// The outcome of one step of a tool: go on, or stop with this error.
using Step = std::expected<void, ToolError>;

// Files are read, and written, in blocks this large: one system call per
// block rather than several per record.
inline constexpr std::size_t kToolBlock = std::size_t{4} << 20;

inline ToolError tool_failure(std::string message) { return ToolError{std::move(message)}; }
// "<what>: <the system's text>".
inline ToolError tool_io_failure(std::string_view what, const IoError& e) {
  return tool_failure(std::string(what) + ": " + e.text());
}
// What a tool fails with when its progress or notice callback asks to stop.
inline ToolError tool_interrupted() { return tool_failure("interrupted"); }

inline std::string at_offset(std::uint64_t offset) { return "offset " + std::to_string(offset); }

}  // namespace quillet
