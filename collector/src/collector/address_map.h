#pragma once

// A map from 64-bit addresses (or keys) to 64-bit values for the lookups
// made once per call-tree node: open addressing in one flat array, so that a
// lookup is a multiply and, mostly, one cache line. Nothing is ever erased.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tarnwell::collector {

class address_map {
 public:
  const std::uint64_t* find(std::uint64_t key) const noexcept {
    if (key == empty_key) return empty_value_ ? &*empty_value_ : nullptr;
    if (slots_.empty()) return nullptr;
    for (std::size_t i = index(key);; i = (i + 1) & (slots_.size() - 1)) {
      const slot& s = slots_[i];
      if (s.key == key) return &s.value;
      if (s.key == empty_key) return nullptr;
    }
  }

  // Keeps the value already there, as std::unordered_map::emplace does.
  void emplace(std::uint64_t key, std::uint64_t value) {
    if (key == empty_key) {
      if (!empty_value_) empty_value_ = value;
      return;
    }
    if ((used_ + 1) * 2 > slots_.size()) grow();
    slot& s = place(key);
    if (s.key == key) return;
    s = slot{key, value};
    ++used_;
  }

  void clear() noexcept {
    slots_.clear();
    used_ = 0;
    empty_value_.reset();
  }

  std::size_t size() const noexcept { return used_ + (empty_value_ ? 1 : 0); }

 private:
  static constexpr std::uint64_t empty_key = ~std::uint64_t{0};
  struct slot {
    std::uint64_t key = empty_key;
    std::uint64_t value = 0;
  };

  std::size_t index(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  slot& place(std::uint64_t key) noexcept {
    for (std::size_t i = index(key);; i = (i + 1) & (slots_.size() - 1))
      if (slots_[i].key == key || slots_[i].key == empty_key) return slots_[i];
  }
  void grow() {
    std::vector<slot> old(slots_.empty() ? 1024 : slots_.size() * 2);
    old.swap(slots_);
    shift_ = 64;
    for (std::size_t n = slots_.size(); n > 1; n >>= 1) --shift_;
    for (const slot& s : old)
      if (s.key != empty_key) place(s.key) = s;
  }

  std::vector<slot> slots_;
  std::size_t used_ = 0;
  unsigned shift_ = 64;
  std::optional<std::uint64_t> empty_value_;
};

}  // namespace tarnwell::collector
