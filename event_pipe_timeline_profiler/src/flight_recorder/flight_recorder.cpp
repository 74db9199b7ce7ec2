#include "event_pipe_timeline_profiler/src/flight_recorder/flight_recorder.h"

#include "collector/src/collector/streams/timeline_events.h"
#include "event_pipe_api/src/dispatch.h"
#include "event_pipe_timeline_profiler/src/event_processors/loads.h"
#include "tw/error/exception_text.h"
#include "tw/error/file_write_error.h"
#include "tw/log/log.h"

#include <atomic>
#include <ctime>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace tw_prof {

using tarnwell::collector::dispatched_event;

namespace {

using tarnwell::collector::event_key;
using rt = tarnwell::collector::Microsoft_Windows_DotNETRuntime;
using kestrel = tarnwell::collector::Microsoft_AspNetCore_Server_Kestrel;

// How often the clock looks: a capture is told within a tenth of a second of
// its due time, and a hung request within as much of its limit.
constexpr auto clock_period = std::chrono::milliseconds(100);
// Blocks' times overlap by up to the runtime's flushes: the ring keeps this
// much more than a capture reaches back.
constexpr std::chrono::seconds ring_margin{5};

std::filesystem::path ring_folder(const window_settings& s, std::uint32_t pid) {
  static std::atomic<unsigned> next{0};
  const auto name = "flight-" + std::to_string(::getpid()) + "-" + std::to_string(pid) + "-" +
                    std::to_string(next.fetch_add(1));
  return (s.folder.empty() ? std::filesystem::temp_directory_path() / "TarnFlight"
                           : std::filesystem::path(s.folder)) /
         name;
}

// The handlers of a stream the recorder keeps (or, for the rundown, only
// reads): events to the recorder, typed; blocks to its ring.
template <class Dispatcher>
class recorder_handlers final : public tarnwell::collector::event_pipe::event_pipe_handlers_base {
 public:
  recorder_handlers(flight_recorder& r, Dispatcher d, bool keep_blocks)
      : recorder_(r), dispatch_(std::move(d)), keep_blocks_(keep_blocks) {}
  void handle_event(const tarnwell::nettrace::event_trace_record& record, bool sorted) override {
    dispatch_(record, sorted);
  }
  void handle_trace_object(const tarnwell::nettrace::TraceObject& t) override {
    if (keep_blocks_) recorder_.trace(t);
  }
  void handle_sequence_point(const tarnwell::nettrace::sp_block&) override {}
  void handle_block(tarnwell::nettrace::block_kind kind, std::span<const std::uint8_t> bytes) override {
    if (keep_blocks_) recorder_.block(kind, bytes);
  }

 private:
  flight_recorder& recorder_;
  Dispatcher dispatch_;
  bool keep_blocks_;
};

struct typed {
  flight_recorder* recorder;
  template <class Provider, std::size_t N>
  void operator()(Provider, const dispatched_event<Provider, N>& e) const {
    recorder->event(e);
  }
};

std::string utf8(const tw::utf16_text& t) { return t.utf8(); }

}  // namespace

flight_recorder::flight_recorder(window_settings settings, std::uint32_t pid,
                                 std::shared_ptr<netcore::process_watcher> watcher, runtime_version_t runtime,
                                 std::shared_ptr<bridge_notifier> notifier)
    : settings_(std::move(settings)),
      pid_(pid),
      watcher_(std::move(watcher)),
      notifier_(std::move(notifier)),
      ring_({ring_folder(settings_, pid), settings_.max_bytes, 0, 0}),
      sample_types_(watcher_),
      runtime_(runtime.packed()),
      triggers_(parse_triggers(settings_)) {
  clock_ = std::thread([this] { clock(); });
}

flight_recorder::~flight_recorder() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  clock_.join();
}

std::shared_ptr<tarnwell::collector::event_pipe::event_pipe_handlers_base> flight_recorder::runtime_handlers() {
  auto d = tarnwell::collector::wrap_event_pipe_handler(tarnwell::collector::all_providers{}, typed{this});
  return std::make_shared<recorder_handlers<decltype(d)>>(*this, std::move(d), true);
}

std::shared_ptr<tarnwell::collector::event_pipe::event_pipe_handlers_base> flight_recorder::rundown_handlers() {
  auto d = tarnwell::collector::wrap_event_pipe_handler(tarnwell::collector::all_providers{}, typed{this});
  return std::make_shared<recorder_handlers<decltype(d)>>(*this, std::move(d), false);
}

void flight_recorder::trace(const tarnwell::nettrace::TraceObject& t) {
  ring_.trace(t);
  std::lock_guard lock(mutex_);
  if (t.qpc_frequency > 0) ticks_per_second_ = static_cast<std::uint64_t>(t.qpc_frequency);
  triggers_.set_ticks_per_ms(static_cast<double>(ticks_per_second_) / 1000.0);
  const auto keep = settings_.last + std::chrono::duration_cast<std::chrono::seconds>(settings_.after) + ring_margin;
  ring_.set_keep_ticks(keep.count() * static_cast<std::int64_t>(ticks_per_second_));
  sample_types_.set_resolution(ticks_per_second_);
}

void flight_recorder::block(tarnwell::nettrace::block_kind kind, std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> types;
  if (kind == tarnwell::nettrace::block_kind::event) types.swap(block_types_);
  try {
    ring_.append(kind, bytes, types);
  } catch (const tw::file_write_error& e) {
    // A full disk costs the ring what comes; the host hears of it once.
    if (ring_failed_) return;
    ring_failed_ = true;
    TW_LOG(error) << tw::current_exception_to_string();
    if (notifier_) notifier_->on_warning("The flight recording cannot keep its stream: " + std::string(e.what()) +
                                         ": " + e.code().message());
  }
}

template <class Provider, std::size_t N>
void flight_recorder::event(const dispatched_event<Provider, N>& e) {
  using tarnwell::collector::inproc::role;
  constexpr auto key = dispatched_event<Provider, N>::key;
  constexpr auto row = tarnwell::collector::inproc::timeline_event_of<Provider>(key);
  const auto at = e.header.timestamp;
  const auto thread = e.header.thread_id;
  if constexpr (row.what == role::thread_sample) {
    const auto flag = static_cast<std::uint8_t>(e.fields().template get<0>());
    const auto packed = runtime_.load(std::memory_order_relaxed);
    const runtime_version_t runtime{static_cast<std::uint16_t>(packed), static_cast<std::uint16_t>(packed >> 16),
                                    static_cast<std::uint16_t>(packed >> 32), static_cast<std::uint16_t>(packed >> 48)};
    const auto [type, source] =
        sample_types_(at, thread, flag, netcore::flag_trust_of(runtime) == netcore::flag_trust::reliable);
    block_types_.push_back(static_cast<std::uint8_t>(source << 4 | type));
    return;
  }
  // What a trigger or a capture wants; the rest passes by.
  constexpr bool wanted =
      row.what != role::record ||
      (std::is_same_v<Provider, rt> &&
       (key == event_key(80, 1) || key == event_key(9, 0) || key == event_key(9, 1) || key == event_key(3, 1) ||
        key == event_key(81, 1) || key == event_key(81, 2) || key == event_key(91, 0) || key == event_key(91, 1))) ||
      (std::is_same_v<Provider, kestrel> && (key == event_key(3, 0) || key == event_key(4, 0)));
  if constexpr (!wanted) return;
  std::lock_guard lock(mutex_);
  if (first_tick_ == 0 && at != 0) first_tick_ = at;
  if constexpr (row.what == role::method_load) {
    methods_.push_back(netcore::method_of(e));
  } else if constexpr (row.what == role::module_load) {
    modules_.push_back(netcore::module_of(e));
  } else if constexpr (row.what == role::runtime_information) {
    auto f = e.fields();
    runtime_.store(runtime_version_t{f.template get<2>(), f.template get<3>(), f.template get<4>(), f.template get<5>()}
                       .packed());
  } else if constexpr (std::is_same_v<Provider, rt>) {
    if constexpr (key == event_key(80, 1)) {
      fire(triggers_.exception(at, utf8(e.fields().template get<0>())));
    } else if constexpr (key == event_key(9, 0) || key == event_key(9, 1)) {
      fire(triggers_.suspension_start(at, thread, static_cast<std::uint32_t>(e.fields().template get<0>())));
    } else if constexpr (key == event_key(3, 1)) {
      fire(triggers_.suspension_end(at, thread));
    } else if constexpr (key == event_key(81, 1) || key == event_key(81, 2)) {
      fire(triggers_.contention_start(at, thread));
    } else if constexpr (key == event_key(91, 0) || key == event_key(91, 1)) {
      fire(triggers_.contention_end(at, thread));
    }
  } else if constexpr (std::is_same_v<Provider, kestrel>) {
    if constexpr (key == event_key(3, 0) || key == event_key(4, 0)) {
      auto f = e.fields();
      const auto id = utf8(f.template get<0>()) + "/" + utf8(f.template get<1>());
      if constexpr (key == event_key(3, 0))
        fire(triggers_.request_start(at, id, utf8(f.template get<4>()) + " " + utf8(f.template get<3>())));
      else
        fire(triggers_.request_end(at, id));
    }
  }
}

// Under mutex_.
void flight_recorder::fire(std::optional<fired> f) {
  // Triggers while a capture is still to be taken belong to it.
  if (!f || pending_) return;
  TW_LOG(info) << "Flight recording triggered: " << f->what;
  pending_ = std::move(f);
  told_ = false;
  wake_.notify_all();
}

std::int64_t flight_recorder::now_ticks() const {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  const auto ns = static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
  return static_cast<std::int64_t>(ns * static_cast<double>(ticks_per_second_) / 1e9);
}

double flight_recorder::process_cpu_seconds() const {
  std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  const auto close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string skip;
  for (int i = 3; i < 14; ++i) fields >> skip;
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void flight_recorder::clock() {
  const bool watch_cpu = triggers_.wants(trigger::kind::cpu);
  auto last_cpu = std::chrono::steady_clock::now();
  double cpu_seconds = watch_cpu ? process_cpu_seconds() : 0;
  std::unique_lock lock(mutex_);
  while (!wake_.wait_for(lock, clock_period, [this] { return stopping_; })) {
    const auto now = now_ticks();
    if (watch_cpu && std::chrono::steady_clock::now() - last_cpu >= std::chrono::seconds(1)) {
      lock.unlock();
      const double used = process_cpu_seconds();
      const auto at = std::chrono::steady_clock::now();
      lock.lock();
      const double wall = std::chrono::duration<double>(at - last_cpu).count();
      if (used >= 0 && cpu_seconds >= 0) fire(triggers_.cpu(now, (used - cpu_seconds) / wall * 100));
      cpu_seconds = used;
      last_cpu = at;
    }
    fire(triggers_.requests_open_at(now));
    // A trigger's capture is due once recording has gone on `after` past it.
    const auto after = settings_.after.count() * static_cast<std::int64_t>(ticks_per_second_) / 1000;
    if (pending_ && !told_ && now >= pending_->at + after) {
      told_ = true;
      const auto what = pending_->what;
      const auto ms = static_cast<std::uint32_t>(
          std::max<std::int64_t>(0, pending_->at - first_tick_) * 1000 / static_cast<std::int64_t>(ticks_per_second_));
      lock.unlock();
      try {
        if (notifier_) notifier_->on_triggered(what, ms);
      } catch (...) {
        TW_LOG(warning) << "The host was not told of the trigger: " << tw::current_exception_to_string();
      }
      lock.lock();
    }
  }
}

flight_recorder::capture_plan flight_recorder::take_capture() {
  std::lock_guard lock(mutex_);
  capture_plan plan;
  const auto reach = settings_.last.count() * static_cast<std::int64_t>(ticks_per_second_);
  const auto end = pending_ ? pending_->at : ring_.newest();
  plan.from = end - reach;
  if (pending_) {
    plan.trigger_ms = static_cast<std::uint32_t>(std::max<std::int64_t>(0, pending_->at - first_tick_) * 1000 /
                                                 static_cast<std::int64_t>(ticks_per_second_));
    plan.trigger = std::move(pending_);
    pending_.reset();
  }
  return plan;
}

std::unique_ptr<tarnwell::nettrace::block_ring::window> flight_recorder::open(
    std::int64_t from, std::shared_ptr<std::deque<std::uint8_t>> types) {
  return ring_.open(from, [types](std::span<const std::uint8_t> t) { types->insert(types->end(), t.begin(), t.end()); });
}

std::optional<double> flight_recorder::short_window() const {
  if (!ring_.outgrown()) return std::nullopt;
  std::lock_guard lock(mutex_);
  const auto kept = ring_.newest() - ring_.oldest();
  const auto asked = settings_.last.count() * static_cast<std::int64_t>(ticks_per_second_);
  if (kept >= asked) return std::nullopt;
  return static_cast<double>(kept) / static_cast<double>(ticks_per_second_);
}

void flight_recorder::replay(netcore::event_processor& processor) const {
  std::lock_guard lock(mutex_);
  for (const auto& m : modules_) processor.module_known(m);
  for (const auto& m : methods_) processor.method_known(m);
}

}  // namespace tw_prof
