// Profiling from the first instruction: real .NET programs started with a
// diagnostic port (suspended until the profiler resumes them), the library
// through its exported functions listening on that port, and the host's side
// of the bridge over loopback TCP.

#include "tests/support/live_target.h"
#include "tests/support/host_peer.h"
#include "tests/support/scratch_folder.h"
#include "tests/support/workload.h"
#include "tools/snapshot_inspect.h"

#include "api/profiler_connection_data.h"
#include "event_pipe_api/src/diagnostic_ports_server.h"
#include "tests/event_pipe_api/runtime_messages.h"

#include <gtest/gtest.h>

#include <boost/asio/local/stream_protocol.hpp>

#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace test_support;
using tw_prof::host_bridge_answer;
using tw_prof::host_bridge_command;

constexpr int startup_exit_code = 42;

// A program started with DOTNET_DiagnosticPorts: its runtime waits,
// suspended, for the profiler there.
struct suspended_program : workload_program {
  suspended_program(const fs::path& port, std::vector<std::string> args,
                    const dotnet_runtime& runtime = machine_runtime())
      : workload_program(std::move(args), {"DOTNET_DiagnosticPorts=" + port.string()}, runtime) {}
  // Waits until the program runs with its diagnostic port in its
  // environment, as a front end's process start returns once it does.
  bool wait_started() const {
    for (int attempt = 0; attempt < 500; ++attempt) {
      std::ifstream environ("/proc/" + std::to_string(pid()) + "/environ");
      const std::string all((std::istreambuf_iterator<char>(environ)), std::istreambuf_iterator<char>());
      if (all.find("DOTNET_DiagnosticPorts=") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
};

class reverse_collector : public testing::Test {
 protected:
  void SetUp() override {
    fs::permissions(dir_, fs::perms::owner_all);
    std::thread([] {}).join();
  }

  void* create(const host_peer& host, pid_t pid = 0) {
    std::string error;
    void* handle = create_collector(host.endpoint(), pid, false, error, port_.string());
    EXPECT_EQ(error, "");
    EXPECT_NE(handle, nullptr);
    return handle;
  }

  // The bridge of a runtime that connected back: handshake, go; returns
  // the answer to go.
  static host_bridge_answer open_bridge(host_peer& host, bool collect_from_start) {
    host.handshake(0, collect_from_start);
    host.send(host_bridge_command::go);
    return host.next_answer().answer();
  }


  static std::uint64_t inclusive(const tw::tools::snapshot_summary& s, const std::string& name) {
    std::uint64_t n = 0;
    for (const auto& m : s.methods)
      if (m.name.find(name) != std::string::npos) n = std::max(n, m.inclusive);
    return n;
  }
  static std::uint64_t exclusive(const tw::tools::snapshot_summary& s, const std::string& name) {
    for (const auto& m : s.methods)
      if (m.name == name) return m.exclusive;
    return 0;
  }

  const scratch_folder scratch_{"rev"};  // short: a socket's path must fit in 108 bytes
  const fs::path dir_ = scratch_.path();
  const fs::path port_ = dir_ / "port.sock";
};

// .NET 8, 9 and 10 alike: the program's first work is in its snapshot, and
// it runs on managed code (.NET 9 flags nearly every sample otherwise).
// Nothing ran before the session and no rundown is made for a resumed
// runtime: a resolved frame of the program's own code can only come from the
// compilation recorded in the session.
TEST_F(reverse_collector, every_runtime_is_profiled_from_its_first_instruction) {
  for (const auto& runtime : every_runtime()) {
    SCOPED_TRACE(".NET " + runtime.name);
    host_peer host(dir_);
    const auto before = held_resources::now(dir_);
    void* handle = create(host);
    suspended_program program(port_, {"startup", "300"}, runtime);
    host.accept();
    ASSERT_EQ(open_bridge(host, true), host_bridge_answer::measure_snapshot_started);
    // The program runs once the runtime session does, ends by itself, and
    // the bridge saves what it recorded.
    const auto frames = host.drain();
    EXPECT_EQ(program.wait_exit(std::chrono::seconds(60)), startup_exit_code);
    ASSERT_TRUE(has_answer(frames, host_bridge_answer::snapshot_done));
    const auto s = tw::tools::inspect_snapshot(host.paths().at(0).string());
    EXPECT_EQ(s.pid, static_cast<std::uint32_t>(program.pid()));
    EXPECT_EQ(s.runtime_version.rfind(runtime.name + ".", 0), 0u) << s.runtime_version;
    EXPECT_GT(inclusive(s, "Program.Main"), 0u);
    EXPECT_GT(inclusive(s, "Startup.FirstWork"), 5u);
    // Counted as managed code, where the work is (a loaded machine may put
    // the loop's clock ahead of it now and then).
    EXPECT_GT(exclusive(s, "HotLoop.SpinPrimes"), 5u);
    EXPECT_EQ(release_collector(handle), "");
    EXPECT_FALSE(fs::exists(port_));
    host.socket().close();
    EXPECT_EQ(held_resources::now(dir_), before);
  }
}

// A front end that started the program suspended names both its pid and the
// port: the program is profiled through the port alone, as no session of its
// own socket may be opened and stopped while it waits to be resumed.
TEST_F(reverse_collector, a_program_named_by_pid_and_port_is_profiled_through_the_port_alone) {
  // The harm came from where the runtime's allocator put the next session:
  // a few rounds give it the chance to show.
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    host_peer host(dir_);
    suspended_program program(port_, {"startup", "300"});
    ASSERT_TRUE(program.wait_started());
    // Its runtime has tried the port a few times before the front end attaches.
    std::this_thread::sleep_for(std::chrono::seconds(1));
    void* handle = create(host, program.pid());
    host.accept();
    ASSERT_EQ(open_bridge(host, true), host_bridge_answer::measure_snapshot_started);
    const auto frames = host.drain();
    EXPECT_EQ(program.wait_exit(std::chrono::seconds(60)), startup_exit_code);
    ASSERT_TRUE(has_answer(frames, host_bridge_answer::snapshot_done));
    // One bridge, for the one process.
    EXPECT_FALSE(host.another_connection_waiting());
    const auto s = tw::tools::inspect_snapshot(host.paths().at(0).string());
    EXPECT_EQ(s.pid, static_cast<std::uint32_t>(program.pid()));
    EXPECT_GT(inclusive(s, "Program.Main"), 0u);
    EXPECT_GT(inclusive(s, "Startup.FirstWork"), 5u);
    EXPECT_EQ(release_collector(handle), "");
  }
}

TEST_F(reverse_collector, a_suspended_program_is_resumed_whatever_ends_its_bridge_first) {
  struct failure {
    const char* what;
    std::function<void(host_peer&)> host;  // null: nobody listens
  };
  const std::vector<failure> failures = {
      {"the host refuses the handshake",
       [](host_peer& h) {
         h.accept();
         h.read_frame();
         h.send(host_bridge_command::unaccepted_invalid_version);
       }},
      {"the host leaves before go",
       [](host_peer& h) {
         h.accept();
         h.handshake(0, true);
         ::linger abrupt{1, 0};
         ::setsockopt(h.socket().native_handle(), SOL_SOCKET, SO_LINGER, &abrupt, sizeof abrupt);
         h.socket().close();
       }},
      {"the host sends kill before go",
       [](host_peer& h) {
         h.accept();
         h.handshake(0, true);
         h.send(host_bridge_command::kill);
         h.drain();
       }},
      {"the host does not ask for collection from the start: resumed at go",
       [](host_peer& h) {
         h.accept();
         h.handshake(0, false);
         h.send(host_bridge_command::go);
         h.next_answer();
       }},
      {"nobody listens for the bridge", nullptr},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.what);
    auto host = std::make_unique<host_peer>(dir_);
    std::string endpoint = host->endpoint();
    if (!f.host) host.reset();  // the port is closed again
    std::string error;
    void* handle = create_collector(endpoint, 0, false, error, port_.string());
    ASSERT_EQ(error, "");
    suspended_program program(port_, {"startup", "50"});
    if (f.host) f.host(*host);
    EXPECT_EQ(program.wait_exit(std::chrono::seconds(60)), startup_exit_code);
    EXPECT_EQ(release_collector(handle), "");
    EXPECT_FALSE(fs::exists(port_));
  }
}

TEST_F(reverse_collector, two_programs_on_one_port_get_two_bridges_and_two_snapshots) {
  host_peer first(dir_ / "a"), second(dir_ / "b");
  fs::create_directories(dir_ / "a");
  fs::create_directories(dir_ / "b");
  void* handle = create(first);
  suspended_program one(port_, {"startup", "400"});
  suspended_program two(port_, {"startup", "400"});
  first.accept();
  second.accept_from(first);
  // Both runtimes wait until their own bridge has started a snapshot.
  std::vector<frame> frames_one, frames_two;
  std::thread a([&] {
    if (open_bridge(first, true) == host_bridge_answer::measure_snapshot_started) frames_one = first.drain();
  });
  std::thread b([&] {
    if (open_bridge(second, true) == host_bridge_answer::measure_snapshot_started) frames_two = second.drain();
  });
  a.join();
  b.join();
  EXPECT_EQ(one.wait_exit(std::chrono::seconds(60)), startup_exit_code);
  EXPECT_EQ(two.wait_exit(std::chrono::seconds(60)), startup_exit_code);
  ASSERT_TRUE(has_answer(frames_one, host_bridge_answer::snapshot_done));
  ASSERT_TRUE(has_answer(frames_two, host_bridge_answer::snapshot_done));

  std::set<std::uint32_t> pids;
  for (auto* host : {&first, &second}) {
    const auto s = tw::tools::inspect_snapshot(host->paths()[0].string());
    pids.insert(s.pid);
    EXPECT_GT(inclusive(s, "Startup.FirstWork"), 5u);
  }
  EXPECT_EQ(pids, (std::set<std::uint32_t>{static_cast<std::uint32_t>(one.pid()),
                                           static_cast<std::uint32_t>(two.pid())}));
  EXPECT_EQ(release_collector(handle), "");
}

TEST_F(reverse_collector, a_runtime_whose_session_is_refused_is_resumed_and_its_client_kept_as_failed) {
  using namespace tarnwell::collector::event_pipe;
  host_peer host(dir_);
  // No provider: the runtime refuses such a session.
  diagnostic_ports_server server(
      {}, [](const fs::path& path) { return std::make_unique<event_pipe_session>(path, session_configuration{}); },
      [&](std::unique_ptr<event_pipe_session> s) {
        return std::make_shared<tw_prof::profiler_connection_data>(
            std::move(s), tw_prof::reverse_bridge_settings{.bridge_endpoint = host.endpoint()});
      },
      port_, false);
  server.run();
  suspended_program program(port_, {"startup", "50"});
  EXPECT_EQ(program.wait_exit(std::chrono::seconds(60)), startup_exit_code);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (server.failed_count() == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(server.failed_count(), 1u);
  // No bridge was started for it.
  EXPECT_FALSE(host.another_connection_waiting());
}

TEST_F(reverse_collector, the_same_process_connecting_back_keeps_its_running_bridge) {
  live_target target;
  host_peer host(dir_);
  void* handle = create(host, target.pid());
  host.accept();
  ASSERT_EQ(open_bridge(host, false), host_bridge_answer::measure_snapshot_stopped);

  // The target's runtime connects to the port (as one started with a
  // diagnostic port that does not suspend it does, again and again).
  boost::asio::io_context io;
  boost::asio::local::stream_protocol::socket back(io);
  back.connect(port_.string());
  const auto advertise = advertise_message(static_cast<std::uint64_t>(target.pid()));
  boost::asio::write(back, boost::asio::buffer(advertise));
  // It is told to resume, in case it waits, and nothing else.
  tarnwell::diagnostics_ipc::ipc_header request;
  boost::asio::read(back, boost::asio::buffer(&request, sizeof request));
  EXPECT_EQ(request.command_set, tarnwell::diagnostics_ipc::command_set::process);
  EXPECT_EQ(request.command_id, tarnwell::diagnostics_ipc::process_command::resume_runtime);
  boost::asio::write(back, boost::asio::buffer(test_support::answer(tarnwell::diagnostics_ipc::status_ok)));

  // The first bridge goes on; no second one comes.
  EXPECT_FALSE(host.another_connection_waiting());
  host.send(host_bridge_command::measure_snapshot_start);
  frame f = host.next();
  while (f.answer() == host_bridge_answer::runtime_updated || f.answer() == host_bridge_answer::command_line_updated)
    f = host.next();
  ASSERT_EQ(f.answer(), host_bridge_answer::measure_snapshot_started);
  target.work();
  std::vector<frame> frames;
  std::thread serve([&] { frames = host.drain(); });
  EXPECT_EQ(release_collector(handle), "");
  serve.join();
  ASSERT_TRUE(has_answer(frames, host_bridge_answer::snapshot_done));
  const auto s = tw::tools::inspect_snapshot(host.paths()[0].string());
  EXPECT_EQ(s.pid, static_cast<std::uint32_t>(target.pid()));
  EXPECT_EQ(s.exceptions.at("System.InvalidOperationException"), 5u);
  EXPECT_FALSE(fs::exists(port_));
}

}  // namespace
