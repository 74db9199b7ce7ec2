// End-to-end conversion of a large recording, side by side with TraceEvent's
// TraceLog.CreateFromEventPipeDataFile on the same file in the same run:
// TraceLog, eptl on one thread, eptl on the machine's cores, and optionally
// another eptl build (the baseline a change is measured against), each with
// its wall time, its CPU time (user and system) and its peak resident memory.
// Each runs as a child process so that its figures are its own. They take
// turns for a few rounds and each is reported by its median round, so that a
// moment when the machine is busy with something else does not decide.
//
//   convert_bench FILE.nettrace EPTL TRACELOG_BENCH_DLL WORK_DIR [TARGET_RATIO [ROUNDS [BASELINE_EPTL]]]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct measured {
  double seconds = 0;
  double cpu_seconds = 0;
  long peak_kib = 0;
  int status = -1;
};

measured run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::freopen("/dev/null", "w", stderr);
    ::execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  measured m;
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto cpu = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  m.cpu_seconds = cpu(usage.ru_utime) + cpu(usage.ru_stime);
  m.peak_kib = usage.ru_maxrss;
  m.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return m;
}

// The median round by time, with the largest peak of all rounds.
measured median(std::vector<measured> rounds) {
  std::sort(rounds.begin(), rounds.end(), [](const auto& a, const auto& b) { return a.seconds < b.seconds; });
  measured m = rounds[rounds.size() / 2];
  for (const auto& r : rounds) m.peak_kib = std::max(m.peak_kib, r.peak_kib);
  return m;
}

std::string seconds_list(const std::vector<measured>& rounds) {
  std::string text;
  char one[32];
  for (const auto& r : rounds) {
    std::snprintf(one, sizeof one, "%s%.2f", text.empty() ? "" : " ", r.seconds);
    text += one;
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5 || argc > 8) {
    std::fprintf(stderr,
                 "usage: convert_bench FILE.nettrace EPTL TRACELOG_BENCH_DLL WORK_DIR [TARGET_RATIO [ROUNDS "
                 "[BASELINE_EPTL]]]\n");
    return 2;
  }
  const std::string file = argv[1], eptl = argv[2], tracelog = argv[3], work = argv[4];
  const double target = argc >= 6 ? std::stod(argv[5]) : 3.0;
  const int round_count = argc >= 7 ? std::max(1, std::stoi(argv[6])) : 3;
  const std::string baseline = argc == 8 ? argv[7] : "";
  std::filesystem::create_directories(work);
  const double mb = static_cast<double>(std::filesystem::file_size(file)) / 1e6;

  struct side {
    const char* name;
    std::vector<std::string> argv;
    std::vector<measured> rounds;
  };
  const std::string cores = std::to_string(std::max(1u, std::thread::hardware_concurrency()));
  std::string every_name = "eptl convert --threads ";
  every_name += cores;
  std::vector<side> sides = {
      {"TraceLog.CreateFromEventPipeDataFile", {"dotnet", tracelog, file, work + "/bench.etlx"}, {}},
      {"eptl convert --threads 1", {eptl, "convert", file, "--threads", "1", "-o", work + "/bench.dtt"}, {}},
      {every_name.c_str(), {eptl, "convert", file, "--threads", cores, "-o", work + "/bench.dtt"}, {}},
  };
  if (!baseline.empty()) sides.push_back({"baseline eptl convert", {baseline, "convert", file, "-o", work + "/bench.dtt"}, {}});

  // Each run starts with no other run's output still being written back.
  const auto settle = [&] {
    for (const auto& e : std::filesystem::directory_iterator(work)) std::filesystem::remove(e.path());
    ::sync();
  };
  for (int round = 0; round < round_count; ++round) {
    for (auto& s : sides) {
      settle();
      s.rounds.push_back(run(s.argv));
      if (s.rounds.back().status != 0) {
        std::fprintf(stderr, "a conversion failed: %s (%d)\n", s.name, s.rounds.back().status);
        return 1;
      }
    }
  }
  settle();
  std::printf("recording: %s, %.1f MB; %u cores\n", file.c_str(), mb, std::thread::hardware_concurrency());
  std::printf("%-38s %8s %8s %9s %13s %10s\n", "converter (median round)", "seconds", "MB/s", "CPU s", "peak RSS MiB",
              "vs TraceLog");
  const auto base = median(sides[0].rounds);
  for (const auto& s : sides) {
    const auto m = median(s.rounds);
    std::printf("%-38s %8.2f %8.1f %9.2f %13.1f %9.2fx\n", s.name, m.seconds, mb / m.seconds, m.cpu_seconds,
                m.peak_kib / 1024.0, base.seconds / m.seconds);
  }
  for (const auto& s : sides) std::printf("rounds, seconds, %s: %s\n", s.name, seconds_list(s.rounds).c_str());
  const auto every = median(sides[2].rounds), one = median(sides[1].rounds);
  std::printf("speed ratio (TraceLog time / eptl, medians): one thread %.2fx, every core %.2fx (target: at least "
              "%gx)\n",
              base.seconds / one.seconds, base.seconds / every.seconds, target);
  std::printf("every core against one thread: %.2fx the speed, %.2fx the CPU time\n", one.seconds / every.seconds,
              every.cpu_seconds / one.cpu_seconds);
  if (!baseline.empty()) {
    const auto before = median(sides[3].rounds);
    std::printf("against the baseline build: one thread %.2fx its time, every core %.2fx its time and %.2fx its CPU "
                "time, peak RSS %+.1f MiB\n",
                one.seconds / before.seconds, every.seconds / before.seconds, every.cpu_seconds / before.cpu_seconds,
                (every.peak_kib - before.peak_kib) / 1024.0);
  }
  std::printf("memory ratio (TraceLog peak / eptl on every core): %.2fx (target: above 1x)\n",
              static_cast<double>(base.peak_kib) / static_cast<double>(every.peak_kib));
  return 0;
}
