#include "event_pipe_api/src/event_pipe_consumer_api.h"

#include "tw/log/log.h"
#include "event_pipe_api/src/nettrace/handler_thread.h"
#include "event_pipe_api/src/nettrace/parse_stream.h"
#include "event_pipe_api/src/session.h"
#include "tw/error/exception_text.h"

#include <atomic>
#include <iomanip>
#include <sstream>

namespace tarnwell::collector::event_pipe {

namespace {

// One parse of one source, with or without the hex dump of what is read. A
// run that fails keeps the error with how far it got. `pipeline`: the
// handlers' own thread, if they have one; what it was handed is handled
// while the parser (whose metadata the events refer to) lives.
template <class Parser>
consumer_status run_parser(Parser&& parser, nettrace::stream_source& source, nettrace::handler_thread* pipeline) {
  consumer_status status;
  try {
    status = parser.parse(source);
  } catch (...) {
    status = {consumer_status::failed, std::current_exception(), parser.events_lost()};
  }
  status.events = parser.events();
  status.position = parser.whole_objects_end();
  status.timestamps_out_of_range = parser.timestamps_out_of_range();
  if (status.timestamps_out_of_range != 0)
    TW_LOG(warning) << status.timestamps_out_of_range << " events lay outside the time range of their block";
  if (pipeline != nullptr && !(status.status == consumer_status::failed && is_cancellation(status.error))) {
    try {
      pipeline->finish();
    } catch (...) {
      if (status.status != consumer_status::failed) {
        status.status = consumer_status::failed;
        status.error = std::current_exception();
      }
    }
  }
  // Cancelled, or done: the handlers are left alone before the parser goes.
  if (pipeline != nullptr) pipeline->stop();
  return status;
}

template <class Progress>
consumer_status parse_with(nettrace::stream_source& source, const std::shared_ptr<event_pipe_handlers_base>& handlers,
                           Progress& progress, const std::atomic<bool>& stop, bool hex_dump,
                           nettrace::handler_thread* pipeline = nullptr) {
  if (hex_dump) return run_parser(nettrace::StreamParser<true>(handlers, progress, stop), source, pipeline);
  return run_parser(nettrace::StreamParser<false>(handlers, progress, stop), source, pipeline);
}

bool is_source_end(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const nettrace::source_ended&) {
    return true;
  } catch (...) {
    return false;
  }
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
                         const std::shared_ptr<event_pipe_handlers_base>& handlers, bool hex_dump, unsigned threads) {
  static const std::atomic<bool> never_stopped{false};
  try {
    // On more than one thread a regular file is mapped, so that decoded
    // events can wait for the handlers where they lie. On one, and for a
    // pipe, the file is read ahead on a thread of its own, which brings the
    // bytes into the cache the parser reads them from.
    std::unique_ptr<nettrace::stream_source> source;
    std::uint64_t size = 0;
    auto mapped = threads > 1 && !hex_dump ? nettrace::mapped_source::open(file) : nullptr;
    if (mapped) {
      size = mapped->size();
      source = std::move(mapped);
    } else {
      auto read = std::make_unique<nettrace::file_source>(file);
      size = read->size();
      source = std::move(read);
    }
    auto parser_progress = [&](unsigned long position) -> int {
      TW_LOG(debug) << "Processing progress: " << position << " / " << size;
      return progress(position, size, 0);
    };
    if (threads < 2 || hex_dump || !source->stable())
      return parse_with(*source, handlers, parser_progress, never_stopped, hex_dump);
    // The handlers on a thread of their own, beside the decoding. What the
    // decoding delivered before it stopped is handled before the run ends,
    // unless the caller cancelled it.
    auto pipeline = std::make_shared<nettrace::handler_thread>(handlers);
    return parse_with(*source, pipeline, parser_progress, never_stopped, false, pipeline.get());
  } catch (...) {
    return {consumer_status::failed, std::current_exception()};
  }
}

consumer_status run_source(nettrace::stream_source& source, const progress_function& progress,
                           const std::shared_ptr<event_pipe_handlers_base>& handlers) {
  static const std::atomic<bool> never_stopped{false};
  auto parser_progress = [&](unsigned long position) -> int { return progress ? progress(position, 0, 0) : 1; };
  return parse_with(source, handlers, parser_progress, never_stopped, false);
}

std::future<consumer_status> consume_from_file(std::filesystem::path file, progress_function progress,
                                               std::shared_ptr<event_pipe_handlers_base> handlers, bool hex_dump,
                                               on_stop_function on_stop, unsigned threads) {
  TW_LOG(info) << "Starting EventPipe consumer";
  return std::async(std::launch::async, [file = std::move(file), progress = std::move(progress),
                                         handlers = std::move(handlers), hex_dump, on_stop = std::move(on_stop),
                                         threads] {
    consumer_status status = run_file(file, progress, handlers, hex_dump, threads);
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

// Reads exactly what the parser asks for from a live session's main stream,
// counting what arrives so that a stop can tell a busy runtime from a frozen
// one.
class socket_source final : public nettrace::stream_source {
 public:
  explicit socket_source(event_pipe_session& session) : session_(session), socket_(session.main_stream()) {}
  void read_exact(std::uint8_t* destination, std::size_t count) override {
    std::size_t got = 0;
    while (got < count) {
      boost::system::error_code ec;
      const auto n = socket_->read_some(boost::asio::buffer(destination + got, count - got), ec);
      got += n;
      session_.count_received(n);
      if (!ec) continue;
      if (ec == boost::asio::error::interrupted || ec == boost::asio::error::try_again) continue;
      // The runtime's process ended, or one of us shut the connection down.
      if (ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset ||
          ec == boost::asio::error::broken_pipe || ec == boost::asio::error::shut_down ||
          ec == boost::asio::error::bad_descriptor)
        throw nettrace::source_ended("The runtime's stream ended (" + ec.message() + ") after " +
                                     std::to_string(session_.received()) + " bytes");
      throw boost::system::system_error(ec, "read");
    }
  }

 private:
  event_pipe_session& session_;
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
      socket_source source(*session);
      auto parser_progress = [&](unsigned long position) -> int {
        return progress ? progress(position, 0, 0) : 1;
      };
      status = parse_with(source, handlers, parser_progress, session->stop_requested(), hex_dump);
    } catch (...) {
      status = {consumer_status::failed, std::current_exception()};
    }
    if (status.status == consumer_status::failed && is_source_end(status.error)) {
      // Everything before the cut is whole and already delivered: the run
      // ends as a finished one does, and says that it was cut short.
      TW_LOG(warning) << "The stream of session " << session->id()
                      << " ended without its end mark: " << tw::exception_summary(status.error);
      status.status = consumer_status::finished;
      status.error = nullptr;
      status.cut_short = true;
    } else if (status.status == consumer_status::failed) {
      TW_LOG(error) << tw::exception_text(status.error);
      // A stream left open and unread fills up, and then the runtime can
      // neither flush its session nor exit: it must see the end at once.
      session->shut_main_stream();
    }
    session->mark_completed();
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
                                         on_stop_function on_stop, unsigned threads)
    : result_(consume_from_file(std::move(file), std::move(progress), std::move(handlers), hex_dump,
                                std::move(on_stop), threads)
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
