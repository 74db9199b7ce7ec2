#pragma once

// Inserts stacks into the call tree. A thread's stacks mostly share long
// prefixes with one of the few paths it is busy in, so each (thread,
// outermost frame) keeps the paths of its last few stacks; a stack starts
// from the one it shares most with, and only the differing suffix walks the
// tree.
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

  static constexpr std::size_t paths_per_root = 8;


  // Frames root first. Returns the leaf's node offset, or no_node for an
  // empty stack.
  std::uint32_t process_fragment(call_tree_data& tree, std::uint32_t root_id, const std::uint64_t* first,
                                 const std::uint64_t* last);

 private:
  // The recent paths of one (thread, outermost frame), most recent first.
  struct root_paths {
    std::uint64_t first_frame;
    std::vector<path> recent;
  };
  std::vector<path>& find_or_insert_root(std::uint32_t root_id, std::uint64_t first_frame);

  // By thread, then by outermost frame, sorted.
  std::unordered_map<std::uint32_t, std::vector<root_paths>> roots_;
  // The last one found; cleared when an insertion may move it.
  std::uint32_t last_root_id_ = 0;
  std::uint64_t last_first_frame_ = 0;
  std::vector<path>* last_ = nullptr;
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
