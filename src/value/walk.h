// One iterative depth-first walk over a value tree, shared by everything that
// visits the nodes of a Value: encoding and its size check, copying,
// destruction, debug rendering, link collection, conversion to Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "value/value.h"

namespace quillet {

// What a visitor's `enter` asks of the walk.
enum class WalkStep : std::uint8_t {
  Descend,  // walk the container's children, then call `leave`
  Skip,     // the visitor dealt with the container whole: no children, no `leave`
  Stop,     // end the walk; walk_value returns false
};

// The per-container state of a visitor that declares none.
struct NoWalkFrame {};

// True for the values that have children: arrays, maps and links (whose
// children are the entries of their local map).
inline bool is_container(const Value& value) {
  Kind kind = value.kind();
  return kind == Kind::Array || kind == Kind::Map || kind == Kind::Link;
}

// Walks `root` (a Value or const Value) depth first, a node before its
// children, and returns false when the visitor stopped the walk. Open
// containers sit on an explicit stack (the first levels in place, deeper ones
// on the heap), so a value nested a million levels deep costs heap, never C
// stack. The visitor's events, each optional (a missing one continues):
//
//   bool leaf(Node& v)        v is neither array, map nor link
//   WalkStep enter(Node& v, Frame& frame, std::size_t depth)
//                             v is an array, map or link; `depth` counts the
//                             containers around it (0 for the root)
//   bool entry(Frame& parent, std::size_t index, const std::string* key)
//                             before each child: its index in the parent, and
//                             its key for map and link-local entries (null
//                             for array items)
//   bool leave(Node& v, Frame& frame)   after the children of v
//
// `Visitor::Frame`, when declared, is state the walk keeps for each open
// container (trivially copyable; set it in `enter`); otherwise the frame is a
// NoWalkFrame. A frame reference is valid only during the call that receives
// it. A visitor may reshape a container's children only in its `leave`.
template <class Node, class Visitor>
bool walk_value(Node& root, Visitor& visitor);

namespace walk_detail {

template <class Visitor>
struct FrameOf {
  using type = NoWalkFrame;
};
template <class Visitor>
  requires requires { typename Visitor::Frame; }
struct FrameOf<Visitor> {
  using type = typename Visitor::Frame;
};

template <class Node, class Visitor>
class ValueWalk {
  using Frame = typename FrameOf<Visitor>::type;
  using Entry = std::conditional_t<std::is_const_v<Node>, const MapEntry, MapEntry>;
  static_assert(std::is_same_v<std::remove_const_t<Node>, Value>);
  static_assert(std::is_trivially_copyable_v<Frame> && std::is_trivially_destructible_v<Frame>);

 public:
  explicit ValueWalk(Visitor& visitor) : visitor_(visitor) {}

  bool run(Node& root) {
    if (!open(root)) return false;
    while (depth_ > 0) {
      Open& top = this->top();
      if (top.next == top.count) {
        bool go_on = leave(*top.node, top.frame);
        --depth_;
        if (!go_on) return false;
        continue;
      }
      std::size_t index = top.next++;
      Node* child;
      if (top.items != nullptr) {
        if (!entry(top.frame, index, nullptr)) return false;
        child = &top.items[index];
      } else {
        Entry& e = top.entries[index];
        if (!entry(top.frame, index, &e.key)) return false;
        child = &e.value;
      }
      // Opening a child may move the stack: `top` is not used after this.
      if (is_container(*child) ? !open(*child) : !leaf(*child)) return false;
    }
    return true;
  }

  bool leaf(Node& value) {
    if constexpr (requires { visitor_.leaf(value); }) {
      return visitor_.leaf(value);
    } else {
      return true;
    }
  }

 private:
  struct Open {
    Node* node;
    Node* items;      // an array's elements, else null
    Entry* entries;   // a map's or link-local map's entries
    std::size_t count;
    std::size_t next;
    Frame frame;
  };

  // Most values nest a few levels: those need no allocation.
  static constexpr std::size_t kInline = 16;

  Open& top() { return depth_ <= kInline ? inline_[depth_ - 1] : deep_[depth_ - kInline - 1]; }

  Open& slot() {
    if (depth_ < kInline) return inline_[depth_];
    if (deep_.size() <= depth_ - kInline) deep_.emplace_back();
    return deep_[depth_ - kInline];
  }

  // Enters a container and, unless the visitor skips it, pushes it.
  bool open(Node& node) {
    Open& open = slot();
    open.frame = Frame{};
    WalkStep step = WalkStep::Descend;
    if constexpr (requires { visitor_.enter(node, open.frame, depth_); }) {
      step = visitor_.enter(node, open.frame, depth_);
    }
    if (step != WalkStep::Descend) return step == WalkStep::Skip;
    open.node = &node;
    open.next = 0;
    if (auto* items = node.template get_if<Array>()) {
      open.items = items->data();
      open.entries = nullptr;
      open.count = items->size();
    } else {
      auto* map = node.template get_if<Map>();
      auto& entries = map != nullptr ? map->entries() : node.template get_if<Link>()->local.entries();
      open.items = nullptr;
      open.entries = entries.data();
      open.count = entries.size();
    }
    ++depth_;
    return true;
  }

  bool entry(Frame& parent, std::size_t index, const std::string* key) {
    if constexpr (requires { visitor_.entry(parent, index, key); }) {
      return visitor_.entry(parent, index, key);
    } else {
      return true;
    }
  }

  bool leave(Node& node, Frame& frame) {
    if constexpr (requires { visitor_.leave(node, frame); }) {
      return visitor_.leave(node, frame);
    } else {
      return true;
    }
  }

  Visitor& visitor_;
  std::size_t depth_ = 0;
  Open inline_[kInline];  // left uninitialised: a slot is written before it is read
  std::vector<Open> deep_;
};

}  // namespace walk_detail

template <class Node, class Visitor>
bool walk_value(Node& root, Visitor& visitor) {
  walk_detail::ValueWalk<Node, Visitor> walk(visitor);
  if (!is_container(root)) return walk.leaf(root);
  return walk.run(root);
}

}  // namespace quillet
