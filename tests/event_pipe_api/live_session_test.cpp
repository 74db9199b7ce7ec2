// Live sessions with a real .NET process started by the test.

#include "event_pipe_api/src/dispatch.h"
#include "event_pipe_api/src/session.h"
#include "event_pipe_timeline_profiler/src/profiler_sessions.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/workload.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <tuple>
#include <filesystem>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell::collector;
using namespace tarnwell::collector::event_pipe;

using test_support::scoped_tmpdir;

using dotnet_process = test_support::workload_program;
session_configuration runtime_session() { return tw_prof::runtime_configuration(true); }

struct live_counts {
  std::atomic<int> samples_with_stack{0}, gcs{0}, jit{0}, events{0};
};

std::shared_ptr<event_pipe_handlers_base> counting(live_counts& counts) {
  auto dispatcher = wrap_event_pipe_handler(all_providers{}, [&counts](auto p, const auto& e) {
    using provider = decltype(p);
    using event = std::decay_t<decltype(e)>;
    if constexpr (std::is_same_v<provider, Microsoft_DotNETCore_SampleProfiler>) {
      if (!e.stack.empty()) ++counts.samples_with_stack;
    } else if constexpr (std::is_same_v<provider, Microsoft_Windows_DotNETRuntime>) {
      if constexpr ((event::key >> 16) == 1) ++counts.gcs;
      if constexpr ((event::key >> 16) == 145) ++counts.jit;
    }
  });
  auto on_event = [&counts, dispatcher = std::move(dispatcher)](const tarnwell::nettrace::event_trace_record& r,
                                                                 bool sorted) mutable {
    ++counts.events;
    dispatcher(r, sorted);
  };
  return std::make_shared<event_pipe_handlers<decltype(on_event)>>(std::move(on_event));
}

TEST(live_session, samples_gcs_and_jit_arrive_and_stop_ends_the_stream) {
  // CPU work with collections every 100 ms.
  dotnet_process target({"live", "6"});
  event_pipe_session session(target.pid(), runtime_session());
  session.start();
  EXPECT_TRUE(session.is_started());
  EXPECT_NE(session.id(), 0u);
  live_counts counts;
  auto result = consume_live(&session, nullptr, counting(counts), false, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  session.stop_async();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  const auto status = result.get();
  EXPECT_EQ(status.status, consumer_status::stopped);
  EXPECT_EQ(session.main_status(), ipc_stream_status::completed);
  EXPECT_GT(counts.samples_with_stack.load(), 100);
  EXPECT_GT(counts.jit.load(), 0);
  EXPECT_GT(counts.gcs.load(), 0);
  session.stop_async();  // a second stop returns at once
}

// The socket in a private TMPDIR, beside a stale one with a larger key (what
// a crashed process of the same pid leaves: bound, then abandoned), which is
// skipped after its failed connect; the session answers process info.
TEST(live_session, the_socket_is_found_in_a_private_tmpdir_past_a_stale_one_and_answers_process_info) {
  const test_support::scratch_folder dir("live");  // short: a socket's path must fit in 108 bytes
  dotnet_process target({"cpu", "6"}, {"TMPDIR=" + dir.path().string()});
  const auto stale = dir / ("dotnet-diagnostic-" + std::to_string(target.pid()) + "-99999999999999999-socket");
  {
    boost::asio::io_context io;
    boost::asio::local::stream_protocol::acceptor acceptor(io, boost::asio::local::stream_protocol::endpoint(stale.string()));
  }
  event_pipe_session session(target.pid(), runtime_session());
  {
    scoped_tmpdir private_tmp(dir.path());
    session.start();
  }
  EXPECT_EQ(fs::path(session.transport_path()).parent_path(), dir.path());
  EXPECT_NE(session.transport_path(), stale.string());
  // The stream must be read: a runtime whose stream is full answers no stop.
  live_counts counts;
  auto drained = consume_live(&session, nullptr, counting(counts), false, nullptr);
  // Until the managed entry point runs, the runtime knows only its host's
  // path; ask again, as the profiler's command-line polling does.
  std::uint64_t pid = 0;
  std::string command_line;
  for (int i = 0; i < 100 && command_line.find("Workload.dll") == std::string::npos; ++i) {
    std::tie(pid, command_line) = query_process_info(session.transport_path());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(pid, static_cast<std::uint64_t>(target.pid()));
  EXPECT_NE(command_line.find("Workload.dll cpu 6"), std::string::npos) << "[" << command_line << "]";
  session.stop_async();
  EXPECT_EQ(drained.wait_for(std::chrono::seconds(60)), std::future_status::ready);
}

TEST(live_session, destroying_a_live_consumer_stops_the_session_and_waits_for_the_run) {
  dotnet_process target({"cpu", "6"});
  event_pipe_session session(target.pid(), runtime_session());
  session.start();
  live_counts counts;
  std::atomic<int> stop_status{-1};
  {
    event_pipe_consumer consumer(&session, counting(counts), false,
                                 [&](consumer_status s) { stop_status = s.status; });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  EXPECT_TRUE(session.stopped().load());
  EXPECT_EQ(stop_status.load(), consumer_status::stopped);  // on_stop ran before the destructor returned
  EXPECT_GT(counts.events.load(), 0);
}

TEST(live_session, a_pid_that_does_not_exist_is_reported) {
  event_pipe_session session(0x3FFFFFFF, runtime_session());
  EXPECT_THROW(session.start(), non_existing_process);
}

TEST(live_session, a_refused_start_reports_the_hresult) {
  dotnet_process target({"cpu", "6"});
  auto c = runtime_session();
  c.circular_buffer_mb = 0;  // the runtime refuses a zero-sized buffer
  event_pipe_session session(target.pid(), c);
  EXPECT_THAT([&] { session.start(); }, testing::ThrowsMessage<std::runtime_error>(
                                            testing::StartsWith("EventPipe session start failed (HRESULT: 0x")));
}

TEST(live_session, a_target_that_exits_while_streaming_ends_the_consumer) {
  dotnet_process target({"cpu", "20"});
  event_pipe_session session(target.pid(), runtime_session());
  session.start();
  live_counts counts;
  auto result = consume_live(&session, nullptr, counting(counts), false, nullptr);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  target.kill_now();
  ASSERT_EQ(result.wait_for(std::chrono::seconds(60)), std::future_status::ready);
  const auto status = result.get().status;
  EXPECT_TRUE(status == consumer_status::finished || status == consumer_status::failed) << status;
}

}  // namespace
