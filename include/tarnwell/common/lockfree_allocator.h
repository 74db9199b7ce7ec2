#pragma once

// A lock-free bump allocator in heap memory for bookkeeping that lives as
// long as its owner: nothing is freed before the owner goes.
//
// Threads: any number may allocate at once. The fast path is one
// compare-and-swap; a thread that loses backs off (spinning first) and
// retries. A thread waiting for another to install a block sleeps ClashDelay
// ms between looks once spinning has not helped.

#include "tarnwell/common/backoff.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <new>
#include <thread>

namespace tarnwell::common {

template <std::size_t BlockSize = 32768, unsigned ClashDelay = 1, bool Checked = false>
class lockfree_allocator {
 public:
  static constexpr std::size_t large_threshold = BlockSize / 4 + 1;  // 8193 for 32 KiB blocks

  lockfree_allocator() = default;
  lockfree_allocator(const lockfree_allocator&) = delete;
  lockfree_allocator& operator=(const lockfree_allocator&) = delete;

  ~lockfree_allocator() {
    block* b = current_.load();
    if (b == sentinel()) b = nullptr;
    while (b) {
      block* prev = b->prev;
      ::operator delete(b);
      b = prev;
    }
    large* l = large_list_.load();
    while (l) {
      large* prev = l->prev;
      ::operator delete(l);
      l = prev;
    }
  }

  void* alloc_raw(std::size_t size) {
    if (size >= large_threshold) return alloc_large(size);
    const std::size_t rounded = (size + 7) & ~std::size_t{7};
    backoff waiting;
    for (;;) {
      block* b = current_.load(std::memory_order_acquire);
      if (b == sentinel()) {
        clash(waiting);
        continue;
      }
      if (b) {
        char* bump = b->bump.load(std::memory_order_relaxed);
        if (bump + rounded <= b->payload + BlockSize) {
          if (b->bump.compare_exchange_strong(bump, bump + rounded, std::memory_order_relaxed)) return bump;
          clash(waiting);
          continue;
        }
      }
      // No block, or the block is full: one thread installs the next.
      if (!current_.compare_exchange_strong(b, sentinel(), std::memory_order_acq_rel)) {
        clash(waiting);
        continue;
      }
      block* fresh;
      try {
        fresh = static_cast<block*>(::operator new(sizeof(block)));
      } catch (...) {
        current_.store(b, std::memory_order_release);
        throw;
      }
      fresh->prev = b;
      new (&fresh->bump) std::atomic<char*>(fresh->payload + rounded);
      block_count_.fetch_add(1, std::memory_order_relaxed);
      current_.store(fresh, std::memory_order_release);
      return fresh->payload;
    }
  }

  std::uint64_t block_count() const noexcept { return block_count_.load(); }
  std::uint64_t large_bytes() const noexcept { return large_bytes_.load(); }

 private:
  struct block {
    block* prev;
    std::atomic<char*> bump;
    alignas(8) char payload[BlockSize];
  };
  struct large {
    large* prev;
    char* end;
    // the payload follows
  };

  static block* sentinel() noexcept { return reinterpret_cast<block*>(std::uintptr_t{1}); }
  static void clash(backoff& waiting) {
    if (waiting.sleeping())
      std::this_thread::sleep_for(std::chrono::milliseconds(ClashDelay));
    else
      waiting.wait();
  }

  void* alloc_large(std::size_t size) {
    auto* l = static_cast<large*>(::operator new(sizeof(large) + size));
    char* payload = reinterpret_cast<char*>(l) + sizeof(large);
    l->end = payload + size;
    large_bytes_.fetch_add(size, std::memory_order_relaxed);
    large* head = large_list_.load(std::memory_order_relaxed);
    backoff waiting;
    for (;;) {
      l->prev = head;
      if (large_list_.compare_exchange_weak(head, l, std::memory_order_release, std::memory_order_relaxed)) break;
      clash(waiting);
    }
    return payload;
  }

  std::atomic<std::uint64_t> block_count_{0};
  std::atomic<std::uint64_t> large_bytes_{0};
  std::atomic<block*> current_{nullptr};
  std::atomic<large*> large_list_{nullptr};
};

}  // namespace tarnwell::common
