#include "collector/src/collector/callstacks/call_tree_data.h"

#include <algorithm>
#include <cstdlib>
#include <new>

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

namespace {

std::atomic<std::uint64_t> next_serial{1};

std::size_t hash(std::uint32_t parent, tree_node_key key) noexcept {
  std::uint64_t h = key * 0x9E3779B97F4A7C15ull ^ (std::uint64_t{parent} * 0xC2B2AE3D27D4EB4Full);
  return static_cast<std::size_t>(h ^ (h >> 29));
}

std::size_t hash(std::uint32_t parent) noexcept {
  const std::uint64_t h = std::uint64_t{parent} * 0xC2B2AE3D27D4EB4Full;
  return static_cast<std::size_t>(h ^ (h >> 29));
}

// Calloc'ed: large tables come as fresh zeroed pages, so a new table costs
// no clearing.
void* allocate_zeroed(std::size_t bytes) {
  void* p = std::calloc(bytes, 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

template <class Entry>
template <class Match>
Entry& child_index::table<Entry>::probe(std::size_t hash, Match&& match) const noexcept {
  const std::size_t mask = size_ - 1;
  for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
    Entry& e = slots_[i];
    if (e.child == 0 || match(e)) return e;
  }
}

template <class Entry>
template <class Match>
const Entry* child_index::table<Entry>::find(std::size_t hash, Match&& match) const noexcept {
  if (size_ == 0) return nullptr;
  const Entry& e = probe(hash, match);
  return e.child != 0 ? &e : nullptr;
}

template <class Entry>
template <class Match, class Rehash>
Entry& child_index::table<Entry>::find_or_add(std::size_t hash, Match&& match, Rehash&& rehash) {
  if (size_ != 0) {
    Entry& e = probe(hash, match);
    if (e.child != 0) return e;
    if ((used_ + 1) * 4 <= size_ * 3) {
      ++used_;
      return e;
    }
  }
  grow(rehash);
  ++used_;
  return probe(hash, match);
}

template <class Entry>
template <class Rehash>
void child_index::table<Entry>::grow(Rehash&& rehash) {
  const std::size_t size = std::max<std::size_t>(size_ * 2, 4096 / sizeof(Entry));
  auto* slots = static_cast<Entry*>(allocate_zeroed(size * sizeof(Entry)));
  for (std::size_t i = 0; i < size_; ++i) {
    const Entry& e = slots_[i];
    if (e.child == 0) continue;
    for (std::size_t j = rehash(e) & (size - 1);; j = (j + 1) & (size - 1))
      if (slots[j].child == 0) {
        slots[j] = e;
        break;
      }
  }
  std::free(slots_);
  slots_ = slots;
  size_ = size;
}

template <class Entry>
void child_index::table<Entry>::clear() noexcept {
  std::free(slots_);
  slots_ = nullptr;
  size_ = used_ = 0;
}

std::uint32_t child_index::find(std::uint32_t parent, tree_node_key key) const noexcept {
  const auto* e = children_.find(hash(parent, key), [&](const child_entry& c) { return c.parent == parent && c.key == key; });
  return e != nullptr ? e->child : 0;
}

std::uint32_t child_index::cursor(std::uint32_t parent) const noexcept {
  const auto* e = cursors_.find(hash(parent), [&](const cursor_entry& c) { return c.parent == parent; });
  return e != nullptr ? e->child : 0;
}

void child_index::add(std::uint32_t parent, tree_node_key key, std::uint32_t child) {
  const std::size_t n = parent / sizeof(tree_node);
  if (n / 64 >= long_parents_.size()) long_parents_.resize(std::max(n / 64 + 1, long_parents_.size() * 2));
  long_parents_[n / 64] |= std::uint64_t{1} << (n % 64);
  children_.find_or_add(
      hash(parent, key), [&](const child_entry& c) { return c.parent == parent && c.key == key; },
      [](const child_entry& c) { return hash(c.parent, c.key); }) = child_entry{key, parent, child};
  cursors_.find_or_add(
      hash(parent), [&](const cursor_entry& c) { return c.parent == parent; },
      [](const cursor_entry& c) { return hash(c.parent); }) = cursor_entry{parent, child};
}

void child_index::clear() noexcept {
  children_.clear();
  cursors_.clear();
  long_parents_ = {};
}

// tree_inserter

tree_inserter::tree_inserter(call_tree_data& tree)
    : tree_(tree), base_(static_cast<char*>(tree.alloc_.to_pointer(0))) {}

tree_inserter::fresh_node tree_inserter::allocate() {
  if (const auto epoch = tree_.epoch_.load(std::memory_order_acquire); epoch != seen_epoch_) {
    // Nodes from here on must lie at or above what end_offset() answered.
    end_run();
    seen_epoch_ = epoch;
  }
  if (next_ == end_) {
    const auto run = tree_.alloc_.alloc_run(sizeof(tree_node), run_nodes);
    next_ = static_cast<char*>(run.pointer);
    end_ = next_ + run.size;
  }
  fresh_node fresh{reinterpret_cast<tree_node*>(next_), offset_of(next_)};
  next_ += sizeof(tree_node);
  published_next_.store(next_ == end_ ? no_node : offset_of(next_), std::memory_order_relaxed);
  return fresh;
}

void tree_inserter::end_run() {
  if (next_ == end_) return;
  const auto size = static_cast<std::size_t>(end_ - next_);
  const std::uint32_t first = offset_of(next_);
  if (!tree_.alloc_.give_back(first, size)) {
    // Formatted as childless, unlinked nodes: readers never reach them, and
    // the resolver passes them over as synthetic.
    std::uint32_t offset = first;
    for (char* p = next_; p != end_; p += sizeof(tree_node), offset += sizeof(tree_node))
      *reinterpret_cast<tree_node*>(p) = tree_node{0, no_node, offset | end_of_chain};
    std::lock_guard lock(tree_.mutex_);
    tree_.filler_.emplace_back(first, offset);
    tree_.has_filler_.store(true, std::memory_order_release);
  }
  next_ = end_ = nullptr;
  published_next_.store(no_node, std::memory_order_relaxed);
}

bool tree_inserter::link(std::uint32_t* word, std::uint32_t value, std::uint32_t parent_offset, tree_node_key key,
                         fresh_node& fresh) {
  if (fresh.node == nullptr) {
    fresh = allocate();
    fresh.node->key = key;
    fresh.node->next_sibling = parent_offset | end_of_chain;
    fresh.node->first_child = fresh.offset | end_of_chain;
  }
  // Another thread may have linked a child here meanwhile: then the word
  // holds that child's offset and the walk goes on from it.
  return std::atomic_ref<std::uint32_t>(*word).compare_exchange_strong(value, fresh.offset, std::memory_order_acq_rel,
                                                                       std::memory_order_acquire);
}

std::pair<tree_node*, std::uint32_t> tree_inserter::find_or_insert_child(tree_node* parent,
                                                                         std::uint32_t parent_offset,
                                                                         tree_node_key key) {
  fresh_node fresh;
  if (index_.indexes(parent_offset)) return find_in_long_chain(parent, parent_offset, key, fresh);
  std::uint32_t* word = &parent->first_child;
  for (int steps = 0; steps < short_walk;) {
    const std::uint32_t value = std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_acquire);
    if ((value & end_of_chain) != 0) {
      if (link(word, value, parent_offset, key, fresh)) return {fresh.node, fresh.offset};
      continue;
    }
    tree_node* n = at(value);
    if (call_tree_data::load_key(n) == key) return {n, value};
    word = &n->next_sibling;
    ++steps;
  }
  return find_in_long_chain(parent, parent_offset, key, fresh);
}

std::pair<tree_node*, std::uint32_t> tree_inserter::find_in_long_chain(tree_node* parent,
                                                                       std::uint32_t parent_offset,
                                                                       tree_node_key key, fresh_node& fresh) {
  std::uint32_t* word = &parent->first_child;
  if (const std::uint32_t child = index_.find(parent_offset, key); child != 0) return {at(child), child};
  if (const std::uint32_t cursor = index_.cursor(parent_offset); cursor != 0) word = &at(cursor)->next_sibling;
  // Every sibling past what the index knows is recorded on the way.
  for (;;) {
    const std::uint32_t value = std::atomic_ref<std::uint32_t>(*word).load(std::memory_order_acquire);
    if ((value & end_of_chain) != 0) {
      if (link(word, value, parent_offset, key, fresh)) {
        index_.add(parent_offset, key, fresh.offset);
        return {fresh.node, fresh.offset};
      }
      continue;
    }
    tree_node* n = at(value);
    const tree_node_key k = call_tree_data::load_key(n);
    index_.add(parent_offset, k, value);
    if (k == key) return {n, value};
    word = &n->next_sibling;
  }
}

// call_tree_data

call_tree_data::call_tree_data(allocator& alloc, tree_node_key root_key)
    : alloc_(alloc), serial_(next_serial.fetch_add(1)) {
  // Linked by hand: no thread's run should start before the first real node.
  const auto r = alloc_.alloc_raw(sizeof(tree_node));
  const auto t = alloc_.alloc_raw(sizeof(tree_node));
  root_ = static_cast<tree_node*>(r.pointer);
  root_offset_ = r.offset;
  top_ = static_cast<tree_node*>(t.pointer);
  top_offset_ = t.offset;
  *top_ = tree_node{synthetic_top_key, root_offset_ | end_of_chain, top_offset_ | end_of_chain};
  *root_ = tree_node{root_key, no_node, top_offset_};
}

call_tree_data::~call_tree_data() {
  // The region may already be closed, and then there is nothing to tidy.
  if (alloc_.end_offset() != 0) end_runs();
}

thread_local call_tree_data::last_inserter call_tree_data::last_;

tree_inserter& call_tree_data::register_inserter() {
  const auto id = std::this_thread::get_id();
  std::lock_guard lock(mutex_);
  auto it = std::find_if(inserters_.begin(), inserters_.end(), [&](const auto& e) { return e.first == id; });
  if (it == inserters_.end()) {
    inserters_.emplace_back(id, std::make_unique<tree_inserter>(*this));
    it = std::prev(inserters_.end());
  }
  last_ = {serial_, it->second.get()};
  return *it->second;
}

std::uint32_t call_tree_data::end_offset() const {
  epoch_.fetch_add(1, std::memory_order_acq_rel);
  std::uint32_t lowest = no_node;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, inserter] : inserters_)
      lowest = std::min(lowest, inserter->published_next_.load(std::memory_order_relaxed));
  }
  return lowest != no_node ? lowest : alloc_.end_offset();
}

void call_tree_data::end_runs() const {
  std::vector<tree_inserter*> all;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [id, inserter] : inserters_) all.push_back(inserter.get());
  }
  // Keys are about to be rewritten: what the indexes hold would no longer
  // match.
  for (auto* inserter : all) {
    inserter->end_run();
    inserter->index_.clear();
  }
}

bool call_tree_data::is_synthetic(std::uint32_t offset) const noexcept {
  if (offset == root_offset_ || offset == top_offset_) return true;
  if (!has_filler_.load(std::memory_order_acquire)) return false;
  std::lock_guard lock(mutex_);
  for (const auto& [first, last_offset] : filler_)
    if (offset >= first && offset < last_offset) return true;
  return false;
}

}  // namespace tarnwell::collector
