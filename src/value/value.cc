#include "value/value.h"

#include "value/walk.h"

#include <unordered_map>

namespace quillet {

Map::Map(const Map& other) = default;
Map& Map::operator=(const Map& other) = default;
Map::~Map() = default;

void Map::reserve(std::size_t n) { entries_.reserve(n); }

const Value* Map::find(std::string_view key) const {
  for (const MapEntry& e : entries_) {
    if (e.key == key) return &e.value;
  }
  return nullptr;
}

Value* Map::find(std::string_view key) {
  for (MapEntry& e : entries_) {
    if (e.key == key) return &e.value;
  }
  return nullptr;
}

Value& Map::insert_or_assign(std::string key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return *existing;
  }
  return append_unique(std::move(key), std::move(value));
}

Value& Map::append_unique(std::string key, Value value) {
  entries_.push_back(MapEntry{std::move(key), std::move(value)});
  return entries_.back().value;
}

Map Map::from_entries(std::vector<MapEntry> entries) {
  Map map;
  if (entries.size() <= 8) {
    map.reserve(entries.size());
    for (MapEntry& e : entries) map.insert_or_assign(std::move(e.key), std::move(e.value));
    return map;
  }
  // Position of each key's first occurrence in `entries`.
  std::unordered_map<std::string_view, std::size_t> first;
  first.reserve(entries.size());
  bool repeated = false;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto [it, inserted] = first.try_emplace(entries[i].key, i);
    if (!inserted) {
      repeated = true;
      entries[it->second].value = std::move(entries[i].value);
    }
  }
  if (!repeated) {
    map.entries_ = std::move(entries);
    return map;
  }
  // Decide what to keep before moving anything: moving a key out would change
  // the text that `first` refers to.
  std::vector<bool> keep(entries.size(), false);
  for (const auto& [key, position] : first) keep[position] = true;
  map.reserve(first.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (keep[i]) map.entries_.push_back(std::move(entries[i]));
  }
  return map;
}

namespace {

bool has_children(const Value& v) {
  switch (v.kind()) {
    case Kind::Array:
      return !v.get_if<Array>()->empty();
    case Kind::Map:
      return !v.get_if<Map>()->empty();
    case Kind::Link:
      return !v.get_if<Link>()->local.empty();
    default:
      return false;
  }
}

// Builds the copy node by node: each container is created empty with room
// for its children (so adding a child never moves its siblings), and each
// child is added to its parent's copy as the walk reaches it.
class CopyVisitor {
 public:
  struct Frame {
    Value* copy;
  };

  explicit CopyVisitor(Value& root) : slot_(&root) {}

  bool leaf(const Value& src) {
    slot_->data = src.data;
    return true;
  }

  WalkStep enter(const Value& src, Frame& frame, std::size_t) {
    if (const Array* items = src.get_if<Array>()) {
      Array shell;
      shell.reserve(items->size());
      slot_->data = std::move(shell);
    } else if (const Map* map = src.get_if<Map>()) {
      Map shell;
      shell.reserve(map->size());
      slot_->data = std::move(shell);
    } else {
      const Link& link = *src.get_if<Link>();
      Map local;
      local.reserve(link.local.size());
      slot_->data = Link{link.path, std::move(local)};
    }
    frame.copy = slot_;
    return has_children(src) ? WalkStep::Descend : WalkStep::Skip;
  }

  bool entry(Frame& parent, std::size_t, const std::string* key) {
    if (Array* items = parent.copy->get_if<Array>()) {
      slot_ = &items->emplace_back();
    } else {
      Map* map = parent.copy->get_if<Map>();
      slot_ = &(map != nullptr ? *map : parent.copy->get_if<Link>()->local).append_unique(*key, Value{});
    }
    return true;
  }

 private:
  Value* slot_;  // where the node the walk reaches next is copied to
};

// Empties each container after its children: by then they hold no children
// of their own, so destroying them recurses no further.
struct ReleaseVisitor {
  WalkStep enter(Value& v, NoWalkFrame&, std::size_t) {
    return has_children(v) ? WalkStep::Descend : WalkStep::Skip;
  }
  bool leave(Value& v, NoWalkFrame&) {
    if (Array* items = v.get_if<Array>()) {
      items->clear();
    } else if (Map* map = v.get_if<Map>()) {
      map->entries().clear();
    } else {
      v.get_if<Link>()->local.entries().clear();
    }
    return true;
  }
};

}  // namespace

Value::Value(const Value& other) {
  CopyVisitor visitor(*this);
  walk_value(other, visitor);
}

Value& Value::operator=(const Value& other) {
  if (this != &other) {
    Value copy(other);
    *this = std::move(copy);
  }
  return *this;
}

// Destroying a deeply nested value recursively would use stack in proportion
// to its depth; instead containers are emptied bottom up, each after its
// children.
Value::~Value() {
  if (!has_children(*this)) return;
  ReleaseVisitor visitor;
  walk_value(*this, visitor);
}

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  while (p < end) {
    // Fast path over ASCII, eight bytes at a time.
    while (end - p >= 8) {
      std::uint64_t chunk;
      __builtin_memcpy(&chunk, p, 8);
      if (chunk & 0x8080808080808080ull) break;
      p += 8;
    }
    if (p >= end) break;
    unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t need;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      need = 2;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= need) return false;
    for (std::size_t i = 1; i <= need; ++i) {
      unsigned char cc = p[i];
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    if (need == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) return false;
    if (need == 3 && (cp < 0x10000 || cp > 0x10FFFF)) return false;
    p += need + 1;
  }
  return true;
}

}  // namespace quillet
