#include "event_pipe_api/src/event_pipe_consumer_api.h"

#include "api/log.h"
#include "event_pipe_api/src/nettrace/parse_stream.h"
#include "event_pipe_api/src/session.h"
#include "tw/error/exception_text.h"

#include <atomic>
#include <iomanip>
#include <sstream>

namespace tarnwell::collector::event_pipe {

namespace {

// One parse of one source, with or without the hex dump of what is read.
template <class Progress>
consumer_status parse_with(nettrace::stream_source& source, const std::shared_ptr<event_pipe_handlers_base>& handlers,
                           Progress& progress, const std::atomic<bool>& stop, bool hex_dump) {
  if (hex_dump) return nettrace::StreamParser<true>(handlers, progress, stop).parse(source);
  return nettrace::StreamParser<false>(handlers, progress, stop).parse(source);
}

// on_stop must not turn a finished run into a failed future, nor kill the thread.
void report_stop(const on_stop_function& on_stop, const consumer_status& status) {
  if (!on_stop) return;
  try {
    on_stop(status);
  } catch (...) {
    TW_LOG(error) << "The consumer's stop handler failed: " << tw::current_exception_to_string();
  }
}

}  // namespace

consumer_status run_file(const std::filesystem::path& file, const progress_function& progress,
                         const std::shared_ptr<event_pipe_handlers_base>& handlers, bool hex_dump) {
  static const std::atomic<bool> never_stopped{false};
  try {
    nettrace::file_source source(file);
    const auto size = source.size();
    auto parser_progress = [&](unsigned long position) -> int {
      TW_LOG(debug) << "Processing progress: " << position << " / " << size;
      return progress(position, size, 0);
    };
    return parse_with(source, handlers, parser_progress, never_stopped, hex_dump);
  } catch (...) {
    return {consumer_status::failed, std::current_exception()};
  }
}

std::future<consumer_status> consume_from_file(std::filesystem::path file, progress_function progress,
                                               std::shared_ptr<event_pipe_handlers_base> handlers, bool hex_dump,
                                               on_stop_function on_stop) {
  TW_LOG(info) << "Starting EventPipe consumer";
  return std::async(std::launch::async, [file = std::move(file), progress = std::move(progress),
                                         handlers = std::move(handlers), hex_dump, on_stop = std::move(on_stop)] {
    consumer_status status = run_file(file, progress, handlers, hex_dump);
    if (status.status == consumer_status::failed) {
      try {
        std::rethrow_exception(status.error);
      } catch (...) {
        TW_LOG(error) << tw::current_exception_to_string();
      }
    }
    {
      std::ostringstream quoted;
      quoted << std::quoted(file.string());
      TW_LOG(info) << "Finishing EventPipe consumer for file " << quoted.str();
    }
    report_stop(on_stop, status);
    return status;
  });
}

namespace {

// Reads exactly what the parser asks for from a live session's main stream.
class socket_source final : public nettrace::stream_source {
 public:
  explicit socket_source(std::shared_ptr<ipc_socket> s) : socket_(std::move(s)) {}
  void read_exact(std::uint8_t* destination, std::size_t count) override {
    boost::asio::read(*socket_, boost::asio::buffer(destination, count));
  }

 private:
  std::shared_ptr<ipc_socket> socket_;
};

}  // namespace

std::future<consumer_status> consume_live(event_pipe_session* session, progress_function progress,
                                          std::shared_ptr<event_pipe_handlers_base> handlers, bool hex_dump,
                                          on_stop_function on_stop) {
  TW_LOG(info) << "Starting EventPipe consumer";
  return std::async(std::launch::async, [session, progress = std::move(progress), handlers = std::move(handlers),
                                         hex_dump, on_stop = std::move(on_stop)] {
    consumer_status status;
    try {
      socket_source source(session->main_stream());
      auto parser_progress = [&](unsigned long position) -> int {
        return progress ? progress(position, 0, 0) : 1;
      };
      status = parse_with(source, handlers, parser_progress, session->stop_requested(), hex_dump);
      session->mark_completed();
    } catch (...) {
      status = {consumer_status::failed, std::current_exception()};
      TW_LOG(error) << tw::current_exception_to_string();
    }
    TW_LOG(info) << "Finishing EventPipe consumer for session " << session->id();
    report_stop(on_stop, status);
    return status;
  });
}

event_pipe_consumer::event_pipe_consumer(event_pipe_session* session, std::shared_ptr<event_pipe_handlers_base> handlers,
                                         bool hex_dump, on_stop_function on_stop)
    : session_(session),
      result_(consume_live(session, [](unsigned long, unsigned long, unsigned long) { return 1; }, std::move(handlers),
                           hex_dump, std::move(on_stop))
                  .share()) {}

event_pipe_consumer::event_pipe_consumer(std::filesystem::path file, progress_function progress,
                                         std::shared_ptr<event_pipe_handlers_base> handlers, bool hex_dump,
                                         on_stop_function on_stop)
    : result_(consume_from_file(std::move(file), std::move(progress), std::move(handlers), hex_dump,
                                std::move(on_stop))
                  .share()) {}

event_pipe_consumer::~event_pipe_consumer() {
  try {
    if (session_) session_->stop_async();
    if (result_.valid()) result_.wait();
  } catch (const session_stopped&) {
  } catch (...) {
    TW_LOG(error) << "Can't stop EventPipe consumer: " << tw::current_exception_to_string();
  }
}

std::future_status event_pipe_consumer::wait_for(std::chrono::milliseconds timeout) const {
  if (!result_.valid()) throw session_stopped();
  return result_.wait_for(timeout);
}

consumer_status event_pipe_consumer::wait_for_result() const {
  if (!result_.valid()) throw session_stopped();
  return result_.get();
}

}  // namespace tarnwell::collector::event_pipe
