#pragma once

// The listening end of reverse connections: runtimes started with
// DOTNET_DiagnosticPorts connect to a UNIX socket here, announce themselves
// with an advertise message and, when told to suspend, wait until they are
// resumed. Each process gets one server session, whose main stream is its
// first connection and whose command streams are its later ones, and one
// client running on a thread of its own.
//
// Threads: the I/O thread runs the accept loop, reads the advertise messages
// and closes the sockets; each client runs process() on its own thread; the
// owner calls run, stop and wait. The client maps are guarded by a mutex, as
// stop may come from any of them.

#include "event_pipe_api/src/session.h"
#include "tarnwell/diagnostics_ipc/ipc_message.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

namespace tarnwell::collector::event_pipe {

inline constexpr std::size_t advertise_size = 34;
inline constexpr std::size_t advertise_magic_size = 8;

struct advertise_message {
  tw::guid runtime_cookie;
  std::uint64_t pid = 0;
};

// Throws "Invalid Advertise Protocol message received" unless `magic` is
// "ADVR_V1" and a NUL.
void check_advertise_magic(std::span<const std::uint8_t> magic);
// A whole message: the magic, the cookie, the pid, the reserved word.
advertise_message parse_advertise(std::span<const std::uint8_t> message);
// Reads one message from `reader` and returns the process id.
std::uint64_t receive_advertise(diagnostics_ipc::ipc_socket& reader);

// Whether the runtime of `pid` connects to `port`: its DiagnosticPorts
// setting ("PATH[,connect|listen][,suspend|nosuspend]", several separated by
// ';') names the port as one to connect to. False when its environment
// cannot be read.
bool runtime_connects_to(int pid, const std::filesystem::path& port);
// The same, from the setting's text.
bool diagnostic_ports_name(const std::string& setting, const std::filesystem::path& port);

// The client of one process: it owns that process's server session.
class basic_connection_data {
 public:
  explicit basic_connection_data(std::unique_ptr<event_pipe_session> session) : session_(std::move(session)) {}
  virtual ~basic_connection_data() = default;
  basic_connection_data(const basic_connection_data&) = delete;
  basic_connection_data& operator=(const basic_connection_data&) = delete;

  // Runs the client to its end, on a thread of its own.
  virtual void process() = 0;
  // Ends process() soon; from any thread, any number of times.
  virtual void stop() = 0;
  event_pipe_session& session() { return *session_; }

 protected:
  std::unique_ptr<event_pipe_session> session_;
};

using ipc_acceptor = boost::asio::local::stream_protocol::acceptor;

// The socket's deleter closes it and logs how that went.
std::shared_ptr<diagnostics_ipc::ipc_socket> create_ipc_socket(boost::asio::io_context& io);
// Binds `endpoint` for its owner only (mode 0600), after refusing a
// directory that other users may write without the sticky bit and a path
// taken by anything but a socket of this user (a stale one is replaced).
// The deleter removes the socket file and closes the acceptor.
std::shared_ptr<ipc_acceptor> create_ipc_acceptor(const std::filesystem::path& endpoint,
                                                  boost::asio::io_context& io, bool listen);

class diagnostic_ports_server {
 public:
  using session_factory = std::function<std::unique_ptr<event_pipe_session>(const std::filesystem::path&)>;
  using client_factory =
      std::function<std::shared_ptr<basic_connection_data>(std::unique_ptr<event_pipe_session>)>;

  // A runtime that connects and sends nothing is dropped after this long.
  static constexpr std::chrono::seconds advertise_timeout{10};

  diagnostic_ports_server(std::function<void()> notify, session_factory sessions, client_factory clients,
                          std::filesystem::path port_path, bool stop_on_last_client);
  ~diagnostic_ports_server();
  diagnostic_ports_server(const diagnostic_ports_server&) = delete;
  diagnostic_ports_server& operator=(const diagnostic_ports_server&) = delete;

  void run();
  // Waits for the I/O thread and then for every client's thread.
  void wait();
  void stop();
  void stop_and_clear_clients();
  void on_client_disconnected(std::optional<int> pid);

  const std::filesystem::path& port_path() const { return port_path_; }
  std::size_t active_count() const;
  std::size_t failed_count() const;

 private:
  void run_client_connection_loop();
  void on_accept(const boost::system::error_code& ec);
  void read_advertise(std::shared_ptr<diagnostics_ipc::ipc_socket> connection);
  void on_advertise(std::shared_ptr<diagnostics_ipc::ipc_socket> connection, int pid);
  void on_client_failed(int pid);
  void join_clients();

  boost::asio::io_context io_;
  std::future<void> runner_;
  std::function<void()> notify_;
  session_factory sessions_;
  client_factory clients_;
  std::filesystem::path port_path_;
  std::shared_ptr<ipc_acceptor> acceptor_;
  std::shared_ptr<diagnostics_ipc::ipc_socket> waiting_socket_;
  bool stop_on_last_client_;

  mutable std::mutex mutex_;  // the maps, the reading connections, the threads, stopping
  std::map<int, std::shared_ptr<basic_connection_data>> active_clients_;
  std::map<int, std::shared_ptr<basic_connection_data>> failed_clients_;
  // Connections whose advertise message is still on its way.
  std::vector<std::weak_ptr<diagnostics_ipc::ipc_socket>> reading_;
  std::vector<std::thread> client_threads_;
  bool stopping_ = false;
};

}  // namespace tarnwell::collector::event_pipe
