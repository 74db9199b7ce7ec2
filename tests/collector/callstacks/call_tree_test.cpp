#include "collector/src/collector/callstacks/call_stack_resolver.h"
#include "collector/src/collector/callstacks/call_tree_owner.h"
#include "collector/src/collector/callstacks/calltree_builder.h"
#include "collector/src/collector/streams/event_stream_writer.h"
#include "tests/event_pipe_api/nettrace/stream_writer.h"
#include "tests/support/scratch_folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <functional>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell::collector;
using tarnwell::common::memory_mapped_file_allocator;

class call_tree_test : public testing::Test {
 protected:
  void SetUp() override {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    alloc_ = std::make_unique<memory_mapped_file_allocator>(fd_, 0, 64 * 4096, 4096, utility_);
    tree_ = std::make_shared<call_tree_data>(*alloc_, 0);
  }
  void TearDown() override {
    tree_.reset();
    alloc_.reset();
    ::close(fd_);
  }

  // Every node's children, by walking sibling chains from the root.
  std::map<std::uint32_t, std::vector<std::uint32_t>> children() const {
    std::map<std::uint32_t, std::vector<std::uint32_t>> out;
    std::vector<std::uint32_t> todo{tree_->root_offset()};
    while (!todo.empty()) {
      const auto parent = todo.back();
      todo.pop_back();
      auto& list = out[parent];
      for (std::uint32_t w = tree_->at(parent)->first_child; (w & end_of_chain) == 0; w = tree_->at(w)->next_sibling) {
        list.push_back(w);
        todo.push_back(w);
      }
    }
    return out;
  }

  const test_support::scratch_folder scratch_;
  const fs::path path_ = scratch_ / "tree";
  int fd_ = -1;
  memory_mapped_file_allocator::utility_allocator utility_;
  std::unique_ptr<memory_mapped_file_allocator> alloc_;
  std::shared_ptr<call_tree_data> tree_;
};

std::uint32_t insert(calltree_builder& b, call_tree_data& t, std::uint32_t thread, std::vector<std::uint64_t> frames) {
  return b.process_fragment(t, thread, frames.data(), frames.data() + frames.size());
}

TEST_F(call_tree_test, the_same_stack_twice_gives_the_same_leaf_and_no_node) {
  calltree_builder b;
  const auto leaf = insert(b, *tree_, 7, {0x1000, 0x2000, 0x3000});
  const auto end = tree_->end_offset();
  EXPECT_EQ(insert(b, *tree_, 7, {0x1000, 0x2000, 0x3000}), leaf);
  EXPECT_EQ(tree_->end_offset(), end);
  // Another thread with the same stack shares the nodes too.
  calltree_builder other;
  EXPECT_EQ(insert(other, *tree_, 8, {0x1000, 0x2000, 0x3000}), leaf);
  EXPECT_EQ(tree_->end_offset(), end);
  EXPECT_EQ(tree_->at(leaf)->key, 0x3000u);
}

TEST_F(call_tree_test, a_longer_stack_only_appends) {
  calltree_builder b;
  const auto leaf = insert(b, *tree_, 7, {0x1000, 0x2000});
  const auto end = tree_->end_offset();
  const auto longer = insert(b, *tree_, 7, {0x1000, 0x2000, 0x3000, 0x4000});
  EXPECT_EQ(tree_->end_offset(), end + 32);
  EXPECT_EQ(tree_->at(longer)->key, 0x4000u);
  const auto mid = tree_->at(longer)->next_sibling & ~end_of_chain;  // back to the parent
  EXPECT_EQ(tree_->at(mid)->key, 0x3000u);
  EXPECT_EQ(tree_->at(mid)->next_sibling & ~end_of_chain, leaf);
  // A branch shares the prefix and adds one node.
  insert(b, *tree_, 7, {0x1000, 0x2000, 0x5000});
  EXPECT_EQ(tree_->end_offset(), end + 48);
  EXPECT_EQ(children()[leaf].size(), 2u);
}

TEST_F(call_tree_test, a_thread_switching_between_more_paths_than_it_keeps_always_reaches_the_same_leaves) {
  // Twelve deep stacks under one outermost frame, sharing prefixes of
  // different lengths; a thread keeps fewer recent paths than that.
  std::vector<std::vector<std::uint64_t>> stacks;
  for (std::uint64_t s = 0; s < 12; ++s) {
    std::vector<std::uint64_t> frames{0x10};
    for (std::uint64_t d = 1; d < 30; ++d) frames.push_back(d < s * 2 ? 0x100 + d : 0x1000 * (s + 1) + d);
    stacks.push_back(frames);
  }
  calltree_builder b;
  std::vector<std::uint32_t> leaves;
  for (const auto& frames : stacks) leaves.push_back(insert(b, *tree_, 3, frames));
  const auto end = tree_->end_offset();
  calltree_builder fresh;
  for (int round = 0; round < 5; ++round)
    for (std::size_t i = 0; i < stacks.size(); ++i) {
      const std::size_t pick = (i * 7 + static_cast<std::size_t>(round)) % stacks.size();
      EXPECT_EQ(insert(b, *tree_, 3, stacks[pick]), leaves[pick]);
      // A builder that never saw them walks the tree from the root.
      EXPECT_EQ(insert(fresh, *tree_, 4, stacks[pick]), leaves[pick]);
    }
  EXPECT_EQ(tree_->end_offset(), end);
}

TEST_F(call_tree_test, a_wide_parent_keeps_one_child_per_key_in_the_order_they_came) {
  // Far more children than a walk would look at before asking the index.
  calltree_builder b;
  std::vector<std::uint32_t> first_pass;
  for (std::uint64_t i = 0; i < 300; ++i) first_pass.push_back(insert(b, *tree_, 1, {0x10, 0x1000 + i * 8}));
  const auto end = tree_->end_offset();

  // Found again in another order, by this thread and by one that never saw them.
  for (std::uint64_t i = 300; i-- > 0;) EXPECT_EQ(insert(b, *tree_, 1, {0x10, 0x1000 + i * 8}), first_pass[i]);
  std::thread([&] {
    calltree_builder other;
    for (std::uint64_t i = 0; i < 300; i += 7) EXPECT_EQ(insert(other, *tree_, 2, {0x10, 0x1000 + i * 8}), first_pass[i]);
  }).join();
  EXPECT_EQ(tree_->end_offset(), end);

  std::vector<std::uint32_t> chain;
  for (const auto& [p, kids] : children())
    if (kids.size() == 300) chain = kids;
  EXPECT_EQ(chain, first_pass);
}

TEST_F(call_tree_test, many_wide_parents_keep_their_children_while_the_index_grows_to_megabytes) {
  // 1000 parents with 130 children each: the index's tables grow from a page
  // to several megabytes on the way, and every child stays findable.
  calltree_builder b;
  std::vector<std::uint32_t> leaves;
  for (std::uint64_t c = 0; c < 130; ++c)
    for (std::uint64_t p = 0; p < 1000; ++p) leaves.push_back(insert(b, *tree_, 1, {0x10, 0x100000 + p * 8, c * 8 + 8}));
  const auto end = tree_->end_offset();
  std::thread([&] {
    calltree_builder other;
    std::size_t i = 0;
    for (std::uint64_t c = 0; c < 130; ++c) {
      for (std::uint64_t p = 0; p < 1000; ++p, ++i) {
        if (i % 11 == 0) {
          EXPECT_EQ(insert(other, *tree_, 2, {0x10, 0x100000 + p * 8, c * 8 + 8}), leaves[i]);
        }
      }
    }
  }).join();
  std::size_t i = 0;
  for (std::uint64_t c = 0; c < 130; ++c)
    for (std::uint64_t p = 0; p < 1000; ++p, ++i) ASSERT_EQ(insert(b, *tree_, 1, {0x10, 0x100000 + p * 8, c * 8 + 8}), leaves[i]);
  EXPECT_EQ(tree_->end_offset(), end);
  std::size_t wide = 0;
  for (const auto& [parent, kids] : children()) wide += kids.size() == 130;
  EXPECT_EQ(wide, 1000u);
}

// Four threads insert the same stacks at once, each starting at its own
// place: all reach the same leaves, no parent gets a key twice, and what
// the region holds unlinked is a node that lost its race or filler.
TEST_F(call_tree_test, racing_threads_share_nodes_and_leave_only_losers_and_filler_unlinked) {
  struct shape {
    const char* name;
    int stacks;
    std::function<std::vector<std::uint64_t>(int)> stack;
    std::size_t linked;  // the top node and the distinct frames
  };
  const shape shapes[] = {
      {"overlapping deep stacks", 105,
       [](int i) {
         return std::vector<std::uint64_t>{0x10, 0x20 + std::uint64_t(i % 3), 0x30 + std::uint64_t(i % 5),
                                           0x40 + std::uint64_t(i % 7)};
       },
       1 + 1 + 3 + 15 + 105},
      {"one wide parent", 200, [](int i) { return std::vector<std::uint64_t>{0x10, 0x1000 + std::uint64_t(i) * 8}; },
       1 + 1 + 200},
  };
  for (const auto& sh : shapes) {
    SCOPED_TRACE(sh.name);
    // A fresh region per shape. The old allocator closes first: closing
    // truncates the file, which would zero what a new one had written.
    tree_.reset();
    alloc_.reset();
    ASSERT_EQ(::ftruncate(fd_, 0), 0);
    alloc_ = std::make_unique<memory_mapped_file_allocator>(fd_, 0, 64 * 4096, 4096, utility_);
    tree_ = std::make_shared<call_tree_data>(*alloc_, 0);
    constexpr int threads = 4;
    std::vector<std::vector<std::uint32_t>> leaves(threads, std::vector<std::uint32_t>(std::size_t(sh.stacks)));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
      workers.emplace_back([&, t] {
        calltree_builder b;
        for (int i = 0; i < 2 * sh.stacks; ++i) {
          const int pick = (i + t * 50) % sh.stacks;
          leaves[t][std::size_t(pick)] = insert(b, *tree_, std::uint32_t(t), sh.stack(pick));
        }
      });
    for (auto& w : workers) w.join();
    for (int t = 1; t < threads; ++t) EXPECT_EQ(leaves[t], leaves[0]);

    std::set<std::uint32_t> linked;
    std::set<std::uint64_t> frames;
    for (int i = 0; i < sh.stacks; ++i)
      for (auto f : sh.stack(i)) frames.insert(f);
    for (const auto& [parent, kids] : children()) {
      std::set<std::uint64_t> keys;
      for (auto k : kids) EXPECT_TRUE(keys.insert(tree_->at(k)->key).second) << "duplicate child under " << parent;
      linked.insert(kids.begin(), kids.end());
    }
    EXPECT_EQ(linked.size(), sh.linked);
    tree_->forall([&](tree_node* n, std::uint32_t offset) {
      if (offset == tree_->root_offset() || linked.count(offset)) return;
      EXPECT_EQ(n->first_child, offset | end_of_chain);
      EXPECT_TRUE(tree_->is_synthetic(offset) ? n->key == 0 : frames.count(n->key) == 1) << std::hex << n->key;
    });
  }
}

TEST_F(call_tree_test, nodes_linked_after_the_end_offset_was_taken_lie_at_or_above_it) {
  calltree_builder b;
  insert(b, *tree_, 1, {0x10, 0x20});
  // One thread: the answer is exactly where its next node goes.
  const auto end = tree_->end_offset();
  EXPECT_EQ(insert(b, *tree_, 1, {0x10, 0x30}), end);

  // Another thread holds a run of its own that starts higher up.
  std::uint32_t other_first = 0;
  std::thread([&] {
    calltree_builder other;
    other_first = insert(other, *tree_, 2, {0x10, 0x40});
  }).join();
  const auto mark = tree_->end_offset();
  EXPECT_LT(mark, other_first);  // this thread's run is lower
  std::uint32_t after_mark = 0;
  std::thread([&] {
    calltree_builder other;
    after_mark = insert(other, *tree_, 2, {0x10, 0x50});
  }).join();
  EXPECT_GE(after_mark, mark);
  EXPECT_GE(insert(b, *tree_, 1, {0x10, 0x60}), mark);
}

// Resolves addresses in [0x1000, 0x2000) to managed functions; others to
// frame addresses; 0x9000 is only known in the second run.
struct test_resolvers {
  int first_run_calls = 0;
  tree_node_key operator()(flag_tag<uid_flags::managed_function>, tree_node_key key, std::uint32_t, bool pending) {
    if (key == 0x9000) return pending ? pending_tree_node_key : make_key(uid_flags::managed_function, 99);
    if (pending) ++first_run_calls;
    return key >= 0x1000 && key < 0x2000 ? make_key(uid_flags::managed_function, key - 0x1000) : key;
  }
  tree_node_key operator()(flag_tag<uid_flags::frame_address>, tree_node_key key, std::uint32_t, bool) {
    return make_key(uid_flags::frame_address, key);
  }
};

TEST_F(call_tree_test, resolution_rewrites_every_key_and_defers_pending_ones_to_the_second_run) {
  calltree_builder b;
  insert(b, *tree_, 1, {0x1004, 0x5000, 0x9000});
  call_stack_resolver resolver(tree_);
  auto subscriber = std::make_shared<call_stack_resolver::subscriber>([&](call_stack_resolver::key_resolver r) {
    EXPECT_EQ(r(0x1008, 0), make_key(uid_flags::managed_function, 8));
  });
  resolver.subscribe(subscriber);
  resolver.resolve(test_resolvers{});
  std::map<std::uint64_t, int> flags;
  tree_->forall([&](tree_node* n, std::uint32_t offset) {
    if (!tree_->is_synthetic(offset)) ++flags[n->key >> 61];
  });
  EXPECT_EQ(flags, (std::map<std::uint64_t, int>{{2, 2}, {5, 1}}));
  EXPECT_EQ(resolver.counts()[0], 2u);  // root and synthetic top
  EXPECT_EQ(resolver.counts()[2], 2u);
  EXPECT_EQ(resolver.counts()[5], 1u);
}

// A key no resolver takes is an error; one still pending in the second run
// is the resolver's own fault.
TEST_F(call_tree_test, keys_left_unresolved_fail_the_resolution) {
  calltree_builder b;
  insert(b, *tree_, 1, {0x5000});
  call_stack_resolver resolver(tree_);
  EXPECT_THROW(resolver.resolve([](flag_tag<uid_flags::managed_function>, tree_node_key key, std::uint32_t,
                                   bool) { return key; }),
               std::runtime_error);
  EXPECT_THROW(resolver.resolve([](flag_tag<uid_flags::managed_function>, tree_node_key, std::uint32_t, bool) {
                 return pending_tree_node_key;
               }),
               std::logic_error);
}

TEST_F(call_tree_test, the_walker_reverses_trace_order_and_widens_small_frames) {
  auto builder = std::make_shared<calltree_builder>();
  stack_walker walker(tree_, builder);
  const std::uint32_t frames32[] = {0x30, 0x20, 0x10};  // leaf first, as the trace has it
  const auto leaf = walker.walk(5, tarnwell::collector::stack_view{reinterpret_cast<const std::uint8_t*>(frames32), 3, 4});
  EXPECT_EQ(tree_->at(leaf)->key, 0x30u);
  const std::uint64_t frames64[] = {0x40, 0x30, 0x20, 0x10};
  const auto deeper = walker.walk(5, tarnwell::collector::stack_view{reinterpret_cast<const std::uint8_t*>(frames64), 4, 8});
  EXPECT_EQ(tree_->at(deeper)->next_sibling & ~end_of_chain, leaf);
  EXPECT_EQ(walker.walk(5, tarnwell::collector::stack_view{}), no_leaf);
  EXPECT_EQ(walker.max_stack_size(), 4u);
}

TEST_F(call_tree_test, a_stack_record_holds_its_leaf_offset_and_an_empty_stack_no_leaf) {
  auto stream = std::make_shared<std::ostringstream>();
  inproc::callstack_stream_writer<Microsoft_Windows_DotNETRuntime> writer(stream, tree_);
  const std::uint32_t small[] = {0x30, 0x20, 0x10};  // 4-byte frames, leaf first
  const auto leaf = writer(100, 7, tarnwell::collector::stack_view{reinterpret_cast<const std::uint8_t*>(small), 3, 4});
  EXPECT_EQ(tree_->at(leaf)->key, 0x30u);  // widened to 64 bits in the tree
  writer(200, 7, tarnwell::collector::stack_view{});
  test_support::bytes expected;  // header (time, thread, kind), time, leaf
  expected.put<std::int64_t>(100).put<std::uint32_t>(7).put<std::uint16_t>(0x2000).put<std::int64_t>(100).put(leaf);
  expected.put<std::int64_t>(200).put<std::uint32_t>(7).put<std::uint16_t>(0x2000).put<std::int64_t>(200);
  expected.put<std::uint32_t>(0xFFFFFFFF);
  const auto got = stream->str();
  EXPECT_EQ(std::vector<std::uint8_t>(got.begin(), got.end()), expected.data);
  EXPECT_EQ(writer.logger().total(), 2u);
}

}  // namespace
