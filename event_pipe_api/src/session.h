#pragma once

// One EventPipe tracing session in the runtime of one .NET process: it owns
// the Diagnostics IPC connections, starts the session, hands the nettrace
// stream to a consumer and stops it again, by force if need be.
//
// Threads: the starter, the consumer reading the main stream, the port
// server delivering streams and whoever stops the session. Locks: the session
// mutex (start exchange, stop, main stream) and the command mutex (command
// stream, in-use list, condition variable); the session mutex is always taken
// first. started, stopped and the main stream status are atomics. Every
// exchange with the runtime has a deadline (below), so no lock is held
// across a wait without an end: a frozen runtime costs a stop its deadline,
// never the stop itself.

#include "event_pipe_api/src/discovery.h"
#include "event_pipe_api/src/event_pipe_consumer_api.h"
#include "tarnwell/diagnostics_ipc/ipc_message.h"

#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarnwell::collector::event_pipe {

using diagnostics_ipc::ipc_socket;
using diagnostics_ipc::session_configuration;

class transport_not_found : public std::runtime_error {
 public:
  explicit transport_not_found(int pid)
      : std::runtime_error("Socket file for pid=" + std::to_string(pid) + " is not found") {}
};

class non_existing_process : public std::runtime_error {
 public:
  explicit non_existing_process(int pid)
      : std::runtime_error("Process with pid=" + std::to_string(pid) + " is not alive (anymore)") {}
};

// How long a runtime may stay silent before an exchange with it is given up
// (CollectTracing, StopTracing, ResumeRuntime, ProcessInfo). A stop waits
// longer while the session's stream still moves.
inline constexpr std::chrono::seconds runtime_answer_timeout{3};
// The stop of a rundown session: the runtime first walks every method it has
// loaded, and writes nothing meanwhile.
inline constexpr std::chrono::seconds rundown_answer_timeout{30};

enum class session_type { client = 0, server = 1 };
enum class ipc_stream_status : std::uint8_t { active = 0, completed = 1, shut_down = 2 };
std::string to_string(ipc_stream_status s);

class event_pipe_session {
 public:
  event_pipe_session(int pid, session_configuration configuration);
  event_pipe_session(std::filesystem::path port, session_configuration configuration);
  ~event_pipe_session();
  event_pipe_session(const event_pipe_session&) = delete;
  event_pipe_session& operator=(const event_pipe_session&) = delete;

  void start(std::optional<std::filesystem::path> path = std::nullopt);
  // Ends the session with StopTracing, or by force when the runtime does not
  // answer in time. A runtime that may still wait suspended is never sent
  // StopTracing (one that forgets a stopped session and starts a later one
  // twice is harmed): its session is dropped instead.
  void stop_async();
  // Ends the session without a word to the runtime: the connection is shut
  // and the runtime ends the session when it next writes to it.
  void drop() noexcept;
  // The runtime may wait suspended for a resumption not yet sent. Server
  // sessions start so; a resumption through any of them clears it.
  void set_runtime_may_wait(bool waiting) noexcept { runtime_may_wait_.store(waiting); }
  bool runtime_may_wait() const noexcept { return runtime_may_wait_.load(); }
  void resume_runtime(bool use_command_stream);
  // For a runtime that may still wait suspended when its client ends, stopped
  // session or not: resumes it through its first connection if nothing was
  // sent there yet, else through the next connection the runtime makes
  // within `timeout`. Reports instead of throwing.
  void resume_runtime_if_waiting(std::chrono::milliseconds timeout) noexcept;
  bool runtime_resumed() const noexcept { return resumed_.load(); }
  std::string get_command_line();
  void set_main_stream(std::shared_ptr<ipc_socket> stream, std::optional<int> pid);
  void set_command_stream(std::shared_ptr<ipc_socket> stream);
  void prepare_command_stream();
  std::shared_ptr<ipc_socket> create_client_transport();

  // For the consumer.
  std::shared_ptr<ipc_socket> main_stream();
  const std::atomic<bool>& stopped() const noexcept { return stopped_; }
  // Set as soon as a stop begins: the runtime ends the stream before it
  // answers the stop request, so a stream that ends now was stopped by us.
  const std::atomic<bool>& stop_requested() const noexcept { return stop_requested_; }
  // Wakes whoever waits for a command stream: none is needed any more.
  void mark_completed() noexcept;
  // Shuts the main stream down in both directions.
  void shut_main_stream() noexcept;
  // Bytes the consumer has read from the main stream.
  void count_received(std::size_t n) noexcept { received_.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t received() const noexcept { return received_.load(std::memory_order_relaxed); }
  ipc_stream_status main_status() const noexcept { return main_status_.load(); }
  std::uint64_t id() const noexcept { return session_id_; }
  int pid() const noexcept { return pid_; }
  session_type type() const noexcept { return type_; }
  bool is_started() const noexcept { return started_.load(); }
  const std::string& transport_path() const noexcept { return transport_path_; }

 private:
  void search_transport();
  void init_main_stream(std::shared_ptr<ipc_socket> transport, std::unique_lock<std::mutex>& lock);
  std::shared_ptr<ipc_socket> take_command_stream();
  // The deadline of the StopTracing answer.
  diagnostics_ipc::answer_deadline stop_deadline() const noexcept;
  // The runtime is gone for good: it will not connect again.
  bool process_gone() const noexcept;
  // With the command mutex held in `lock`: waits until a command stream is
  // there (true), or `give_up()` holds, the process is gone or `deadline`
  // has passed (false).
  template <class GiveUp>
  bool await_command_stream(std::unique_lock<std::mutex>& lock, GiveUp give_up,
                            std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max());
  // ResumeRuntime on `stream`; throws when the runtime refuses.
  void send_resume(ipc_socket& stream);
  void remove_from_command_streams_in_use(const std::shared_ptr<ipc_socket>& s);
  void finish_stop();

  session_type type_;
  session_configuration configuration_;
  int pid_ = 0;
  std::string transport_path_;
  std::uint64_t session_id_ = 0;
  std::atomic<bool> started_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> main_used_{false};  // a request went out on the main stream
  std::atomic<bool> resumed_{false};
  std::atomic<bool> runtime_may_wait_{false};
  std::atomic<std::uint64_t> received_{0};
  // Threads inside start(): destruction waits for them once it has shut the
  // main stream down, so their exchange ends before the sockets' services go.
  std::atomic<int> starting_{0};
  std::mutex session_mutex_;
  boost::asio::io_context io_;
  // Read without the session mutex by stop (which may run while start holds
  // it); the pointer has a leaf lock of its own.
  std::shared_ptr<ipc_socket> load_main() const;
  void store_main(std::shared_ptr<ipc_socket> s);
  std::shared_ptr<ipc_socket> main_stream_;
  mutable std::mutex main_pointer_mutex_;
  std::atomic<ipc_stream_status> main_status_{ipc_stream_status::active};
  std::shared_ptr<ipc_socket> command_stream_;
  std::vector<std::shared_ptr<ipc_socket>> command_streams_in_use_;
  std::mutex command_mutex_;
  std::condition_variable command_ready_;
};

// Asks the runtime listening at `path` for its process id and command line
// over a connection of its own.
std::pair<std::uint64_t, std::string> query_process_info(const std::filesystem::path& path);
// The same, with the runtime's version and the program's entry assembly.
diagnostics_ipc::process_info_2 query_process_info_2(const std::filesystem::path& path);

}  // namespace tarnwell::collector::event_pipe
