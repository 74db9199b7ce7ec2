// Live drain: a workload emits a known number of events as fast as one
// thread can (its own EventSource) while the runtime samples its threads; our
// live consumer reads them, then dotnet-trace does the same with the same
// providers. Prints events received out of events emitted for both.
//
//   live_drain_bench WORKLOAD_DLL DOTNET_TRACE EVENTS WORK_DIR

#include "event_pipe_api/src/nettrace/metadata.h"
#include "event_pipe_api/src/session.h"
#include "tools/trace_stats.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace tarnwell::collector;
using namespace tarnwell::collector::event_pipe;

struct child {
  pid_t pid = -1;
  FILE* in = nullptr;   // its stdin
  FILE* out = nullptr;  // its stdout
};

child spawn_workload(const std::string& dll, const std::string& events) {
  int to_child[2], from_child[2];
  if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) std::exit(1);
  child c;
  c.pid = ::fork();
  if (c.pid == 0) {
    ::dup2(to_child[0], 0);
    ::dup2(from_child[1], 1);
    ::close(to_child[1]);
    ::close(from_child[0]);
    ::execlp("dotnet", "dotnet", dll.c_str(), "emit", events.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(to_child[0]);
  ::close(from_child[1]);
  c.in = ::fdopen(to_child[1], "w");
  c.out = ::fdopen(from_child[0], "r");
  char line[128];
  if (!std::fgets(line, sizeof line, c.out)) std::exit(1);  // "pid N": the runtime is up
  return c;
}

void release_and_wait(child& c) {
  std::fputs("\n", c.in);
  std::fflush(c.in);
  ::waitpid(c.pid, nullptr, 0);
  std::fclose(c.in);
  std::fclose(c.out);
}

std::vector<event_pipe_provider> providers() {
  return {event_pipe_provider(u"Tarnwell-Bench", EventLevel::verbose, -1),
          event_pipe_provider(u"Microsoft-DotNETCore-SampleProfiler", EventLevel::informational, 0)};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: live_drain_bench WORKLOAD_DLL DOTNET_TRACE EVENTS WORK_DIR\n");
    return 2;
  }
  const std::string dll = argv[1], dotnet_trace = argv[2], events = argv[3], work = argv[4];
  const std::uint64_t emitted = std::stoull(events);
  std::filesystem::create_directories(work);

  // Ours.
  std::uint64_t ours = 0;
  {
    auto c = spawn_workload(dll, events);
    session_configuration config;
    config.circular_buffer_mb = 256;
    config.providers = providers();
    event_pipe_session session(c.pid, config);
    session.start();
    std::atomic<std::uint64_t> received{0};
    auto on_event = [&](const tarnwell::nettrace::event_trace_record& r, bool) {
      if (r.header.event_id == 1 && (*r.metadata)->provider_name() == "Tarnwell-Bench") ++received;
    };
    auto handlers = std::make_shared<event_pipe_handlers<decltype(on_event)>>(on_event);
    auto result = consume_live(&session, nullptr, handlers, false, nullptr);
    release_and_wait(c);
    result.wait();
    ours = received.load();
  }

  // dotnet-trace, same providers, same buffer.
  std::uint64_t theirs = 0;
  {
    auto c = spawn_workload(dll, events);
    const auto file = work + "/dotnet-trace.nettrace";
    std::filesystem::remove(file);
    const pid_t tracer = ::fork();
    if (tracer == 0) {
      std::freopen("/dev/null", "w", stdout);
      std::freopen("/dev/null", "w", stderr);
      const std::string pid = std::to_string(c.pid);
      ::execl(dotnet_trace.c_str(), dotnet_trace.c_str(), "collect", "-p", pid.c_str(), "--buffersize", "256",
              "--providers", "Tarnwell-Bench:0xFFFFFFFFFFFFFFFF:5,Microsoft-DotNETCore-SampleProfiler:0:4", "-o",
              file.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // dotnet-trace tells nobody when its session runs: give it time to attach.
    std::this_thread::sleep_for(std::chrono::seconds(4));
    release_and_wait(c);
    ::waitpid(tracer, nullptr, 0);
    const auto stats = tw::tools::collect_trace_stats(file);
    for (const auto& [id, count] : stats.counts)
      if (std::get<0>(id) == "Tarnwell-Bench" && std::get<1>(id) == 1) theirs += count.count;
    std::filesystem::remove(file);
  }

  std::printf("machine: %u hardware threads; %llu events emitted by one thread, CPU sampling on\n",
              std::thread::hardware_concurrency(), static_cast<unsigned long long>(emitted));
  std::printf("%-24s %14s %10s\n", "reader", "received", "share");
  std::printf("%-24s %14llu %9.2f%%\n", "ours (live consumer)", static_cast<unsigned long long>(ours),
              100.0 * static_cast<double>(ours) / static_cast<double>(emitted));
  std::printf("%-24s %14llu %9.2f%%\n", "dotnet-trace collect", static_cast<unsigned long long>(theirs),
              100.0 * static_cast<double>(theirs) / static_cast<double>(emitted));
  std::printf("ratio (ours / dotnet-trace): %.3f (target: at least 1)\n",
              theirs ? static_cast<double>(ours) / static_cast<double>(theirs) : 0.0);
  return 0;
}
