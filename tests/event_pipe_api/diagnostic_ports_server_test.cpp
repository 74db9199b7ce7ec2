// The diagnostic ports server against fake runtimes: UNIX-socket clients
// that send advertise messages (or something else) and answer the requests
// that reach them, with clients that record what they were given.

#include "tests/support/scratch_folder.h"
#include "event_pipe_api/src/diagnostic_ports_server.h"
#include "tests/event_pipe_api/runtime_messages.h"
#include "tw/utility/le_writer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <boost/asio/local/stream_protocol.hpp>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace tarnwell::collector::event_pipe;
using namespace tarnwell::diagnostics_ipc;
using boost::asio::local::stream_protocol;
using namespace std::chrono_literals;

std::vector<std::uint8_t> advertise(std::uint64_t pid) { return test_support::advertise_message(pid); }

// A runtime's connection to the port.
struct fake_connection {
  boost::asio::io_context io;
  stream_protocol::socket socket{io};
  explicit fake_connection(const fs::path& port, const std::vector<std::uint8_t>& first = {}) {
    socket.connect(port.string());
    if (!first.empty()) boost::asio::write(socket, boost::asio::buffer(first));
  }
  // Answers one ProcessInfo request with `pid` and `command_line`.
  void answer_process_info(std::uint64_t pid, const std::u16string& command_line) {
    ipc_header request;
    boost::asio::read(socket, boost::asio::buffer(&request, sizeof request));
    ASSERT_EQ(request.command_set, command_set::process);
    ASSERT_EQ(request.command_id, process_command::process_info);
    boost::asio::write(socket, boost::asio::buffer(test_support::answer(status_ok, test_support::process_info(pid, command_line))));
  }
  // True once the server has closed this connection.
  bool closed_by_server() {
    char byte;
    boost::system::error_code ec;
    socket.read_some(boost::asio::buffer(&byte, 1), ec);
    return ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
  }
};

// A client whose process() runs `body` with its session.
class scripted_client : public basic_connection_data {
 public:
  scripted_client(std::unique_ptr<event_pipe_session> s, std::function<void(event_pipe_session&)> body)
      : basic_connection_data(std::move(s)), body_(std::move(body)) {}
  void process() override { body_(*session_); }
  void stop() override { session_->stop_async(); }

 private:
  std::function<void(event_pipe_session&)> body_;
};

session_configuration any_configuration() {
  session_configuration c;
  c.providers = {tarnwell::collector::event_pipe_provider(u"Microsoft-Windows-DotNETRuntime",
                                                          tarnwell::collector::EventLevel::informational, 0)};
  return c;
}

template <class F>
bool eventually(F condition, std::chrono::milliseconds within = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class ports_server : public testing::Test {
 protected:
  void SetUp() override {
    fs::permissions(dir_.path(), fs::perms::owner_all);
    port_ = dir_ / "port.sock";
  }

  // A server whose clients run `body`; counts accepted connections and
  // created clients.
  std::unique_ptr<diagnostic_ports_server> make(std::function<void(event_pipe_session&)> body, bool stop_on_last) {
    return std::make_unique<diagnostic_ports_server>(
        [this] { ++accepted_; },
        [](const fs::path& path) { return std::make_unique<event_pipe_session>(path, any_configuration()); },
        [this, body](std::unique_ptr<event_pipe_session> s) {
          ++clients_;
          return std::make_shared<scripted_client>(std::move(s), body);
        },
        port_, stop_on_last);
  }

  const test_support::scratch_folder dir_{"ports"};
  fs::path port_;
  std::atomic<int> accepted_{0}, clients_{0};
};

TEST_F(ports_server, a_second_connection_of_a_process_is_its_command_stream_and_the_last_client_stops_the_server) {
  std::promise<std::string> command_line;
  auto server = make([&](event_pipe_session& s) { command_line.set_value(s.get_command_line()); }, true);
  server->run();
  // A pid that lives: a session gives up waiting on a process that is gone.
  const auto pid = static_cast<std::uint64_t>(::getpid());
  fake_connection main(port_, advertise(pid));
  ASSERT_TRUE(eventually([&] { return clients_ == 1; }));
  fake_connection command(port_, advertise(pid));
  command.answer_process_info(pid, u"fake --run");
  auto got = command_line.get_future();
  ASSERT_EQ(got.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(got.get(), "fake --run");
  EXPECT_EQ(clients_, 1);
  EXPECT_GE(accepted_, 2);
  // The only client has ended: the server stops by itself.
  auto waited = std::async(std::launch::async, [&] { server->wait(); });
  EXPECT_EQ(waited.wait_for(10s), std::future_status::ready);
  server.reset();
  EXPECT_FALSE(fs::exists(port_));
}

TEST_F(ports_server, strangers_and_silent_peers_do_not_keep_runtimes_out) {
  auto server = make([](event_pipe_session&) {}, false);
  server->run();
  fake_connection silent(port_);
  fake_connection stranger(port_, std::vector<std::uint8_t>{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'});
  EXPECT_TRUE(stranger.closed_by_server());
  fake_connection short_lived(port_, std::vector<std::uint8_t>{'A', 'D', 'V', 'R'});
  short_lived.socket.close();
  fake_connection first(port_, advertise(11));
  ASSERT_TRUE(eventually([&] { return clients_ == 1; }));
  // Without stop-on-last-client the server goes on after its client ended.
  ASSERT_TRUE(eventually([&] { return server->active_count() == 0; }));
  fake_connection second(port_, advertise(12));
  EXPECT_TRUE(eventually([&] { return clients_ == 2; }));
  EXPECT_EQ(server->failed_count(), 0u);
  // A stop with the silent peer still connected ends promptly.
  server->stop();
  auto waited = std::async(std::launch::async, [&] { server->wait(); });
  EXPECT_EQ(waited.wait_for(5s), std::future_status::ready);
}

TEST_F(ports_server, a_failed_client_is_kept_and_its_process_connections_still_reach_its_session) {
  std::promise<void> failed_once;
  std::atomic<bool> resumed{false};
  auto server = make(
      [&](event_pipe_session& s) {
        // The client gives up, resuming on its way out, as the live one does.
        s.resume_runtime_if_waiting(10s);
        resumed = s.runtime_resumed();
        throw std::runtime_error("the client failed");
      },
      false);
  server->run();
  fake_connection main(port_, advertise(77));
  // Nothing was sent on the first connection: the resume travels there.
  ipc_header request;
  boost::asio::read(main.socket, boost::asio::buffer(&request, sizeof request));
  EXPECT_EQ(request.command_set, command_set::process);
  EXPECT_EQ(request.command_id, process_command::resume_runtime);
  boost::asio::write(main.socket, boost::asio::buffer(test_support::answer(status_ok)));
  ASSERT_TRUE(eventually([&] { return server->failed_count() == 1; }));
  EXPECT_TRUE(resumed);
  fake_connection again(port_, advertise(77));
  EXPECT_TRUE(eventually([&] { return accepted_ == 2; }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(clients_, 1);
  EXPECT_EQ(server->active_count(), 0u);
}

TEST_F(ports_server, the_socket_is_its_owners_alone_and_a_directory_others_may_write_is_refused) {
  {
    auto server = make([](event_pipe_session&) {}, false);
    struct stat info {};
    ASSERT_EQ(::stat(port_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
  EXPECT_FALSE(fs::exists(port_));

  // A stale socket of this user is replaced.
  {
    boost::asio::io_context io;
    stream_protocol::acceptor stale(io, stream_protocol::endpoint(port_.string()));
  }
  ASSERT_TRUE(fs::is_socket(port_));
  EXPECT_NO_THROW(make([](event_pipe_session&) {}, false));

  // The server's creation fails with `text`.
  auto refused = [&](const char* text) {
    EXPECT_THAT([&] { make([](event_pipe_session&) {}, false); },
                testing::ThrowsMessage<std::exception>(testing::HasSubstr(text)));
  };
  // A file that is no socket is not ours to remove.
  std::ofstream(port_) << "keep me";
  refused("already exists and is not a socket of this user");
  EXPECT_TRUE(fs::is_regular_file(port_));
  fs::remove(port_);

  fs::permissions(dir_.path(), fs::perms::all);
  refused("may be written by other users and is not sticky");
  EXPECT_FALSE(fs::exists(port_));
  // As /tmp is: anyone may write, nobody may replace another's file.
  fs::permissions(dir_.path(), fs::perms::all | fs::perms::sticky_bit);
  EXPECT_NO_THROW(make([](event_pipe_session&) {}, false));
}

TEST(advertise, the_reader_takes_the_pid_and_refuses_a_wrong_magic) {
  const auto message = advertise(0x1122334455667788ull);
  EXPECT_EQ(parse_advertise(message).pid, 0x1122334455667788ull);
  for (std::size_t at : {0u, 6u, 7u}) {
    auto bad = message;
    bad[at] ^= 0x20;
    EXPECT_THAT([&] { parse_advertise(bad); },
                testing::ThrowsMessage<std::exception>(testing::StrEq("Invalid Advertise Protocol message received")))
        << "byte " << at << " changed";
  }
  // A message cut short is an error too, never a read past its end.
  EXPECT_THROW(parse_advertise(std::span(message).first(20)), std::exception);
  EXPECT_THROW(parse_advertise(std::span(message).first(4)), std::exception);
}

}  // namespace
