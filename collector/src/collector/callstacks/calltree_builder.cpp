#include "collector/src/collector/callstacks/calltree_builder.h"

#include "tw/log/log.h"

namespace tarnwell::collector {

std::vector<calltree_builder::path>& calltree_builder::find_or_insert_root(std::uint32_t root_id,
                                                                          std::uint64_t first_frame) {
  if (last_ != nullptr && last_root_id_ == root_id && last_first_frame_ == first_frame) return *last_;
  auto& roots = roots_[root_id];
  auto it = std::lower_bound(roots.begin(), roots.end(), first_frame,
                             [](const root_paths& r, std::uint64_t key) { return r.first_frame < key; });
  if (it == roots.end() || it->first_frame != first_frame) it = roots.insert(it, root_paths{first_frame, {}});
  // The insertion may have moved every entry of this thread, the last one too.
  last_root_id_ = root_id;
  last_first_frame_ = first_frame;
  last_ = &it->recent;
  return it->recent;
}

std::uint32_t calltree_builder::process_fragment(call_tree_data& tree, std::uint32_t root_id,
                                                 const std::uint64_t* first, const std::uint64_t* last) {
  if (first == last) return no_node;
  auto& recent = find_or_insert_root(root_id, *first);
  const std::size_t length = static_cast<std::size_t>(last - first);
  // The recent path sharing the longest prefix.
  std::size_t best = 0, common = 0;
  for (std::size_t p = 0; p < recent.size() && common < length; ++p) {
    const path& candidate = recent[p];
    const std::size_t limit = std::min(length, candidate.size());
    std::size_t shared = 0;
    while (shared < limit && candidate[shared].key == first[shared]) ++shared;
    if (shared > common) {
      best = p;
      common = shared;
    }
  }
  std::size_t chosen = best;
  if (recent.empty() || common < length / 2) {
    // Little in common with any: the stack gets a path of its own (the least
    // recent one once all are taken), starting from the shared prefix.
    if (recent.size() < paths_per_root) {
      recent.emplace_back().reserve(std::max<std::size_t>(length, 64));
    }
    chosen = recent.size() - 1;
    if (chosen != best) recent[chosen].assign(recent[best].begin(), recent[best].begin() + common);
  }
  // The chosen path moves to the front, so the back is the least recent.
  std::rotate(recent.begin(), recent.begin() + chosen, recent.begin() + chosen + 1);
  path& cached = recent.front();
  cached.resize(length);
  if (common == length) return cached.back().offset;
  tree_inserter& inserter = tree.local_inserter();
  tree_node* parent = common == 0 ? tree.root() : cached[common - 1].node;
  std::uint32_t parent_offset = common == 0 ? tree.root_offset() : cached[common - 1].offset;
  for (std::size_t i = common; i < length; ++i) {
    try {
      const auto [node, offset] = inserter.find_or_insert_child(parent, parent_offset, first[i]);
      cached[i] = path_entry{first[i], node, offset};
    } catch (...) {
      // No room for the rest (a full tree): the path keeps only what is in
      // the tree, so that no later stack takes an older path's node.
      cached.resize(i);
      throw;
    }
    parent = cached[i].node;
    parent_offset = cached[i].offset;
  }
  return parent_offset;
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
