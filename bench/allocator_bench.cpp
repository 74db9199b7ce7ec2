// Allocations per second of the lock-free heap allocator and the
// memory-mapped file allocator, with one and two threads, next to malloc in
// the same run. Every request is 16 bytes, the size of a call-tree node.

#include "tarnwell/common/lockfree_allocator.h"
#include "tarnwell/common/memory_mapped_file_allocator.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tarnwell::common;
constexpr std::size_t per_thread = 4'000'000;

double run(int threads, const std::function<void*(std::size_t)>& alloc) {
  std::vector<std::thread> workers;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < threads; ++t)
    workers.emplace_back([&] {
      std::uintptr_t sink = 0;
      for (std::size_t i = 0; i < per_thread; ++i) sink ^= reinterpret_cast<std::uintptr_t>(alloc(16));
      if (sink == 1) std::puts("");  // keep the loop
    });
  for (auto& w : workers) w.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return static_cast<double>(per_thread) * threads / seconds;
}

}  // namespace

int main() {
  std::printf("machine: %u hardware threads; %zu allocations of 16 bytes per thread\n",
              std::thread::hardware_concurrency(), per_thread);
  std::printf("%-26s %8s %16s %14s\n", "allocator", "threads", "allocations/s", "vs malloc");
  const auto path = std::filesystem::temp_directory_path() / ("allocator_bench_" + std::to_string(::getpid()));
  for (int threads : {1, 2}) {
    // malloc keeps every block, as the bump allocators do; freed afterwards.
    std::vector<std::vector<void*>> kept(threads);
    for (auto& list : kept) list.reserve(per_thread);
    std::atomic<int> next{0};
    thread_local int mine = -1;
    const double malloc_rate = run(threads, [&](std::size_t n) {
      if (mine < 0) mine = next++;
      void* p = std::malloc(n);
      kept[mine].push_back(p);
      return p;
    });
    for (auto& list : kept)
      for (void* p : list) std::free(p);
    mine = -1;

    lockfree_allocator<32768, 1, false> heap;
    const double heap_rate = run(threads, [&](std::size_t n) { return heap.alloc_raw(n); });

    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0664);
    double mapped_rate = 0;
    {
      memory_mapped_file_allocator::utility_allocator utility;
      memory_mapped_file_allocator mapped(fd, 0, 0x8000000, 0x200000, utility);
      mapped_rate = run(threads, [&](std::size_t n) { return mapped.alloc_raw(n).pointer; });
    }
    ::close(fd);
    std::filesystem::remove(path);

    std::printf("%-26s %8d %16.0f %13.2fx\n", "malloc", threads, malloc_rate, 1.0);
    std::printf("%-26s %8d %16.0f %13.2fx\n", "lockfree_allocator", threads, heap_rate, heap_rate / malloc_rate);
    std::printf("%-26s %8d %16.0f %13.2fx\n", "memory_mapped_file_alloc.", threads, mapped_rate,
                mapped_rate / malloc_rate);
  }
  return 0;
}
