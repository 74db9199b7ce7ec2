#pragma once

// The shared call tree: every stack of a snapshot is merged into one tree of
// 16-byte nodes inside the memory-mapped call-tree section, so that a sample
// or an event records only the 32-bit offset of its leaf. Keys are raw
// addresses while profiling and are rewritten in place by the resolver.
//
// Threads: insertion is lock-free; the only synchronisation is the
// compare-and-swap on sibling-chain words and the allocator's own atomics.
// Each inserting thread has its own tree_inserter (made on its first
// insertion): an index of long sibling chains and a run of the region that
// its new nodes are cut from. forall() and key rewriting run alone, after the
// last insertion.

#include "tarnwell/common/memory_mapped_file_allocator.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

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
inline constexpr std::array<uid_flags, 8> resolution_order = {
    uid_flags::core_function, uid_flags::core_indexed_fuid, uid_flags::managed_function, uid_flags::native_function,
    uid_flags::module_only,   uid_flags::frame_address,     uid_flags::dummy,            uid_flags::synthetic};

constexpr int rank(uid_flags f) noexcept {
  for (std::size_t i = 0; i < resolution_order.size(); ++i)
    if (resolution_order[i] == f) return static_cast<int>(i);
  return static_cast<int>(resolution_order.size()) - 1;
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

class call_tree_data;

// The children of parents with long sibling chains, by (parent, key), and for
// each such parent the last child seen: a lookup walks only siblings linked
// since. One bit per node says which parents are indexed, so that a short
// chain costs no probe. Kept apart from the section, whose bytes it must not
// change.
//
// The last children live in a table of their own: it holds one entry per
// long parent and stays in cache, while the children's table is large and
// each probe of it is a likely miss, so a child found costs one such probe.
class child_index {
 public:
  bool indexes(std::uint32_t parent) const noexcept {
    const std::size_t n = parent / sizeof(tree_node);
    return n / 64 < long_parents_.size() && (long_parents_[n / 64] >> (n % 64) & 1) != 0;
  }
  // The child's offset, or 0 (no node has offset 0).
  std::uint32_t find(std::uint32_t parent, tree_node_key key) const noexcept;
  // The last child of `parent` recorded, or 0 when the parent is not indexed.
  std::uint32_t cursor(std::uint32_t parent) const noexcept;
  // Records a child found at the end of what the index knew of the chain.
  void add(std::uint32_t parent, tree_node_key key, std::uint32_t child);
  void clear() noexcept;

 private:
  struct child_entry {
    tree_node_key key;
    std::uint32_t parent;
    std::uint32_t child;  // 0: free
  };
  struct cursor_entry {
    std::uint32_t parent;
    std::uint32_t child;  // 0: free
  };
  // Open addressing with linear probing, at most three quarters full; sizes
  // are powers of two. An entry whose child is 0 is free.
  template <class Entry>
  class table {
   public:
    table() = default;
    table(const table&) = delete;
    table& operator=(const table&) = delete;
    ~table() { clear(); }
    // The entry that matches, or nullptr.
    template <class Match>
    const Entry* find(std::size_t hash, Match&& match) const noexcept;
    // The entry that matches, or a free one for it; `rehash` gives the hash
    // of an entry when the table grows.
    template <class Match, class Rehash>
    Entry& find_or_add(std::size_t hash, Match&& match, Rehash&& rehash);
    void clear() noexcept;

   private:
    template <class Match>
    Entry& probe(std::size_t hash, Match&& match) const noexcept;
    template <class Rehash>
    void grow(Rehash&& rehash);

    Entry* slots_ = nullptr;
    std::size_t size_ = 0;
    std::size_t used_ = 0;
  };

  table<child_entry> children_;
  table<cursor_entry> cursors_;
  std::vector<std::uint64_t> long_parents_;
};

// One thread's way into the shared tree.
class tree_inserter {
 public:
  explicit tree_inserter(call_tree_data& tree);

  std::pair<tree_node*, std::uint32_t> find_or_insert_child(tree_node* parent, std::uint32_t parent_offset,
                                                            tree_node_key key);

 private:
  friend class call_tree_data;
  static constexpr std::size_t run_nodes = 256;
  // Chains longer than this are indexed.
  static constexpr int short_walk = 8;

  struct fresh_node {
    tree_node* node = nullptr;
    std::uint32_t offset = 0;
  };
  // Links a node with `key` at `word`, which held `value` (an end of chain).
  bool link(std::uint32_t* word, std::uint32_t value, std::uint32_t parent_offset, tree_node_key key,
            fresh_node& fresh);
  std::pair<tree_node*, std::uint32_t> find_in_long_chain(tree_node* parent, std::uint32_t parent_offset,
                                                          tree_node_key key, fresh_node& fresh);
  fresh_node allocate();
  // Ends the current run: its unused nodes go back to the allocator or, when
  // something was allocated after them, become unlinked filler.
  void end_run();

  tree_node* at(std::uint32_t offset) const noexcept { return reinterpret_cast<tree_node*>(base_ + offset); }
  std::uint32_t offset_of(const char* p) const noexcept { return static_cast<std::uint32_t>(p - base_); }

  call_tree_data& tree_;
  char* const base_;
  child_index index_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  // The offset this thread's next node gets, or no_node: read by end_offset().
  std::atomic<std::uint32_t> published_next_{no_node};
  std::uint32_t seen_epoch_ = 0;
};

class call_tree_data {
 public:
  using allocator = common::memory_mapped_file_allocator;

  call_tree_data(allocator& alloc, tree_node_key root_key);
  ~call_tree_data();

  // The calling thread's inserter. Its find_or_insert_child is lock-free: it
  // returns the child of a parent with a key, linking a new node at the end
  // of the sibling chain when there is none.
  tree_inserter& local_inserter() {
    if (last_.serial == serial_) return *last_.inserter;
    return register_inserter();
  }

  tree_node* at(std::uint32_t offset) const noexcept { return static_cast<tree_node*>(alloc_.to_pointer(offset)); }
  tree_node* root() const noexcept { return root_; }
  std::uint32_t root_offset() const noexcept { return root_offset_; }
  std::uint32_t top_offset() const noexcept { return top_offset_; }
  bool is_synthetic(std::uint32_t offset) const noexcept;
  // The offset below which every node now in the tree lies: nodes linked
  // later get this offset or a higher one. With one inserting thread it is
  // exactly the offset of the next node.
  std::uint32_t end_offset() const;

  // Calls visitor(node, offset) for every node from the root to the end of
  // the region, in offset order, view by view. Ends every inserter's run
  // first, so that the region holds only nodes.
  template <class Visitor>
  void forall(Visitor&& visitor) const {
    end_runs();
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

  // Stacks the tree had no room for: how many, and the timestamp of the
  // first. Any inserting thread may note one.
  void note_no_room(std::int64_t timestamp) noexcept {
    std::int64_t none = no_time;
    first_without_room_.compare_exchange_strong(none, timestamp, std::memory_order_relaxed);
    without_room_.fetch_add(1, std::memory_order_relaxed);
  }
  std::uint64_t stacks_without_room() const noexcept { return without_room_.load(std::memory_order_relaxed); }
  std::int64_t first_without_room() const noexcept { return first_without_room_.load(std::memory_order_relaxed); }
  static constexpr std::int64_t no_time = INT64_MIN;

  static std::uint64_t load_key(const tree_node* n) noexcept {
    return std::atomic_ref<const std::uint64_t>(n->key).load(std::memory_order_acquire);
  }
  static void store_key(tree_node* n, tree_node_key key) noexcept {
    std::atomic_ref<std::uint64_t>(n->key).store(key, std::memory_order_release);
  }

 private:
  friend class tree_inserter;

  tree_inserter& register_inserter();
  void end_runs() const;

  // The tree a thread last inserted into, by serial: serials are never
  // reused, so a stale entry never matches a tree made at the same address.
  struct last_inserter {
    std::uint64_t serial = 0;
    tree_inserter* inserter = nullptr;
  };
  static thread_local last_inserter last_;

  allocator& alloc_;
  const std::uint64_t serial_;
  tree_node* root_ = nullptr;
  std::uint32_t root_offset_ = 0;
  tree_node* top_ = nullptr;
  std::uint32_t top_offset_ = no_node;
  // Bumped by end_offset(): each inserter then starts a new run, above it.
  mutable std::atomic<std::uint32_t> epoch_{0};
  mutable std::mutex mutex_;
  mutable std::vector<std::pair<std::thread::id, std::unique_ptr<tree_inserter>>> inserters_;
  // Runs of unlinked filler nodes, [first, last).
  mutable std::vector<std::pair<std::uint32_t, std::uint32_t>> filler_;
  mutable std::atomic<bool> has_filler_{false};
  std::atomic<std::uint64_t> without_room_{0};
  std::atomic<std::int64_t> first_without_room_{no_time};
};

}  // namespace tarnwell::collector
