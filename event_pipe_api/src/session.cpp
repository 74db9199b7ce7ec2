#include "event_pipe_api/src/session.h"

#include "tw/log/log.h"
#include "tw/error/exception_text.h"
#include "tw/system/linux/detail_proc_utils.h"

#include <boost/format.hpp>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

namespace tarnwell::collector::event_pipe {

namespace diag = diagnostics_ipc;

namespace {

constexpr int appeared_socket_attempts = 10;
constexpr int abandoned_socket_attempts = 5;

std::string quote_path(const std::string& s) {
  std::ostringstream out;
  out << std::quoted(s);
  return out.str();
}

const char* kind_name(session_type t) { return t == session_type::server ? "reversed" : "regular"; }

}  // namespace

std::string to_string(ipc_stream_status s) {
  switch (s) {
    case ipc_stream_status::active: return "active";
    case ipc_stream_status::completed: return "completed";
    case ipc_stream_status::shut_down: return "shut_down";
  }
  return std::to_string(static_cast<int>(s)) + " (wrong enum value)";
}

event_pipe_session::event_pipe_session(int pid, session_configuration configuration)
    : type_(session_type::client), configuration_(std::move(configuration)), pid_(pid) {}

event_pipe_session::event_pipe_session(std::filesystem::path port, session_configuration configuration)
    : type_(session_type::server),
      configuration_(std::move(configuration)),
      transport_path_(port.string()),
      runtime_may_wait_(true) {}

event_pipe_session::~event_pipe_session() {
  TW_LOG(info) << "Destroying EventPipe session " << session_id_ << " (pid " << pid_ << ")";
  try {
    stop_async();
  } catch (...) {
    TW_LOG(error) << tw::current_exception_to_string();
  }
  while (starting_.load() != 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

std::shared_ptr<ipc_socket> event_pipe_session::create_client_transport() {
  TW_LOG(info) << "Opening connection to " << "UNIX domain socket" << " " << quote_path(transport_path_);
  if (transport_path_.size() >= 108)
    throw std::system_error(ENAMETOOLONG, std::system_category(), "Socket path " + quote_path(transport_path_));
  auto s = std::make_shared<ipc_socket>(io_);
  s->connect(boost::asio::local::stream_protocol::endpoint(transport_path_));
  if (!s->is_open()) throw std::runtime_error((boost::format("Failed to connect to %s") % "UNIX domain socket").str());
  TW_LOG(info) << "UNIX domain socket" << " opened successfully";
  return s;
}

void event_pipe_session::init_main_stream(std::shared_ptr<ipc_socket> transport, std::unique_lock<std::mutex>& lock) {
  TW_CHECK(type_ == session_type::client);
  lock.lock();
  if (stopped_.load()) throw session_stopped();
  store_main(std::move(transport));
}

void event_pipe_session::search_transport() {
  std::vector<std::uint64_t> ignored;
  for (;;) {  // one search; an abandoned socket starts another
    TW_LOG(info) << "Start searching dotnet-diagnostic socket for process " << pid_;
    int pass = 0;
    std::optional<std::pair<std::filesystem::path, std::uint64_t>> candidate;
    int found_in = 0;
    while (!candidate) {
      candidate = locate_diagnostic_socket(pid_, ignored);
      if (candidate) {
        found_in = pass;
        break;
      }
      TW_LOG(debug) << "UNIX domain socket" << " was not found for pid=" << pid_ << ", checking if process is alive";
      if (tw::detail_proc_utils::process_ended(pid_)) throw non_existing_process(pid_);
      if (pass == 0) refuse_too_deep_a_socket(pid_);
      ++pass;
      if (stopped_.load()) {
        TW_LOG(warning) << "dotnet-diagnostic socket was not found in " << pass << " iterations";
        throw transport_not_found(pid_);
      }
      // A short pause keeps a waiting search from burning a core.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    TW_LOG(info) << "Found: " << quote_path(candidate->first.string()) << "(iteration " << found_in << ")";
    transport_path_ = candidate->first.string();
    int retries = 0;
    for (;;) {
      try {
        std::unique_lock<std::mutex> lock(session_mutex_, std::defer_lock);
        init_main_stream(create_client_transport(), lock);
        return;
      } catch (const transport_not_found&) {
        throw;
      } catch (const session_stopped&) {
        throw;
      } catch (const non_existing_process&) {
        throw;
      } catch (const std::exception& e) {
        TW_LOG(warning) << "Exception on EventPipe session start: " << e.what();
        if (found_in != 0) {
          TW_LOG(info) << quote_path(transport_path_)
                       << " has appeared while we were searching for an appropriate transport, so it is the desired one; "
                       << "let's try to connect up to " << appeared_socket_attempts
                       << " times and rethrow exception further in case of fail";
          if (++retries >= appeared_socket_attempts) throw;
          // A runtime creates its socket file a moment before it listens:
          // give it that moment instead of spending every attempt at once.
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          continue;
        }
        // A socket bound a moment ago may not listen yet either: only one that
        // keeps refusing is taken for a crashed process's leftover.
        if (++retries < abandoned_socket_attempts) {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          continue;
        }
        TW_LOG(warning) << "Probably, " << quote_path(transport_path_)
                        << " is an abandoned transport left from the crashed or aborted process;"
                        << " let's ignore it and try to find appropriate one again";
        ignored.push_back(candidate->second);
        break;
      }
    }
  }
}

void event_pipe_session::start(std::optional<std::filesystem::path> path) {
  ++starting_;
  struct leave {
    std::atomic<int>& n;
    ~leave() { --n; }
  } leaving{starting_};
  if (type_ == session_type::client) {
    if (path) {
      transport_path_ = path->string();
      std::unique_lock<std::mutex> lock(session_mutex_, std::defer_lock);
      init_main_stream(create_client_transport(), lock);
    } else if (!load_main()) {
      search_transport();
    }
  } else {
    TW_CHECK(load_main());
  }
  std::lock_guard lock(session_mutex_);
  if (stopped_.load()) throw session_stopped();
  TW_LOG(info) << "Starting EventPipe session (Diagnostics IPC)";
  auto stream = load_main();
  main_used_.store(true);
  const diag::ipc_message request(
      diag::make_header(diag::command_set::event_pipe, diag::event_pipe_command::collect_tracing_2), configuration_);
  const auto answer = diag::send_message_and_receive_response<10240>(
      *stream, request, diag::answer_deadline{runtime_answer_timeout}, "CollectTracing");
  if (answer.status() == diag::status_error) {
    const auto text =
        (boost::format("EventPipe session start failed (HRESULT: %0#10x)") % diag::read_error_code(answer)).str();
    TW_LOG(error) << text;
    throw std::runtime_error(text);
  }
  if (answer.status() != diag::status_ok) {
    TW_LOG(error) << "EventPipe session start failed (server responded with unknown command)";
    throw std::runtime_error("EventPipe session start failed (server responded with unknown command)");
  }
  session_id_ = diag::read_session_id(answer);
  TW_LOG(info) << "EventPipe session started successfully, session_id=" << session_id_;
  started_.store(true);
}

std::shared_ptr<ipc_socket> event_pipe_session::main_stream() { return load_main(); }

void event_pipe_session::mark_completed() noexcept {
  {
    std::lock_guard lock(command_mutex_);
    main_status_.store(ipc_stream_status::completed);
  }
  command_ready_.notify_all();
}

std::shared_ptr<ipc_socket> event_pipe_session::load_main() const {
  std::lock_guard lock(main_pointer_mutex_);
  return main_stream_;
}

void event_pipe_session::shut_main_stream() noexcept {
  if (auto main = load_main()) diag::shutdown(*main);
}

void event_pipe_session::store_main(std::shared_ptr<ipc_socket> s) {
  std::lock_guard lock(main_pointer_mutex_);
  main_stream_ = std::move(s);
}

void event_pipe_session::set_main_stream(std::shared_ptr<ipc_socket> stream, std::optional<int> pid) {
  if (pid) pid_ = *pid;
  std::lock_guard lock(session_mutex_);
  store_main(std::move(stream));
}

void event_pipe_session::set_command_stream(std::shared_ptr<ipc_socket> stream) {
  {
    std::lock_guard lock(command_mutex_);
    command_stream_ = std::move(stream);
  }
  command_ready_.notify_one();
}

void event_pipe_session::prepare_command_stream() {
  TW_CHECK(type_ == session_type::client);
  TW_LOG(info) << "Preparing command_stream for stopping the session " << session_id_ << " in the future";
  auto stream = create_client_transport();
  set_command_stream(std::move(stream));
  TW_LOG(info) << "command_stream was prepared";
}

void event_pipe_session::remove_from_command_streams_in_use(const std::shared_ptr<ipc_socket>& s) {
  std::lock_guard lock(command_mutex_);
  const auto it = std::find(command_streams_in_use_.begin(), command_streams_in_use_.end(), s);
  if (it != command_streams_in_use_.end()) command_streams_in_use_.erase(it);
}

// Waits for the port server to deliver a command stream and takes it.
bool event_pipe_session::process_gone() const noexcept { return tw::detail_proc_utils::process_ended(pid_); }

template <class GiveUp>
bool event_pipe_session::await_command_stream(std::unique_lock<std::mutex>& lock, GiveUp give_up,
                                              std::chrono::steady_clock::time_point deadline) {
  // Polled as well as notified: nothing tells us when a process ends.
  while (!command_stream_) {
    if (give_up() || process_gone() || std::chrono::steady_clock::now() >= deadline) return false;
    command_ready_.wait_for(lock, std::chrono::milliseconds(100));
  }
  return true;
}

std::shared_ptr<ipc_socket> event_pipe_session::take_command_stream() {
  std::unique_lock lock(command_mutex_);
  const auto ended = [&] { return stopped_.load() || main_status_.load() != ipc_stream_status::active; };
  if (!await_command_stream(lock, ended) || ended()) return nullptr;
  auto s = std::move(command_stream_);
  command_streams_in_use_.push_back(s);
  return s;
}

void event_pipe_session::resume_runtime(bool use_command_stream) {
  TW_CHECK(type_ == session_type::server);
  TW_LOG(info) << "Resuming runtime for pid " << pid_;
  std::shared_ptr<ipc_socket> stream;
  if (use_command_stream) {
    stream = take_command_stream();
    if (!stream) {
      TW_LOG(warning) << "Failed to resume runtime: " << "session stopped while command_stream is not available";
      return;
    }
  } else {
    std::lock_guard lock(session_mutex_);
    if (stopped_.load() || main_status_.load() != ipc_stream_status::active) {
      TW_LOG(warning) << "Failed to resume runtime: " << "session already stopped";
      return;
    }
    stream = load_main();
  }
  struct release {
    event_pipe_session* self;
    std::shared_ptr<ipc_socket> s;
    ~release() { self->remove_from_command_streams_in_use(s); }
  } guard{this, stream};
  send_resume(*stream);
}

void event_pipe_session::send_resume(ipc_socket& stream) {
  const auto answer = diag::send_message_and_receive_response<20>(
      stream, diag::ipc_message(diag::make_header(diag::command_set::process, diag::process_command::resume_runtime)),
      diag::answer_deadline{runtime_answer_timeout}, "ResumeRuntime");
  if (answer.status() != diag::status_ok) throw std::runtime_error("Failed to resume runtime");
  resumed_.store(true);
  runtime_may_wait_.store(false);
  TW_LOG(info) << "CoreCLR runtime resumed successfully";
}

void event_pipe_session::resume_runtime_if_waiting(std::chrono::milliseconds timeout) noexcept {
  if (type_ != session_type::server || resumed_.load()) return;
  try {
    {
      // Held for the exchange: a start must not talk on the same stream.
      std::lock_guard lock(session_mutex_);
      if (!stop_requested_.load() && !main_used_.exchange(true)) {
        if (auto main = load_main()) {
          TW_LOG(info) << "Resuming runtime for pid " << pid_ << " through its first connection";
          send_resume(*main);
          return;
        }
      }
    }
    // A connection the runtime used, or that we shut, makes it connect
    // again: that one is free.
    std::shared_ptr<ipc_socket> stream;
    {
      std::unique_lock lock(command_mutex_);
      if (!await_command_stream(lock, [] { return false; }, std::chrono::steady_clock::now() + timeout)) {
        TW_LOG(warning) << "The runtime of pid " << pid_ << " was not resumed: it "
                        << (process_gone() ? "has ended" : "did not connect within the time given");
        return;
      }
      stream = std::move(command_stream_);
    }
    TW_LOG(info) << "Resuming runtime for pid " << pid_;
    send_resume(*stream);
  } catch (...) {
    TW_LOG(warning) << "Failed to resume runtime: " << tw::current_exception_to_string();
  }
}

std::string event_pipe_session::get_command_line() {
  TW_CHECK(type_ == session_type::server);
  TW_LOG(debug) << "Requesting process info for pid " << pid_;
  TW_LOG(debug) << "Waiting for command_stream in get_command_line()";
  auto stream = take_command_stream();
  if (!stream) throw session_stopped();
  struct release {
    event_pipe_session* self;
    std::shared_ptr<ipc_socket> s;
    ~release() { self->remove_from_command_streams_in_use(s); }
  } guard{this, stream};
  TW_LOG(debug) << "command_stream got in get_command_line()";
  const auto answer = diag::send_message_and_receive_response<10240>(
      *stream, diag::ipc_message(diag::make_header(diag::command_set::process, diag::process_command::process_info)),
      diag::answer_deadline{runtime_answer_timeout}, "ProcessInfo");
  if (answer.status() != diag::status_ok) TW_THROW(std::runtime_error("Failed to get command line"));
  TW_LOG(debug) << "Process info received successfully";
  auto info = diag::read_process_info(answer);
  const auto process_id = static_cast<std::int32_t>(info.process_id);
  TW_CHECK(static_cast<int32_t>(pid_) == process_id);
  return std::move(info.command_line);
}

void event_pipe_session::finish_stop() {
  stop_requested_.store(true);
  stopped_.store(true);
  command_ready_.notify_all();
  std::lock_guard lock(command_mutex_);
  try {
    for (auto& s : command_streams_in_use_) diag::shutdown(*s);
  } catch (...) {
  }
}

diag::answer_deadline event_pipe_session::stop_deadline() const noexcept {
  return {configuration_.request_rundown ? rundown_answer_timeout : runtime_answer_timeout, &received_};
}

void event_pipe_session::drop() noexcept {
  if (stopped_.load()) return;
  stop_requested_.store(true);
  TW_LOG(info) << "Dropping EventPipe session " << session_id_ << " (" << kind_name(type_)
               << ") without StopTracing: its runtime may still wait to be resumed";
  shut_main_stream();
  finish_stop();
}

void event_pipe_session::stop_async() {
  if (stopped_.load()) return;
  if (runtime_may_wait_.load()) {
    drop();
    return;
  }
  stop_requested_.store(true);
  if (!started_.load()) {
    if (auto stream = load_main()) {
      diag::shutdown(*stream);
      TW_LOG(warning) << "Problematic situation was detected when connection was established and session start "
                         "request was sent, but the answer is not yet received. So, main connection was shutted down "
                         "forcibly to avoid highly probable deadlock.";
    }
    finish_stop();
    return;
  }
  {
    std::lock_guard session_lock(session_mutex_);
    TW_LOG(info) << "Stopping EventPipe session " << session_id_ << " (" << kind_name(type_) << ")";
    const auto status = main_status_.load();
    if (status != ipc_stream_status::active) {
      TW_LOG(info) << "Stream already " << to_string(status) << " for session " << session_id_;
    } else {
      try {
        std::shared_ptr<ipc_socket> stream;
        {
          std::unique_lock command_lock(command_mutex_);
          if (type_ == session_type::server) {
            // A runtime that has ended connects no more, and may end before
            // its stream has been read to the end; a frozen one does not
            // connect either.
            await_command_stream(
                command_lock, [&] { return main_status_.load() != ipc_stream_status::active; },
                std::chrono::steady_clock::now() + runtime_answer_timeout);
          } else if (!command_stream_) {
            command_stream_ = create_client_transport();
          }
          if (command_stream_) {
            stream = std::move(command_stream_);
            command_streams_in_use_.push_back(stream);
          }
        }
        if (!stream && main_status_.load() == ipc_stream_status::active) {
          throw diag::runtime_not_answering("The runtime did not connect again to take StopTracing");
        } else if (!stream) {
          TW_LOG(info) << "Stream already " << to_string(main_status_.load()) << " for session " << session_id_;
        } else {
          const auto answer = diag::send_message_and_receive_response<28>(
              *stream, diag::ipc_message::stop_tracing(session_id_), stop_deadline(), "StopTracing");
          if (answer.status() == diag::status_ok) {
            TW_LOG(info) << "EventPipe session " << session_id_ << " stopped successfully";
          } else if (answer.status() == diag::status_error) {
            const auto text =
                (boost::format("EventPipe session stop failed (HRESULT: %0#10x)") % diag::read_error_code(answer)).str();
            TW_LOG(error) << text;
            throw std::runtime_error(text);
          } else {
            TW_LOG(error) << "EventPipe session stop failed (server responded with unknown command)";
            throw std::runtime_error("EventPipe session stop failed (server responded with unknown command)");
          }
        }
      } catch (const std::exception& e) {
        TW_LOG(warning) << "Failed to stop EventPipe session " << session_id_ << " properly " << "because of " << '"'
                        << e.what() << '"' << ", so will terminate it forcibly by shutting the connections down";
        try {
          if (auto main = load_main()) {
            int available = 0;
            if (::ioctl(main->native_handle(), FIONREAD, &available) == 0 && available > 0)
              TW_LOG(warning) << available << " bytes are still available";
            diag::shutdown(*main);
          }
        } catch (const std::exception& inner) {
          TW_LOG(warning) << inner.what();
        }
      }
    }
  }
  finish_stop();
}

namespace {

// One process command over a connection of its own.
diag::ipc_message ask(const std::filesystem::path& path, std::uint8_t command, const char* name, const char* refused) {
  boost::asio::io_context io;
  ipc_socket s(io);
  s.connect(boost::asio::local::stream_protocol::endpoint(path.string()));
  auto answer = diag::send_message_and_receive_response<10240>(
      s, diag::ipc_message(diag::make_header(diag::command_set::process, command)),
      diag::answer_deadline{runtime_answer_timeout}, name);
  diag::shutdown(s);
  if (answer.status() != diag::status_ok) TW_THROW(std::runtime_error(refused));
  return answer;
}

}  // namespace

std::pair<std::uint64_t, std::string> query_process_info(const std::filesystem::path& path) {
  auto info = diag::read_process_info(ask(path, diag::process_command::process_info, "ProcessInfo", "Failed to get command line"));
  return {info.process_id, std::move(info.command_line)};
}

diag::process_info_2 query_process_info_2(const std::filesystem::path& path) {
  return diag::read_process_info_2(ask(path, diag::process_command::process_info_2, "ProcessInfo2", "The runtime refused ProcessInfo2"));
}

}  // namespace tarnwell::collector::event_pipe
