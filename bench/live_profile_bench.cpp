// Live profiling cost: a workload keeps THREADS threads busy in compiled code
// for SECONDS seconds under the runtime's default sampling rate. Our
// collector profiles it through the library's exported functions (the host's
// end of the bridge runs in this process and saves the snapshot); then
// dotnet-trace collect profiles a fresh run with the same providers. Prints,
// for both, the CPU time the profiler spent per second of profiling, the
// samples that arrived and the events the runtime reported lost.
//
//   live_profile_bench WORKLOAD_DLL DOTNET_TRACE SECONDS THREADS WORK_DIR

#include "tests/api/exports_client.h"
#include "tests/support/host_peer.h"
#include "tools/snapshot_inspect.h"
#include "tools/trace_stats.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace test_support;
using clock_type = std::chrono::steady_clock;

struct workload {
  pid_t pid = -1;
  FILE* in = nullptr;
  FILE* out = nullptr;

  workload(const std::string& dll, const std::string& seconds, const std::string& threads) {
    int to_child[2], from_child[2];
    if (::pipe(to_child) != 0 || ::pipe(from_child) != 0) std::exit(1);
    pid = ::fork();
    if (pid == 0) {
      ::dup2(to_child[0], 0);
      ::dup2(from_child[1], 1);
      ::close(to_child[1]);
      ::close(from_child[0]);
      ::execlp("dotnet", "dotnet", dll.c_str(), "busy", seconds.c_str(), threads.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    ::close(to_child[0]);
    ::close(from_child[1]);
    in = ::fdopen(to_child[1], "w");
    out = ::fdopen(from_child[0], "r");
    expect_line("pid");
  }
  void expect_line(const char* start) {
    char line[128];
    if (!std::fgets(line, sizeof line, out) || std::string(line).rfind(start, 0) != 0) {
      std::fprintf(stderr, "the workload did not say %s\n", start);
      std::exit(1);
    }
  }
  void say() {
    std::fputs("\n", in);
    std::fflush(in);
  }
  // Starts the busy threads and returns when they are done.
  void run() {
    say();
    expect_line("done");
  }
  void end() {
    say();
    ::waitpid(pid, nullptr, 0);
    std::fclose(in);
    std::fclose(out);
  }
};

double cpu_seconds(const rusage& r) {
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double self_cpu() {
  rusage r{};
  ::getrusage(RUSAGE_SELF, &r);
  return cpu_seconds(r);
}

// utime + stime of a running process, from /proc.
double process_cpu(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  double utime = 0, stime = 0;
  fields >> utime >> stime;
  return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

frame next_answer(host_peer& host) {
  for (;;) {
    auto f = host.next();
    if (f.answer() != host_bridge_answer::runtime_updated && f.answer() != host_bridge_answer::command_line_updated)
      return f;
  }
}

// What the collector's log says the runtime lost.
std::uint64_t lost_in_log(const fs::path& dir) {
  std::uint64_t lost = 0;
  const std::regex line(R"(Runtime session: (\d+) events were lost)");
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream log(entry.path());
    for (std::string text; std::getline(log, text);) {
      std::smatch m;
      if (std::regex_search(text, m, line)) lost += std::stoull(m[1].str());
    }
  }
  return lost;
}

struct outcome {
  double cpu = 0;       // seconds of CPU
  double streaming_cpu = 0;  // of which while the workload ran
  double seconds = 0;   // of profiling
  std::uint64_t samples = 0;
  std::uint64_t lost = 0;
};

outcome profile_with_ours(const std::string& dll, const std::string& seconds, const std::string& threads,
                          const fs::path& work) {
  outcome o;
  workload w(dll, seconds, threads);
  host_peer host(work);
  std::string error;
  void* handle = create_collector(host.endpoint(), w.pid, false, error);
  if (!handle) {
    std::fprintf(stderr, "collector: %s\n", error.c_str());
    std::exit(1);
  }
  host.accept();
  host.handshake(0, false);
  host.send(host_bridge_command::go);
  next_answer(host);
  host.send(host_bridge_command::measure_snapshot_start);
  if (next_answer(host).answer() != host_bridge_answer::measure_snapshot_started) std::exit(1);

  const double cpu0 = self_cpu();
  const auto t0 = clock_type::now();
  w.run();
  o.seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
  o.streaming_cpu = self_cpu() - cpu0;
  host.send(host_bridge_command::measure_snapshot_stop_save);
  while (next_answer(host).answer() != host_bridge_answer::measure_snapshot_stopped) {
  }
  o.cpu = self_cpu() - cpu0;

  std::thread drain([&] { host.drain(); });
  const auto released = release_collector(handle);
  drain.join();
  if (!released.empty()) std::fprintf(stderr, "release: %s\n", released.c_str());
  w.end();
  o.samples = tw::tools::inspect_snapshot(host.paths().at(0).string()).samples;
  o.lost = lost_in_log(fs::temp_directory_path() / "TarnLogs");
  return o;
}

outcome profile_with_dotnet_trace(const std::string& dll, const std::string& dotnet_trace, const std::string& seconds,
                                  const std::string& threads, const fs::path& work) {
  outcome o;
  workload w(dll, seconds, threads);
  const auto file = work / "dotnet-trace.nettrace";
  fs::remove(file);
  const pid_t tracer = ::fork();
  if (tracer == 0) {
    std::freopen("/dev/null", "w", stdout);
    std::freopen("/dev/null", "w", stderr);
    const std::string pid = std::to_string(w.pid);
    ::execl(dotnet_trace.c_str(), dotnet_trace.c_str(), "collect", "-p", pid.c_str(), "--buffersize", "512",
            "--providers",
            "Microsoft-Windows-DotNETRuntime:0x4001C0F9:5,Microsoft-DotNETCore-SampleProfiler:0:4,"
            "Microsoft.Data.SqlClient.EventSource:0xFFFFFFFFFFFFFFFF:5,"
            "Microsoft-AspNetCore-Server-Kestrel:0xFFFFFFFFFFFFFFFF:5,System.Threading.Tasks.TplEventSource:0x23:4",
            "-o", file.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // The session runs once the runtime has sent the stream's header.
  const auto deadline = clock_type::now() + std::chrono::seconds(60);
  std::error_code ec;
  while ((!fs::exists(file) || fs::file_size(file, ec) == 0) && clock_type::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  const double cpu0 = process_cpu(tracer);
  const auto t0 = clock_type::now();
  w.run();
  o.seconds = std::chrono::duration<double>(clock_type::now() - t0).count();
  o.streaming_cpu = process_cpu(tracer) - cpu0;
  w.end();  // the target's exit ends the trace
  int status = 0;
  rusage usage{};
  ::wait4(tracer, &status, 0, &usage);
  o.cpu = cpu_seconds(usage) - cpu0;
  const auto stats = tw::tools::collect_trace_stats(file.string());
  o.lost = stats.status.events_lost;
  for (const auto& [id, count] : stats.counts)
    if (std::get<0>(id) == "Microsoft-DotNETCore-SampleProfiler") o.samples += count.count;
  fs::remove(file);
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: live_profile_bench WORKLOAD_DLL DOTNET_TRACE SECONDS THREADS WORK_DIR\n");
    return 2;
  }
  const std::string dll = argv[1], dotnet_trace = argv[2], seconds = argv[3], threads = argv[4];
  const fs::path work = fs::absolute(argv[5]);
  fs::remove_all(work);
  fs::create_directories(work / "ours");
  fs::create_directories(work / "theirs");
  // The workload's diagnostic socket and our log both go under it.
  ::setenv("TMPDIR", work.c_str(), 1);

  const auto ours = profile_with_ours(dll, seconds, threads, work / "ours");
  const auto theirs = profile_with_dotnet_trace(dll, dotnet_trace, seconds, threads, work / "theirs");

  std::printf("machine: %u hardware threads; workload: %s busy threads for %s s, default sampling rate\n",
              std::thread::hardware_concurrency(), threads.c_str(), seconds.c_str());
  std::printf("%-22s %10s %14s %16s %10s %8s\n", "profiler", "CPU s", "CPU per s", "while running", "samples",
              "lost");
  for (const auto& [name, o] : {std::pair{"ours (collector)", ours}, std::pair{"dotnet-trace collect", theirs}})
    std::printf("%-22s %10.3f %13.1f%% %15.1f%% %10llu %8llu\n", name, o.cpu, 100.0 * o.cpu / o.seconds,
                100.0 * o.streaming_cpu / o.seconds, static_cast<unsigned long long>(o.samples),
                static_cast<unsigned long long>(o.lost));
  std::printf("(CPU per s: everything from the start of profiling to its end, saving included; while running:\n"
              " only while the workload ran)\n");
  std::printf("CPU per second, ours / dotnet-trace: %.3f (target: at most 25%% of a core, and below 1)\n",
              theirs.cpu > 0 ? (ours.cpu / ours.seconds) / (theirs.cpu / theirs.seconds) : 0.0);
  return 0;
}
