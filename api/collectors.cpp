#include "api/collectors.h"

#include "tw/log/log.h"
#include "api/path_file_factory.h"
#include "api/profiler_connection_data.h"
#include "bridge/profiler_bridge.h"
#include "event_pipe_api/src/diagnostic_ports_server.h"
#include "event_pipe_api/src/session.h"
#include "event_pipe_timeline_profiler/src/netcore_profiler_api.h"
#include "bridge/netcore_profiler_bridge_proto.h"
#include "bridge/test_prof/netcore_test_profiler_bridge_proto.h"
#include "tw/error/exception_text.h"
#include "tw/error/file_write_error.h"
#include "tw/progress/progress_handler.h"
#include "tw/system/linux/detail_proc_utils.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <future>
#include <iomanip>
#include <mutex>
#include <stop_token>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace tw_prof {

namespace {

void init_logging(const char* source_name) {
  try {
    log::logger_init_default(source_name, log::default_mask, log::default_log_directory());
  } catch (...) {
    // A collector without a log still works.
  }
}

}  // namespace

namespace {

using tarnwell::collector::event_pipe::basic_connection_data;
using tarnwell::collector::event_pipe::diagnostic_ports_server;
using tarnwell::collector::event_pipe::event_pipe_session;
using tarnwell::collector::event_pipe::non_existing_process;
using tarnwell::collector::event_pipe::session_stopped;
using tarnwell::collector::event_pipe::transport_not_found;

// The handle of a live collector.
struct bridge_holder {
  std::mutex mutex;
  std::atomic<bool> abandoned{false};  // the regular path must not start the bridge any more
  bool bridge_started = false;
  std::unique_ptr<event_pipe_session> lifetime_session;
  std::future<profiler_bridge_controller*> controller;
  // Ends a bridge creation still waiting for its host when the collector is
  // released.
  std::stop_source release;
  std::shared_ptr<diagnostic_ports_server> ports_server;
};

tarnwell::diagnostics_ipc::session_configuration lifetime_configuration() {
  tarnwell::diagnostics_ipc::session_configuration c;
  c.circular_buffer_mb = 256;
  c.providers = {tarnwell::collector::event_pipe_provider(u"Microsoft-Windows-DotNETRuntime",
                                                          tarnwell::collector::EventLevel::informational, 0)};
  return c;
}

// The ends a target or a session may come to on its own: they are no error
// of the release.
bool is_expected_end(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const session_stopped&) {
    return true;
  } catch (const transport_not_found&) {
    return true;
  } catch (const non_existing_process&) {
    return true;
  } catch (...) {
    return false;
  }
}

}  // namespace

void* create_timeline_collector(const std::string& bridge_endpoint, std::uint32_t pid,
                                const std::string& process_path, const std::string& command_line,
                                const std::string& diagnostic_port, bool with_tasks, bool test_mode) {
  auto holder = std::make_unique<bridge_holder>();
  std::unique_lock lock(holder->mutex);
  init_logging("Tarnwell.Net[Core]TimelineProfiler");
  TW_LOG(info) << "Start creating collector";
  TW_LOG(info) << bridge_endpoint;
  TW_LOG(info) << std::quoted(diagnostic_port);
  TW_LOG(info) << pid;
  TW_LOG(info) << std::quoted(process_path);
  TW_LOG(info) << command_line;
  TW_LOG(info) << "Running EventPipe-based profiler for .NET (Core) in timeline mode";
  // With a diagnostic port alone, every runtime that connects is profiled
  // and no process is named beforehand.
  if (pid == 0 && diagnostic_port.empty()) throw std::invalid_argument("The process id is 0");
  // The system's type from here on; the exports' unsigned 32 bits never hold
  // a pid that it does not.
  if (pid > static_cast<std::uint32_t>(std::numeric_limits<pid_t>::max()))
    throw std::invalid_argument("The process id " + std::to_string(pid) + " is out of range");
  const pid_t target = static_cast<pid_t>(pid);
  // These are known now: the caller hears of them at once rather than at the
  // release.
  check_bridge_endpoint(bridge_endpoint);
  if (target != 0 && tw::detail_proc_utils::process_ended(target)) throw non_existing_process(target);
  // A container this user cannot look into is said now, not after a search
  // that cannot end.
  if (target != 0) tarnwell::collector::event_pipe::process_root(target);
  // A runtime that connects to our port is profiled through that connection
  // alone. It may wait suspended meanwhile, and a session opened and stopped
  // through its own socket before it is resumed would harm it.
  const bool connects_back = target != 0 && !diagnostic_port.empty() &&
                             tarnwell::collector::event_pipe::runtime_connects_to(target, diagnostic_port);
  if (connects_back)
    TW_LOG(info) << "Process " << pid << " connects to the diagnostic port; no regular session is opened for it";
  else if (target != 0)
    holder->lifetime_session = std::make_unique<event_pipe_session>(target, lifetime_configuration());
  lock.unlock();

  auto* h = holder.get();
  if (!diagnostic_port.empty()) {
    const reverse_bridge_settings settings{
        .bridge_endpoint = bridge_endpoint, .with_tasks = with_tasks, .poll_command_line = true, .test_mode = test_mode};
    holder->ports_server = std::make_shared<diagnostic_ports_server>(
        nullptr,
        [](const std::filesystem::path& path) {
          return std::make_unique<event_pipe_session>(path, lifetime_configuration());
        },
        [h, target, pid, settings](std::unique_ptr<event_pipe_session> session) -> std::shared_ptr<basic_connection_data> {
          std::lock_guard lock(h->mutex);
          if (target != 0 && session->pid() == target) {
            if (h->bridge_started && h->controller.valid()) {
              TW_LOG(info) << "Process " << pid << " connected back; its running bridge is kept";
              return std::make_shared<profiler_connection_data>(std::move(session), std::move(h->controller));
            }
            // Our process came through the port first: the regular path
            // must not start a second bridge for it.
            h->abandoned.store(true);
          }
          return std::make_shared<profiler_connection_data>(std::move(session), settings);
        },
        diagnostic_port, false);
    holder->ports_server->run();
  }
  if (!holder->lifetime_session) return holder.release();

  // Under the mutex: a reverse connection of the same process may look at
  // the future from the server's thread.
  std::lock_guard guard(holder->mutex);
  holder->controller = std::async(std::launch::async, [h, bridge_endpoint, pid, process_path, command_line, with_tasks,
                                                       test_mode]() -> profiler_bridge_controller* {
    TW_LOG(info) << "Starting regular EventPipe session for profiling lifetime";
    h->lifetime_session->start();
    TW_LOG(info) << "Regular EventPipe session for profiling lifetime started";
    std::lock_guard lock(h->mutex);
    if (h->abandoned.load()) {
      // Its runtime may still wait to be resumed: it is sent nothing more.
      h->lifetime_session->drop();
      return nullptr;
    }
    TW_LOG(info) << "Starting the bridge with regular session (for process " << h->lifetime_session->pid() << ")";
    h->bridge_started = true;
    std::unique_ptr<prof_bridge_proto> proto;
    profiled_process process{.pid = pid,
                             .process_path = process_path,
                             .command_line = command_line,
                             .with_tasks = with_tasks,
                             .lifetime_session = h->lifetime_session.get()};
    if (test_mode)
      proto = std::make_unique<netcore_test_profiler_bridge_proto>(std::move(process));
    else
      proto = std::make_unique<netcore_profiler_bridge_proto>(std::move(process));
    return create_profiler_bridge_controller(std::move(proto), bridge_endpoint, h->release.get_token()).release();
  });
  return holder.release();
}

void release_timeline_collector(void* handle) {
  if (handle == nullptr) throw std::invalid_argument("The timeline collector handle is null");
  // The handle is gone after this call whatever happens.
  std::unique_ptr<bridge_holder> holder(static_cast<bridge_holder*>(handle));
  try {
    // A bridge that failed before the release is reported; one still waiting
    // for its host gives up now, and that is no failure.
    const bool settled = holder->controller.valid() &&
                         holder->controller.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    holder->release.request_stop();
    {
      std::lock_guard lock(holder->mutex);
      if (holder->lifetime_session) holder->lifetime_session->stop_async();
    }
    if (holder->ports_server) {
      holder->ports_server->stop();
      holder->ports_server->wait();
      holder->ports_server.reset();
    }
    if (holder->controller.valid()) {
      std::unique_ptr<profiler_bridge_controller> controller;
      try {
        controller.reset(holder->controller.get());
      } catch (...) {
        if (settled && !holder->abandoned.load()) throw;
        TW_LOG(info) << "The bridge ended before its host was ready: " << tw::current_exception_to_string();
      }
      // The running bridge saves its last snapshot and ends.
      controller.reset();
    }
    holder->lifetime_session.reset();
    TW_LOG(info) << "EventPipe-based Timeline profiler for .NET (Core) stopped";
  } catch (...) {
    if (!is_expected_end(std::current_exception())) throw;
  }
}

namespace {

using progress_callback = std::function<int(unsigned long, unsigned long, unsigned long)>;
using tarnwell::collector::event_pipe::consumer_status;

// The conversion of one recorded file; freed by release.
struct nettrace_api_holder {
  std::uint64_t progress_total = 100;
  std::uint64_t conversion_share = 90;
  std::shared_ptr<prof_api_base> profiler;
  progress_callback progress;
  std::future<void> done;
  std::unique_ptr<snapshot> snapshot_handle;
  std::string snapshot_path;
};

// Inside a catch handler: a failure to write the snapshot's files is said of
// the snapshot; any other goes on as it is.
[[noreturn]] void rethrow_as_write_error(const std::string& snapshot_path) {
  try {
    throw;
  } catch (const tw::file_write_error& e) {
    TW_LOG(error) << tw::current_exception_to_string();
    throw snapshot_write_error("Cannot write the snapshot " + snapshot_path + ": " + e.code().message());
  }
}

// Conversion reports 0..90 of the caller's 100; a refusal cancels.
progress_callback make_sub_progress_with_throw(std::uint64_t share, std::uint64_t total, progress_callback progress) {
  return [share, total, progress = std::move(progress)](unsigned long done, unsigned long of,
                                                        unsigned long finished) -> int {
    if (progress(done * share, of * total, finished) == 0) throw tarnwell::collector::event_pipe::cancel_processing();
    return 1;
  };
}

using tarnwell::collector::event_pipe::is_cancellation;

}  // namespace

void* create_nettrace_collector(const std::string& nettrace_path, const std::string& snapshot_path,
                                const std::string& parameter, event_pipe_progress_callback progress,
                                const conversion_options& options) {
  init_logging("Tarnwell.NettraceProcessing");
  TW_LOG(info) << "Start processing Nettrace";
  TW_LOG(info) << std::quoted(nettrace_path);
  TW_LOG(info) << std::quoted(snapshot_path);
  TW_LOG(info) << parameter;
  // Both the conversion and its release report through the callback.
  if (progress == nullptr) throw std::invalid_argument("The progress callback is required");
  if (snapshot_path.empty()) throw std::invalid_argument("The snapshot path is empty");
  // Checked without opening: a trace may come through a pipe, which a probe
  // would consume.
  if (::access(nettrace_path.c_str(), R_OK) != 0 || std::filesystem::is_directory(nettrace_path))
    throw std::runtime_error("Unable to open the nettrace file \"" + nettrace_path + "\"");

  auto holder = std::make_unique<nettrace_api_holder>();
  holder->progress = progress;
  nettrace_param target{nettrace_path, parameter,
                        make_sub_progress_with_throw(holder->conversion_share, holder->progress_total, progress),
                        {{}, options.recorded_module_paths, options.module_directories},
                        options.call_tree_limit,
                        options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency())};
  holder->profiler = create_netcore_profiler_api(std::move(target), {}, std::make_unique<bridge_notifier>());
  holder->snapshot_path = snapshot_path;
  try {
    holder->snapshot_handle =
        holder->profiler->start_snapshot(std::make_unique<path_file_factory>(snapshot_path), make_random_environment());
  } catch (...) {
    rethrow_as_write_error(snapshot_path);
  }
  // The worker sees the end of the file; a failed read (other than the
  // caller's cancellation) completes it with that error.
  // The worker sees the end of the file. A recording that fails before any
  // event came fails the conversion; one cut short or damaged later is
  // converted up to there.
  holder->done = std::async(std::launch::async, [profiler = holder->profiler] {
    profiler->wait_until_inactive();
    const auto status = profiler->stream_status();
    if (status.status == consumer_status::failed && status.error && !is_cancellation(status.error) &&
        (status.events == 0 || tw::is_file_write_error(status.error)))
      std::rethrow_exception(status.error);
  });
  return holder.release();
}

void release_nettrace_collector(void* handle, conversion_outcome* outcome) {
  if (handle == nullptr) throw std::invalid_argument("The nettrace collector handle is null");
  // The handle is gone after this call whatever happens: a failure drops the
  // snapshot and reaches the caller as an error record.
  std::unique_ptr<nettrace_api_holder> holder(static_cast<nettrace_api_holder*>(handle));
  TW_LOG(info) << "Waiting for NetTrace processing finish...";
  try {
    holder->done.get();
  } catch (...) {
    holder->snapshot_handle->reset();
    rethrow_as_write_error(holder->snapshot_path);
  }
  if (const auto status = holder->profiler->stream_status();
      status.status == consumer_status::failed && !is_cancellation(status.error)) {
    const auto reason = tw::exception_summary(status.error);
    TW_LOG(warning) << "The recording ends early: " << reason << "; the " << status.events
                    << " events before byte " << status.position << " are converted";
    if (outcome) *outcome = {true, status.position, status.events, reason};
  }
  const std::uint64_t total = holder->progress_total;
  const std::uint64_t converted = holder->conversion_share;
  if (holder->progress(converted, total, 0) != 0) {
    TW_LOG(info) << "NetTrace processing finished, saving converted snapshot...";
    // The save gets what the conversion left of the scale.
    progress_handler_impl handler([report = holder->progress, total, converted](unsigned done, unsigned of) {
      if (report(of * converted + done * (total - converted), of * total, 0) == 0)
        throw tarnwell::collector::event_pipe::cancel_processing();
      return true;
    });
    try {
      holder->snapshot_handle->save_with_progress(handler);
    } catch (...) {
      holder->snapshot_handle->reset();
      rethrow_as_write_error(holder->snapshot_path);
    }
    TW_LOG(info) << "Snapshot saved, notify managed side that everything finished";
  } else {
    holder->snapshot_handle->reset();
    TW_LOG(info) << "NetTrace processing was cancelled, notify managed side that everything finished";
  }
  holder->progress(total, total, 1);
  holder->snapshot_handle.reset();
  holder->done = {};
  holder->profiler.reset();
  TW_LOG(info) << "NetTrace processing terminated";
}

}  // namespace tw_prof
