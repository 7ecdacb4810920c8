// Links inside values: where each one points and the source path it sits at,
// found in a value tree or straight in its encoding.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "value/value.h"

namespace quillet {

// One link found inside a value.
struct LinkRef {
  std::string target_collection;
  std::string target_key;
  std::string source_path;  // map keys and array indices joined with "/"
  bool operator==(const LinkRef&) const = default;
};

struct LinkRefHash {
  std::size_t operator()(const LinkRef& r) const;
};

// Appends to `out` every link inside `value`, depth first, a node before its
// children: array elements by index, map entries in map order, then a link's
// own target (when its path has a "/", a non-empty collection and a key not
// starting with "$") followed by its local values. `prefix` is the source path
// of `value` itself; empty means no segments (a whole record). Walks without
// recursion, so any nesting depth is safe.
void collect_links(const Value& value, std::string_view prefix, std::vector<LinkRef>& out);
std::vector<LinkRef> collect_links(const Value& value);

// The same links, read straight from an encoded value. False (and nothing
// added) when the bytes do not decode.
bool collect_links_encoded(std::string_view encoded, std::vector<LinkRef>& out);

// Whether a link that collect_links_encoded would report points into a
// collection whose name holds a NUL (a name no file can have), without
// building the links.
bool link_target_collection_has_nul(std::string_view encoded);

}  // namespace quillet
