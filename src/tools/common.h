// What every tool shares: its error, the result of one step, and the size of
// the blocks files are read and written in.
//
// A tool fails with the core's Error, its text worded for a person on one
// line: a damaged file or record is Corruption, a bad argument (such as an
// output directory that is not empty) InvalidArgument, a missing collection or
// record NotFound, and what the system refused, a file held by another open
// database, or a stop asked for ("interrupted") Io. A failure of a lower layer
// keeps its kind, with the file or record it concerns put in front
// (Error::in_context).
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>

#include "error.h"

namespace quillet {

// The outcome of one step of a tool: go on, or stop with this error.
using Step = std::expected<void, Error>;

// Files are read, and written, in blocks this large: one system call per
// block rather than several per record.
inline constexpr std::size_t kToolBlock = std::size_t{4} << 20;

// What a tool fails with when its progress or notice callback asks to stop.
inline Error tool_interrupted() { return Error::io("interrupted"); }

inline std::string at_offset(std::uint64_t offset) { return "offset " + std::to_string(offset); }

}  // namespace quillet
