#include "store/resolver.h"

#include <map>
#include <utility>
#include <vector>

namespace quillet {

namespace {

using Segments = std::vector<std::string_view>;

Segments split(std::string_view text, char separator) {
  Segments out;
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      out.push_back(text.substr(start));
      return out;
    }
    out.push_back(text.substr(start, at - start));
    start = at + 1;
  }
}

constexpr std::string_view kSelf = "$self";
constexpr std::string_view kSelfDot = "$self.";

// One resolution. The record where it started is read again for every
// "$self." key, and a followed link reads its target; nothing is written, so
// the outcome of a "$self." walk depends only on its field path and depth and
// is computed once per resolution.
class Resolution {
 public:
  Resolution(Database& db, std::string_view collection, std::string_view key)
      : db_(db), root_collection_(collection), root_key_(key) {}

  std::expected<Value, Error> start(std::span<const std::string> path) {
    auto root = db_.get(root_collection_, root_key_);
    if (!root) return std::unexpected(std::move(root.error()).in_context("storage"));
    Segments segments(path.begin(), path.end());
    return navigate(*root, segments, 0);
  }

 private:
  // Walks `path` from `value` in place; only the value finally found is copied.
  std::expected<Value, Error> navigate(const Value& value, std::span<const std::string_view> path,
                                              std::uint32_t depth) {
    if (depth > kMaxLinkDepth) return std::unexpected(Error::invalid_argument("cyclic link detected"));
    const Value* current = &value;
    for (std::size_t i = 0;; ++i) {
      if (i == path.size()) {
        if (const Link* link = current->get_if<Link>()) return follow_link(*link, {}, depth + 1);
        return *current;
      }
      switch (current->kind()) {
        case Kind::Null:
          return Value::null();
        case Kind::Tombstone:
          return Value::tombstone();
        case Kind::Map:
          current = std::get<Map>(current->data).find(path[i]);
          // A missing field reads as null, whatever follows it.
          if (current == nullptr) return Value::null();
          break;
        case Kind::Link: {
          const Link& link = std::get<Link>(current->data);
          const Value* local = link.local.find(path[i]);
          if (local == nullptr) return follow_link(link, path.subspan(i), depth + 1);
          current = local;
          break;
        }
        default:
          return std::unexpected(Error::not_found("field not found"));
      }
    }
  }

  std::expected<Value, Error> follow_link(const Link& link, std::span<const std::string_view> rest,
                                                 std::uint32_t depth) {
    if (depth > kMaxLinkDepth) return std::unexpected(Error::invalid_argument("cyclic link detected"));
    Segments segments = split(link.path, '/');
    if (segments.size() < 2) return std::unexpected(Error::invalid_argument("invalid path: " + link.path));

    std::string key;
    std::string_view key_spec = segments[1];
    if (key_spec == kSelf) {
      key = root_key_;
    } else if (key_spec.starts_with(kSelfDot)) {
      auto computed = self_key(key_spec.substr(kSelfDot.size()), depth);
      if (!computed) return std::unexpected(computed.error());
      key = *computed;
    } else {
      key = key_spec;
    }

    Segments walk(segments.begin() + 2, segments.end());
    walk.insert(walk.end(), rest.begin(), rest.end());

    auto target = db_.get(segments[0], key);
    if (!target) {
      if (target.error().is(ErrorKind::NotFound)) return Value::null();  // a dangling link reads as null
      return std::unexpected(std::move(target.error()).in_context("storage"));
    }
    return navigate(*target, walk, depth);
  }

  // The key named by "$self.<field path>": the text found at that dotted path
  // in the root record, walked at the depth of the link being followed.
  std::expected<std::string, Error> self_key(std::string_view field_path, std::uint32_t depth) {
    auto memo_key = std::make_pair(std::string(field_path), depth);
    if (auto it = self_keys_.find(memo_key); it != self_keys_.end()) return it->second;
    auto computed = compute_self_key(field_path, depth);
    self_keys_.emplace(std::move(memo_key), computed);
    return computed;
  }

  std::expected<std::string, Error> compute_self_key(std::string_view field_path, std::uint32_t depth) {
    auto root = db_.get(root_collection_, root_key_);
    if (!root) return std::unexpected(std::move(root.error()).in_context("storage"));
    Segments fields = split(field_path, '.');
    auto found = navigate(*root, fields, depth);
    if (!found) return std::unexpected(found.error());
    if (const std::string* text = found->get_if<std::string>()) return *text;
    return std::unexpected(Error::invalid_argument("invalid path: $self." + std::string(field_path) + " resolved to " +
                                                      debug_string(*found) + ", expected TEXT"));
  }

  Database& db_;
  std::string root_collection_;
  std::string root_key_;
  std::map<std::pair<std::string, std::uint32_t>, std::expected<std::string, Error>> self_keys_;
};

}  // namespace

std::expected<Value, Error> Resolver::get_field(std::string_view collection, std::string_view key,
                                                       std::span<const std::string> path) {
  return Resolution(db_, collection, key).start(path);
}

}  // namespace quillet
