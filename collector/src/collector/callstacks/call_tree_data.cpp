#include "collector/src/collector/callstacks/call_tree_data.h"

namespace tarnwell::collector {

const char* to_string(uid_flags f) noexcept {
  switch (f) {
    case uid_flags::synthetic: return "synthetic";
    case uid_flags::core_function: return "core_function";
    case uid_flags::managed_function: return "managed_function";
    case uid_flags::native_function: return "native_function";
    case uid_flags::module_only: return "module_only";
    case uid_flags::frame_address: return "frame_address";
    case uid_flags::core_indexed_fuid: return "core_indexed_fuid";
    case uid_flags::dummy: return "dummy";
  }
  return "unknown";
}

call_tree_data::call_tree_data(allocator& alloc, tree_node_key root_key) : alloc_(alloc) {
  const auto m = alloc_.alloc_raw(sizeof(tree_node));
  root_ = static_cast<tree_node*>(m.pointer);
  root_offset_ = m.offset;
  root_->key = root_key;
  root_->next_sibling = no_node;
  root_->first_child = root_offset_ | end_of_chain;
  const auto [top, top_offset] = find_or_insert_child(root_, root_offset_, synthetic_top_key);
  top_ = top;
  top_offset_ = top_offset;
  synthetic_.insert(root_offset_);
  synthetic_.insert(top_offset_);
}

std::pair<tree_node*, std::uint32_t> call_tree_data::find_or_insert_child(tree_node* parent,
                                                                          std::uint32_t parent_offset,
                                                                          tree_node_key key) {
  std::uint32_t* word = &parent->first_child;
  tree_node* fresh = nullptr;
  std::uint32_t fresh_offset = 0;
  for (;;) {
    std::uint32_t value = std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_acquire);
    if ((value & end_of_chain) == 0) {
      tree_node* n = at(value);
      if (load_key(n) == key) return {n, value};
      word = &n->next_sibling;
      continue;
    }
    if (fresh == nullptr) {
      const auto m = alloc_.alloc_raw(sizeof(tree_node));
      fresh = static_cast<tree_node*>(m.pointer);
      fresh_offset = m.offset;
      fresh->key = key;
      fresh->next_sibling = parent_offset | end_of_chain;
      fresh->first_child = fresh_offset | end_of_chain;
    }
    // Another thread may have linked a child here meanwhile: then the word
    // holds that child's offset and the walk goes on from it.
    if (std::atomic_ref<std::uint32_t>(*word).compare_exchange_strong(value, fresh_offset, std::memory_order_acq_rel,
                                                                      std::memory_order_acquire))
      return {fresh, fresh_offset};
  }
}

}  // namespace tarnwell::collector
