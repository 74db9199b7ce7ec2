// End-to-end conversion of a large recording, side by side with TraceEvent's
// TraceLog.CreateFromEventPipeDataFile on the same file in the same run: both
// times, the ratio, and each one's peak resident memory. Each side runs as a
// child process so that its peak memory is its own.
//
//   convert_bench FILE.nettrace EPTL TRACELOG_BENCH_DLL WORK_DIR [TARGET_RATIO]

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) {
    std::fprintf(stderr, "usage: convert_bench FILE.nettrace EPTL TRACELOG_BENCH_DLL WORK_DIR [TARGET_RATIO]\n");
    return 2;
  }
  const std::string file = argv[1], eptl = argv[2], tracelog = argv[3], work = argv[4];
  const double target = argc == 6 ? std::stod(argv[5]) : 3.0;
  std::filesystem::create_directories(work);
  const double mb = static_cast<double>(std::filesystem::file_size(file)) / 1e6;

  const auto ours = run({eptl, "convert", file, "-o", work + "/bench.dtt"});
  for (const auto& e : std::filesystem::directory_iterator(work)) std::filesystem::remove(e.path());
  const auto base = run({"dotnet", tracelog, file, work + "/bench.etlx"});
  for (const auto& e : std::filesystem::directory_iterator(work)) std::filesystem::remove(e.path());
  if (ours.status != 0 || base.status != 0) {
    std::fprintf(stderr, "a conversion failed (ours %d, TraceLog %d)\n", ours.status, base.status);
    return 1;
  }
  std::printf("recording: %s, %.1f MB\n", file.c_str(), mb);
  std::printf("%-36s %10s %10s %14s\n", "converter", "seconds", "MB/s", "peak RSS MiB");
  std::printf("%-36s %10.2f %10.1f %14.1f\n", "ours (eptl convert)", ours.seconds, mb / ours.seconds,
              ours.peak_kib / 1024.0);
  std::printf("%-36s %10.2f %10.1f %14.1f\n", "TraceLog.CreateFromEventPipeDataFile", base.seconds,
              mb / base.seconds, base.peak_kib / 1024.0);
  std::printf("speed ratio (TraceLog time / ours): %.2fx (target: at least %gx)\n", base.seconds / ours.seconds,
              target);
  std::printf("memory ratio (TraceLog peak / ours): %.2fx (target: above 1x)\n",
              static_cast<double>(base.peak_kib) / static_cast<double>(ours.peak_kib));
  return 0;
}
