// End-to-end conversion of a large recording, side by side with TraceEvent's
// TraceLog.CreateFromEventPipeDataFile on the same file in the same run: both
// times, the ratio, and each one's peak resident memory. Each side runs as a
// child process so that its peak memory is its own. The two take turns for
// a few rounds and each is reported by its median round, so that a moment
// when the machine is busy with something else does not decide the ratio.
//
//   convert_bench FILE.nettrace EPTL TRACELOG_BENCH_DLL WORK_DIR [TARGET_RATIO [ROUNDS]]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct measured {
  double seconds = 0;
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
  if (argc < 5 || argc > 7) {
    std::fprintf(stderr, "usage: convert_bench FILE.nettrace EPTL TRACELOG_BENCH_DLL WORK_DIR [TARGET_RATIO [ROUNDS]]\n");
    return 2;
  }
  const std::string file = argv[1], eptl = argv[2], tracelog = argv[3], work = argv[4];
  const double target = argc >= 6 ? std::stod(argv[5]) : 3.0;
  const int round_count = argc == 7 ? std::max(1, std::stoi(argv[6])) : 3;
  std::filesystem::create_directories(work);
  const double mb = static_cast<double>(std::filesystem::file_size(file)) / 1e6;

  // Each run starts with no other run's output still being written back.
  const auto settle = [&] {
    for (const auto& e : std::filesystem::directory_iterator(work)) std::filesystem::remove(e.path());
    ::sync();
  };
  std::vector<measured> ours_rounds, base_rounds;
  for (int round = 0; round < round_count; ++round) {
    settle();
    ours_rounds.push_back(run({eptl, "convert", file, "-o", work + "/bench.dtt"}));
    settle();
    base_rounds.push_back(run({"dotnet", tracelog, file, work + "/bench.etlx"}));
    if (ours_rounds.back().status != 0 || base_rounds.back().status != 0) {
      std::fprintf(stderr, "a conversion failed (ours %d, TraceLog %d)\n", ours_rounds.back().status,
                   base_rounds.back().status);
      return 1;
    }
  }
  settle();
  const auto ours = median(ours_rounds);
  const auto base = median(base_rounds);
  std::printf("recording: %s, %.1f MB\n", file.c_str(), mb);
  std::printf("%-36s %10s %10s %14s\n", "converter", "seconds", "MB/s", "peak RSS MiB");
  std::printf("%-36s %10.2f %10.1f %14.1f\n", "ours (eptl convert)", ours.seconds, mb / ours.seconds,
              ours.peak_kib / 1024.0);
  std::printf("%-36s %10.2f %10.1f %14.1f\n", "TraceLog.CreateFromEventPipeDataFile", base.seconds,
              mb / base.seconds, base.peak_kib / 1024.0);
  std::printf("rounds, seconds: ours %s; TraceLog %s\n", seconds_list(ours_rounds).c_str(),
              seconds_list(base_rounds).c_str());
  std::printf("speed ratio (TraceLog time / ours, medians): %.2fx (target: at least %gx)\n", base.seconds / ours.seconds,
              target);
  std::printf("memory ratio (TraceLog peak / ours): %.2fx (target: above 1x)\n",
              static_cast<double>(base.peak_kib) / static_cast<double>(ours.peak_kib));
  return 0;
}
