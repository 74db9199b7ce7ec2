#include "event_pipe_timeline_profiler/src/event_processors/event_processor.h"

#include "event_pipe_api/src/nettrace/metadata.h"
#include "tw/system/linux/detail_proc_utils.h"
#include "tw/system/proc_utils.h"

#include "tw/utility/le_writer.h"

#include <chrono>
#include <iomanip>
#include <sstream>
#include <thread>

namespace tw_prof::netcore {

namespace {
runtime_type runtime_kind(std::uint16_t sku) { return static_cast<runtime_type>(sku <= 4 ? sku : 0); }

namespace source = tarnwell::collector::format::sample_source;

// The types of a recording's samples, once the methods their stacks end in
// are known.
class recorded_sample_types final : public deferred_sample_types {
 public:
  recorded_sample_types(flag_trust trust, const std::unordered_set<std::uint32_t>& waiting)
      : trust_(trust), waiting_(waiting) {}

  void vote(std::uint8_t flag, tree_node_key leaf) override {
    if (trust_ == flag_trust::unknown) vote_.count(flag, leaf_of(leaf));
  }
  std::pair<std::uint8_t, std::uint8_t> type(std::uint8_t flag, tree_node_key leaf) override {
    if (trust_ == flag_trust::unknown) {
      trust_ = vote_.reliable() ? flag_trust::reliable : flag_trust::unreliable;
      if (trust_ == flag_trust::unreliable)
        TW_LOG(warning) << "The recording's sample flags are unreliable (nearly every sample outside managed code "
                           "stands in a method that is no wait): the stacks decide";
    }
    const bool reliable = trust_ == flag_trust::reliable;
    return {type_from_stack(flag, leaf_of(leaf), reliable), reliable ? source::flag : source::stack};
  }

 private:
  leaf_kind leaf_of(tree_node_key key) const {
    if (tree_node_key_get_flags(key) != uid_flags::managed_function) return leaf_kind::no_method;
    return waiting_.count(static_cast<std::uint32_t>(key & 0x1FFFFFFF)) ? leaf_kind::waiting_method
                                                                         : leaf_kind::other_method;
  }

  flag_trust trust_;
  const std::unordered_set<std::uint32_t>& waiting_;
  flag_vote vote_;
};

}  // namespace

event_processor::event_processor(std::shared_ptr<environment> env, std::shared_ptr<bridge_notifier> notifier, bool live)
    : env_(std::move(env)), notifier_(std::move(notifier)), live_(live) {}

namespace {

// The trace's start, a calendar date and time in UTC, in 100 ns since 1601.
std::uint64_t filetime_of(const tarnwell::nettrace::TraceObject& t) {
  using namespace std::chrono;
  const year_month_day date{year(t.year), month(t.month), day(t.day)};
  if (!date.ok() || t.year < 1970 || t.hour > 23 || t.minute > 59 || t.second > 60 || t.milliseconds > 999) return 0;
  const auto since_unix = sys_days(date).time_since_epoch() + hours(t.hour) + minutes(t.minute) + seconds(t.second) +
                          milliseconds(t.milliseconds);
  using filetime_ticks = duration<std::int64_t, std::ratio<1, 10000000>>;
  constexpr std::uint64_t unix_epoch = 116444736000000000ull;
  return unix_epoch + static_cast<std::uint64_t>(duration_cast<filetime_ticks>(since_unix).count());
}

}  // namespace

std::uint64_t event_processor::trace_start_filetime() {
  std::lock_guard lock(lock_);
  return trace_start_filetime_;
}

void event_processor::set_trace(const tarnwell::nettrace::TraceObject& trace) {
  std::lock_guard lock(lock_);
  trace_start_filetime_ = filetime_of(trace);
  timer_resolution_ = static_cast<std::uint64_t>(trace.qpc_frequency);
  pid_ = static_cast<std::uint32_t>(trace.process_id);
  // A recording names its process; a conversion's environment starts empty.
  if (env_->pid == 0) env_->pid = pid_;
}

void event_processor::reset_environment(const environment& env) {
  std::lock_guard lock(lock_);
  const auto runtime = env_->runtime;
  const auto version = env_->runtime_version;
  *env_ = env;
  if (env.runtime == runtime_type::unknown && runtime != runtime_type::unknown) {
    env_->runtime = runtime;
    env_->runtime_version = version;
  }
}

environment event_processor::current_environment() {
  std::lock_guard lock(lock_);
  return *env_;
}

void event_processor::lifetime_runtime_information(std::uint16_t sku, runtime_version_t version) {
  std::lock_guard lock(lock_);
  env_->runtime = runtime_kind(sku);
  env_->runtime_version = version;
  if (notifier_) notifier_->on_environment_updated(env_->runtime, version, "");
  TW_LOG(info) << "Update runtime version";
  TW_LOG(info) << "Runtime version received by profiling lifetime consumer: " << to_string(env_->runtime) << " "
               << version.major << "." << version.minor << "." << version.build << "." << version.revision;
}

void event_processor::attach(const sections_gen& gen, std::shared_ptr<process_watcher> watcher,
                             tarnwell::collector::module_lookup modules, std::uint32_t tree_limit,
                             std::optional<capture_window> capture) {
  std::lock_guard lock(lock_);
  if (watcher) modules.root = watcher->root();
  // A recording's samples wait for its methods: which ones are waits is
  // known once the call tree is resolved. A live target's threads are
  // watched instead.
  collector_.emplace(gen, std::move(modules), !watcher, tree_limit);
  watcher_ = std::move(watcher);
  first_time_.reset();
  last_time_.reset();
  threads_.clear();
  last_exception_.clear();
  waiting_methods_.clear();
  live_types_.reset();
  if (watcher_) live_types_.emplace(watcher_);
  capture_ = std::move(capture);
  given_type_.reset();
}

void event_processor::module_known(const tarnwell::etw_collector::callstacks::managed_module& m) {
  std::lock_guard lock(lock_);
  if (collector_) collector_->metadata().module_loaded(m);
}

void event_processor::method_known(const tarnwell::etw_collector::callstacks::managed_method& m) {
  std::lock_guard lock(lock_);
  if (collector_) method_loaded(m);
}

void event_processor::mark_capture(std::int64_t at, std::uint32_t ms_into_recording, const std::string& what) {
  std::lock_guard lock(lock_);
  if (collector_) collector_->session().capture(at, ms_into_recording, kv521::utf::utf8_to_utf16(what));
}

void event_processor::add_crash(const crash_report& report) {
  std::lock_guard lock(lock_);
  if (!collector_) return;
  const auto at = last_time_.value_or(0);
  collector_->session().crash(at, report.thread_id, kv521::utf::utf8_to_utf16(report.exception_type));
  TW_LOG(warning) << "The program died of an unhandled " << report.exception_type << " on thread "
                  << report.thread_id << " (its crash report says)";
  if (const auto thrown = last_exception_.find(report.thread_id);
      thrown != last_exception_.end() && thrown->second == report.exception_type)
    return;  // its throw, with its stack, is in the stream
  auto& net = collector_->metadata().net();
  std::vector<std::uint64_t> frames;
  for (const auto& f : report.frames) {
    frames.push_back(f.address);
    if (f.address == 0 || net.resolve(f.address, collector_->tree().end_offset()) != f.address) continue;
    // Code no event announced: the report names it. "Type.Method(Arguments)"
    tarnwell::etw_collector::callstacks::managed_method m;
    const auto head = f.method.substr(0, f.method.find('('));
    const auto dot = head.rfind('.');
    m.method_id = f.address;
    m.start = f.address;
    m.size = 1;
    m.token = f.token;
    m.method_namespace = kv521::utf::utf8_to_utf16(dot == std::string::npos ? std::string() : head.substr(0, dot));
    m.name = kv521::utf::utf8_to_utf16(dot == std::string::npos ? head : head.substr(dot + 1));
    m.signature = kv521::utf::utf8_to_utf16(f.method.substr(head.size()));
    method_loaded(m);
  }
  // The exception's record, as the runtime would have written it: its type
  // and message, each with its terminating zero.
  std::vector<std::uint8_t> body;
  auto w = tw::write_to(body);
  w.utf16z(kv521::utf::utf8_to_utf16(report.exception_type));
  w.utf16z(u"(from the program's crash report)");
  using rt = tarnwell::collector::Microsoft_Windows_DotNETRuntime;
  auto& stream = collector_->streams<rt>();
  stream.events.prefixed(at, report.thread_id, 1, tarnwell::collector::format::runtime_kind::exception, body);
  stream.callstacks(at, report.thread_id,
                    {reinterpret_cast<const std::uint8_t*>(frames.data()), frames.size(), sizeof(std::uint64_t)});
}

void event_processor::detach() {
  std::shared_ptr<process_watcher> watcher;  // its thread is joined once the lock is let go
  std::lock_guard lock(lock_);
  if (!collector_) return;
  // The snapshot is let go also when its last records cannot be written.
  struct let_go {
    event_processor& self;
    std::shared_ptr<process_watcher>& watcher;
    ~let_go() {
      self.collector_.reset();
      self.live_types_.reset();  // holds the watcher too
      watcher = std::move(self.watcher_);
      self.first_time_.reset();
      self.last_time_.reset();
      self.threads_.clear();
      self.last_exception_.clear();
    }
  } letting_go{*this, watcher};
  if (timer_resolution_ == 0) {
    TW_LOG(error) << "Timer resolution was not set!!!";
    timer_resolution_ = 1000000000;
  }
  if (live_ && last_time_) {
    // A thread met before the program named it (its first event may come
    // before the name is set) gets the name it has now.
    for (auto& [thread_id, name] : threads_) write_thread_name(*last_time_, thread_id, false);
  }
  if (first_time_) {
    const auto self = static_cast<std::uint32_t>(::gettid());
    collector_->session().session_start(*first_time_, self, pid_, timer_resolution_,
                                        static_cast<std::uint64_t>(*first_time_));
    TW_LOG(debug) << "ProfilerSessionDataProvider::SessionStart_1, time: " << *first_time_;
    collector_->session().session_stop(*last_time_, self, static_cast<std::uint64_t>(*last_time_));
    TW_LOG(debug) << "ProfilerSessionDataProvider::SessionStop_2, time: " << *last_time_;
  }
  if (watcher_) collector_->set_precompiled_code(std::make_shared<precompiled_code>(watcher_->images()));
  if (const auto lost = collector_->tree().stacks_without_room(); lost != 0) {
    // Told once, at the end, when the count is known.
    const double at = static_cast<double>(collector_->tree().first_without_room() - first_time_.value_or(0)) /
                      static_cast<double>(timer_resolution_);
    std::ostringstream text;
    text << "the call tree reached its limit at " << std::fixed << std::setprecision(1) << at << " s; " << lost
         << " events after it have no stack";
    TW_LOG(warning) << text.str();
    try {
      if (notifier_) notifier_->on_warning(text.str());
    } catch (...) {
      TW_LOG(warning) << "The host was not told: " << tw::current_exception_to_string();
    }
  }
  if (live_types_ && live_types_->flag_checks().first != 0)
    TW_LOG(info) << "The kernel's CPU accounting agrees with the runtime's sample flag on "
                 << live_types_->flag_checks().second << " of " << live_types_->flag_checks().first << " samples";
  recorded_sample_types types(flag_trust_of(env_->runtime_version), waiting_methods_);
  collector_->finish(types);
}

void event_processor::method_loaded(const tarnwell::etw_collector::callstacks::managed_method& m) {
  const auto key = collector_->metadata().function_loaded(m);
  if (key != 0 && is_waiting_method(m.method_namespace, m.name))
    waiting_methods_.insert(static_cast<std::uint32_t>(key & 0x1FFFFFFF));
}

void event_processor::live_sample(std::int64_t timestamp, std::uint32_t thread_id, std::uint8_t flag,
                                  const tarnwell::nettrace::stack_view& stack) {
  // Until the runtime says its version, its flag tells no native code apart.
  const bool reliable = flag_trust_of(env_->runtime_version) == flag_trust::reliable;
  live_types_->set_resolution(timer_resolution_);
  const auto [type, source] = (*live_types_)(timestamp, thread_id, flag, reliable);
  collector_->sample(timestamp, thread_id, type, source, stack);
}

void event_processor::unknown(const tarnwell::nettrace::event_trace_record& r) {
  // Once per event type, for the same reason as the dispatcher's warning.
  if (r.metadata == nullptr || !unknown_seen_.insert(r.metadata->get()).second) return;
  TW_LOG(info) << "Event from unknown provider: " << (r.metadata ? (*r.metadata)->provider_name() : std::string())
               << ", id: " << r.header.event_id << ", version: " << int(r.header.version);
}

void event_processor::announce_thread(std::int64_t timestamp, std::uint32_t thread_id) {
  if (!threads_.try_emplace(thread_id).second) return;
  collector_->thread_start(timestamp, thread_id);
  // A recorded file's process is gone (or, worse, its pid now names another
  // process): only a live target's threads are asked for their names.
  if (live_) write_thread_name(timestamp, thread_id, true);
}

void event_processor::write_thread_name(std::int64_t timestamp, std::uint32_t thread_id, bool warn) {
  try {
    std::string name;
    if (watcher_) {
      auto known = watcher_->name(static_cast<pid_t>(thread_id));
      if (!known) throw std::runtime_error("the thread has ended before its name was read");
      name = std::move(*known);
    } else {
      name = read_thread_name(static_cast<pid_t>(pid_), static_cast<pid_t>(thread_id));
    }
    auto& written = threads_[thread_id];
    if (name == written) return;
    collector_->session().thread_name(timestamp, thread_id, kv521::utf::utf8_to_utf16(name));
    written = std::move(name);
  } catch (...) {
    if (warn)
      TW_LOG(warning) << "Failed to get thread name for thread #" << thread_id << " from process " << pid_ << ": "
                      << tw::current_exception_to_string();
  }
}

namespace {
const char* architecture_name(std::uint16_t code) {
  switch (code) {
    case 0: return "x86";
    case 5: return "ARM";
    case 9: return "x64";
    case 12: return "ARM64";
    case 0x8000: return "S/390x";
    case 0x8001: return "LA64";
    default: return "???";
  }
}
}  // namespace

void event_processor::process_info(const tw::utf16_text& command_line, const tw::utf16_text* os,
                                   const tw::utf16_text* arch) {
  const auto text = command_line.utf8();
  TW_LOG(info) << "Profiled application command line received from EventPipe is " << text;
  env_->command_line = text;
  if (os) {
    const auto value = os->utf8();
    if (value == "Windows") env_->os_id = 2;
    else if (value == "Linux") env_->os_id = 4;
    else if (value == "macOS") env_->os_id = 6;
    else TW_LOG(error) << "Unexpected OS (" << value << ") for profiled application received from EventPipe";
  }
  if (arch) {
    const auto value = arch->utf8();
    std::optional<std::uint16_t> code;
    if (value == "x86") code = 0;
    else if (value == "x64") code = 9;
    else if (value == "arm32") code = 5;
    else if (value == "arm64") code = 12;
    else TW_LOG(error) << "Unexpected architecture (" << value << ") for profiled application received from EventPipe";
    TW_LOG(info) << "Profiled application architecture received from EventPipe is " << value;
    if (code && *code != env_->architecture) {
      TW_LOG(info) << "Updating process architecture: " << architecture_name(env_->architecture) << " -> "
                   << architecture_name(*code);
      env_->architecture = *code;
    }
  }
}

void event_processor::runtime_version(std::uint16_t sku, runtime_version_t version) {
  env_->runtime = runtime_kind(sku);
  env_->runtime_version = version;
  TW_LOG(info) << "Update runtime version to " << version.major << "." << version.minor << "." << version.build << "."
               << version.revision;
  if (notifier_) notifier_->on_environment_updated(env_->runtime, version, "");
}

}  // namespace tw_prof::netcore
