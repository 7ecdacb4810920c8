#include "store/links.h"

#include <array>
#include <charconv>
#include <functional>
#include <memory_resource>
#include <optional>

#include "format/codec.h"
#include "value/walk.h"

namespace quillet {


std::size_t LinkRefHash::operator()(const LinkRef& r) const {
  std::hash<std::string_view> h;
  std::size_t seed = h(r.target_collection);
  for (std::string_view part : {std::string_view(r.target_key), std::string_view(r.source_path)}) {
    seed ^= h(part) + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2);
  }
  return seed;
}

namespace {

struct Target {
  std::string_view collection;
  std::string_view key;
};

// The link's own target, when its path names a record by a literal key: a
// key starting with "$" is computed at resolution time and cannot be indexed.
std::optional<Target> indexed_target(std::string_view path) {
  std::size_t first = path.find('/');
  if (first == std::string_view::npos || first == 0) return std::nullopt;
  std::string_view rest = path.substr(first + 1);
  std::string_view key = rest.substr(0, rest.find('/'));
  if (key.starts_with('$')) return std::nullopt;
  return Target{path.substr(0, first), key};
}

void add_link_ref(std::string_view path, const std::string& source_path, std::vector<LinkRef>& out) {
  if (auto target = indexed_target(path)) {
    out.push_back(LinkRef{std::string(target->collection), std::string(target->key), source_path});
  }
}

void append_index(std::string& path, std::size_t index) {
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, index);
  path.append(digits, end);
}

// Keeps the source path of the node the walk is at in one string, cut back to
// the parent's length before each child, instead of a copy per level.
class LinkCollector {
 public:
  struct Frame {
    std::size_t path_size;  // length of the container's own source path
    bool has_segments;      // that path has at least one segment (it may be "")
  };

  LinkCollector(std::string_view prefix, std::vector<LinkRef>& out) : path_(prefix), out_(out) {}

  WalkStep enter(const Value& v, Frame& frame, std::size_t depth) {
    if (const auto* link = v.get_if<Link>()) add_link_ref(link->path, path_, out_);
    // The root's path is the prefix: it has segments when the prefix is set.
    frame = Frame{path_.size(), depth > 0 || !path_.empty()};
    return WalkStep::Descend;
  }

  bool entry(Frame& parent, std::size_t index, const std::string* key) {
    path_.resize(parent.path_size);
    if (parent.has_segments) path_.push_back('/');
    if (key != nullptr) {
      path_.append(*key);
    } else {
      append_index(path_, index);
    }
    return true;
  }

 private:
  std::string path_;
  std::vector<LinkRef>& out_;
};

}  // namespace

void collect_links(const Value& value, std::string_view prefix, std::vector<LinkRef>& out) {
  LinkCollector collector(prefix, out);
  walk_value(value, collector);
}

std::vector<LinkRef> collect_links(const Value& value) {
  std::vector<LinkRef> out;
  collect_links(value, {}, out);
  return out;
}

namespace {

// The same walk over an encoded value: every value event first puts its own
// segment (array index or the key just seen) on the shared path.
class EncodedLinks final : public ValueVisitor {
 public:
  explicit EncodedLinks(std::vector<LinkRef>& out) : out_(out) {}

  bool null() override { return leaf(); }
  bool tombstone() override { return leaf(); }
  bool boolean(bool) override { return leaf(); }
  bool integer(std::int64_t) override { return leaf(); }
  bool floating(double) override { return leaf(); }
  bool text(std::string_view) override { return leaf(); }
  bool blob(std::string_view) override { return leaf(); }
  bool date(std::uint32_t) override { return leaf(); }
  bool time(std::uint32_t) override { return leaf(); }
  bool datetime(std::uint64_t) override { return leaf(); }
  bool begin_array(std::uint32_t) override { return open(true); }
  bool begin_map(std::uint32_t) override { return open(false); }
  bool begin_link(std::string_view link_path, std::uint32_t) override {
    enter_child();
    add_link_ref(link_path, path_, out_);
    return push(false);
  }
  bool key(std::string_view key) override {
    key_ = key;
    return true;
  }
  bool end() override {
    frames_.pop_back();
    return true;
  }

 private:
  struct Frame {
    std::size_t path_size;
    bool has_segments;
    bool is_array;
    std::size_t next_index;
  };

  // Sets `path_` to the path of the value about to be reported.
  void enter_child() {
    if (frames_.empty()) return;  // the whole value: the empty path
    Frame& parent = frames_.back();
    path_.resize(parent.path_size);
    if (parent.has_segments) path_.push_back('/');
    if (parent.is_array) {
      append_index(path_, parent.next_index++);
    } else {
      path_.append(key_);
    }
  }
  bool leaf() {
    if (!frames_.empty() && frames_.back().is_array) ++frames_.back().next_index;
    return true;
  }
  bool open(bool is_array) {
    enter_child();
    return push(is_array);
  }
  bool push(bool is_array) {
    frames_.push_back(Frame{path_.size(), !frames_.empty(), is_array, 0});
    return true;
  }

  std::vector<LinkRef>& out_;
  std::string path_;
  std::string_view key_;
  // Records nest a few levels: their frames fit on the stack.
  std::array<std::byte, 16 * sizeof(Frame)> frame_room_;
  std::pmr::monotonic_buffer_resource frame_memory_{frame_room_.data(), frame_room_.size()};
  std::pmr::vector<Frame> frames_{&frame_memory_};
};

// Looks only at the collections that links point into.
class LinkTargetCollections final : public AcceptAll {
 public:
  bool any_with_nul = false;

  bool begin_link(std::string_view path, std::uint32_t) override {
    auto target = indexed_target(path);
    if (target && target->collection.find('\0') != std::string_view::npos) any_with_nul = true;
    return !any_with_nul;
  }
};

}  // namespace

bool collect_links_encoded(std::string_view encoded, std::vector<LinkRef>& out) {
  std::size_t start = out.size();
  std::size_t position = 0;
  EncodedLinks visitor(out);
  auto walked = walk_with(encoded, position, visitor);
  if (walked && *walked) return true;
  out.resize(start);
  return false;
}

bool link_target_collection_has_nul(std::string_view encoded) {
  std::size_t position = 0;
  LinkTargetCollections visitor;
  (void)walk_with(encoded, position, visitor);
  return visitor.any_with_nul;
}

}  // namespace quillet
