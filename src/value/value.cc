#include "value/value.h"

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
      return !std::get<Array>(v.data).empty();
    case Kind::Map:
      return !std::get<Map>(v.data).empty();
    case Kind::Link:
      return !std::get<Link>(v.data).local.empty();
    default:
      return false;
  }
}

// Moves the children of `v` that themselves hold children onto `out`, so that
// destroying `v` afterwards recurses at most one level.
void detach_nested_children(Value& v, std::vector<Value>& out) {
  auto take = [&out](Value& child) {
    if (has_children(child)) out.push_back(std::move(child));
  };
  switch (v.kind()) {
    case Kind::Array:
      for (Value& child : std::get<Array>(v.data)) take(child);
      break;
    case Kind::Map:
      for (MapEntry& e : std::get<Map>(v.data).entries()) take(e.value);
      break;
    case Kind::Link:
      for (MapEntry& e : std::get<Link>(v.data).local.entries()) take(e.value);
      break;
    default:
      break;
  }
}

}  // namespace

namespace {

bool is_container(const Value& v) {
  Kind k = v.kind();
  return k == Kind::Array || k == Kind::Map || k == Kind::Link;
}

// Makes `dst` a copy of `src` with its containers created empty (room reserved
// for their children); scalars are copied whole.
void copy_shell(const Value& src, Value& dst) {
  if (const Array* items = src.get_if<Array>()) {
    Array shell;
    shell.reserve(items->size());
    dst.data = std::move(shell);
  } else if (const Map* map = src.get_if<Map>()) {
    Map shell;
    shell.reserve(map->size());
    dst.data = std::move(shell);
  } else if (const Link* link = src.get_if<Link>()) {
    Map local;
    local.reserve(link->local.size());
    dst.data = Link{link->path, std::move(local)};
  } else {
    dst.data = src.data;
  }
}

struct CopyFrame {
  const Value* src;
  Value* dst;
  std::size_t next;
};

std::size_t child_count(const Value& v) {
  if (const Array* items = v.get_if<Array>()) return items->size();
  if (const Map* map = v.get_if<Map>()) return map->size();
  return std::get<Link>(v.data).local.size();
}

// Adds the next child slot to the container `frame.dst` (never reallocating:
// room was reserved) and returns the source child and its slot.
std::pair<const Value*, Value*> next_child(CopyFrame& frame) {
  std::size_t i = frame.next++;
  if (const Array* items = frame.src->get_if<Array>()) {
    Array& out = std::get<Array>(frame.dst->data);
    out.emplace_back();
    return {&(*items)[i], &out.back()};
  }
  const Map& in = frame.src->get_if<Map>() ? *frame.src->get_if<Map>() : frame.src->get_if<Link>()->local;
  Map& out = frame.dst->get_if<Map>() ? *frame.dst->get_if<Map>() : frame.dst->get_if<Link>()->local;
  const MapEntry& e = in.entries()[i];
  return {&e.value, &out.append_unique(e.key, Value{})};
}

}  // namespace

Value::Value(const Value& other) {
  copy_shell(other, *this);
  if (!is_container(other)) return;
  std::vector<CopyFrame> stack{{&other, this, 0}};
  while (!stack.empty()) {
    CopyFrame& top = stack.back();
    if (top.next == child_count(*top.src)) {
      stack.pop_back();
      continue;
    }
    auto [src, dst] = next_child(top);
    copy_shell(*src, *dst);
    if (is_container(*src)) stack.push_back({src, dst, 0});  // invalidates `top`
  }
}

Value& Value::operator=(const Value& other) {
  if (this != &other) {
    Value copy(other);
    *this = std::move(copy);
  }
  return *this;
}

// Destroying a deeply nested value recursively would use stack in proportion
// to its depth; instead nested containers are unhooked onto a work list and
// destroyed one level at a time.
Value::~Value() {
  if (!has_children(*this)) return;
  std::vector<Value> pending;
  detach_nested_children(*this, pending);
  while (!pending.empty()) {
    Value v = std::move(pending.back());
    pending.pop_back();
    detach_nested_children(v, pending);
  }
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
