#include "event_pipe_api/src/event_pipe_consumer_api.h"

#include "tests/support/recordings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell;
using namespace tarnwell::collector::event_pipe;

fs::path recording() { return test_support::recording("net10-cpu"); }

struct counter {
  std::atomic<int> events{0};
  std::shared_ptr<event_pipe_handlers_base> handlers() {
    auto on_event = [this](const nettrace::event_trace_record&, bool) { ++events; };
    return std::make_shared<event_pipe_handlers<decltype(on_event)>>(on_event);
  }
};

TEST(file_consumer, a_valid_file_finishes_and_reports_to_on_stop) {
  counter c;
  std::atomic<int> stop_status{-1};
  std::atomic<std::thread::id> stop_thread{};
  unsigned long last_total = 0;
  event_pipe_consumer consumer(
      recording(),
      [&](unsigned long done, unsigned long total, unsigned long zero) {
        EXPECT_LE(done, total);
        EXPECT_EQ(zero, 0u);
        last_total = total;
        return 1;
      },
      c.handlers(), false,
      [&](consumer_status s) {
        stop_status = s.status;
        stop_thread = std::this_thread::get_id();
      });
  const auto result = consumer.wait_for_result();
  EXPECT_EQ(result.status, consumer_status::finished);
  EXPECT_FALSE(result.error);
  EXPECT_EQ(stop_status, consumer_status::finished);
  EXPECT_NE(stop_thread.load(), std::this_thread::get_id());
  EXPECT_EQ(last_total, fs::file_size(recording()));
  EXPECT_GT(c.events, 1000);
}

TEST(file_consumer, a_missing_file_fails_and_still_calls_on_stop) {
  counter c;
  int stop_calls = 0;
  auto future = consume_from_file(
      "/no/such/file.nettrace", [](unsigned long, unsigned long, unsigned long) { return 1; }, c.handlers(), false,
      [&](consumer_status s) {
        ++stop_calls;
        EXPECT_EQ(s.status, consumer_status::failed);
        throw std::runtime_error("dropped");  // must not reach the future
      });
  const auto result = future.get();
  EXPECT_EQ(result.status, consumer_status::failed);
  ASSERT_TRUE(result.error);
  EXPECT_EQ(stop_calls, 1);
  try {
    std::rethrow_exception(result.error);
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("/no/such/file.nettrace"), std::string::npos) << e.what();
  }
}

TEST(file_consumer, the_hex_dump_variant_decodes_the_same_events) {
  counter plain, dumped;
  event_pipe_consumer a(recording(), [](unsigned long, unsigned long, unsigned long) { return 1; }, plain.handlers(),
                        false, nullptr);
  event_pipe_consumer b(recording(), [](unsigned long, unsigned long, unsigned long) { return 1; }, dumped.handlers(),
                        true, nullptr);
  EXPECT_EQ(a.wait_for_result().status, consumer_status::finished);
  EXPECT_EQ(b.wait_for_result().status, consumer_status::finished);
  EXPECT_EQ(plain.events, dumped.events);
}

}  // namespace
