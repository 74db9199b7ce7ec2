// Call-tree insertion and resolution, each next to a plain baseline measured
// in the same run:
//   insertion: depth-40 stacks from many threads' samples of a few hot paths,
//              against a mutex-guarded std::map trie without path caching;
//   resolution: nodes per second with ten thousand methods registered,
//              against a std::map lookup of each address.

#include "api/path_file_factory.h"
#include "collector/src/collector/callstacks/call_stack_resolver.h"
#include "collector/src/collector/callstacks/calltree_builder.h"
#include "collector/src/collector/loaders/loader_net.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tarnwell;
using namespace tarnwell::collector;
using clock_type = std::chrono::steady_clock;

constexpr int depth = 40;
constexpr int stacks_per_thread = 200'000;
constexpr int rounds = 5;

// A few hot paths; each sample follows one of them and varies its last
// frames, as a sampler sees a busy application.
std::vector<std::vector<std::uint64_t>> make_samples(unsigned seed) {
  std::mt19937_64 random(seed);
  std::vector<std::vector<std::uint64_t>> hot(6, std::vector<std::uint64_t>(depth));
  for (std::size_t p = 0; p < hot.size(); ++p)
    for (int d = 0; d < depth; ++d) hot[p][d] = 0x7f0000000000 + (d < 8 ? d * 64 : p * 0x10000 + d * 64);
  std::vector<std::vector<std::uint64_t>> samples(stacks_per_thread);
  for (auto& s : samples) {
    s = hot[random() % hot.size()];
    const int varied = 1 + static_cast<int>(random() % 6);
    for (int d = depth - varied; d < depth; ++d) s[d] += (random() % 16) * 8;
  }
  return samples;
}

struct baseline_trie {
  std::mutex mutex;
  std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint32_t> children;
  std::uint32_t next = 1;
  std::uint32_t insert(const std::vector<std::uint64_t>& frames) {
    std::lock_guard lock(mutex);
    std::uint32_t node = 0;
    for (auto f : frames) {
      auto [it, added] = children.try_emplace({node, f}, next);
      if (added) ++next;
      node = it->second;
    }
    return node;
  }
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs f(0) .. f(threads - 1), each on a thread of its own.
template <class F>
void on_threads(int threads, F&& f) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) workers.emplace_back([&f, t] { f(t); });
  for (auto& w : workers) w.join();
}

// A call tree in the emptied file, as a snapshot starts one.
struct empty_tree {
  explicit empty_tree(int fd) : alloc((::ftruncate(fd, 0), fd), 0, 0x8000000, 0x200000, utility) {}
  common::memory_mapped_file_allocator::utility_allocator utility;
  common::memory_mapped_file_allocator alloc;
  std::shared_ptr<call_tree_data> tree = std::make_shared<call_tree_data>(alloc, 0);
};

// Nanoseconds for a cache line to go from one thread's core to the other's
// and back: what a thread pays to read a node the other has just written.
double line_round_trip_ns() {
  constexpr int trips = 100'000;
  alignas(64) std::atomic<int> ball{0};
  std::thread other([&] {
    for (int i = 0; i < trips; ++i) {
      while (ball.load(std::memory_order_acquire) != 2 * i + 1) {
      }
      ball.store(2 * i + 2, std::memory_order_release);
    }
  });
  const auto start = clock_type::now();
  for (int i = 0; i < trips; ++i) {
    ball.store(2 * i + 1, std::memory_order_release);
    while (ball.load(std::memory_order_acquire) != 2 * i + 2) {
    }
  }
  const auto elapsed = clock_type::now() - start;
  other.join();
  return std::chrono::duration<double, std::nano>(elapsed).count() / trips;
}

// Nanoseconds per load when each load's address comes from the one before,
// over `bytes` of memory: what a lookup in a tree of that size pays when it
// misses the cache.
double dependent_load_ns(std::size_t bytes) {
  const std::size_t lines = bytes / 64;
  std::vector<std::size_t> order(lines);
  for (std::size_t i = 0; i < lines; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
  struct alignas(64) line {
    std::size_t next;
  };
  std::vector<line> memory(lines);
  for (std::size_t i = 0; i < lines; ++i) memory[order[i]].next = order[(i + 1) % lines];
  constexpr int loads = 2'000'000;
  std::size_t at = 0;
  const auto start = clock_type::now();
  for (int i = 0; i < loads; ++i) at = memory[at].next;
  const auto elapsed = clock_type::now() - start;
  if (at == lines) std::puts("");
  return std::chrono::duration<double, std::nano>(elapsed).count() / loads;
}

template <class F>
double per_second(std::size_t work, F&& f) {
  const auto start = clock_type::now();
  f();
  return static_cast<double>(work) / std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

int main() {
  const auto path = std::filesystem::temp_directory_path() / ("calltree_bench_" + std::to_string(::getpid()));
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
  std::printf("machine: %u hardware threads; depth-%d stacks, %d from each of two application threads\n",
              std::thread::hardware_concurrency(), depth, stacks_per_thread);
  std::printf("%-34s %8s %16s %16s %8s\n", "measure", "threads", "ours /s", "baseline /s", "ratio");
  // One thread and two insert the same stacks into an empty tree: one
  // thread takes the two application threads' stacks in turn, as a converter
  // meets them; two threads take one application thread each. Both end with
  // the same tree, whose size decides how often a lookup misses the cache.
  // The configurations take turns, and each is reported by its median round.
  std::vector<std::vector<std::vector<std::uint64_t>>> samples;
  for (int t = 0; t < 2; ++t) samples.push_back(make_samples(static_cast<unsigned>(10 + t)));
  const std::size_t work = samples.size() * stacks_per_thread;
  // insert(thread, stack) for every stack, split over `threads` threads.
  const auto split = [&](int threads, auto&& insert) {
    on_threads(threads, [&](int t) {
      for (int i = 0; i < stacks_per_thread; ++i)
        for (int source = 0; source < 2; ++source)
          if (threads == 1 || source == t) insert(source, samples[source][i]);
    });
  };
  const auto insert_all = [&](int threads, call_tree_data& tree) {
    std::vector<calltree_builder> builders(threads);
    split(threads, [&](int source, const std::vector<std::uint64_t>& s) {
      builders[threads == 1 ? 0 : source].process_fragment(tree, static_cast<std::uint32_t>(source), s.data(),
                                                           s.data() + s.size());
    });
  };
  std::map<int, std::vector<double>> ours_rounds, base_rounds;
  for (int round = 0; round < rounds; ++round) {
    for (int threads : {1, 2}) {
      {
        empty_tree empty(fd);
        ours_rounds[threads].push_back(per_second(work, [&] { insert_all(threads, *empty.tree); }));
      }
      baseline_trie trie;
      base_rounds[threads].push_back(
          per_second(work, [&] { split(threads, [&](int, const std::vector<std::uint64_t>& s) { trie.insert(s); }); }));
    }
  }
  for (int threads : {1, 2}) {
    const double ours = median(ours_rounds[threads]), base = median(base_rounds[threads]);
    std::printf("%-34s %8d %16.0f %16.0f %7.2fx\n", "stack insertions", threads, ours, base, ours / base);
  }
  std::printf("two threads / one thread: %.2fx (target: at least 1.5x); rounds, stacks/s:",
              median(ours_rounds[2]) / median(ours_rounds[1]));
  for (int threads : {1, 2}) {
    std::printf(" %d thread%s", threads, threads == 1 ? "" : "s");
    for (double r : ours_rounds[threads]) std::printf(" %.2fM", r / 1e6);
    std::printf(threads == 1 ? ";" : "\n");
  }
  std::printf("a cache line between the two threads' cores and back: %.0f ns\n", line_round_trip_ns());

  {
    empty_tree empty(fd);
    const auto& tree = empty.tree;
    insert_all(1, *tree);

    // Resolution: ten thousand methods over the hot paths' address space.
    const auto snapshot_path = std::filesystem::temp_directory_path() / ("calltree_bench_snap_" + std::to_string(::getpid()));
    std::size_t nodes = 0;
    tree->forall([&](tree_node*, std::uint32_t) { ++nodes; });
    std::printf("a load that depends on the one before, over the tree's %.1f MB: %.0f ns\n",
                static_cast<double>(nodes * sizeof(tree_node)) / 1e6, dependent_load_ns(nodes * sizeof(tree_node)));
    std::map<std::uint64_t, std::pair<std::uint64_t, tree_node_key>> plain;  // start -> (end, key)
    double ours = 0, base = 0;
    {
      auto files = tw_prof::multifile_snapshot::create(std::make_unique<tw_prof::path_file_factory>(snapshot_path.string()),
                                                       tw_prof::snapshot_format_id, 0);
      tw_prof::sections_gen gen(files);
      auto header = std::make_shared<etw_collector::section_header>(gen);
      etw_collector::callstacks::loader_net net(gen, header, [&] { return tree->end_offset(); });
      for (std::uint64_t i = 0; i < 10000; ++i) {
        const std::uint64_t start = 0x7f0000000000 + i * 0x200;
        etw_collector::callstacks::managed_method m{i, 1, start, 0x200, 0x06000000u + std::uint32_t(i), 0, u"N", u"M", u"()"};
        plain[start] = {start + 0x200, net.function_loaded(m)};
      }
      std::vector<tree_node_key> keys;
      tree->forall([&](tree_node* n, std::uint32_t) { keys.push_back(n->key); });
      base = per_second(keys.size(), [&] {
        std::uint64_t sink = 0;
        for (auto key : keys) {
          auto it = plain.upper_bound(key);
          if (it != plain.begin() && key < std::prev(it)->second.first) sink += std::prev(it)->second.second;
        }
        if (sink == 42) std::puts("");
      });
      call_stack_resolver resolver(tree);
      ours = per_second(nodes, [&] {
        resolver.resolve([&](auto tag, tree_node_key key, std::uint32_t offset, bool) -> tree_node_key {
          using flag = decltype(tag);
          if constexpr (flag::value == uid_flags::managed_function) {
            return net.resolve(key, offset);
          } else {
            return make_key(uid_flags::frame_address, key);
          }
        });
      });
    }
    std::filesystem::remove_all(snapshot_path.parent_path() / snapshot_path.filename());
    for (const auto& e : std::filesystem::directory_iterator(snapshot_path.parent_path()))
      if (e.path().filename().string().rfind(snapshot_path.filename().string(), 0) == 0) std::filesystem::remove(e.path());
    std::printf("%-34s %8d %16.0f %16.0f %7.2fx   (%zu nodes)\n", "resolution (nodes)", 1, ours, base, ours / base, nodes);
  }
  ::close(fd);
  std::filesystem::remove(path);
  return 0;
}
