#include "store/key_table.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/mman.h>

namespace quillet {

namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

template <class T>
T* KeyTable::HugePageAllocator<T>::allocate(std::size_t n) {
  const std::size_t bytes = n * sizeof(T);
  if (bytes < kHugePage) return std::allocator<T>().allocate(n);
  void* p = std::aligned_alloc(kHugePage, (bytes + kHugePage - 1) / kHugePage * kHugePage);
  if (p == nullptr) throw std::bad_alloc();
  ::madvise(p, bytes, MADV_HUGEPAGE);
  return static_cast<T*>(p);
}

template <class T>
void KeyTable::HugePageAllocator<T>::deallocate(T* p, std::size_t n) {
  if (n * sizeof(T) < kHugePage) return std::allocator<T>().deallocate(p, n);
  std::free(p);
}

template struct KeyTable::HugePageAllocator<KeyTable::Slot>;

namespace {

std::uint64_t load64(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

std::uint64_t load32(const char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Both halves of the 128-bit product, folded together: each input bit moves
// many bits of the result, the high ones that choose a slot included.
__extension__ typedef unsigned __int128 Wide;  // GCC and Clang on 64-bit targets

std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) {
  const Wide product = static_cast<Wide>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

constexpr std::uint64_t kMix[] = {0x9e3779b97f4a7c15ull, 0xbf58476d1ce4e5b9ull, 0x94d049bb133111ebull,
                                  0x2545f4914f6cdd1dull};

}  // namespace

std::uint64_t KeyTable::hash(std::string_view key) {
  // Keys are mostly short: up to 16 bytes are read as two (overlapping)
  // words and mixed with two multiplications, longer ones 16 bytes a step.
  const char* p = key.data();
  std::size_t n = key.size();
  const std::uint64_t length = n;
  std::uint64_t state = kMix[0];
  while (n > 16) {
    state = fold_multiply(load64(p) ^ kMix[1], load64(p + 8) ^ state);
    p += 16;
    n -= 16;
  }
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n >= 8) {
    a = load64(p);
    b = load64(p + n - 8);
  } else if (n >= 4) {
    a = load32(p);
    b = load32(p + n - 4);
  } else if (n > 0) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])); };
    a = byte(0) << 16 | byte(n >> 1) << 8 | byte(n - 1);
  }
  // The length enters by a multiplication of its own: xored into a word it
  // could cancel a difference in the bytes ("1000" and "10000").
  return fold_multiply(fold_multiply(a ^ kMix[2], b ^ state) ^ kMix[3], length ^ kMix[1]);
}

void KeyTable::prefetch(std::uint64_t h) const {
  if (!slots_.empty()) __builtin_prefetch(&slots_[home(static_cast<std::uint32_t>(h >> 32))]);
}

std::size_t KeyTable::find_slot(std::string_view key, std::uint32_t tag) const {
  if (slots_.empty()) return kNotFound;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = home(tag);; i = (i + 1) & mask) {
    const Slot& slot = slots_[i];
    if (slot.number == kEmpty) return kNotFound;
    if (slot.tag == tag && key_of(slot) == key) return i;
  }
}

const std::uint64_t* KeyTable::find(std::string_view key, std::uint64_t h) const {
  const std::size_t i = find_slot(key, static_cast<std::uint32_t>(h >> 32));
  return i == kNotFound ? nullptr : &slots_[i].number;
}

std::pair<std::uint64_t*, bool> KeyTable::insert(std::string_view key, std::uint64_t h, std::uint64_t number) {
  // At most three quarters full, so that probing for an absent key stays short.
  if ((count_ + 1) * 4 > slots_.size() * 3) {
    rebuild(slots_.empty() ? 4 : bits_ + 1);
  } else if (arena_.size() - live_bytes_ > live_bytes_ + slots_.size() * 8) {
    // Keys removed and added again pile up in the arena; the rebuild's cost
    // is paid for by the dead bytes it drops.
    rebuild(bits_);
  }
  const auto tag = static_cast<std::uint32_t>(h >> 32);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = home(tag);; i = (i + 1) & mask) {
    Slot& slot = slots_[i];
    if (slot.number == kEmpty) {
      slot = {number, arena_.size(), static_cast<std::uint32_t>(key.size()), tag};
      arena_.append(key);
      live_bytes_ += key.size();
      ++count_;
      return {&slot.number, true};
    }
    if (slot.tag == tag && key_of(slot) == key) return {&slot.number, false};
  }
}

std::optional<std::uint64_t> KeyTable::erase(std::string_view key, std::uint64_t h) {
  std::size_t hole = find_slot(key, static_cast<std::uint32_t>(h >> 32));
  if (hole == kNotFound) return std::nullopt;
  const std::uint64_t number = slots_[hole].number;
  live_bytes_ -= slots_[hole].key_len;
  --count_;
  // Backward-shift deletion: move later entries of the probe run into the
  // hole unless that would put them before their home slot.
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t j = (hole + 1) & mask; slots_[j].number != kEmpty; j = (j + 1) & mask) {
    const std::size_t k = home(slots_[j].tag);
    const bool home_after_hole = hole <= j ? (hole < k && k <= j) : (hole < k || k <= j);
    if (!home_after_hole) {
      slots_[hole] = slots_[j];
      hole = j;
    }
  }
  slots_[hole].number = kEmpty;
  return number;
}

void KeyTable::reserve(std::size_t keys, std::size_t key_bytes) {
  unsigned bits = std::max(bits_, 4u);
  while (keys * 4 > (std::size_t{1} << bits) * 3) ++bits;
  if (bits > bits_) rebuild(bits);
  arena_.reserve(arena_.size() + key_bytes);
}

void KeyTable::rebuild(unsigned bits) {
  auto old = std::exchange(slots_, {});
  bits_ = bits;
  slots_.assign(std::size_t{1} << bits_, Slot{kEmpty, 0, 0, 0});
  const bool compact = arena_.size() - live_bytes_ > live_bytes_ / 4;
  std::string arena;
  if (compact) arena.reserve(live_bytes_);
  const std::size_t mask = slots_.size() - 1;
  // Old slots come nearly in order of their home, so the new table fills
  // nearly in order too: few cache misses.
  for (Slot slot : old) {
    if (slot.number == kEmpty) continue;
    if (compact) {
      const std::string_view key = key_of(slot);
      slot.key_pos = arena.size();
      arena.append(key);
    }
    std::size_t i = home(slot.tag);
    while (slots_[i].number != kEmpty) i = (i + 1) & mask;
    slots_[i] = slot;
  }
  if (compact) arena_ = std::move(arena);
}

std::vector<std::string> KeyTable::keys() const {
  std::vector<std::string> out;
  out.reserve(count_);
  for (const Slot& slot : slots_) {
    if (slot.number != kEmpty) out.emplace_back(key_of(slot));
  }
  return out;
}

}  // namespace quillet
