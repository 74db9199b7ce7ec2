#pragma once

// A one-byte spin lock. Writers of the process-wide log and the event
// processor hold it for a handful of instructions, so spinning with a short
// sleep beats parking a thread in the kernel.

#include <atomic>
#include <cstdint>
#include <ctime>

namespace tw {

// First failure retries at once; every later one sleeps 1 us. The counter
// saturates at 32 so it never overflows on a long wait; the sleep never grows.
struct progressive_yield_strategy {
  std::uint32_t attempts = 0;

  void yield() noexcept {
    if (attempts < 32) ++attempts;
    if (attempts == 1) return;
    timespec ts{0, 1000};
    nanosleep(&ts, nullptr);
  }
};

namespace detail_spinlock {

template <class YieldStrategy>
class spinlock {
 public:
  spinlock() noexcept = default;
  spinlock(const spinlock&) = delete;
  spinlock& operator=(const spinlock&) = delete;

  void lock() noexcept {
    YieldStrategy strategy;
    while (state_.exchange(1, std::memory_order_acquire) != 0) strategy.yield();
  }
  bool try_lock() noexcept { return state_.exchange(1, std::memory_order_acquire) == 0; }
  void unlock() noexcept { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::uint8_t> state_{0};
};

}  // namespace detail_spinlock

using spinlock = detail_spinlock::spinlock<progressive_yield_strategy>;

}  // namespace tw
