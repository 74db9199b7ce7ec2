#pragma once

// Inserts stacks into the call tree. Consecutive stacks of one thread mostly
// share a long prefix, so each (thread, outermost frame) keeps the path of
// the last stack inserted; only the differing suffix walks the tree.
//
// Threads: a builder's path caches belong to one thread at a time; the tree
// underneath is shared and lock-free.

#include "collector/src/collector/callstacks/call_tree_data.h"
#include "event_pipe_api/src/providers/dispatched_event.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace tarnwell::collector {

struct path_entry {
  std::uint64_t key = 0;
  tree_node* node = nullptr;
  std::uint32_t offset = no_node;
};

class calltree_builder {
 public:
  using path = std::vector<path_entry>;

  path& find_or_insert_root(std::uint32_t root_id, std::uint64_t first_frame);

  // Frames root first. Returns the leaf's node offset, or no_node for an
  // empty stack.
  std::uint32_t process_fragment(call_tree_data& tree, std::uint32_t root_id, const std::uint64_t* first,
                                 const std::uint64_t* last);

 private:
  struct root_path {
    std::uint64_t first_frame;
    std::unique_ptr<path> entries;
  };
  std::unordered_map<std::uint32_t, std::vector<root_path>> roots_;
};

// Turns a trace stack (leaf first, 4- or 8-byte frames) into a leaf offset,
// reusing one frame buffer.
class stack_walker {
 public:
  stack_walker(std::shared_ptr<call_tree_data> tree, std::shared_ptr<calltree_builder> builder);
  stack_walker(stack_walker&& other) noexcept
      : tree_(std::move(other.tree_)), builder_(std::move(other.builder_)), frames_(std::move(other.frames_)),
        max_stack_size_(std::exchange(other.max_stack_size_, 0)) {}
  ~stack_walker();

  // no_leaf when the stack is empty.
  std::uint32_t walk(std::uint32_t thread_id, const stack_view& stack);
  std::size_t max_stack_size() const noexcept { return max_stack_size_; }

 private:
  std::shared_ptr<call_tree_data> tree_;
  std::shared_ptr<calltree_builder> builder_;
  std::vector<std::uint64_t> frames_;
  std::size_t max_stack_size_ = 0;
};

}  // namespace tarnwell::collector
