#pragma once

// The shared call tree: every stack of a snapshot is merged into one tree of
// 16-byte nodes inside the memory-mapped call-tree section, so that a sample
// or an event records only the 32-bit offset of its leaf. Keys are raw
// addresses while profiling and are rewritten in place by the resolver.
//
// Threads: insertion is lock-free; the only synchronisation is the
// compare-and-swap on sibling-chain words and the allocator's own atomics.
// forall() and key rewriting run alone, after the last insertion.

#include "tarnwell/common/memory_mapped_file_allocator.h"

#include <atomic>
#include <cstdint>
#include <set>
#include <utility>

namespace tarnwell::collector {

using tree_node_key = std::uint64_t;

enum class uid_flags : std::uint8_t {
  synthetic = 0,
  core_function = 1,
  managed_function = 2,
  native_function = 3,
  module_only = 4,
  frame_address = 5,
  core_indexed_fuid = 6,
  dummy = 7,
};

inline constexpr tree_node_key pending_tree_node_key = 0x0FFFFFFFFFFFFFFF;
inline constexpr tree_node_key dummy_tree_node_key = 0xE000000000000000;
inline constexpr tree_node_key synthetic_top_key = 0x0400000000000000;

constexpr uid_flags tree_node_key_get_flags(tree_node_key key) noexcept { return static_cast<uid_flags>(key >> 61); }

constexpr tree_node_key make_key(uid_flags flags, std::uint64_t payload) noexcept {
  return (std::uint64_t(flags) << 61) | (payload & 0x1FFFFFFFFFFFFFFF);
}

// Resolution order of the flags: the first resolver that takes a key wins.
constexpr int rank(uid_flags f) noexcept {
  switch (f) {
    case uid_flags::core_function: return 0;
    case uid_flags::core_indexed_fuid: return 1;
    case uid_flags::managed_function: return 2;
    case uid_flags::native_function: return 3;
    case uid_flags::module_only: return 4;
    case uid_flags::frame_address: return 5;
    case uid_flags::dummy: return 6;
    case uid_flags::synthetic: return 7;
  }
  return 7;
}

const char* to_string(uid_flags f) noexcept;

inline constexpr std::uint32_t end_of_chain = 0x80000000u;
inline constexpr std::uint32_t no_node = 0x7FFFFFFFu;
inline constexpr std::uint32_t no_leaf = 0xFFFFFFFFu;

struct tree_node {
  std::uint64_t key;
  std::uint32_t next_sibling;
  std::uint32_t first_child;
};
static_assert(sizeof(tree_node) == 16);

class call_tree_data {
 public:
  using allocator = common::memory_mapped_file_allocator;

  call_tree_data(allocator& alloc, tree_node_key root_key);

  // Lock-free: returns the child of `parent` with `key`, linking a new node
  // at the end of the sibling chain when there is none.
  std::pair<tree_node*, std::uint32_t> find_or_insert_child(tree_node* parent, std::uint32_t parent_offset,
                                                            tree_node_key key);

  tree_node* at(std::uint32_t offset) const { return static_cast<tree_node*>(alloc_.to_pointer(offset)); }
  tree_node* root() const noexcept { return root_; }
  std::uint32_t root_offset() const noexcept { return root_offset_; }
  std::uint32_t top_offset() const noexcept { return top_offset_; }
  bool is_synthetic(std::uint32_t offset) const { return synthetic_.count(offset) != 0; }
  // The offset the next node would get.
  std::uint32_t end_offset() const { return alloc_.end_offset(); }

  // Calls visitor(node, offset) for every node from the root to the end of
  // the region, in offset order, view by view.
  template <class Visitor>
  void forall(Visitor&& visitor) const {
    const std::uint64_t view = alloc_.view_size();
    const std::uint64_t end = alloc_.end_offset();
    std::uint64_t offset = root_offset_;
    while (offset + sizeof(tree_node) <= end) {
      if (offset % view + sizeof(tree_node) > view) {  // the tail of a view is never handed out
        offset = (offset / view + 1) * view;
        continue;
      }
      visitor(at(static_cast<std::uint32_t>(offset)), static_cast<std::uint32_t>(offset));
      offset += sizeof(tree_node);
    }
  }

  static std::uint64_t load_key(const tree_node* n) noexcept {
    return std::atomic_ref<const std::uint64_t>(n->key).load(std::memory_order_acquire);
  }
  static void store_key(tree_node* n, tree_node_key key) noexcept {
    std::atomic_ref<std::uint64_t>(n->key).store(key, std::memory_order_release);
  }

 private:
  allocator& alloc_;
  tree_node* root_ = nullptr;
  std::uint32_t root_offset_ = 0;
  tree_node* top_ = nullptr;
  std::uint32_t top_offset_ = no_node;
  std::set<std::uint32_t> synthetic_;
};

}  // namespace tarnwell::collector
