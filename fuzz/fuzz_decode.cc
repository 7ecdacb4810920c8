// decode on arbitrary bytes. A value that decodes must encode to bytes that
// decode again to the same encoding, must be storable as it is, must survive
// a deep copy, and must render.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "format/codec.h"
#include "fuzz_support.h"
#include "value/value.h"

using namespace quillet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  std::size_t position = 0;
  auto value = decode(bytes, position);
  // The map body on its own, as a link's local values are read.
  std::size_t map_position = 0;
  auto map = decode_map(bytes, map_position);
  if (map && map_position > size) fuzz::fail("decode_map ran past the end");
  if (!value) {
    (void)value.error().text();
    return 0;
  }
  if (position > size) fuzz::fail("decode ran past the end");

  (void)debug_string(*value);
  const std::string first = fuzz::encoding_of(*value);
  if (first.size() > position) fuzz::fail("the encoding is longer than what was read");

  std::size_t again_position = 0;
  auto again = decode(first, again_position);
  if (!again) fuzz::fail("an encoding does not decode", again.error().text());
  if (again_position != first.size()) fuzz::fail("an encoding decodes with bytes left over");
  if (fuzz::encoding_of(*again) != first) fuzz::fail("decode(encode(v)) encodes differently");

  // Whatever can be read back can be written again.
  if (auto encodable = check_encodable(*value); !encodable) fuzz::fail("a decoded value is refused", encodable.error().text());

  const Value copy = *value;
  if (fuzz::encoding_of(copy) != first) fuzz::fail("a copy encodes differently");
  return 0;
}
