#pragma once

// Waiting on another thread that holds a word for a few instructions: pause
// the core a doubling number of times, then give up the time slice, and sleep
// only when even that has not helped, since a sleep costs at least a
// scheduler tick while the holder is usually done within nanoseconds.

#include <chrono>
#include <cstdint>
#include <thread>

namespace tarnwell::common {

class backoff {
 public:
  void wait() noexcept {
    if (round_ < spin_rounds) {
      for (std::uint32_t i = 0; i < (1u << round_); ++i) pause();
    } else if (round_ < spin_rounds + yield_rounds) {
      std::this_thread::yield();
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    if (round_ < spin_rounds + yield_rounds) ++round_;
  }

  // Whether the next wait sleeps.
  bool sleeping() const noexcept { return round_ >= spin_rounds + yield_rounds; }

 private:
  static constexpr std::uint32_t spin_rounds = 7;  // up to 127 pauses: about a microsecond
  static constexpr std::uint32_t yield_rounds = 16;

  static void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
  }

  std::uint32_t round_ = 0;
};

}  // namespace tarnwell::common
