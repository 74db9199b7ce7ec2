#include "tools/record.h"

#include "api/event_pipe_api.h"
#include "event_pipe_api/src/session.h"
#include "tools/bridge_host.h"
#include "tools/progress_bar.h"
#include "event_pipe_timeline_profiler/src/crash_report.h"
#include "event_pipe_timeline_profiler/src/environment.h"
#include "tw/system/linux/detail_proc_utils.h"

#include <dlfcn.h>
#include <signal.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <system_error>
#include <cstdio>
#include <filesystem>
#include <fstream>
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

std::u16string u16(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }
const event_pipe_char16* text(const std::u16string& s) { return reinterpret_cast<const event_pipe_char16*>(s.c_str()); }

// The library's exports, found as a front end finds them: beside this
// program first (a build folder), then where it is installed beside it
// (PREFIX/lib for PREFIX/bin), then where the loader looks. The installed
// place is named in full: the run path that says the same is not heard
// where a sanitizer's runtime makes the call to the loader.
class profiler_library {
 public:
  profiler_library() {
    std::error_code ec;
    const auto here = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path();
    for (const auto& place : {here / name, here / TW_BIN_TO_LIB / name}) {
      handle_ = ::dlopen(place.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (handle_ != nullptr) break;
    }
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

  // A live collector, with the task library's events, of `pid`, or of the
  // program that connects to `port` when one is named; throws the library's
  // error.
  void* create_collector(const std::string& bridge_endpoint, std::uint32_t pid, const std::filesystem::path& port) {
    const auto endpoint = u16(bridge_endpoint), empty = u16(""), port_text = u16(port.string());
    constexpr std::int32_t with_tasks = 1, test_mode = 0;
    error_info* error = nullptr;
    void* collector =
        create(text(endpoint), pid, text(empty), text(empty), text(port_text), with_tasks, test_mode, &error);
    if (collector == nullptr) throw std::runtime_error(take(error));
    take(error);
    return collector;
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

std::string megabytes(std::uintmax_t bytes) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(1) << static_cast<double>(bytes) / 1e6 << " MB";
  return out.str();
}

// An alert's severity and the first line of its message.
std::pair<tw_prof::severity, std::string> read_alert(const bridge_frame& f) {
  auto c = f.cursor();
  const auto level = static_cast<tw_prof::severity>(c.byte());
  c.read<std::uint32_t>();
  auto message = tw_prof::read_sized_string(c);
  return {level, message.substr(0, message.find('\n'))};
}

// A process that has no diagnostic socket will never get one we can reach:
// better said now than after a search that cannot end.
void require_diagnostic_socket(std::uint32_t pid) {
  namespace ep = tarnwell::collector::event_pipe;
  if (tw::detail_proc_utils::process_ended(static_cast<pid_t>(pid)))
    throw std::runtime_error("There is no process " + std::to_string(pid));
  // Throws when the process's container cannot be looked into.
  const auto places = ep::diagnostic_places(static_cast<int>(pid));
  if (ep::locate_diagnostic_socket(static_cast<int>(pid))) {
    if (tw::detail_proc_utils::process_stopped(static_cast<pid_t>(pid)))
      throw std::runtime_error("Process " + std::to_string(pid) +
                               " does not answer: it is stopped (by SIGSTOP, or held by a debugger)");
    return;
  }
  std::string where;
  for (const auto& place : places) where.append(where.empty() ? "" : ", ").append(place.directory.string());
  throw std::runtime_error("Process " + std::to_string(pid) + " has no diagnostic socket in " + where +
                           ": it is not a .NET process, or its runtime runs with diagnostics disabled "
                           "(DOTNET_EnableDiagnostics=0), or it runs as another user");
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
      auto [level, message] = read_alert(*f);
      if (level == tw_prof::severity::warning) {
        std::cerr << "eptl: " << message << "\n";
        continue;
      }
      throw std::runtime_error(message);
    }
    throw std::runtime_error(std::string("The profiler answered ") + tw_prof::to_string(f->answer()) +
                             " while " + what);
  }
  throw std::runtime_error(std::string("The profiler did not answer while ") + what);
}

// A program started with the diagnostic port in its environment: its
// runtime connects there and waits, suspended, to be resumed. Its crash, if
// it has one, leaves a report for the recording.
class launched_program {
 public:
  launched_program(const std::vector<std::string>& command,
                   const std::vector<std::pair<std::string, std::string>>& environment) {
    std::vector<char*> argv;
    for (const auto& a : command) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (const auto& [name, value] : environment) variables.push_back(name + "=" + value);
    pid_ = ::fork();
    if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "Cannot start " + command[0]);
    if (pid_ == 0) {
      for (auto& v : variables) ::putenv(v.data());
      ::execvp(argv[0], argv.data());
      std::fprintf(stderr, "eptl: cannot start %s: %s\n", argv[0], std::strerror(errno));
      _exit(127);
    }
  }
  ~launched_program() {
    // Left running only when it would not end: a recording stopped by a
    // signal of its own.
    if (!exit_code_ && !let_go_) wait(std::chrono::seconds(5));
  }
  // It runs on after the recording, as it was meant to: nothing waits for it.
  void let_go() noexcept { let_go_ = true; }

  std::uint32_t pid() const { return static_cast<std::uint32_t>(pid_); }
  // The exit code once it has ended (128 + N for signal N).
  std::optional<int> wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exit_code_) {
      int status = 0;
      const pid_t r = ::waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (r < 0 && errno != EINTR) {
        exit_code_ = -1;
      } else if (std::chrono::steady_clock::now() >= deadline) {
        break;
      } else {
        std::this_thread::sleep_for(20ms);
      }
    }
    return exit_code_;
  }

 private:
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
  bool let_go_ = false;
};

// A folder of this user's for the port's socket, removed with it.
struct port_folder {
  port_folder() {
    // A socket's path has room for 107 bytes: a temporary directory too deep
    // for one gives way to /tmp.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/eptl-XXXXXX";
    if (pattern.size() + std::string_view("/port").size() >= sizeof(sockaddr_un::sun_path)) pattern = "/tmp/eptl-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
      throw std::system_error(errno, std::generic_category(), "Cannot make a folder for the diagnostic port");
    path = pattern;
  }
  ~port_folder() {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
  std::filesystem::path path;
};

}  // namespace

std::string capture_name(const std::string& out, unsigned n) {
  if (n <= 1) return out;
  const std::filesystem::path p(out);
  return (p.parent_path() / (p.stem().string() + "-" + std::to_string(n) + p.extension().string())).string();
}

namespace {

// A save over the bridge, to its end: progress on a terminal, a further
// interrupt cancels it. `then` is the answer that ends it (stopped, or
// started when recording goes on). Returns whether the snapshot was written.
bool follow_save(bridge_host& host, const std::atomic<int>& interrupts, bool terminal, host_bridge_answer then) {
  auto show_saving = [&](unsigned long percent) {
    if (terminal) std::cerr << "\rsaving " << progress_bar(percent) << std::flush;
  };
  show_saving(0);
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
      show_saving(total ? std::uint64_t{done} * 100 / total : 0);
    } else if (f->answer() == host_bridge_answer::snapshot_done) {
      // A save quicker than the first progress report still shows its end.
      show_saving(100);
      saved = true;
    } else if (f->answer() == then || f->answer() == host_bridge_answer::measure_snapshot_stopped) {
      break;
    } else if (f->answer() == host_bridge_answer::alert) {
      const auto [level, message] = read_alert(*f);
      if (terminal) std::cerr << "\n";
      std::cerr << "eptl: " << message << "\n";
    }
  }
  if (terminal) std::cerr << "\n";
  return saved;
}

}  // namespace

int record(const record_options& options, const std::atomic<int>& interrupts) {
  const bool terminal = ::isatty(2);
  const auto folder = std::filesystem::absolute(options.out).parent_path();
  if (!std::filesystem::is_directory(folder))
    throw std::runtime_error("No folder " + folder.string() + " to write the snapshot in");
  const bool launching = !options.command.empty();
  const bool windowed = options.window.windowed();
  if (!launching) require_diagnostic_socket(options.pid);
  profiler_library library;
  bridge_host host(options.out);
  // A program started here gets a folder of the recording's own: its
  // diagnostic port, and its crash report should it die.
  std::optional<port_folder> own_folder;
  std::filesystem::path port;
  if (launching) {
    own_folder.emplace();
    port = own_folder->path / "port";
  }
  void* collector = library.create_collector(host.endpoint(), options.pid, port);

  // Whatever happens next, the collector is released, with the host serving
  // what the release asks of it.
  struct releaser {
    profiler_library& library;
    bridge_host& host;
    void* collector;
    std::string release() {
      if (collector == nullptr) return {};
      std::atomic<bool> released{false};
      std::thread drain([&] {
        try {
          while (!released.load() && host.connected()) host.next(200ms);
        } catch (...) {
          // the connection's end
        }
      });
      error_info* e = nullptr;
      library.release(std::exchange(collector, nullptr), &e);
      released.store(true);
      drain.join();
      return library.take(e);
    }
    ~releaser() { release(); }
  } releasing{library, host, collector};

  std::optional<launched_program> program;
  if (launching) {
    auto environment = tw_prof::crash_report_environment(own_folder->path);
    environment.emplace_back("DOTNET_DiagnosticPorts", port.string());
    program.emplace(options.command, environment);
  }
  // A running process's runtime answers within the library's deadline (3 s),
  // and then the library connects at once; a program started here may take
  // longer to start its runtime.
  const auto connect_by = std::chrono::steady_clock::now() + (launching ? 30s : 5s);
  while (!host.accept(200ms)) {
    if (program && program->wait(0ms))
      throw std::runtime_error("The program ended before its runtime connected: is it a .NET program?");
    if (std::chrono::steady_clock::now() >= connect_by) {
      // The library says why: a runtime that did not answer, most often.
      auto why = releasing.release();
      throw std::runtime_error(why.empty() ? "The profiler did not connect to its host" : why);
    }
  }
  // A program started here is profiled from its start: go begins the
  // snapshot (with its window), and the runtime is resumed once it runs.
  tw_prof::bridge_params settings;
  if (windowed) tw_prof::put_window_settings(settings, options.window);
  host.handshake(launching);
  host.send(host_bridge_command::go, launching ? settings : tw_prof::bridge_params{});
  if (launching) {
    expect(host, host_bridge_answer::measure_snapshot_started, "starting");
  } else {
    expect(host, host_bridge_answer::measure_snapshot_stopped, "starting");
    host.send(host_bridge_command::measure_snapshot_start, settings);
    expect(host, host_bridge_answer::measure_snapshot_started, "starting the snapshot");
  }
  const std::uint32_t pid = program ? program->pid() : options.pid;

  // Recording, until the time is up, an interrupt, the process's end (the
  // bridge then saves on its own) or, for a window, a trigger; a trigger
  // while captures are left saves and records on.
  const auto start = std::chrono::steady_clock::now();
  auto seconds = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
  bool saving_on_its_own = false, ended_unexpectedly = false;
  std::vector<std::string> written;
  for (unsigned capture = 1;; ++capture) {
    host.name_next_snapshot(capture_name(options.out, capture));
    std::optional<std::string> triggered;
    while (!saving_on_its_own && !triggered) {
      if (interrupts.load() > 0 || (options.seconds > 0 && seconds() >= options.seconds)) break;
      if (terminal)
        std::cerr << "\r" << (windowed ? "flight recording pid " : "recording pid ") << pid << ": " << std::fixed
                  << std::setprecision(1) << seconds() << " s, snapshot " << megabytes(host.snapshot_bytes())
                  << "   " << std::flush;
      if (auto f = host.next(200ms)) {
        saving_on_its_own = f->answer() == host_bridge_answer::operation_started;
        // The profiler warns before it saves what a process that died left;
        // other warnings are for the user.
        if (f->answer() == host_bridge_answer::alert) {
          const auto [level, message] = read_alert(*f);
          if (message == tw_prof::target_lost_warning) {
            ended_unexpectedly = true;
          } else if (level == tw_prof::severity::warning) {
            if (terminal) std::cerr << "\n";
            std::cerr << "eptl: " << message << "\n";
          }
        }
        if (f->answer() == host_bridge_answer::snapshot_triggered) {
          auto c = f->cursor();
          triggered = tw_prof::read_sized_string(c);
        }
      }
    }
    if (terminal) std::cerr << "\n";
    const bool records_on = triggered && capture < options.captures;
    if (saving_on_its_own) {
      std::cerr << (ended_unexpectedly ? "eptl: the process ended unexpectedly (killed or crashed); saving what was "
                                         "recorded up to its end\n"
                                       : "eptl: the process ended; saving its snapshot\n");
    } else {
      if (triggered) std::cerr << "eptl: captured on " << *triggered << "\n";
      host.send(records_on ? host_bridge_command::measure_snapshot_stop_save_start
                           : host_bridge_command::measure_snapshot_stop_save,
                records_on ? settings : tw_prof::bridge_params{});
      expect(host, host_bridge_answer::operation_started, "saving");
    }
    const bool saved = follow_save(host, interrupts, terminal,
                                   records_on ? host_bridge_answer::measure_snapshot_started
                                              : host_bridge_answer::measure_snapshot_stopped);
    if (saved) {
      written.push_back(capture_name(options.out, capture));
      std::cout << written.back() << "\n" << std::flush;
    }
    if (!records_on || !saved) break;
  }
  const auto release_error = releasing.release();
  if (!release_error.empty()) throw std::runtime_error(release_error);
  if (program) {
    // A program that ended the recording is waited for; one that a Ctrl-C at
    // the terminal reached too is given a moment to end; one whose recording
    // ran out of time runs on.
    const auto grace = saving_on_its_own ? 10s : interrupts.load() > 0 ? 2s : 200ms;
    if (const auto code = program->wait(std::chrono::duration_cast<std::chrono::milliseconds>(grace))) {
      std::cerr << "eptl: the program exited with code " << *code << "\n";
    } else {
      std::cerr << "eptl: the program goes on running as pid " << pid << "\n";
      if (interrupts.load() == 0) program->let_go();
    }
  }
  if (written.empty()) {
    std::cerr << "eptl: recording dropped, nothing was written\n";
    return 130;
  }
  return 0;
}

}  // namespace tw::tools
