#include "collector/src/collector/callstacks/call_tree_owner.h"
#include "collector/src/collector/snapshot_format.h"

#include <algorithm>

namespace tarnwell::collector {

call_tree_data_with_mmap_allocator::call_tree_data_with_mmap_allocator(handle_holder&& section, std::size_t max_size,
                                                                       tree_node_key root_key,
                                                                       std::uint32_t offset_limit)
    : section_(std::move(section)),
      mapped_(section_.value(), common::get_file_append_pos(section_.value()), max_size,
              std::max(max_size / 64, min_view_size), utility_, offset_limit),
      tree_(std::make_shared<call_tree_data>(mapped_, root_key)) {}

std::shared_ptr<call_tree_data_with_mmap_allocator> create_call_tree(const tw_prof::sections_gen& gen,
                                                                    std::uint32_t offset_limit) {
  // The section closes when the holder releases its descriptor, after the
  // allocator has cut the file back to what the tree used.
  auto section = gen(tw_prof::handle_kind{}, format::call_tree.id, format::call_tree.version);
  const int fd = *section;
  auto holder = call_tree_data_with_mmap_allocator::handle_holder(
      fd, [section = std::move(section)](int&&) mutable { section.reset(); });
  return std::make_shared<call_tree_data_with_mmap_allocator>(
      std::move(holder), call_tree_data_with_mmap_allocator::snapshot_max_size, 0, offset_limit);
}

}  // namespace tarnwell::collector
