#include "tools/record.h"

#include "api/event_pipe_api.h"
#include "tools/bridge_host.h"

#include <dlfcn.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tw::tools {

using tw_prof::host_bridge_answer;
using tw_prof::host_bridge_command;
using namespace std::chrono_literals;

namespace {

// The library's exports, found as a front end finds them: beside this
// program first (a build folder), then where the loader looks.
class profiler_library {
 public:
  profiler_library() {
    std::error_code ec;
    const auto beside = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path() / name;
    handle_ = ::dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) handle_ = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("Cannot load the profiler library: ") + ::dlerror());
    create = symbol<decltype(create)>("EventPipeApiCreateCollector");
    release = symbol<decltype(release)>("EventPipeApiReleaseCollector");
    release_error = symbol<decltype(release_error)>("ReleaseErrorInfo");
  }
  ~profiler_library() { ::dlclose(handle_); }
  profiler_library(const profiler_library&) = delete;
  profiler_library& operator=(const profiler_library&) = delete;

  // The error record's text, the record released; empty for none.
  std::string take(error_info* error) const {
    if (error == nullptr) return {};
    std::string text = error->message ? error->message : "(an error without text)";
    release_error(error);
    return text;
  }

  decltype(&EventPipeApiCreateCollector) create = nullptr;
  decltype(&EventPipeApiReleaseCollector) release = nullptr;
  decltype(&ReleaseErrorInfo) release_error = nullptr;

 private:
  static constexpr const char* name = "libevent_pipe_timeline_profiler.so";
  template <class F>
  F symbol(const char* s) {
    auto* f = reinterpret_cast<F>(::dlsym(handle_, s));
    if (f == nullptr) throw std::runtime_error(std::string("The profiler library has no ") + s);
    return f;
  }
  void* handle_ = nullptr;
};

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }
const event_pipe_char16* text(const std::u16string& s) { return reinterpret_cast<const event_pipe_char16*>(s.c_str()); }

std::string megabytes(std::uintmax_t bytes) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1) << static_cast<double>(bytes) / 1e6 << " MB";
  return out.str();
}

// Skips the target's notifications (runtime and command line updates).
bridge_frame expect(bridge_host& host, host_bridge_answer wanted, const char* what) {
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (std::chrono::steady_clock::now() < deadline) {
    auto f = host.next(200ms);
    if (!f) continue;
    if (f->answer() == wanted) return *f;
    if (f->answer() == host_bridge_answer::runtime_updated || f->answer() == host_bridge_answer::command_line_updated)
      continue;
    if (f->answer() == host_bridge_answer::alert) {
      // Severity, code, then the message, whose first line says it.
      auto c = f->cursor();
      c.byte();
      c.read<std::uint32_t>();
      auto message = tw_prof::read_sized_string(c);
      throw std::runtime_error(message.substr(0, message.find('\n')));
    }
    throw std::runtime_error(std::string("The profiler answered ") + tw_prof::to_string(f->answer()) +
                             " while " + what);
  }
  throw std::runtime_error(std::string("The profiler did not answer while ") + what);
}

}  // namespace

int record(const record_options& options, const std::atomic<int>& interrupts) {
  const bool terminal = ::isatty(2);
  const auto folder = std::filesystem::absolute(options.out).parent_path();
  if (!std::filesystem::is_directory(folder))
    throw std::runtime_error("No folder " + folder.string() + " to write the snapshot in");
  profiler_library library;
  bridge_host host(options.out);
  error_info* error = nullptr;
  const auto endpoint = u16(host.endpoint()), empty = u16("");
  void* collector =
      library.create(text(endpoint), options.pid, text(empty), text(empty), text(empty), 1, 0, &error);
  if (collector == nullptr) throw std::runtime_error(library.take(error));
  library.take(error);

  // Whatever happens next, the collector is released, with the host serving
  // what the release asks of it.
  struct releaser {
    profiler_library& library;
    bridge_host& host;
    void* collector;
    std::string release() {
      if (collector == nullptr) return {};
      std::thread drain([this] {
        try {
          while (true) host.next(200ms);
        } catch (...) {
          // the connection's end
        }
      });
      error_info* e = nullptr;
      library.release(std::exchange(collector, nullptr), &e);
      drain.join();
      return library.take(e);
    }
    ~releaser() { release(); }
  } releasing{library, host, collector};

  if (!host.accept(30s)) throw std::runtime_error("The profiler did not connect to its host");
  host.handshake(false);
  host.send(host_bridge_command::go);
  expect(host, host_bridge_answer::measure_snapshot_stopped, "starting");
  host.send(host_bridge_command::measure_snapshot_start);
  expect(host, host_bridge_answer::measure_snapshot_started, "starting the snapshot");

  // Recording, until the time is up, an interrupt, or the process's end
  // (the bridge then saves on its own).
  const auto start = std::chrono::steady_clock::now();
  auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  bool saving_on_its_own = false;
  while (!saving_on_its_own) {
    if (interrupts.load() > 0 || (options.seconds > 0 && seconds() >= options.seconds)) break;
    if (terminal)
      std::cerr << "\rrecording pid " << options.pid << ": " << std::fixed << std::setprecision(1) << seconds()
                << " s, snapshot " << megabytes(host.snapshot_bytes()) << "   " << std::flush;
    if (auto f = host.next(200ms)) saving_on_its_own = f->answer() == host_bridge_answer::operation_started;
  }
  if (terminal) std::cerr << "\n";
  if (saving_on_its_own) {
    std::cerr << "eptl: the process ended; saving its snapshot\n";
  } else {
    host.send(host_bridge_command::measure_snapshot_stop_save);
    expect(host, host_bridge_answer::operation_started, "saving");
  }

  // Saving, with its progress; a further interrupt cancels it.
  bool cancel_sent = false, saved = false;
  const int interrupts_before = interrupts.load();
  for (;;) {
    if (!cancel_sent && interrupts.load() > interrupts_before && interrupts.load() >= 2) {
      tw_prof::bridge_params way;
      way.put(std::uint8_t{0});
      host.send(host_bridge_command::cancel_operation, way);
      cancel_sent = true;
    }
    std::optional<bridge_frame> f;
    try {
      f = host.next(200ms);
    } catch (...) {
      if (saved) break;  // a bridge whose process ended closes once it has saved
      throw;
    }
    if (!f) continue;
    if (f->answer() == host_bridge_answer::operation_progress) {
      auto c = f->cursor();
      const auto done = c.read<std::uint32_t>(), total = c.read<std::uint32_t>();
      const unsigned percent = total ? static_cast<unsigned>(std::uint64_t{done} * 100 / total) : 0;
      if (terminal) {
        const unsigned width = 40, filled = percent * width / 100;
        std::cerr << "\rsaving [" << std::string(filled, '#') << std::string(width - filled, ' ') << "] "
                  << std::setw(3) << percent << "%" << std::flush;
      }
    } else if (f->answer() == host_bridge_answer::snapshot_done) {
      saved = true;
    } else if (f->answer() == host_bridge_answer::measure_snapshot_stopped) {
      break;
    }
  }
  if (terminal) std::cerr << "\n";
  const auto release_error = releasing.release();
  if (!release_error.empty()) throw std::runtime_error(release_error);
  if (!saved) {
    std::cerr << "eptl: recording dropped, nothing was written\n";
    return 130;
  }
  std::cout << options.out << "\n";
  return 0;
}

}  // namespace tw::tools
