// KeyTable: the in-memory map from text key to a 64-bit number that a
// Collection keeps its index and cache in, and the tools their scans.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillet {

// Text key -> 64-bit number, the in-memory maps of a Collection (key -> file
// offset, key -> cached value position). An open-addressing table over one
// arena of key bytes: indexing a large file costs no allocation per key and
// about one cache miss per record, which the scan hides by prefetching.
// Memory stays proportional to the present keys: the bytes of removed keys
// are reclaimed once they outweigh the rest.
class KeyTable {
 public:
  static std::uint64_t hash(std::string_view key);
  // Wherever `h` is passed it is hash(key); any value that is always the
  // same for the same key is correct, only slower when many keys share it.
  // Adds `key` with `number` unless present; either way returns where the
  // key's number is kept (valid until the next change) and whether it was
  // added. REQUIRES: `number` is not ~0, which marks a free slot.
  std::pair<std::uint64_t*, bool> insert(std::string_view key, std::uint64_t h, std::uint64_t number);
  // Removes `key`; returns its number, or nullopt when it was absent.
  std::optional<std::uint64_t> erase(std::string_view key, std::uint64_t h);
  const std::uint64_t* find(std::string_view key, std::uint64_t h) const;
  std::uint64_t* find(std::string_view key, std::uint64_t h) {
    return const_cast<std::uint64_t*>(std::as_const(*this).find(key, h));
  }
  void prefetch(std::uint64_t h) const;
  // Makes room for `keys` keys holding `key_bytes` bytes in all.
  void reserve(std::size_t keys, std::size_t key_bytes);
  std::size_t size() const { return count_; }
  // Bytes of the present keys.
  std::size_t live_key_bytes() const { return live_bytes_; }
  // Bytes held for keys, those of removed keys not yet reclaimed included.
  std::size_t key_bytes_held() const { return arena_.size(); }
  std::vector<std::string> keys() const;
  // Calls f(number&) for every present key, so numbers can be rewritten.
  template <class F>
  void for_each_number(F&& f) {
    for (Slot& slot : slots_) {
      if (slot.number != kEmpty) f(slot.number);
    }
  }
  // Calls f(key, number) for every present key, in no particular order. The
  // key's view is valid until the next change.
  // The keys' bytes lie in the arena in another order than the slots, so
  // those of a slot a few ahead are fetched while this one is handled.
  // `ahead(number)` is told the number of a slot a few ahead, for the
  // caller to fetch what the number points at the same way.
  template <class F, class Ahead = void (*)(std::uint64_t)>
  void for_each_entry(F&& f, Ahead&& ahead = [](std::uint64_t) {}) const {
    constexpr std::size_t kAhead = 16;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      if (i + kAhead < slots_.size() && slots_[i + kAhead].number != kEmpty) {
        __builtin_prefetch(arena_.data() + slots_[i + kAhead].key_pos);
        ahead(slots_[i + kAhead].number);
      }
      const Slot& slot = slots_[i];
      if (slot.number != kEmpty) f(key_of(slot), slot.number);
    }
  }

 private:
  struct Slot {
    std::uint64_t number;  // kEmpty when the slot is free
    std::uint64_t key_pos;
    std::uint32_t key_len;
    std::uint32_t tag;  // the hash's top 32 bits: the home slot, then a fingerprint
  };
  // Marks a free slot.
  static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
  static constexpr std::size_t kNotFound = ~std::size_t{0};

  std::size_t home(std::uint32_t tag) const { return tag >> (32 - bits_); }
  std::string_view key_of(const Slot& slot) const { return {arena_.data() + slot.key_pos, slot.key_len}; }
  std::size_t find_slot(std::string_view key, std::uint32_t tag) const;  // or kNotFound
  // Rehashes into 2^bits slots, dropping the bytes of removed keys.
  void rebuild(unsigned bits);

  // Large tables ask for huge pages: every lookup lands on a random slot,
  // and with 4 KiB pages nearly each one would also miss the TLB.
  template <class T>
  struct HugePageAllocator {
    using value_type = T;
    HugePageAllocator() = default;
    template <class U>
    HugePageAllocator(const HugePageAllocator<U>&) {}
    T* allocate(std::size_t n);
    void deallocate(T* p, std::size_t n);
    bool operator==(const HugePageAllocator&) const = default;
  };
  std::vector<Slot, HugePageAllocator<Slot>> slots_;  // a power of two in size, or empty
  unsigned bits_ = 0;
  std::size_t count_ = 0;
  std::string arena_;           // the bytes of every key added since the last rebuild
  std::size_t live_bytes_ = 0;  // of which present keys hold this many
};

}  // namespace quillet
