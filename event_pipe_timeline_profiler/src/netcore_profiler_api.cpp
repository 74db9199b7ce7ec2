#include "event_pipe_timeline_profiler/src/netcore_profiler_api.h"

#include "tw/log/log.h"
#include "collector/src/collector/metadata_writers.h"
#include "event_pipe_api/src/dispatch.h"
#include "event_pipe_api/src/session.h"
#include "event_pipe_timeline_profiler/src/command_line_poller.h"
#include "event_pipe_timeline_profiler/src/event_processors/event_processor.h"
#include "event_pipe_timeline_profiler/src/profiler_sessions.h"
#include "event_pipe_timeline_profiler/src/crash_report.h"
#include "event_pipe_timeline_profiler/src/flight_recorder/flight_recorder.h"
#include "tw/system/linux/detail_proc_utils.h"
#include "tw/error/exception_text.h"
#include "tw/utility/le_writer.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <iomanip>
#include <mutex>
#include <optional>
#include <sstream>

namespace tw_prof {

namespace {

using namespace tarnwell;
using collector::event_pipe::consumer_status;
namespace format = tarnwell::collector::format;

using collector::event_pipe::event_pipe_consumer;
using collector::event_pipe::event_pipe_session;

using tw::exception_text;

// Locks: mutex_ (a snapshot's start and stop) is taken first; under it, and
// on the stream and chain threads alone, run_mutex_, sequence_points_mutex_,
// status_mutex_ and inactive_mutex_ are each held for a few statements and
// never two at once. None of those is held while a run's threads are waited
// for: they call back into destroy(), which takes run_mutex_; no callback
// takes mutex_, so a stop waits for the stream under it.
template <bool with_tpl>
class netcore_profiler_api final : public prof_api_base,
                                   public std::enable_shared_from_this<netcore_profiler_api<with_tpl>> {
 public:
  netcore_profiler_api(profiler_target target, bool resume_runtime, bool poll_command_line,
                       event_pipe_session* lifetime_session, std::unique_ptr<bridge_notifier> notifier,
                       std::uint32_t snapshot_format)
      : target_(std::move(target)),
        snapshot_format_(snapshot_format),
        env_(std::make_shared<environment>()),
        notifier_(std::move(notifier)),
        processor_(env_, notifier_, std::holds_alternative<std::uint32_t>(target_)),
        resume_pending_(resume_runtime),
        poll_command_line_(poll_command_line),
        lifetime_session_(lifetime_session) {
    if (poll_command_line_ && lifetime_session_ != nullptr)
      poller_ = std::make_unique<command_line_poller>(*lifetime_session_, notifier_);
  }

  // Once owned by a shared pointer: the threads started here call back.
  void begin() {
    if (lifetime_session_ != nullptr) {
      auto dispatcher = collector::wrap_event_pipe_handler(
          collector::provider_list<collector::Microsoft_Windows_DotNETRuntime>{}, [this](auto, const auto& e) {
            using event = std::decay_t<decltype(e)>;
            if constexpr (event::key == collector::event_key(187, 0)) {
              auto f = e.fields();
              processor_.lifetime_runtime_information(
                  f.template get<1>(), {f.template get<2>(), f.template get<3>(), f.template get<4>(), f.template get<5>()});
            }
          });
      auto handlers =
          std::make_shared<collector::event_pipe::event_pipe_handlers<decltype(dispatcher)>>(std::move(dispatcher));
      lifetime_consumer_ = std::make_unique<event_pipe_consumer>(
          lifetime_session_, handlers, false,
          [this](consumer_status status) { on_profiling_lifetime_session_stop(status); });
    }
    if (poll_command_line_ && !resume_pending_.load()) start_polling();
  }

  ~netcore_profiler_api() override {
    try {
      TW_LOG(info) << "Come into ~netcore_profiler()";
      destroy();
      if (lifetime_consumer_) {
        TW_LOG(info) << "Waiting for profiling_lifetime_session finish";
        lifetime_consumer_->wait_for_result();
        lifetime_consumer_.reset();
        TW_LOG(info) << "profiling_lifetime_session finished";
      }
      TW_LOG(info) << "Waiting for command line polling thread termination";
      poller_.reset();
      run_.reset();
      file_consumer_.reset();
      TW_LOG(info) << "Left ~netcore_profiler()";
    } catch (...) {
      TW_LOG(error) << tw::current_exception_to_string();
    }
  }

  std::unique_ptr<snapshot> start_snapshot(std::unique_ptr<file_factory> factory, const environment& env) override {
    std::lock_guard lock(mutex_);
    if (running_) throw std::runtime_error("Profiler is already started");
    if (destroyed_.load()) throw std::runtime_error("The profiled application has ended");
    // What is left of the last snapshot's sessions goes before new ones come.
    replace_run(nullptr);
    processor_.reset_environment(env);
    auto files = multifile_snapshot::create(std::move(factory), snapshot_format_, 0);
    try {
      gen_.emplace(files);
      environment_section_ = (*gen_)(stream_kind{}, format::environment.id, format::environment.version);
      sequence_points_ = (*gen_)(stream_kind{}, format::sequence_points.id, format::sequence_points.version);
      std::shared_ptr<netcore::process_watcher> watcher;
      collector::module_lookup modules;
      std::uint32_t tree_limit = common::mapped_offset_limit;
      if (const auto* pid = std::get_if<std::uint32_t>(&target_)) {
        watcher = std::make_shared<netcore::process_watcher>(static_cast<pid_t>(*pid));
      } else {
        modules = std::get<nettrace_param>(target_).modules;
        tree_limit = std::get<nettrace_param>(target_).call_tree_limit;
      }
      processor_.attach(*gen_, std::move(watcher), std::move(modules), tree_limit);
    } catch (...) {
      abandon_start(*files);
      throw;
    }
    start_time_ = filetime_now();
    running_ = true;

    if (auto* file = std::get_if<nettrace_param>(&target_)) {
      start_reading(*file);
    } else {
      const int pid = static_cast<int>(std::get<std::uint32_t>(target_));
      crash_report_ = crash_report_of(pid);
      start_live(pid, make_handlers(true), make_handlers(false), [&] { abandon_start(*files); });
    }
    return std::make_unique<mono::snapshot>([self = this->shared_from_this()] { self->stop_snapshot(); },
                                            std::move(files));
  }

  std::unique_ptr<snapshot> start_snapshot(std::unique_ptr<file_factory> factory, const environment& env,
                                           const window_settings& window) override {
    if (!window.windowed()) return start_snapshot(std::move(factory), env);
    const auto* pid = std::get_if<std::uint32_t>(&target_);
    if (pid == nullptr) throw std::invalid_argument("A recording is converted whole: it keeps no window");
    parse_triggers(window);  // refused before anything starts
    std::lock_guard lock(mutex_);
    if (running_) throw std::runtime_error("Profiler is already started");
    if (destroyed_.load()) throw std::runtime_error("The profiled application has ended");
    processor_.reset_environment(env);
    // The next snapshot of a window that records on goes on with it: one
    // runtime session for the whole recording.
    if (!recorder_ || recorder_->settings() != window) {
      stop_recording();
      replace_run(nullptr);
      auto watcher = std::make_shared<netcore::process_watcher>(static_cast<pid_t>(*pid));
      crash_report_ = crash_report_of(static_cast<int>(*pid));
      recorder_ = std::make_shared<flight_recorder>(window, *pid, std::move(watcher),
                                                    processor_.current_environment().runtime_version, notifier_);
      start_live(static_cast<int>(*pid), recorder_->runtime_handlers(), recorder_->rundown_handlers(), [this] {
        recorder_.reset();
        resume_waiting_runtime();
      });
      TW_LOG(info) << "Flight recording of the last " << window.last.count() << " s started";
    }
    running_ = true;
    return std::make_unique<window_snapshot>(this->shared_from_this(), std::move(factory));
  }

  void destroy() override {
    if (destroyed_.exchange(true)) return;
    {
      // Taken so that a waiter between its check and its sleep is not missed.
      std::lock_guard lock(inactive_mutex_);
    }
    inactive_.notify_all();
    try {
      TW_LOG(info) << "Profiler destroying...";
      // A stream may still be delivering: what arrives from now on belongs to
      // no snapshot.
      processor_.stop_accepting();
      if (poller_) poller_->stop();
      if (lifetime_session_ != nullptr) {
        TW_LOG(info) << "Stopping profiling_lifetime_session (" << lifetime_session_->id() << ")";
        lifetime_session_->stop_async();
        TW_LOG(info) << "Stopping profiling_lifetime_session finished";
      }
      std::shared_ptr<event_pipe_session> runtime;
      std::shared_future<void> chain;
      {
        std::lock_guard runs(run_mutex_);
        if (run_) {
          runtime = run_->runtime;
          chain = run_->chain;
        }
      }
      TW_LOG(info) << "Stopping runtime session";
      if (runtime) runtime->stop_async();
      TW_LOG(info) << "Waiting for the chain task in destroy";
      if (chain.valid()) chain.wait();
      TW_LOG(info) << "Waiting for the chain task in destroy finished";
      TW_LOG(info) << "Profiler destroyed";
    } catch (...) {
      TW_LOG(error) << tw::current_exception_to_string();
    }
    TW_LOG(info) << "Profiler destroy() left";
  }

  bool is_active() const override { return !destroyed_.load(); }

  void wait_until_inactive() const override {
    std::unique_lock lock(inactive_mutex_);
    inactive_.wait(lock, [this] { return destroyed_.load(); });
  }

  consumer_status stream_status() const override {
    std::lock_guard lock(status_mutex_);
    return status_;
  }

 private:
  using handlers_ptr = std::shared_ptr<collector::event_pipe::event_pipe_handlers_base>;

  // The sessions of one snapshot. Members go in reverse order: the chain
  // thread first (it writes the consumer), then the consumer (it reads the
  // runtime session), then the sessions.
  struct snapshot_run {
    std::shared_ptr<event_pipe_session> runtime;
    std::shared_ptr<event_pipe_session> rundown;
    handlers_ptr runtime_handlers, rundown_handlers;
    std::unique_ptr<event_pipe_consumer> consumer;  // set by the chain thread
    std::promise<void> started;                     // the runtime session runs, or could not start
    std::shared_future<void> chain;
  };

  // A recorded file: one consumer reads it to its end.
  void start_reading(const nettrace_param& file) {
    file_consumer_ = std::make_unique<event_pipe_consumer>(file.path, file.progress, make_handlers(true), false,
                                                           on_runtime_session_stop(true), file.threads);
  }

  // A live process: the chain thread starts the sessions; this returns once
  // the runtime session runs, or throws what kept it from running (after
  // `abandon` undid what was begun).
  void start_live(int pid, handlers_ptr runtime, handlers_ptr rundown, const std::function<void()>& abandon) {
    auto run = std::make_shared<snapshot_run>();
    run->runtime = std::make_shared<event_pipe_session>(pid, runtime_configuration(with_tpl));
    run->rundown = std::make_shared<event_pipe_session>(pid, rundown_configuration());
    run->runtime_handlers = std::move(runtime);
    run->rundown_handlers = std::move(rundown);
    auto started = run->started.get_future();
    {
      // The chain thread only reaches the run through this pointer: the
      // run waits for it before it goes.
      std::lock_guard runs(run_mutex_);
      run->chain = std::async(std::launch::async, [this, r = run.get()] { run_chain(*r); }).share();
      run_ = std::move(run);
    }
    // "Started" means that the runtime sends events: what the user does
    // next is in the snapshot, and a stop cannot cut the start short.
    try {
      started.get();
    } catch (...) {
      abandon();
      running_ = false;
      replace_run(nullptr);
      throw;
    }
  }

  std::shared_ptr<collector::event_pipe::event_pipe_handlers_base> make_handlers(bool sequence_points) {
    auto dispatcher = collector::wrap_event_pipe_handler(
        stream_providers<with_tpl>{}, std::ref(processor_),
        [this](const nettrace::event_trace_record& r) { processor_.unknown(r); });
    auto on_trace = [this](const nettrace::TraceObject& t) { processor_.set_trace(t); };
    auto on_sp = [this, sequence_points](const nettrace::sp_block& sp) {
      if (!sequence_points) return;
      std::lock_guard lock(sequence_points_mutex_);
      if (sequence_points_) tw::write_to(*sequence_points_).put(sp.timestamp);
    };
    return std::make_shared<
        collector::event_pipe::event_pipe_handlers<decltype(dispatcher), decltype(on_trace), decltype(on_sp)>>(
        std::move(dispatcher), on_trace, on_sp);
  }

  void replace_run(std::shared_ptr<snapshot_run> next) {
    std::shared_ptr<snapshot_run> previous;
    {
      std::lock_guard runs(run_mutex_);
      previous = std::exchange(run_, std::move(next));
    }
    // Waits for its threads here, outside the lock destroy() takes.
    previous.reset();
  }

  // A snapshot that could not start leaves no file: a full disk must not be
  // left fuller by what was begun.
  void abandon_start(multifile_snapshot& files) noexcept {
    try {
      processor_.detach();
    } catch (...) {
      TW_LOG(warning) << "Detaching from a snapshot that did not start: " << tw::current_exception_to_string();
    }
    environment_section_.reset();
    {
      std::lock_guard sp(sequence_points_mutex_);
      sequence_points_.reset();
    }
    gen_.reset();
    try {
      files.drop();
    } catch (...) {
      TW_LOG(warning) << "Removing the files of a snapshot that did not start: " << tw::current_exception_to_string();
    }
    resume_waiting_runtime();
  }

  // A runtime that waited for a snapshot that did not start waits no longer.
  void resume_waiting_runtime() noexcept {
    if (lifetime_session_ != nullptr && resume_pending_.exchange(false)) {
      try {
        lifetime_session_->resume_runtime(true);
      } catch (...) {
        TW_LOG(warning) << "Resuming the runtime after a failed start: " << tw::current_exception_to_string();
      }
    }
  }

  // The chain task: the runtime session, its consumer, then the rundown
  // (or, for a runtime that waits for us, its resumption).
  void run_chain(snapshot_run& run) {
    TW_LOG(info) << "Come into chain_task lambda";
    struct leave {
      ~leave() { TW_LOG(info) << "Left chain task lambda"; }
    } on_leave;
    try {
      // A target gone before the snapshot began has nothing to start.
      if (destroyed_.load()) throw std::runtime_error("The profiled application has ended");
      // Until it is resumed, the runtime must not be sent StopTracing on
      // this session either.
      run.runtime->set_runtime_may_wait(resume_pending_.load());
      TW_LOG(info) << "Starting runtime profiler session";
      run.runtime->start();
      TW_LOG(info) << "Runtime profiler session id is " << run.runtime->id();
      run.consumer = std::make_unique<event_pipe_consumer>(run.runtime.get(), run.runtime_handlers, false,
                                                           on_live_session_stop(*run.runtime));
    } catch (...) {
      run.started.set_exception(std::current_exception());
      throw;
    }
    run.started.set_value();
    if (resume_pending_.exchange(false)) {
      lifetime_session_->resume_runtime(true);
      run.runtime->set_runtime_may_wait(false);
      if (poll_command_line_) start_polling();
      return;
    }
    // Without the rundown, methods compiled before the snapshot stay
    // unnamed; the snapshot itself goes on.
    try {
      TW_LOG(info) << "Starting rundown profiler session";
      run.rundown->start(std::filesystem::path(run.runtime->transport_path()));
      TW_LOG(info) << "Rundown profiler session id is " << run.rundown->id();
      event_pipe_consumer rundown(run.rundown.get(), run.rundown_handlers, false, nullptr);
      TW_LOG(info) << "Stopping rundown profiler session";
      run.rundown->stop_async();
      TW_LOG(info) << "Waiting for rundown profiler session finish";
      const auto status = rundown.wait_for_result();
      TW_LOG(info) << "Rundown session: finish status is " << status.status;
      if (status.error)
        TW_LOG(error) << "Rundown session: crash occurred during profiling (is profiled application killed?): "
                      << exception_text(status.error);
      else
        TW_LOG(info) << "Rundown session finished successfully";
    } catch (...) {
      TW_LOG(error) << "Rundown session failed: " << tw::current_exception_to_string();
    }
  }

  // The runtime session's stop callback: a stream cut short that nobody
  // stopped means the process has gone.
  std::function<void(consumer_status)> on_live_session_stop(const event_pipe_session& session) {
    return [this, &session, on_stop = on_runtime_session_stop(true)](consumer_status status) {
      if (status.cut_short && !session.stop_requested().load()) report_target_lost();
      on_stop(status);
    };
  }

  // Once per profiler: the host hears that what it records ends here.
  void report_target_lost() {
    if (target_lost_.exchange(true)) return;
    const std::string text = target_lost_warning;
    TW_LOG(warning) << text;
    try {
      if (notifier_) notifier_->on_warning(text);
    } catch (...) {
      TW_LOG(warning) << "The host was not told: " << tw::current_exception_to_string();
    }
  }

  std::function<void(consumer_status)> on_runtime_session_stop(bool destroy_on_finish) {
    return [this, destroy_on_finish](consumer_status status) {
      TW_LOG(info) << "Runtime session: finish status is " << status.status;
      if (status.events_lost != 0)
        TW_LOG(warning) << "Runtime session: " << status.events_lost
                        << " events were lost by the runtime (its buffers were full)";
      {
        std::lock_guard lock(status_mutex_);
        status_ = status;
      }
      if ((status.status == consumer_status::finished || status.status == consumer_status::failed) &&
          !status.error && destroy_on_finish)
        destroy();
      if (status.error) {
        TW_LOG(error) << "Runtime session: crash occurred during profiling (is profiled application killed?): "
                      << exception_text(status.error);
        // A recorded file that cannot be read ends the conversion too.
        if (std::holds_alternative<nettrace_param>(target_)) destroy();
      }
      TW_LOG(info) << "Runtime session: on stop finished";
    };
  }

  // The target has ended, or we left it.
  void on_profiling_lifetime_session_stop(consumer_status status) {
    TW_LOG(info) << "Come into on_profiling_lifetime_session_stop handler";
    TW_LOG(info) << "profiling lifetime session: finish status is " << status.status;
    try {
      std::shared_ptr<snapshot_run> run;
      {
        std::lock_guard runs(run_mutex_);
        run = run_;
      }
      if (run) {
        // The chain thread writes the consumer; it ends quickly once the
        // target has gone.
        run->chain.wait();
        if (run->consumer) {
          // The warning's words are fixed; they must stay true of the constant.
          static_assert(session_finish_timeout == std::chrono::minutes(2));
          if (run->consumer->wait_for(session_finish_timeout) != std::future_status::ready) {
            TW_LOG(warning) << "Runtime session isn't finished within 2 minutes after application termination, "
                               "stopping it explicitly";
            run->runtime->stop_async();
          }
          const auto result = run->consumer->wait_for_result();
          if (result.error) TW_LOG(error) << "runtime consumer crashed: " << exception_text(result.error);
        }
      }
    } catch (...) {
      TW_LOG(error) << "runtime consumer crashed: " << tw::current_exception_to_string();
    }
    if (status.cut_short && !lifetime_session_->stop_requested().load()) report_target_lost();
    if (status.status == consumer_status::finished)
      TW_LOG(info) << "Application is terminated";
    else
      TW_LOG(info) << "Profiler has being detached from the application or runtime session has finished";
    destroy();
    if (status.error)
      TW_LOG(error) << "Lifetime session: crash occurred during profiling (is profiled application killed?): "
                    << exception_text(status.error);
    TW_LOG(info) << "Left on_profiling_lifetime_session_stop handler";
  }

  void start_polling() {
    if (poller_) poller_->start();
  }

  // The end of a snapshot. The runtime session is stopped and its stream
  // read to the end before the snapshot closes: the runtime hands events over
  // in batches and a busy consumer lags, so what happened before the stop is
  // still on its way. Then the closing sections are written.
  void stop_snapshot() {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    running_ = false;
    const auto end_time = filetime_now();
    std::exception_ptr failure;
    try {
      if (file_consumer_)
        file_consumer_->wait_for_result();
      else
        stop_runtime_session();
    } catch (...) {
      failure = std::current_exception();
    }
    auto env = processor_.current_environment();
    if (poller_)
      if (auto command_line = poller_->latest()) env.command_line = std::move(*command_line);
    // Every step runs, whatever fails before it (a full disk): the snapshot
    // is let go either way, and the first failure is the save's.
    const auto step = [&failure](auto&& f) {
      try {
        f();
      } catch (...) {
        if (!failure) failure = std::current_exception();
      }
    };
    step([&] { add_crash(processor_); });
    // A recording began when it says it did, not when it was converted.
    const auto recorded = std::holds_alternative<nettrace_param>(target_) ? processor_.trace_start_filetime() : 0;
    step([&] { write_environment(*environment_section_, env, recorded != 0 ? recorded : start_time_); });
    step([&] { write_post_environment(*(*gen_)(stream_kind{}, format::end_time.id, format::end_time.version), end_time); });
    step([&] { processor_.detach(); });
    environment_section_.reset();
    {
      std::lock_guard sp(sequence_points_mutex_);
      sequence_points_.reset();
    }
    // The index is written once the last holder of the snapshot lets go.
    gen_.reset();
    if (failure) std::rethrow_exception(failure);
  }

  // A snapshot of a flight recording's window: made when it is saved, from
  // what the recording kept.
  class window_snapshot final : public snapshot {
   public:
    window_snapshot(std::shared_ptr<netcore_profiler_api> profiler, std::unique_ptr<file_factory> factory)
        : profiler_(std::move(profiler)), factory_(std::move(factory)) {}
    ~window_snapshot() override {
      try {
        reset();
      } catch (...) {
        TW_LOG(warning) << "Ending a flight recording: " << tw::current_exception_to_string();
      }
    }
    void save() override {
      auto inner = begin();
      inner.save();
      end();
    }
    void save_with_progress(progress_handler& handler) override {
      auto inner = begin();
      inner.save_with_progress(handler);
      end();
    }
    void reset() override {
      if (!profiler_) return;
      profiler_->end_window(continues_);
      profiler_.reset();
    }
    bool is_started() const override { return profiler_ != nullptr; }
    bool windowed() const override { return true; }
    void continues(bool c) override { continues_ = c; }

   private:
    // The files are made now, and filled as the save stops the snapshot.
    mono::snapshot begin() {
      if (!profiler_) throw std::runtime_error("No snapshot");
      auto files = multifile_snapshot::create(std::move(factory_), profiler_->snapshot_format_, 0);
      return mono::snapshot([p = profiler_, files] { p->capture(files); }, files);
    }
    void end() { reset(); }

    std::shared_ptr<netcore_profiler_api> profiler_;
    std::unique_ptr<file_factory> factory_;
    bool continues_ = false;
  };

  // The program's crash report, when it asks its runtime for one.
  std::optional<std::filesystem::path> crash_report_of(int pid) {
    try {
      std::string root;
      try {
        root = tarnwell::collector::event_pipe::process_root(pid).string();
      } catch (...) {
      }
      const auto namespace_pid = tw::detail_proc_utils::get_namespace_pid(pid).value_or(pid);
      auto path = crash_report_path(pid, namespace_pid, root);
      if (path) TW_LOG(info) << "The program's crash report would be " << path->string();
      return path;
    } catch (...) {
      return std::nullopt;
    }
  }

  // A program that died of a crash left its report: the exception that
  // killed it goes into the snapshot. createdump writes it before the
  // process ends; a little time is given all the same.
  void add_crash(netcore::event_processor& processor) {
    if (!target_lost_.load() || !crash_report_) return;
    for (int attempt = 0; attempt < 20 && !std::filesystem::exists(*crash_report_); ++attempt)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    try {
      if (const auto report = read_crash_report(*crash_report_)) processor.add_crash(*report);
    } catch (...) {
      TW_LOG(warning) << "The crash report is of no use: " << tw::current_exception_to_string();
    }
  }

  // Makes a capture of the flight recording into `files`: the ring's window
  // read back through a processor of its own, after what was known before
  // it, with what made it and, for a program that died, its crash.
  void capture(const std::shared_ptr<multifile_snapshot>& files) {
    std::lock_guard lock(mutex_);
    running_ = false;
    if (!recorder_) throw std::runtime_error("No flight recording");
    const auto started = std::chrono::steady_clock::now();
    const auto plan = recorder_->take_capture();
    if (const auto kept = recorder_->short_window()) {
      std::ostringstream text;
      text << "the capture holds the last " << std::fixed << std::setprecision(1) << *kept << " s, not "
           << recorder_->settings().last.count() << " s: the recording's stream outgrew its bound of "
           << (recorder_->settings().max_bytes >> 20) << " MiB on disk";
      TW_LOG(warning) << text.str();
      try {
        if (notifier_) notifier_->on_warning(text.str());
      } catch (...) {
        TW_LOG(warning) << "The host was not told: " << tw::current_exception_to_string();
      }
    }
    sections_gen gen(files);
    auto env_section = gen(stream_kind{}, format::environment.id, format::environment.version);
    gen(stream_kind{}, format::sequence_points.id, format::sequence_points.version).reset();
    auto types = std::make_shared<std::deque<std::uint8_t>>();
    auto window = recorder_->open(plan.from, types);
    auto env = std::make_shared<environment>(processor_.current_environment());
    netcore::event_processor processor(env, notifier_, true);
    std::string root;
    if (recorder_->watcher()) root = recorder_->watcher()->root();
    processor.attach(gen, recorder_->watcher(), {root, true, {}}, common::mapped_offset_limit,
                     netcore::capture_window{plan.from, types});
    recorder_->replay(processor);
    auto dispatcher = collector::wrap_event_pipe_handler(stream_providers<with_tpl>{}, std::ref(processor));
    auto on_trace = [&processor](const nettrace::TraceObject& t) { processor.set_trace(t); };
    auto handlers = std::make_shared<collector::event_pipe::event_pipe_handlers<decltype(dispatcher), decltype(on_trace)>>(
        std::move(dispatcher), on_trace);
    const auto status = collector::event_pipe::run_source(*window, nullptr, handlers);
    window.reset();
    if (status.status == consumer_status::failed)
      TW_LOG(warning) << "The flight recording's window ends early: " << exception_text(status.error);
    if (plan.trigger) processor.mark_capture(plan.trigger->at, plan.trigger_ms, plan.trigger->what);
    add_crash(processor);
    auto described = processor.current_environment();
    if (poller_)
      if (auto command_line = poller_->latest()) described.command_line = std::move(*command_line);
    const auto now = filetime_now();
    const auto span_ticks = std::max<std::int64_t>(0, recorder_->newest() - plan.from);
    write_environment(*env_section, described, now - static_cast<std::uint64_t>(span_ticks / 100));
    write_post_environment(*gen(stream_kind{}, format::end_time.id, format::end_time.version), now);
    env_section.reset();
    processor.detach();
    TW_LOG(info) << "Flight recording captured"
                 << (plan.trigger ? " on " + plan.trigger->what : std::string(" at the end")) << " in "
                 << std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started)
                        .count()
                 << " ms";
  }

  // A window's snapshot is saved or dropped: the recording goes on for the
  // next one, or ends.
  void end_window(bool continues) {
    std::lock_guard lock(mutex_);
    running_ = false;
    if (!continues) stop_recording();
  }

  // Under mutex_.
  void stop_recording() {
    if (!recorder_) return;
    try {
      stop_runtime_session();
    } catch (...) {
      TW_LOG(warning) << "Stopping the flight recording's session: " << tw::current_exception_to_string();
    }
    replace_run(nullptr);
    recorder_.reset();
  }

  void stop_runtime_session() {
    std::shared_ptr<snapshot_run> run;
    {
      std::lock_guard runs(run_mutex_);
      run = run_;
    }
    if (!run) return;
    try {
      TW_LOG(info) << "Calling prof.stop()";
      TW_LOG(info) << "Stopping runtime session " << run->runtime->id() << " from stop()";
      run->runtime->stop_async();
      TW_LOG(info) << "Waiting for the chain task in stop";
      run->chain.get();
      TW_LOG(info) << "Waiting for the chain task in stop finished";
      TW_LOG(info) << "Waiting for runtime session consumer in stop()";
      if (run->consumer->wait_for(session_finish_timeout) != std::future_status::ready) {
        TW_LOG(warning) << "Runtime session isn't finished for 2min after stop request, stopping it explicitly";
        run->runtime->stop_async();
      }
      TW_LOG(info) << "Getting runtime session result in stop()";
      const auto result = run->consumer->wait_for_result();
      // A stream cut short keeps what came before the cut: a process that
      // died is when its recording is wanted most.
      if (result.cut_short) TW_LOG(warning) << "Unexpected EOF on profiler stop";
      if (result.error) std::rethrow_exception(result.error);
      TW_LOG(info) << "prof.stop() called";
    } catch (...) {
      TW_LOG(error) << "The runtime session's stop failed: " << tw::current_exception_to_string();
      throw;
    }
  }

 private:
  profiler_target target_;
  std::uint32_t snapshot_format_;
  std::shared_ptr<environment> env_;
  std::shared_ptr<bridge_notifier> notifier_;
  netcore::event_processor processor_;
  std::atomic<bool> resume_pending_;
  bool poll_command_line_;
  event_pipe_session* lifetime_session_;
  std::unique_ptr<event_pipe_consumer> lifetime_consumer_;
  std::unique_ptr<command_line_poller> poller_;
  std::atomic<bool> destroyed_{false};
  std::atomic<bool> target_lost_{false};
  mutable std::mutex inactive_mutex_;
  mutable std::condition_variable inactive_;

  std::mutex mutex_;  // snapshot start and stop
  bool running_ = false;
  std::shared_ptr<std::ostream> environment_section_;
  std::mutex sequence_points_mutex_;
  std::shared_ptr<std::ostream> sequence_points_;
  std::optional<sections_gen> gen_;
  std::uint64_t start_time_ = 0;
  std::unique_ptr<event_pipe_consumer> file_consumer_;
  std::mutex run_mutex_;
  std::shared_ptr<snapshot_run> run_;
  std::shared_ptr<flight_recorder> recorder_;      // a flight recording, under mutex_
  std::optional<std::filesystem::path> crash_report_;  // where the program's crash report would be
  mutable std::mutex status_mutex_;
  consumer_status status_;
};

}  // namespace

namespace {
template <bool with_tpl>
std::shared_ptr<prof_api_base> make_profiler(profiler_target target, const profiler_options& options,
                                             std::unique_ptr<bridge_notifier> notifier) {
  auto profiler = std::make_shared<netcore_profiler_api<with_tpl>>(
      std::move(target), options.resume_runtime, options.poll_command_line, options.lifetime_session,
      std::move(notifier), options.snapshot_format);
  profiler->begin();
  return profiler;
}
}  // namespace

std::shared_ptr<prof_api_base> create_netcore_profiler_api(profiler_target target, const profiler_options& options,
                                                           std::unique_ptr<bridge_notifier> notifier) {
  if (options.with_tpl) return make_profiler<true>(std::move(target), options, std::move(notifier));
  return make_profiler<false>(std::move(target), options, std::move(notifier));
}

}  // namespace tw_prof
