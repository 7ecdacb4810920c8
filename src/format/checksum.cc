#include "format/checksum.h"

#include <cstring>

namespace quillet {

namespace {

constexpr std::uint64_t kP1 = 0x9E3779B185EBCA87ull;
constexpr std::uint64_t kP2 = 0xC2B2AE3D27D4EB4Full;
constexpr std::uint64_t rotl(std::uint64_t v, int r) { return (v << r) | (v >> (64 - r)); }
std::uint64_t load64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

}  // namespace

// Four lanes at a time, so that the multiplications overlap.
std::uint64_t checksum64(std::string_view bytes) {
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  std::uint64_t lanes[4] = {kP1 + kP2, kP2, 0, 0 - kP1};
  for (; n >= 32; p += 32, n -= 32) {
    for (int i = 0; i < 4; ++i) lanes[i] = rotl(lanes[i] + load64(p + 8 * i) * kP2, 31) * kP1;
  }
  std::uint64_t h = rotl(lanes[0], 1) + rotl(lanes[1], 7) + rotl(lanes[2], 12) + rotl(lanes[3], 18) + bytes.size();
  for (; n >= 8; p += 8, n -= 8) h = rotl(h ^ (rotl(load64(p) * kP2, 31) * kP1), 27) * kP1 + kP2;
  for (; n > 0; ++p, --n) h = rotl(h ^ (static_cast<unsigned char>(*p) * kP1), 11) * kP2;
  h ^= h >> 33;
  h *= kP2;
  h ^= h >> 29;
  return h;
}

}  // namespace quillet
