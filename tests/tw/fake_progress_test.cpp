#include "tw/progress/fake_progress.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace tw_prof;
using report = std::pair<unsigned, unsigned>;
using namespace std::chrono_literals;

TEST(fake_progress, reports_approach_the_end_then_end_at_n_of_n) {
  // The handler itself fulfils the task at its third report: the sequence
  // does not depend on timing.
  std::vector<report> reports;
  std::promise<int> task;
  progress_handler_impl handler([&](unsigned done, unsigned total) {
    reports.emplace_back(done, total);
    if (reports.size() == 3) task.set_value(7);
    return true;
  });
  auto future = task.get_future();
  EXPECT_EQ(wait_for_snapshot(future, handler, progress_params<progress_id::general>{}, 1ms), 7);
  EXPECT_EQ(reports, (std::vector<report>{{1, 101}, {2, 102}, {3, 103}, {103, 103}}));
}

TEST(fake_progress, a_task_done_at_once_reports_only_the_end) {
  std::vector<report> reports;
  progress_handler_impl handler([&](unsigned d, unsigned t) {
    reports.emplace_back(d, t);
    return true;
  });
  EXPECT_EQ(run_under_fake_progress([] { return 5; }, handler, {}, 10s), 5);
  EXPECT_EQ(reports, (std::vector<report>{{100, 100}}));
}

TEST(fake_progress, cancellable_refusal_waits_for_the_task_then_throws) {
  std::atomic<bool> refused{false};
  std::atomic<bool> task_done{false};
  std::vector<report> reports;
  progress_handler_impl handler([&](unsigned d, unsigned t) {
    reports.emplace_back(d, t);
    if (reports.size() == 2) {
      refused = true;
      return false;
    }
    return true;
  });
  handler.cancellable = true;
  auto task = [&] {
    while (!refused) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(20ms);
    task_done = true;
  };
  EXPECT_THROW(run_under_fake_progress(task, handler, {}, 1ms), cancel_processing);
  EXPECT_TRUE(task_done);
  EXPECT_EQ(reports, (std::vector<report>{{1, 101}, {2, 102}}));
}

TEST(fake_progress, cancellable_refusal_of_the_final_report_throws) {
  progress_handler_impl handler([](unsigned, unsigned) { return false; });
  handler.cancellable = true;
  EXPECT_THROW(run_under_fake_progress([] {}, handler, {}, 10s), cancel_processing);
}

TEST(fake_progress, the_task_exception_reaches_the_caller) {
  progress_handler_impl handler([](unsigned, unsigned) { return true; });
  EXPECT_THROW(run_under_fake_progress([]() -> int { throw std::logic_error("save failed"); }, handler, {}, 1ms),
               std::logic_error);
}

}  // namespace
