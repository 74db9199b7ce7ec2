#pragma once

// Progress for an operation that cannot report by itself: while it runs, the
// caller reports 1 of 101, 2 of 102, ... every interval, approaching but never
// reaching the end, and n of n once it has finished.

#include "tw/progress/progress_handler.h"

#include <chrono>
#include <future>
#include <type_traits>

namespace tw_prof {

inline constexpr std::chrono::milliseconds fake_progress_interval{200};

// Reports on `handler` until `task` is ready, then returns its result (or
// rethrows its exception). A refusal from a cancellable handler waits for the
// task to end and throws cancel_processing; from any other handler it only
// stops the reports.
template <class T, progress_id Id>
T wait_for_snapshot(std::future<T>& task, progress_handler& handler, const progress_params<Id>& params,
                    std::chrono::milliseconds interval = fake_progress_interval) {
  const std::uint32_t a = handler.a, b = handler.b, c = handler.c;
  unsigned k = 101;
  bool reporting = true;
  while (task.wait_for(interval) != std::future_status::ready) {
    if (!handler.report(a * k + (k - 100) * c, b * k, params)) {
      if (handler.cancellable) {
        task.wait();
        throw cancel_processing();
      }
      reporting = false;
      break;
    }
    ++k;
  }
  if (reporting && !handler.report((a + c) * (k - 1), b * (k - 1), params) && handler.cancellable) {
    task.wait();
    throw cancel_processing();
  }
  return task.get();
}

template <progress_id Id = progress_id::general, class F>
auto run_under_fake_progress(F&& f, progress_handler& handler, const progress_params<Id>& params = {},
                             std::chrono::milliseconds interval = fake_progress_interval) {
  // The future of std::async waits for the task on destruction, so a
  // cancellation never leaves the operation running behind the caller.
  auto task = std::async(std::launch::async, std::forward<F>(f));
  return wait_for_snapshot(task, handler, params, interval);
}

}  // namespace tw_prof
