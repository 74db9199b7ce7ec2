#pragma once

// Ties the call-tree section's file, both allocators and the call tree
// together. Members are destroyed in reverse order of declaration: the tree's
// bookkeeping, then the mapped allocator (which closes, cutting the file
// back), then the utility memory, and the section handle last.

#include "collector/src/collector/callstacks/call_tree_data.h"
#include "collector/src/collector/multifile_snapshot.h"
#include "tw/utility/handle.h"

#include <memory>
#include <optional>

namespace tarnwell::collector {

class call_tree_data_with_mmap_allocator {
 public:
  using handle_holder = tw::optional_hld<int>;
  static constexpr std::size_t min_view_size = 0x100000;
  static constexpr std::size_t snapshot_max_size = 0x8000000;

  // Throws std::bad_optional_access for an empty holder. offset_limit: the
  // tree's room, the format's unless a test asks for less.
  call_tree_data_with_mmap_allocator(handle_holder&& section, std::size_t max_size, tree_node_key root_key,
                                     std::uint32_t offset_limit = common::mapped_offset_limit);

  common::memory_mapped_file_allocator& mapped() noexcept { return mapped_; }
  common::memory_mapped_file_allocator::utility_allocator& utility() noexcept { return utility_; }
  // Shares the owner's lifetime.
  std::shared_ptr<call_tree_data> tree() noexcept { return tree_; }

 private:
  handle_holder section_;
  common::memory_mapped_file_allocator::utility_allocator utility_;
  common::memory_mapped_file_allocator mapped_;
  std::shared_ptr<call_tree_data> tree_;
};

// The snapshot's call tree in section 2160 (version 16), root key 0.
std::shared_ptr<call_tree_data_with_mmap_allocator> create_call_tree(
    const tw_prof::sections_gen& gen, std::uint32_t offset_limit = common::mapped_offset_limit);

}  // namespace tarnwell::collector
