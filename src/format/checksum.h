// A fast 64-bit checksum for the store's own files: it catches pages that
// reached the disk out of order or bytes damaged at rest, not an adversary,
// and must keep up with the writes.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillet {

std::uint64_t checksum64(std::string_view bytes);

}  // namespace quillet
