// A fake runtime: a UNIX-socket server giving the answers a real runtime
// never gives, and a stale socket file left by a crashed process.

#include "event_pipe_api/src/session.h"
#include "tests/event_pipe_api/runtime_messages.h"
#include "tests/support/scratch_folder.h"
#include "tw/utility/le_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/connect_pair.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell::collector;
using namespace tarnwell::collector::event_pipe;
using namespace tarnwell::diagnostics_ipc;
using boost::asio::local::stream_protocol;
using test_support::answer;
using test_support::process_info;

std::vector<std::uint8_t> le64(std::uint64_t v) {
  std::vector<std::uint8_t> b;
  tw::write_to(b).put(v);
  return b;
}

// Reads one request (header and body) from a connection.
template <class Socket>
ipc_header read_request(Socket& s) {
  ipc_header h;
  boost::asio::read(s, boost::asio::buffer(&h, sizeof h));
  std::vector<std::uint8_t> body(h.size - sizeof h);
  if (!body.empty()) boost::asio::read(s, boost::asio::buffer(body));
  return h;
}

// Reads one request and sends `reply`: what the runtime does with each.
template <class Socket>
ipc_header serve(Socket& s, const std::vector<std::uint8_t>& reply) {
  const auto h = read_request(s);
  boost::asio::write(s, boost::asio::buffer(reply));
  return h;
}

class fake_runtime : public testing::Test {
 protected:
  void SetUp() override {
    path_ = fs::temp_directory_path() / ("fake_rt_" + std::to_string(::getpid()) + ".sock");
    fs::remove(path_);
    acceptor_.open(stream_protocol());
    acceptor_.bind(stream_protocol::endpoint(path_.string()));
    acceptor_.listen();
  }
  void TearDown() override {
    acceptor_.close();
    fs::remove(path_);
  }
  session_configuration config() const {
    session_configuration c;
    c.providers = {event_pipe_provider(u"Microsoft-Windows-DotNETRuntime", EventLevel::informational, 0)};
    return c;
  }
  boost::asio::io_context io_;
  stream_protocol::acceptor acceptor_{io_};
  fs::path path_;
};

TEST_F(fake_runtime, an_unknown_start_status_is_refused) {
  std::thread runtime([&] {
    stream_protocol::socket main(io_);
    acceptor_.accept(main);
    serve(main, answer(0x42));
  });
  event_pipe_session session(1, config());
  EXPECT_THAT([&] { session.start(path_); },
              testing::ThrowsMessage<std::runtime_error>(
                  testing::StrEq("EventPipe session start failed (server responded with unknown command)")));
  runtime.join();
}

TEST_F(fake_runtime, a_stop_answered_with_an_error_shuts_the_connections_down) {
  std::atomic<bool> main_saw_eof{false};
  std::thread runtime([&] {
    stream_protocol::socket main(io_);
    acceptor_.accept(main);
    const auto start = serve(main, answer(0, le64(77)));
    EXPECT_EQ(start.command_set, 2);
    EXPECT_EQ(start.command_id, 3);
    stream_protocol::socket command(io_);
    acceptor_.accept(command);
    const auto stop = serve(command, answer(0xFF, {5, 0, 0, 0x80}));
    EXPECT_EQ(stop.command_id, 1);
    EXPECT_EQ(stop.size, 28);
    std::uint8_t byte;
    boost::system::error_code ec;
    boost::asio::read(main, boost::asio::buffer(&byte, 1), ec);
    main_saw_eof = ec == boost::asio::error::eof;
  });
  event_pipe_session session(1, config());
  session.start(path_);
  EXPECT_EQ(session.id(), 77u);
  EXPECT_NO_THROW(session.stop_async());
  runtime.join();
  EXPECT_TRUE(main_saw_eof);
  EXPECT_TRUE(session.stopped().load());
}

TEST_F(fake_runtime, stopping_before_the_start_answer_shuts_the_main_stream_instead_of_sending_stop) {
  std::atomic<bool> request_read{false};
  std::thread runtime([&] {
    stream_protocol::socket main(io_);
    acceptor_.accept(main);
    read_request(main);
    request_read = true;
    std::uint8_t byte;
    boost::system::error_code ec;
    boost::asio::read(main, boost::asio::buffer(&byte, 1), ec);  // until the session shuts it down
  });
  auto session = std::make_unique<event_pipe_session>(1, config());
  std::thread starter([&] { EXPECT_ANY_THROW(session->start(path_)); });
  while (!request_read) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  session.reset();  // destroying the session stops it
  starter.join();
  runtime.join();
  // No command connection was made: nothing is waiting to be accepted.
  acceptor_.non_blocking(true);
  stream_protocol::socket none(io_);
  boost::system::error_code ec;
  acceptor_.accept(none, ec);
  EXPECT_EQ(ec, boost::asio::error::would_block);
}

TEST(discovery, the_largest_key_wins_and_plain_files_never_count) {
  const test_support::scratch_folder scratch("disc");
  const auto& dir = scratch.path();
  boost::asio::io_context io;
  std::vector<std::unique_ptr<stream_protocol::acceptor>> sockets;
  for (const char* name : {"dotnet-diagnostic-4242-5-socket", "dotnet-diagnostic-4242-7-socket",
                           "dotnet-diagnostic-4243-9-socket"}) {
    sockets.push_back(std::make_unique<stream_protocol::acceptor>(io, stream_protocol::endpoint((dir / name).string())));
  }
  std::ofstream(dir / "dotnet-diagnostic-4242-99-socket") << "not a socket";
  const auto found = find_diagnostic_socket(dir, 4242, {});
  ASSERT_TRUE(found);
  EXPECT_EQ(found->second, 7u);
  EXPECT_EQ(find_diagnostic_socket(dir, 4242, {7})->second, 5u);
  EXPECT_FALSE(find_diagnostic_socket(dir, 4242, {5, 7}));
}

TEST(discovery, tmpdir_empty_means_tmp) {
  const test_support::scoped_tmpdir empty("");
  EXPECT_EQ(diagnostic_directory(), fs::path("/tmp"));
}

}  // namespace

namespace {

// A reversed session: the runtime connected to us, and the port server hands
// the session its streams. Each stream is one end of a socket pair whose other
// end plays the runtime.
class reversed_session : public testing::Test {
 protected:
  std::pair<std::shared_ptr<ipc_socket>, std::unique_ptr<ipc_socket>> pair() {
    auto ours = std::make_shared<ipc_socket>(io_);
    auto theirs = std::make_unique<ipc_socket>(io_);
    boost::asio::local::connect_pair(*ours, *theirs);
    return {ours, std::move(theirs)};
  }
  boost::asio::io_context io_;
};

TEST_F(reversed_session, commands_travel_on_handed_over_streams) {
  event_pipe_session session(std::filesystem::path("/tmp/port"), session_configuration{});
  auto [main, runtime_main] = pair();
  // A pid that lives: a session gives up waiting on a process that is gone.
  const int pid = ::getpid();
  session.set_main_stream(main, pid);
  std::thread runtime([&, main_end = runtime_main.get()] {
    serve(*main_end, answer(0, le64(9)));
  });
  session.start();
  runtime.join();
  EXPECT_EQ(session.id(), 9u);
  EXPECT_EQ(session.pid(), pid);

  // Process info on a command stream handed over later.
  auto [command, runtime_command] = pair();
  std::thread info([&, end = runtime_command.get()] {
    const auto h = serve(*end, answer(0, process_info(static_cast<std::uint64_t>(pid), u"dotnet app.dll")));
    EXPECT_EQ(h.command_set, 4);
    EXPECT_EQ(h.command_id, 0);
  });
  std::thread hand_over([&, c = command] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    session.set_command_stream(c);
  });
  EXPECT_EQ(session.get_command_line(), "dotnet app.dll");
  hand_over.join();
  info.join();

  // Resume on the next command stream.
  auto [resume, runtime_resume] = pair();
  session.set_command_stream(resume);
  std::thread resumed([&, end = runtime_resume.get()] {
    const auto h = serve(*end, answer(0));
    EXPECT_EQ(h.command_set, 4);
    EXPECT_EQ(h.command_id, 1);
  });
  EXPECT_NO_THROW(session.resume_runtime(true));
  resumed.join();

  // Stop waits for a command stream, then sends stop tracing on it.
  auto [stop, runtime_stop] = pair();
  std::thread stopped([&, end = runtime_stop.get()] {
    const auto h = serve(*end, answer(0));
    EXPECT_EQ(h.command_id, 1);
    EXPECT_EQ(h.size, 28);
  });
  std::thread late([&, s = stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    session.set_command_stream(s);
  });
  session.stop_async();
  late.join();
  stopped.join();
  EXPECT_TRUE(session.stopped().load());
  EXPECT_THROW(session.get_command_line(), session_stopped);
  EXPECT_THROW(session.start(), session_stopped);
}

// A stop needs a command stream from the runtime; one that has ended sends
// none, and the stop must not wait for it.
TEST_F(reversed_session, a_stop_does_not_wait_for_a_runtime_that_has_ended_or_a_stream_that_has) {
  // Resumed, a runtime takes StopTracing on a command stream of its own.
  auto started = [&](int pid, bool resumed = true) {
    auto session = std::make_unique<event_pipe_session>(std::filesystem::path("/tmp/port"), session_configuration{});
    session->set_runtime_may_wait(!resumed);
    auto [main, runtime_main] = pair();
    session->set_main_stream(main, pid);
    std::thread runtime([end = runtime_main.get()] {
      serve(*end, answer(0, le64(3)));
    });
    session->start();
    runtime.join();
    return std::make_pair(std::move(session), std::move(runtime_main));
  };
  auto within = [](auto f) {
    auto done = std::async(std::launch::async, f);
    return done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  };

  // Its stream read to the end while the stop waits.
  auto [live, live_end] = started(::getpid());
  std::thread completes([&s = *live] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    s.mark_completed();
  });
  EXPECT_TRUE(within([&s = *live] { s.stop_async(); }));
  completes.join();

  // Never resumed, its runtime may wait for the resume and never answer
  // StopTracing: the session is dropped, its command stream left unused.
  auto [waiting, waiting_end] = started(::getpid(), false);
  auto [command, runtime_command] = pair();
  waiting->set_command_stream(command);
  EXPECT_TRUE(within([&s = *waiting] { s.stop_async(); }));
  runtime_command->non_blocking(true);
  std::uint8_t byte = 0;
  boost::system::error_code ec;
  runtime_command->read_some(boost::asio::buffer(&byte, 1), ec);
  EXPECT_EQ(ec, boost::asio::error::would_block) << "a request came";

  // The process is gone.
  const pid_t child = ::fork();
  if (child == 0) _exit(0);
  ::waitpid(child, nullptr, 0);
  auto [gone, gone_end] = started(child);
  EXPECT_TRUE(within([&s = *gone] { s.stop_async(); }));
  EXPECT_TRUE(within([&s = *gone] { s.resume_runtime_if_waiting(std::chrono::seconds(30)); }));
  EXPECT_FALSE(gone->runtime_resumed());
}

TEST(discovery, a_stop_during_the_search_ends_it_with_transport_not_found) {
  // This test process is alive and has no diagnostic socket.
  event_pipe_session session(static_cast<int>(::getpid()), session_configuration{});
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    session.stop_async();
  });
  EXPECT_THROW(session.start(), transport_not_found);
  stopper.join();
}

}  // namespace
