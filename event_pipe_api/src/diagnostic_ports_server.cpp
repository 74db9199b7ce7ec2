#include "event_pipe_api/src/diagnostic_ports_server.h"

#include "tw/log/log.h"
#include "tw/error/exception_text.h"
#include "tw/system/linux/detail_proc_utils.h"
#include "tw/utility/byte_cursor.h"
#include "tw/utility/throw.h"

#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>

#include <array>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace tarnwell::collector::event_pipe {

namespace asio = boost::asio;
using diagnostics_ipc::ipc_socket;

namespace {

constexpr std::array<std::uint8_t, advertise_magic_size> advertise_magic{'A', 'D', 'V', 'R', '_', 'V', '1', 0};

std::string thread_id_text() {
  std::ostringstream out;
  out << std::this_thread::get_id();
  return out.str();
}

// Another user who may write the directory could put a socket of their own
// at the path and pose as the profiler, unless the sticky bit keeps them from
// replacing ours.
void check_port_directory(const std::filesystem::path& endpoint) {
  auto directory = endpoint.parent_path();
  if (directory.empty()) directory = ".";
  struct stat info {};
  if (::stat(directory.c_str(), &info) != 0)
    TW_THROW(std::system_error(errno, std::system_category(),
                               "The diagnostic port's directory '" + directory.string() + "' cannot be used"));
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0)
    TW_THROW(std::runtime_error("The diagnostic port's directory '" + directory.string() +
                                "' may be written by other users and is not sticky: another user could replace "
                                "the socket"));
}

// A socket file of this user left by an earlier listener is replaced;
// anything else at the path is not ours to remove.
void clear_port_path(const std::filesystem::path& endpoint) {
  struct stat info {};
  if (::lstat(endpoint.c_str(), &info) != 0) return;
  if (!S_ISSOCK(info.st_mode) || info.st_uid != ::geteuid())
    TW_THROW(std::runtime_error("The diagnostic port '" + endpoint.string() +
                                "' already exists and is not a socket of this user"));
  ::unlink(endpoint.c_str());
}

}  // namespace

bool diagnostic_ports_name(const std::string& setting, const std::filesystem::path& port) {
  std::error_code ec;
  const auto ours = std::filesystem::weakly_canonical(port, ec);
  std::size_t begin = 0;
  while (begin <= setting.size()) {
    auto end = setting.find(';', begin);
    if (end == std::string::npos) end = setting.size();
    const std::string entry = setting.substr(begin, end - begin);
    begin = end + 1;
    const auto comma = entry.find(',');
    const std::filesystem::path address = entry.substr(0, comma);
    if (address.empty()) continue;
    bool connects = true;  // the runtime's default for a port
    for (auto at = comma; at != std::string::npos;) {
      const auto next = entry.find(',', at + 1);
      const auto option = entry.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
      if (option == "listen") connects = false;
      if (option == "connect") connects = true;
      at = next;
    }
    std::error_code theirs_ec;
    const auto theirs = std::filesystem::weakly_canonical(address, theirs_ec);
    if (connects && (theirs == ours || address == port)) return true;
  }
  return false;
}

bool runtime_connects_to(int pid, const std::filesystem::path& port) {
  for (const char* name : {"DOTNET_DiagnosticPorts", "COMPlus_DiagnosticPorts"}) {
    const auto setting = tw::detail_proc_utils::get_environment_variable(pid, name);
    if (setting && diagnostic_ports_name(*setting, port)) return true;
  }
  return false;
}

void check_advertise_magic(std::span<const std::uint8_t> magic) {
  if (magic.size() != advertise_magic.size() || std::memcmp(magic.data(), advertise_magic.data(), magic.size()) != 0)
    TW_THROW(std::runtime_error("Invalid Advertise Protocol message received"));
}

advertise_message parse_advertise(std::span<const std::uint8_t> message) {
  if (message.size() < advertise_magic_size) TW_THROW(std::runtime_error("Invalid Advertise Protocol message received"));
  check_advertise_magic(message.first(advertise_magic_size));
  tw::byte_cursor c(message.data() + advertise_magic_size, message.data() + message.size(), "advertise message");
  advertise_message m;
  m.runtime_cookie = c.guid(tw::guid_byte_order::windows);
  m.pid = c.read<std::uint64_t>();
  c.read<std::uint16_t>();
  TW_LOG(info) << "Runtime cookie is " << m.runtime_cookie.to_string() << ", pid is " << m.pid;
  return m;
}

std::uint64_t receive_advertise(ipc_socket& reader) {
  std::array<std::uint8_t, advertise_size> message;
  asio::read(reader, asio::buffer(message.data(), advertise_magic_size));
  check_advertise_magic(std::span(message).first(advertise_magic_size));
  asio::read(reader, asio::buffer(message.data() + advertise_magic_size, advertise_size - advertise_magic_size));
  return parse_advertise(message).pid;
}

std::shared_ptr<ipc_socket> create_ipc_socket(asio::io_context& io) {
  return std::shared_ptr<ipc_socket>(new ipc_socket(io), [](ipc_socket* s) {
    boost::system::error_code ec;
    s->close(ec);
    if (ec)
      TW_LOG(warning) << "Socket close failed: " << ec.message();
    else
      TW_LOG(debug) << "Socket close succeeded";
    delete s;
  });
}

std::shared_ptr<ipc_acceptor> create_ipc_acceptor(const std::filesystem::path& endpoint, asio::io_context& io,
                                                  bool listen) {
  if (endpoint.native().size() >= sizeof(sockaddr_un{}.sun_path))
    TW_THROW(std::system_error(ENAMETOOLONG, std::system_category(),
                               "The diagnostic port path '" + endpoint.string() + "'"));
  check_port_directory(endpoint);
  clear_port_path(endpoint);
  // The path is kept here: a closed acceptor no longer knows it.
  auto bound = std::make_unique<ipc_acceptor>(io);
  bound->open(asio::local::stream_protocol());
  bound->bind(asio::local::stream_protocol::endpoint(endpoint.string()));
  // From here the file is ours to remove. The path is kept with the deleter:
  // a closed acceptor no longer knows it.
  auto acceptor = std::shared_ptr<ipc_acceptor>(bound.release(), [path = endpoint](ipc_acceptor* a) {
    boost::system::error_code ec;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
      TW_LOG(warning) << "Failed to remove UNIX domain socket '" << path.string() << "': " << std::system_category().message(errno);
    a->close(ec);
    if (ec) TW_LOG(warning) << "Acceptor close failed: " << ec.message();
    delete a;
  });
  // Nobody can connect before listen, so the mode is set before anyone could.
  if (::chmod(endpoint.c_str(), S_IRUSR | S_IWUSR) != 0)
    TW_THROW(std::system_error(errno, std::system_category(),
                               "Setting the mode of the diagnostic port '" + endpoint.string() + "'"));
  if (listen) acceptor->listen(128);
  return acceptor;
}

diagnostic_ports_server::diagnostic_ports_server(std::function<void()> notify, session_factory sessions,
                                                 client_factory clients, std::filesystem::path port_path,
                                                 bool stop_on_last_client)
    : notify_(std::move(notify)),
      sessions_(std::move(sessions)),
      clients_(std::move(clients)),
      port_path_(std::move(port_path)),
      acceptor_(create_ipc_acceptor(port_path_, io_, true)),
      stop_on_last_client_(stop_on_last_client) {}

diagnostic_ports_server::~diagnostic_ports_server() {
  TW_LOG(info) << "Destroying DiagnosticPorts Server";
  try {
    stop();
    wait();
  } catch (...) {
    TW_LOG(error) << tw::current_exception_to_string();
  }
  // Handlers still queued hold sockets of this context: they go first.
  waiting_socket_.reset();
  acceptor_.reset();
  TW_LOG(info) << "DiagnosticPorts Server destroyed";
}

void diagnostic_ports_server::run() {
  run_client_connection_loop();
  runner_ = std::async(std::launch::async, [this] {
    TW_LOG(info) << "Running io_service (thread " << thread_id_text() << ")";
    try {
      io_.run();
      TW_LOG(info) << "io_service finished";
    } catch (...) {
      TW_LOG(error) << "io_service failed: " << tw::current_exception_to_string();
    }
  });
}

void diagnostic_ports_server::wait() {
  if (runner_.valid()) runner_.wait();
  join_clients();
}

void diagnostic_ports_server::join_clients() {
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      threads.swap(client_threads_);
    }
    if (threads.empty()) return;
    for (auto& t : threads)
      if (t.joinable()) t.join();
  }
}

std::size_t diagnostic_ports_server::active_count() const {
  std::lock_guard lock(mutex_);
  return active_clients_.size();
}

std::size_t diagnostic_ports_server::failed_count() const {
  std::lock_guard lock(mutex_);
  return failed_clients_.size();
}

void diagnostic_ports_server::run_client_connection_loop() {
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  waiting_socket_ = create_ipc_socket(io_);
  TW_LOG(info) << active_clients_.size() << " active connections, " << failed_clients_.size()
               << " failed connections";
  acceptor_->async_accept(*waiting_socket_, [this](const boost::system::error_code& ec) { on_accept(ec); });
}

void diagnostic_ports_server::on_accept(const boost::system::error_code& ec) {
  if (notify_) {
    try {
      notify_();
    } catch (...) {
      TW_LOG(error) << tw::current_exception_to_string();
    }
  }
  std::shared_ptr<ipc_socket> connection;
  {
    std::lock_guard lock(mutex_);
    if (ec && stopping_) {
      TW_LOG(warning) << "DiagnosticPorts Server rejecting to accept client connection";
      return;
    }
    connection = std::move(waiting_socket_);
  }
  if (ec) {
    TW_LOG(warning) << "Failed to accept client connection: " << ec.message();
    if (ec == asio::error::operation_aborted) return;
  } else {
    TW_LOG(info) << "Client connection is accepted successfully";
    read_advertise(std::move(connection));
  }
  run_client_connection_loop();
}

// The advertise message is read without holding up the loop: a peer that
// connects and says nothing must not keep others out, nor keep stop waiting.
void diagnostic_ports_server::read_advertise(std::shared_ptr<ipc_socket> connection) {
  struct reading {
    std::array<std::uint8_t, advertise_size> message;
    asio::steady_timer deadline;
  };
  auto state = std::make_shared<reading>(reading{{}, asio::steady_timer(io_, advertise_timeout)});
  {
    std::lock_guard lock(mutex_);
    std::erase_if(reading_, [](const auto& w) { return w.expired(); });
    reading_.push_back(connection);
  }
  state->deadline.async_wait([weak = std::weak_ptr(connection)](const boost::system::error_code& ec) {
    if (ec) return;
    if (auto c = weak.lock()) {
      TW_LOG(warning) << "No advertise message within " << advertise_timeout.count() << " s; closing the connection";
      boost::system::error_code ignored;
      c->close(ignored);
    }
  });
  asio::async_read(
      *connection, asio::buffer(state->message.data(), advertise_magic_size),
      [this, connection, state](const boost::system::error_code& ec, std::size_t) {
        if (ec) {
          state->deadline.cancel();
          TW_LOG(warning) << "Client connection closed before its advertise message: " << ec.message();
          return;
        }
        try {
          check_advertise_magic(std::span(state->message).first(advertise_magic_size));
        } catch (...) {
          state->deadline.cancel();
          TW_LOG(warning) << "Client connection refused: " << tw::current_exception_to_string();
          return;
        }
        asio::async_read(*connection,
                         asio::buffer(state->message.data() + advertise_magic_size,
                                      advertise_size - advertise_magic_size),
                         [this, connection, state](const boost::system::error_code& ec, std::size_t) {
                           state->deadline.cancel();
                           {
                             // Read whole, the connection is a session's stream from here on, read
                             // on the session's threads: a stop must not close it under them.
                             std::lock_guard lock(mutex_);
                             std::erase_if(reading_, [&](const auto& w) {
                               const auto c = w.lock();
                               return !c || c == connection;
                             });
                           }
                           if (ec) {
                             TW_LOG(warning) << "Client connection closed within its advertise message: "
                                             << ec.message();
                             return;
                           }
                           try {
                             const auto message = parse_advertise(state->message);
                             on_advertise(connection, static_cast<int>(message.pid));
                           } catch (...) {
                             TW_LOG(warning) << "Client connection refused: " << tw::current_exception_to_string();
                           }
                         });
      });
}

void diagnostic_ports_server::on_advertise(std::shared_ptr<ipc_socket> connection, int pid) {
  std::unique_lock lock(mutex_);
  if (stopping_) return;
  std::shared_ptr<basic_connection_data> known;
  if (const auto it = active_clients_.find(pid); it != active_clients_.end())
    known = it->second;
  else if (const auto failed = failed_clients_.find(pid); failed != failed_clients_.end())
    known = failed->second;
  if (known) {
    lock.unlock();
    known->session().set_command_stream(std::move(connection));
    return;
  }
  lock.unlock();
  // The factories run unlocked: they may take locks of their owner, whose
  // release in turn stops this server.
  auto session = sessions_(port_path_);
  session->set_main_stream(std::move(connection), pid);
  auto client = clients_(std::move(session));
  if (!client) return;
  lock.lock();
  if (stopping_) {
    lock.unlock();
    client->stop();
    return;
  }
  active_clients_[pid] = client;
  client_threads_.emplace_back([this, client, pid] {
    try {
      client->process();
      asio::post(io_, [this, pid] { on_client_disconnected(pid); });
    } catch (...) {
      TW_LOG(error) << "Client of process " << pid << " failed: " << tw::current_exception_to_string();
      asio::post(io_, [this, pid] { on_client_failed(pid); });
    }
  });
}

void diagnostic_ports_server::on_client_failed(int pid) {
  {
    std::lock_guard lock(mutex_);
    if (const auto it = active_clients_.find(pid); it != active_clients_.end()) {
      failed_clients_[pid] = it->second;
      active_clients_.erase(it);
    }
  }
  on_client_disconnected(std::nullopt);
}

void diagnostic_ports_server::on_client_disconnected(std::optional<int> pid) {
  bool last = false;
  {
    std::lock_guard lock(mutex_);
    if (pid) active_clients_.erase(*pid);
    TW_LOG(info) << "Client disconnected, now there are " << active_clients_.size()
                 << " clients are being processed, " << failed_clients_.size() << " failed clients are preserved";
    last = stop_on_last_client_ && active_clients_.empty() && !stopping_;
  }
  if (last) {
    TW_LOG(info) << "Last client disconnected. Stopping DiagnosticPorts Server";
    stop();
  }
}

void diagnostic_ports_server::stop() {
  TW_LOG(info) << "Stopping DiagnosticPorts Server";
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  stop_and_clear_clients();
  asio::post(io_, [this] {
    std::vector<std::shared_ptr<ipc_socket>> unread;
    {
      std::lock_guard lock(mutex_);
      TW_LOG(info) << "Closing waiting_socket";
      if (waiting_socket_) {
        boost::system::error_code ec;
        waiting_socket_->close(ec);
      }
      for (auto& w : reading_)
        if (auto c = w.lock()) unread.push_back(std::move(c));
      reading_.clear();
    }
    for (auto& c : unread) {
      boost::system::error_code ec;
      c->close(ec);
    }
    TW_LOG(info) << "Closing acceptor";
    boost::system::error_code ec;
    acceptor_->close(ec);
  });
  TW_LOG(info) << "DiagnosticPorts Server stopping finished";
}

void diagnostic_ports_server::stop_and_clear_clients() {
  std::map<int, std::shared_ptr<basic_connection_data>> active, failed;
  {
    std::lock_guard lock(mutex_);
    active.swap(active_clients_);
    failed.swap(failed_clients_);
  }
  TW_LOG(info) << "Stopping clients";
  for (auto& [pid, client] : active) client->stop();
  TW_LOG(info) << "Clearing clients";
  active.clear();
  TW_LOG(info) << "Stopping failed clients";
  for (auto& [pid, client] : failed) client->stop();
  TW_LOG(info) << "Clearing failed clients";
  failed.clear();
}

}  // namespace tarnwell::collector::event_pipe
