#pragma once

// Rewrites every raw-address key of the call tree into a resolved key, in
// two passes: resolvers may defer a key (pending) in the first pass, when
// the information that resolves it may still be known later; the second pass
// allows no deferral.
//
// Threads: resolve() runs alone, after the last insertion. Notifications to
// subscribers are serialised by the resolver's mutex.

#include "tw/log/log.h"
#include "collector/src/collector/callstacks/call_tree_data.h"
#include "tw/utility/throw.h"

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tarnwell::collector {

template <uid_flags F>
struct flag_tag {
  static constexpr uid_flags value = F;
};

// A resolver set: a callable taking (flag_tag<F>, key, node offset, allow
// pending) for every flag it resolves and returning a key of that flag, the
// key it was given (no answer) or pending_tree_node_key.
template <class Func, uid_flags F>
concept resolves =
    requires(Func& f, tree_node_key key, std::uint32_t offset) { f(flag_tag<F>{}, key, offset, true); };

class call_stack_resolver {
 public:
  using key_resolver = std::function<tree_node_key(tree_node_key, std::uint32_t)>;
  using subscriber = std::function<void(key_resolver)>;

  explicit call_stack_resolver(std::shared_ptr<call_tree_data> tree) : tree_(std::move(tree)) {}

  // Subscribers hear of the final resolver functions once resolution is done.
  void subscribe(const std::shared_ptr<subscriber>& s) {
    std::lock_guard lock(mutex_);
    subscribers_.push_back(s);
  }

  template <class Func>
  static tree_node_key try_to_resolve(tree_node_key key, std::uint32_t offset, bool allow_pending, Func& func) {
    tree_node_key result = dummy_tree_node_key;
    auto step = [&]<uid_flags F>(flag_tag<F> tag) {
      if (result == pending_tree_node_key) return;
      if constexpr (resolves<Func, F>) {
        if (rank(tree_node_key_get_flags(result)) > rank(F)) {
          const tree_node_key r = func(tag, key, offset, allow_pending);
          if (r == pending_tree_node_key) {
            result = r;  // the second run refuses it
          } else if (r != key && tree_node_key_get_flags(r) == F) {
            result = r;
          }
        }
      }
    };
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (step(flag_tag<resolution_order[I]>{}), ...);
    }(std::make_index_sequence<resolution_order.size()>{});
    if (result != pending_tree_node_key && tree_node_key_get_flags(result) == uid_flags::dummy)
      TW_THROW(std::runtime_error(
          "res_key == pending_tree_node_key || tree_node_key_get_flags(res_key) != uid_flags::dummy"));
    return result;
  }

  // Per-flag counts of the last run, indexed by flag value.
  const std::array<std::uint32_t, 8>& counts() const noexcept { return counts_; }

  template <class Func>
  void resolve(Func func) {
    TW_LOG(info) << "Start call-tree resolving...";
    TW_LOG(info) << "First call-tree run, pending nodes allowed";
    const auto start = std::chrono::steady_clock::now();
    counts_.fill(0);
    std::set<std::uint32_t> pending;
    call_tree_data& tree = *tree_;
    tree.forall([&](tree_node* node, std::uint32_t offset) {
      if (tree.is_synthetic(offset)) {
        ++counts_[0];
        return;
      }
      const auto r = try_to_resolve(call_tree_data::load_key(node), offset, true, func);
      if (r == pending_tree_node_key) {
        pending.insert(offset);
        return;
      }
      call_tree_data::store_key(node, r);
      ++counts_[static_cast<int>(tree_node_key_get_flags(r))];
    });
    if (!pending.empty()) {
      TW_LOG(info) << "Second call-tree run, pending nodes disallowed";
      tree.forall([&](tree_node* node, std::uint32_t offset) {
        if (!pending.count(offset) || tree.is_synthetic(offset)) return;
        const auto r = try_to_resolve(call_tree_data::load_key(node), offset, false, func);
        if (r == pending_tree_node_key)
          throw std::logic_error(
              "Unexpected pending resolving: the second call-tree traversing should have no pending resolving");
        call_tree_data::store_key(node, r);
        ++counts_[static_cast<int>(tree_node_key_get_flags(r))];
      });
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    TW_LOG(info) << "Call-tree resolving complete. Total time: " << ms << "ms. Results: ";
    for (const auto f : resolution_order)
      TW_LOG(info) << "--> Flag: " << to_string(f) << ", total resolved: " << counts_[static_cast<int>(f)];

    std::lock_guard lock(mutex_);
    const key_resolver resolver = [func](tree_node_key key, std::uint32_t offset) mutable {
      return try_to_resolve(key, offset, false, func);
    };
    std::vector<std::weak_ptr<subscriber>> live;
    for (auto& weak : subscribers_) {
      if (auto s = weak.lock()) {
        (*s)(resolver);
        live.push_back(weak);
      }
    }
    subscribers_ = std::move(live);
  }

 private:
  std::shared_ptr<call_tree_data> tree_;
  std::vector<std::weak_ptr<subscriber>> subscribers_;
  std::mutex mutex_;
  std::array<std::uint32_t, 8> counts_{};
};

}  // namespace tarnwell::collector
