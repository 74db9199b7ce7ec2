#include "event_pipe_api/src/event_pipe_consumer_api.h"

#include "api/log.h"
#include "event_pipe_api/src/nettrace/parse_stream.h"
#include "tw/error/exception_text.h"

#include <atomic>
#include <iomanip>
#include <sstream>

namespace tarnwell::collector::event_pipe {

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
    if (hex_dump) {
      nettrace::StreamParser<true> parser(handlers, parser_progress, never_stopped);
      return parser.parse(source);
    }
    nettrace::StreamParser<false> parser(handlers, parser_progress, never_stopped);
    return parser.parse(source);
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
    if (on_stop) {
      try {
        on_stop(status);
      } catch (...) {
        // on_stop must not turn a finished run into a failed future.
      }
    }
    return status;
  });
}

// Defined with the session, which this file does not know.
void stop_session(event_pipe_session* session);

event_pipe_consumer::event_pipe_consumer(std::filesystem::path file, progress_function progress,
                                         std::shared_ptr<event_pipe_handlers_base> handlers, bool hex_dump,
                                         on_stop_function on_stop)
    : result_(consume_from_file(std::move(file), std::move(progress), std::move(handlers), hex_dump,
                                std::move(on_stop))
                  .share()) {}

event_pipe_consumer::~event_pipe_consumer() {
  try {
    if (session_) stop_session(session_);
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
