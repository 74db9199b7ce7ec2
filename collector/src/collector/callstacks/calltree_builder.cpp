#include "collector/src/collector/callstacks/calltree_builder.h"

#include "api/log.h"

namespace tarnwell::collector {

calltree_builder::path& calltree_builder::find_or_insert_root(std::uint32_t root_id, std::uint64_t first_frame) {
  auto& paths = roots_[root_id];
  auto it = std::lower_bound(paths.begin(), paths.end(), first_frame,
                             [](const root_path& p, std::uint64_t key) { return p.first_frame < key; });
  if (it == paths.end() || it->first_frame != first_frame) {
    auto fresh = std::make_unique<path>();
    fresh->reserve(1024);
    it = paths.insert(it, root_path{first_frame, std::move(fresh)});
  }
  return *it->entries;
}

std::uint32_t calltree_builder::process_fragment(call_tree_data& tree, std::uint32_t root_id,
                                                 const std::uint64_t* first, const std::uint64_t* last) {
  if (first == last) return no_node;
  path& cached = find_or_insert_root(root_id, *first);
  const std::size_t length = static_cast<std::size_t>(last - first);
  std::size_t common = 0;
  const std::size_t limit = std::min(length, cached.size());
  while (common < limit && cached[common].key == first[common]) ++common;
  cached.resize(common);
  for (std::size_t i = common; i < length; ++i) {
    tree_node* parent = i == 0 ? tree.root() : cached[i - 1].node;
    const std::uint32_t parent_offset = i == 0 ? tree.root_offset() : cached[i - 1].offset;
    const auto [node, offset] = tree.find_or_insert_child(parent, parent_offset, first[i]);
    cached.push_back(path_entry{first[i], node, offset});
  }
  return cached.back().offset;
}

stack_walker::stack_walker(std::shared_ptr<call_tree_data> tree, std::shared_ptr<calltree_builder> builder)
    : tree_(std::move(tree)), builder_(std::move(builder)) {
  frames_.reserve(1024);
}

stack_walker::~stack_walker() {
  if (max_stack_size_ != 0) TW_LOG(info) << "Stack walker stats: max stack size: " << max_stack_size_;
}

std::uint32_t stack_walker::walk(std::uint32_t thread_id, const stack_view& stack) {
  if (stack.empty()) return no_leaf;
  frames_.resize(stack.size());
  // The trace lists the leaf first; the tree grows from the outermost frame.
  for (std::size_t i = 0; i < stack.size(); ++i) frames_[stack.size() - 1 - i] = stack[i];
  max_stack_size_ = std::max(max_stack_size_, stack.size());
  const auto leaf = builder_->process_fragment(*tree_, thread_id, frames_.data(), frames_.data() + frames_.size());
  return leaf == no_node ? no_leaf : leaf;
}

}  // namespace tarnwell::collector
