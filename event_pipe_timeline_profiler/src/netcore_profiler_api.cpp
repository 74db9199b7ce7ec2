#include "event_pipe_timeline_profiler/src/netcore_profiler_api.h"

#include "api/log.h"
#include "collector/src/collector/metadata_writers.h"
#include "event_pipe_api/src/dispatch.h"
#include "event_pipe_timeline_profiler/src/event_processors/event_processor.h"
#include "tw/error/exception_text.h"
#include "tw/utility/le_writer.h"

#include <chrono>
#include <mutex>
#include <optional>

namespace tw_prof {

namespace {

using namespace tarnwell;
using collector::event_pipe::consumer_status;

// A FILETIME as its low, then its high 32 bits.
void put_filetime(tw::le_writer& out, std::uint64_t t) {
  out.put(static_cast<std::uint32_t>(t));
  out.put(static_cast<std::uint32_t>(t >> 32));
}

template <bool with_tpl>
using file_providers = std::conditional_t<
    with_tpl, collector::all_providers,
    collector::provider_list<collector::Microsoft_Windows_DotNETRuntime, collector::Microsoft_Windows_DotNETRuntimeRundown,
                             collector::Microsoft_DotNETCore_EventPipe, collector::Microsoft_DotNETCore_SampleProfiler,
                             collector::Microsoft_Data_SqlClient_EventSource,
                             collector::Microsoft_AspNetCore_Server_Kestrel>>;

template <bool with_tpl>
class netcore_profiler_api final : public prof_api_base,
                                   public std::enable_shared_from_this<netcore_profiler_api<with_tpl>> {
 public:
  netcore_profiler_api(nettrace_param target, std::unique_ptr<bridge_notifier> notifier)
      : target_(std::move(target)),
        env_(std::make_shared<environment>()),
        notifier_(std::move(notifier)),
        processor_(env_, notifier_, false) {}

  ~netcore_profiler_api() override {
    try {
      destroy();
      consumer_.reset();
    } catch (...) {
      TW_LOG(error) << tw::current_exception_to_string();
    }
  }

  std::unique_ptr<snapshot> start_snapshot(std::unique_ptr<file_factory> factory, const environment& env) override {
    std::lock_guard lock(mutex_);
    if (running_) throw std::runtime_error("Profiler is already started");
    *env_ = env;
    auto files = multifile_snapshot::create(std::move(factory), snapshot_format_id, 0);
    gen_.emplace(files);
    environment_section_ = (*gen_)(stream_kind{}, 0, 9);
    sequence_points_ = (*gen_)(stream_kind{}, 2161, 0);
    processor_.attach(*gen_);
    start_time_ = filetime_now();
    running_ = true;

    auto dispatcher = collector::wrap_event_pipe_handler(
        file_providers<with_tpl>{}, std::ref(processor_),
        [this](const nettrace::event_trace_record& r) { processor_.unknown(r); });
    auto on_trace = [this](const nettrace::TraceObject& t) { processor_.set_trace(t); };
    auto on_sp = [this](const nettrace::sp_block& sp) { tw::write_to(*sequence_points_).put(sp.timestamp); };
    auto handlers = std::make_shared<
        collector::event_pipe::event_pipe_handlers<decltype(dispatcher), decltype(on_trace), decltype(on_sp)>>(
        std::move(dispatcher), on_trace, on_sp);
    consumer_ = std::make_unique<collector::event_pipe::event_pipe_consumer>(
        target_.path, target_.progress, handlers, false, [this](consumer_status status) {
          TW_LOG(info) << "Runtime session: finish status is " << status.status;
          if (status.error) {
            try {
              std::rethrow_exception(status.error);
            } catch (...) {
              TW_LOG(error) << "Runtime session: crash occurred during profiling (is profiled application killed?): "
                            << tw::current_exception_to_string();
            }
          }
          {
            std::lock_guard lock(status_mutex_);
            status_ = status;
          }
          if (status.status == consumer_status::finished || status.status == consumer_status::failed) destroy();
          TW_LOG(info) << "Runtime session: on stop finished";
        });
    return std::make_unique<mono::snapshot>([self = this->shared_from_this()] { self->stop_snapshot(); },
                                            std::move(files));
  }

  void destroy() override {
    if (destroyed_.exchange(true)) return;
    TW_LOG(info) << "Profiler destroying...";
    // A stream may still be delivering: what arrives from now on belongs to
    // no snapshot.
    processor_.stop_accepting();
    TW_LOG(info) << "Profiler destroyed";
  }

  bool is_active() const override { return !destroyed_.load(); }

  consumer_status stream_status() const override {
    std::lock_guard lock(status_mutex_);
    return status_;
  }

 private:
  // A recorded file has no session to stop: the stop waits for the file to
  // be read, then writes the closing sections and resolves the call tree.
  void stop_snapshot() {
    std::lock_guard lock(mutex_);
    if (!running_) return;
    if (consumer_) consumer_->wait_for_result();
    write_environment(*environment_section_, *env_, start_time_);
    write_post_environment(*(*gen_)(stream_kind{}, 1, 0), filetime_now());
    environment_section_.reset();
    sequence_points_.reset();
    processor_.detach();
    // The index is written once the last holder of the snapshot lets go.
    gen_.reset();
    running_ = false;
  }

 private:
  nettrace_param target_;
  std::shared_ptr<environment> env_;
  std::shared_ptr<bridge_notifier> notifier_;
  netcore::event_processor processor_;
  std::mutex mutex_;
  bool running_ = false;
  std::atomic<bool> destroyed_{false};
  std::shared_ptr<std::ostream> environment_section_;
  std::shared_ptr<std::ostream> sequence_points_;
  std::optional<sections_gen> gen_;
  std::uint64_t start_time_ = 0;
  std::unique_ptr<collector::event_pipe::event_pipe_consumer> consumer_;
  mutable std::mutex status_mutex_;
  consumer_status status_;
};

}  // namespace

std::uint64_t filetime_now() {
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  return static_cast<std::uint64_t>(us) * 10 + 0x019DB1DED53E8000ull;
}

void write_environment(std::ostream& stream, const environment& env, std::uint64_t start_filetime) {
  auto out = tw::write_to(stream);
  constexpr auto guid_order = tw::guid_byte_order::rfc4122;
  out.put(std::uint16_t{0x00FD});
  out.put(std::uint16_t{0x0000});
  out.put(std::uint16_t{0x5008});
  out.put(std::uint16_t{0x6A88});
  out.put(std::uint32_t{1});
  out.put(std::uint32_t{1});
  out.put(static_cast<std::uint8_t>(env.os_id));
  out.put(env.os_architecture);
  out.put(env.processor_count);
  out.compressed_string(env.os_name);
  out.compressed_string(env.computer_name);
  out.put(env.pid);
  out.compressed_string(env.process_name);
  out.compressed_string(env.command_line);
  out.compressed_string(env.working_directory);
  out.put(env.architecture);
  out.guid(env.snapshot_id_4, guid_order);
  out.compressed_string(env.user_name);
  out.guid(env.snapshot_id_3, guid_order);
  out.put(static_cast<std::uint8_t>(env.runtime));
  const auto& v = env.runtime_version;
  out.compressed_string(std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build) + "." +
                        std::to_string(v.revision));
  out.compressed_string(env.trailer);
  out.guid(env.session_id_1, guid_order);
  out.put(env.id_kind);
  out.guid(env.session_id_2, guid_order);
  put_filetime(out, start_filetime);
}

void write_post_environment(std::ostream& stream, std::uint64_t end_filetime) {
  auto out = tw::write_to(stream);
  put_filetime(out, end_filetime);
}

std::shared_ptr<prof_api_base> create_netcore_profiler_api(profiler_target target, bool, bool with_tpl, bool,
                                                           std::unique_ptr<bridge_notifier> notifier) {
  auto* file = std::get_if<nettrace_param>(&target);
  if (file == nullptr) throw std::runtime_error("Live profiling of a process is not available in this build");
  if (with_tpl) return std::make_shared<netcore_profiler_api<true>>(std::move(*file), std::move(notifier));
  return std::make_shared<netcore_profiler_api<false>>(std::move(*file), std::move(notifier));
}

}  // namespace tw_prof
