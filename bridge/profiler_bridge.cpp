#include "bridge/profiler_bridge.h"

#include "bridge/core_api.h"

#include "tw/log/log.h"
#include "bridge/bridge_file_factory.h"
#include "bridge/bridge_io.h"
#include "bridge/handshake.h"
#include "tw/error/exception_text.h"
#include "tw/error/file_write_error.h"
#include "tw/error/presentable_error.h"
#include "tw/progress/progress_handler.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/connect.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/exception/get_error_info.hpp>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// GCC 12 at -O2 pairs the release of a coroutine's frame with the wrong
// allocation function when the promise brings its own operator new and
// delete, as Asio's awaitable frames do, and warns; the pairing is right.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace tw_prof {

namespace {

namespace asio = boost::asio;
using asio::awaitable;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;

constexpr auto destroy_timeout = std::chrono::milliseconds(10000);
// How often an idle loop looks at the profiler and the state; commands and
// API calls wake it at once.
constexpr auto idle_period = std::chrono::milliseconds(20);

// Every save of every bridge in the process, one at a time.
std::mutex& bridge_operation_mux() {
  static std::mutex m;
  return m;
}

// The severity an exception may carry for the alert it becomes.
using errinfo_severity = boost::error_info<struct tag_severity, severity>;

// "address:port" -> the loopback endpoints it names. Any other address is
// refused before anything is sent anywhere.
std::vector<tcp::endpoint> loopback_endpoints(const std::string& endpoint) {
  const auto colon = endpoint.find(':');
  if (colon == std::string::npos || colon == 0) throw std::invalid_argument("Invalid address parameter");
  const std::string host = endpoint.substr(0, colon);
  const std::string port = endpoint.substr(colon + 1);
  asio::io_context io;
  tcp::resolver resolver(io);
  boost::system::error_code ec;
  const auto results = resolver.resolve(host, port, tcp::resolver::numeric_service, ec);
  if (ec) throw std::invalid_argument("The bridge endpoint \"" + endpoint + "\" cannot be resolved: " + ec.message());
  std::vector<tcp::endpoint> out;
  for (const auto& r : results) {
    if (!r.endpoint().address().is_loopback())
      throw std::invalid_argument("The bridge talks only on the loopback interface; \"" + endpoint +
                                  "\" names " + r.endpoint().address().to_string());
    out.push_back(r.endpoint());
  }
  if (out.empty()) throw std::invalid_argument("The bridge endpoint \"" + endpoint + "\" names no address");
  return out;
}

}  // namespace

// Threads: the I/O thread runs the connect and run coroutines and, with
// them, every command, answer and notification. Other threads come in
// through apply_api_command (measure operations, notifications), through
// file requests of the snapshot writer, and through destroy.
//
// Locks, in this order: api_mutex_ (whether the loop still takes API
// requests), socket_mutex_ (every exchange on the socket: the I/O thread's
// answers and commands, and file requests from any thread). The pending
// queue, the snapshot and the file identifiers belong to the I/O thread, or
// to whoever runs a file request while the I/O thread waits for it.
class profiler_bridge final : public profiler_bridge_controller {
 public:
  profiler_bridge(std::unique_ptr<prof_bridge_proto> proto, std::string endpoint, std::stop_token abandon);
  ~profiler_bridge() override;

  void destroy(bool save) override;
  std::future<void> extract_done_future() override { return finished_.get_future(); }
  std::string get_endpoint() const override { return endpoint_; }
  void start_collecting() override {
    apply_api_command(api_command::start_colecting, [this] {
      if (profiler_) profiler_->start_collecting();
    });
  }
  void stop_collecting() override {
    apply_api_command(api_command::stop_collecting, [this] {
      if (profiler_) profiler_->stop_collecting();
    });
  }
  void start_snapshot() override { apply_api_command(api_command::snapshot_start, {}); }
  void save_snapshot() override { apply_api_command(api_command::snapshot_stop_save, {}); }
  void reset_snapshot() override { apply_api_command(api_command::snapshot_stop_drop, {}); }
  void start_group(const char* name) override {
    const std::string copy = name ? name : "";
    apply_api_command(api_command::start_group, [this, copy] {
      if (profiler_) profiler_->start_group(copy.c_str());
    });
  }
  void end_group() override {
    apply_api_command(api_command::end_group, [this] {
      if (profiler_) profiler_->end_group();
    });
  }

 private:
  enum class bridge_state : std::uint32_t { running = 0, stop_save = 1, stop_drop = 2 };
  enum class api_command : std::uint32_t {
    snapshot_start = 0,
    snapshot_stop_drop = 1,
    snapshot_stop_save = 2,
    start_group = 3,
    end_group = 4,
    start_colecting = 5,
    stop_collecting = 6,
    execute = 7,
  };
  static const char* to_string(api_command c);
  static const char* to_string(bridge_state s);

  // How a request ended. Only text crosses back to the caller: an exception
  // object shared between threads is released by whichever lets go last,
  // inside a standard library the race detectors cannot see into.
  struct api_outcome {
    bool failed = false;
    std::string message;
  };
  struct api_request {
    api_command command;
    std::function<void()> callback;
    std::shared_ptr<std::promise<api_outcome>> done;  // null: nobody waits
  };

  class notifier final : public bridge_notifier {
   public:
    explicit notifier(profiler_bridge& bridge) : bridge_(bridge) {}
    void on_environment_updated(runtime_type type, runtime_version_t version, std::string text) override;
    void on_command_line_updated(const std::string& text) override;
    void on_error(const tw::presentable_error& error) override;
    void on_warning(const std::string& text) override;

   private:
    void post(const char* about, const char* kind, std::function<void()> send);
    profiler_bridge& bridge_;
  };

  awaitable<void> connect_and_run();
  awaitable<void> run();
  awaitable<void> idle_wait();
  awaitable<void> deliver_notifications();
  bool process_command(const bridge_command& command);
  void process_api(api_request& request);
  void create_new_snapshot();
  // Runs a snapshot's start or save; a failure to write its files (a full
  // disk, a file already in use) is told to the host as an alert, drops the
  // snapshot and returns true, and the command loop goes on.
  bool snapshot_refused(const std::function<void()>& operation);
  void remove_snapshot_files() noexcept;
  void drop();
  void save();
  std::filesystem::path request_file(const file_request& request);
  std::filesystem::path exchange_file_request(const file_request& request);
  void answer(host_bridge_answer a, const bridge_params& params = {});
  std::optional<bridge_command> read_command_if_any();
  void send_alert(std::exception_ptr error);
  void apply_api_command(api_command command, std::function<void()> callback, bool wait = true);
  void finish_api_requests();
  void set_ready(std::exception_ptr error);
  void close_connection() noexcept;
  void force_shutdown() noexcept;
  template <class... T>
  void log_info(const T&... parts) {
    TW_LOG(info) << prefix_ << [&] {
      std::ostringstream text;
      (text << ... << parts);
      return text.str();
    }();
  }

  std::string prefix_;
  std::unique_ptr<prof_bridge_proto> proto_;
  asio::io_context io_;
  std::mutex ready_mutex_;
  std::promise<api_outcome> ready_;
  bool ready_set_ = false;
  std::vector<std::uint8_t> buffer_;
  std::string endpoint_;
  std::vector<tcp::endpoint> targets_;
  std::optional<tcp::acceptor> acceptor_;
  tcp::socket socket_;
  std::atomic<int> socket_fd_{-1};
  std::atomic<bool> abandoned_{false};
  environment env_;
  std::unique_ptr<snapshot> snapshot_;
  tw::guid main_file_id_;
  std::vector<tw::guid> file_ids_;
  std::vector<std::filesystem::path> file_paths_;
  std::uint32_t request_id_ = 0;
  std::deque<api_request> pending_;
  std::mutex api_mutex_;
  bool loop_finished_ = false;
  std::recursive_mutex socket_mutex_;
  bool waiting_ = false;  // under socket_mutex_
  std::shared_ptr<prof_api_base> profiler_;
  std::atomic<bridge_state> state_{bridge_state::running};
  asio::steady_timer idle_timer_;
  std::atomic<std::thread::id> io_thread_;
  bool use_api_ = false;
  // The application's measure calls, when it runs the profiler itself.
  std::unique_ptr<core_api_subscription> subscription_;
  bool collect_from_start_ = false;
  std::promise<void> finished_;  // for whoever holds the bridge
  std::shared_future<void> done_;  // the I/O thread, for destroy
};

const char* profiler_bridge::to_string(api_command c) {
  switch (c) {
    case api_command::snapshot_start: return "snapshot_start";
    case api_command::snapshot_stop_drop: return "snapshot_stop_drop";
    case api_command::snapshot_stop_save: return "snapshot_stop_save";
    case api_command::start_group: return "start_group";
    case api_command::end_group: return "end_group";
    case api_command::start_colecting: return "start_colecting";
    case api_command::stop_collecting: return "stop_collecting";
    case api_command::execute: return "execute";
  }
  return "unknown";
}

const char* profiler_bridge::to_string(bridge_state s) {
  switch (s) {
    case bridge_state::running: return "running";
    case bridge_state::stop_save: return "stop_save";
    case bridge_state::stop_drop: return "stop_drop";
  }
  return "unknown";
}

profiler_bridge::profiler_bridge(std::unique_ptr<prof_bridge_proto> proto, std::string endpoint,
                                 std::stop_token abandon)
    : prefix_(bridge_prefix(this)),
      proto_(std::move(proto)),
      buffer_(bridge_constants::receive_buffer_size),
      endpoint_(std::move(endpoint)),
      socket_(io_),
      idle_timer_(io_) {
  if (endpoint_.empty()) {
    acceptor_.emplace(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const auto local = acceptor_->local_endpoint();
    endpoint_ = local.address().to_string() + ":" + std::to_string(local.port());
  } else {
    targets_ = loopback_endpoints(endpoint_);
  }
  log_info("Starting the bridge, current process: ", ::getpid(),
           ", process is being profiled: ", proto_->get_pid());
  asio::co_spawn(io_, connect_and_run(), asio::detached);
  done_ = std::async(std::launch::async, [this] {
    io_thread_.store(std::this_thread::get_id());
    try {
      io_.run();
    } catch (...) {
      TW_LOG(error) << prefix_ << "The bridge's I/O thread failed: " << tw::current_exception_to_string();
    }
    // Requests that came after the loop are refused rather than left waiting.
    finish_api_requests();
    io_.restart();
    io_.poll();
    finished_.set_value();
  });
  log_info("Waiting for the profiler is being ready");
  if (acceptor_) set_ready(nullptr);
  api_outcome ready;
  {
    // The I/O thread may sit in a connect (the post ends it) or in a blocking
    // handshake read (the shutdown does); the flag covers a connect that
    // completes in between.
    std::stop_callback on_abandon(abandon, [this] {
      abandoned_.store(true);
      asio::post(io_, [this] {
        boost::system::error_code ec;
        socket_.close(ec);
      });
      force_shutdown();
    });
    ready = ready_.get_future().get();
  }
  if (ready.failed) {
    destroy(false);
    throw std::runtime_error(ready.message);
  }
  log_info("Profiler is ready");
}

profiler_bridge::~profiler_bridge() {
  try {
    destroy(true);
  } catch (...) {
    TW_LOG(error) << prefix_ << "Bridge destroy: " << tw::current_exception_to_string();
  }
}

void profiler_bridge::set_ready(std::exception_ptr error) {
  std::lock_guard lock(ready_mutex_);
  if (ready_set_) return;
  ready_set_ = true;
  api_outcome outcome;
  if (error) {
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      outcome = {true, e.what()};
    } catch (...) {
      outcome = {true, "non-standard-exception error"};
    }
  }
  ready_.set_value(std::move(outcome));
}

awaitable<void> profiler_bridge::connect_and_run() {
  try {
    if (acceptor_) {
      co_await acceptor_->async_accept(socket_, asio::use_awaitable);
      acceptor_->close();
    } else {
      co_await asio::async_connect(socket_, targets_, asio::use_awaitable);
    }
    socket_fd_.store(socket_.native_handle());
    if (abandoned_.load()) throw std::runtime_error("The bridge was abandoned before the host was ready");
    co_await run();
  } catch (...) {
    const auto error = std::current_exception();
    TW_LOG(warning) << prefix_ << "Exception has occurred during the main command loop: "
                    << tw::current_exception_to_string();
    send_alert(error);
    set_ready(error);
  }
  finish_api_requests();
  if (subscription_) {
    try {
      subscription_->destroy();
    } catch (...) {
      TW_LOG(error) << prefix_ << "Measure API: " << tw::current_exception_to_string();
    }
    subscription_.reset();
  }
  try {
    drop();  // what an error left of the snapshot: no half-saved files
  } catch (...) {
    TW_LOG(error) << prefix_ << "Dropping the snapshot failed: " << tw::current_exception_to_string();
  }
  if (profiler_) {
    try {
      log_info("Destroy the profiler");
      profiler_->destroy();
      log_info("Profiler is destroyed");
    } catch (...) {
      TW_LOG(error) << prefix_ << "Profiler API destroy" << ": " << tw::current_exception_to_string();
    }
  }
  close_connection();
  set_ready(std::make_exception_ptr(std::runtime_error("The bridge ended before the host was ready")));
}

awaitable<void> profiler_bridge::run() {
  init_data data;
  {
    std::lock_guard lock(socket_mutex_);
    data = init_bridge(this, socket_, buffer_, *proto_);
  }
  env_ = data.env;
  use_api_ = data.use_api;
  collect_from_start_ = data.info.collect_from_start;
  log_info("Creating the profiler");
  profiler_ = proto_->create_prof(data.info, data.use_api, data, std::make_unique<notifier>(*this));
  log_info("Profiler is created");
  if (data.use_api && !proto_->is_outprocess()) subscription_ = subscribe_core_api(*this);
  if (proto_->is_detach_allowed()) answer(host_bridge_answer::enable_detach);
  if (proto_->is_outprocess()) answer(host_bridge_answer::outprocess_profiler);
  answer(host_bridge_answer::initialize_done);
  {
    std::ostringstream id;
    id << std::this_thread::get_id();
    log_info("Start of command processing loop, thread id: ", id.str());
  }
  while (state_.load() == bridge_state::running) {
    if (profiler_ && !profiler_->is_active()) {
      log_info("Profiler API is not active");
      break;
    }
    if (!pending_.empty()) {
      auto request = std::move(pending_.front());
      pending_.pop_front();
      try {
        process_api(request);
        if (request.done) request.done->set_value({});
      } catch (const std::exception& e) {
        if (request.done) request.done->set_value({true, e.what()});
        if (request.command == api_command::execute && !request.done) throw;  // a notification's error
      }
      continue;
    }
    if (auto command = read_command_if_any()) {
      if (!process_command(*command)) break;
      continue;
    }
    {
      // A host that closed the connection leaves it readable with nothing to read.
      std::uint8_t peek;
      const auto got = ::recv(socket_fd_.load(), &peek, 1, MSG_PEEK | MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
        log_info("Socket was closed");
        break;
      }
    }
    co_await idle_wait();
  }
  log_info("End of command processing loop");
  co_await deliver_notifications();
  if (state_.load() != bridge_state::stop_drop && !use_api_ && snapshot_ && snapshot_->is_started()) save();
  drop();
}

// Notifications posted before the loop ended still reach the host: a
// recording's rundown, which names the runtime, comes at its very end, just
// before the profiler stops. What was posted runs first on this thread.
awaitable<void> profiler_bridge::deliver_notifications() {
  co_await asio::post(io_, asio::use_awaitable);
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->command != api_command::execute || it->done) {
      ++it;
      continue;
    }
    auto request = std::move(*it);
    it = pending_.erase(it);
    try {
      process_api(request);
    } catch (...) {
      TW_LOG(warning) << prefix_ << "A notification at the end failed: " << tw::current_exception_to_string();
    }
  }
}

awaitable<void> profiler_bridge::idle_wait() {
  {
    std::lock_guard lock(socket_mutex_);
    waiting_ = true;
  }
  idle_timer_.expires_after(idle_period);
  co_await (socket_.async_wait(tcp::socket::wait_read, asio::as_tuple(asio::use_awaitable)) ||
            idle_timer_.async_wait(asio::as_tuple(asio::use_awaitable)));
  std::lock_guard lock(socket_mutex_);
  waiting_ = false;
}

std::optional<bridge_command> profiler_bridge::read_command_if_any() {
  std::lock_guard lock(socket_mutex_);
  boost::system::error_code ec;
  if (socket_.available(ec) == 0 || ec) return std::nullopt;
  return read_command(this, socket_, buffer_);
}

void profiler_bridge::answer(host_bridge_answer a, const bridge_params& params) {
  std::lock_guard lock(socket_mutex_);
  write_answer(this, socket_, a, params);
}

bool profiler_bridge::process_command(const bridge_command& command) {
  using enum host_bridge_command;
  switch (command.code) {
    case measure_snapshot_start:
      answer(snapshot_refused([this] { create_new_snapshot(); }) ? host_bridge_answer::measure_snapshot_stopped
                                                                  : host_bridge_answer::measure_snapshot_started);
      return true;
    case measure_snapshot_stop_drop:
      drop();
      answer(host_bridge_answer::measure_snapshot_stopped);
      return true;
    case measure_snapshot_stop_save:
      save();
      answer(host_bridge_answer::measure_snapshot_stopped);
      return true;
    case measure_snapshot_stop_drop_start:
    case measure_snapshot_stop_save_start:
      if (command.code == measure_snapshot_stop_save_start)
        save();
      else
        drop();
      answer(snapshot_refused([this] { create_new_snapshot(); }) ? host_bridge_answer::measure_snapshot_stopped
                                                                  : host_bridge_answer::measure_snapshot_started);
      return true;
    case go:
      if (collect_from_start_ && !use_api_) {
        answer(snapshot_refused([this] { create_new_snapshot(); }) ? host_bridge_answer::measure_snapshot_stopped
                                                                    : host_bridge_answer::measure_snapshot_started);
      } else {
        answer(use_api_ ? host_bridge_answer::measure_unsupported : host_bridge_answer::measure_snapshot_stopped);
      }
      set_ready(nullptr);
      return true;
    case kill:
      answer(host_bridge_answer::kill_accepted);
      drop();
      return false;
    case detach:
      drop();
      return false;
    default:
      // The host may go on after a command it should not have sent.
      try {
        throw std::runtime_error("Unknown command: " + tw_prof::to_string(command.code));
      } catch (...) {
        send_alert(std::current_exception());
      }
      return true;
  }
}

void profiler_bridge::process_api(api_request& request) {
  log_info("Process command from API: ", to_string(request.command));
  switch (request.command) {
    case api_command::snapshot_start: create_new_snapshot(); break;
    case api_command::snapshot_stop_drop: drop(); break;
    case api_command::snapshot_stop_save: save(); break;
    default: break;
  }
  if (request.callback) request.callback();
}

void profiler_bridge::create_new_snapshot() {
  if (!profiler_) throw std::runtime_error("Profiler is empty");
  if (snapshot_ && snapshot_->is_started()) throw std::runtime_error("Snapshot already exists");
  file_ids_.clear();
  file_paths_.clear();
  main_file_id_ = {};
  auto factory = std::make_unique<bridge_file_factory>([this](const file_request& r) { return request_file(r); },
                                                        [this] { remove_snapshot_files(); }, this);
  try {
    snapshot_ = profiler_->start_snapshot(std::move(factory), env_);
  } catch (...) {
    // The files the host named before the failure belong to no snapshot.
    remove_snapshot_files();
    bridge_file_factory::release_files(this);
    throw;
  }
}

bool profiler_bridge::snapshot_refused(const std::function<void()>& operation) {
  try {
    operation();
    return false;
  } catch (const tw::file_write_error& e) {
    // A full disk or a file the host should not have named: the host hears
    // of it, and the next snapshot may go elsewhere.
    TW_LOG(error) << prefix_ << tw::current_exception_to_string();
    const std::string snapshot = file_paths_.empty() ? std::string("of the process") : file_paths_.front().string();
    send_alert(std::make_exception_ptr(tw::presentable_error(
        "Cannot write the snapshot " + snapshot + ": " + e.code().message(), tw::presentable_error::error, 0)));
  } catch (const file_in_use&) {
    // The host has heard of it with the file request.
  }
  drop();
  return true;
}

void profiler_bridge::remove_snapshot_files() noexcept {
  for (const auto& path : file_paths_) {
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
  }
}

void profiler_bridge::drop() {
  if (snapshot_ && snapshot_->is_started()) snapshot_->reset();
  snapshot_.reset();
  file_ids_.clear();
  bridge_file_factory::release_files(this);
}

void profiler_bridge::save() {
  if (!snapshot_) throw std::runtime_error("No snapshot");
  std::lock_guard operation(bridge_operation_mux());
  bridge_params started;
  started.put(std::uint8_t{1}).guid(env_.session_id_1).put(env_.id_kind).guid(env_.session_id_2).put(std::uint8_t{0});
  answer(host_bridge_answer::operation_started, started);
  bool cancelled = false;
  auto report = [&](unsigned done, unsigned total) {
    bridge_params progress;
    progress.put(std::uint32_t{done}).put(std::uint32_t{total}).sized_string("").counter(0);
    answer(host_bridge_answer::operation_progress, progress);
    if (auto command = read_command_if_any()) {
      if (command->code == host_bridge_command::cancel_operation) {
        auto params = command->cursor();
        const auto way = params.remaining() ? static_cast<core_close_way>(params.byte()) : core_close_way::thrw;
        log_info("Snapshot processing has been cancelled, close way: ", tw_prof::to_string(way));
        cancelled = true;
      } else {
        TW_LOG(warning) << prefix_ << "Unexpected command during snapshot processing: "
                        << tw_prof::to_string(command->code);
      }
    }
    return !cancelled;
  };
  progress_handler_impl handler(report);
  handler.cancellable = true;
  bool failed = false;
  try {
    failed = snapshot_refused([&] { snapshot_->save_with_progress(handler); });
  } catch (const cancel_processing&) {
    // The files are gone with the cancellation: a snapshot is whole or absent.
  }
  answer(host_bridge_answer::operation_finished);
  if (failed) {
    TW_LOG(warning) << prefix_ << "The snapshot could not be saved";
  } else if (cancelled) {
    TW_LOG(warning) << prefix_ << "Snapshot processing was cancelled by the client";
  } else {
    bridge_params done;
    done.guid(env_.session_id_1).put(env_.id_kind).guid(env_.session_id_2).guid(main_file_id_);
    done.counter(static_cast<std::uint32_t>(file_ids_.size()));
    for (const auto& id : file_ids_) done.guid(id);
    answer(host_bridge_answer::snapshot_done, done);
  }
  snapshot_.reset();
  file_ids_.clear();
  bridge_file_factory::release_files(this);
}

std::filesystem::path profiler_bridge::request_file(const file_request& request) {
  {
    std::unique_lock lock(socket_mutex_);
    if (!waiting_ || io_thread_.load() == std::this_thread::get_id()) return exchange_file_request(request);
  }
  // The loop sleeps on the socket: the request runs there, in turn.
  std::filesystem::path path;
  apply_api_command(api_command::execute, [&] {
    std::lock_guard lock(socket_mutex_);
    path = exchange_file_request(request);
  });
  return path;
}

std::filesystem::path profiler_bridge::exchange_file_request(const file_request& request) {
  const std::uint32_t id = request_id_++;
  const auto* host = std::get_if<host_file>(&request);
  bridge_params params;
  params.put(id).put(bridge_constants::snapshot_file_handle_type);
  if (host) {
    write_answer(this, socket_, host_bridge_answer::handle_request, params);
  } else {
    params.put(static_cast<std::uint32_t>(std::stoul(std::get<slave_file>(request).name)));
    write_answer(this, socket_, host_bridge_answer::handle_request_slave, params);
  }
  const auto command = read_command(this, socket_, buffer_);
  if (command.code != host_bridge_command::handle)
    throw std::runtime_error("Unexpected command: " + tw_prof::to_string(command.code));
  auto cursor = command.cursor();
  const auto handle = read_handle(cursor);
  if (handle.request_id != id) throw std::runtime_error("Unexpected handle request id: " + std::to_string(handle.request_id));
  if (handle.file_type != bridge_constants::identified_file)
    throw std::runtime_error("Unexpected file type. Identified file was expected: " +
                             std::to_string(handle.file_type));
  // Refused before it is ours (the files of a failed start are removed), and
  // told to the host whichever thread asked for the file.
  try {
    bridge_file_factory::check_free(handle.path);
  } catch (const file_in_use& e) {
    TW_LOG(error) << prefix_ << e.what();
    send_alert(std::make_exception_ptr(tw::presentable_error(e.what(), tw::presentable_error::error, 0)));
    throw;
  }
  if (host && host->main)
    main_file_id_ = handle.file_id;
  else
    file_ids_.push_back(handle.file_id);
  file_paths_.push_back(handle.path);
  return handle.path;
}

void profiler_bridge::send_alert(std::exception_ptr error) {
  severity level = severity::error;
  std::uint32_t code = 0;
  std::string message;
  try {
    std::rethrow_exception(error);
  } catch (const tw::presentable_error& e) {
    level = e.severity() == tw::presentable_error::warning ? severity::warning : severity::error;
    code = e.code();
    message = e.what();
  } catch (const boost::exception& e) {
    if (const auto* s = boost::get_error_info<errinfo_severity>(e)) level = *s;
    code = tw::current_exception_to_hresult();
    message = tw::current_exception_to_string();
  } catch (...) {
    code = tw::current_exception_to_hresult();
    message = tw::current_exception_to_string();
  }
  try {
    bridge_params params;
    params.put(static_cast<std::uint8_t>(level)).put(code).sized_string(message);
    answer(host_bridge_answer::alert, params);
    log_info("Alert command has been sent: ", message, ", code: ", code, ", severity: ", tw_prof::to_string(level));
  } catch (...) {
    TW_LOG(warning) << prefix_ << "The alert could not be sent (" << message
                    << "): " << tw::current_exception_to_string();
  }
}

void profiler_bridge::apply_api_command(api_command command, std::function<void()> callback, bool wait) {
  auto done = wait ? std::make_shared<std::promise<api_outcome>>() : nullptr;
  std::future<api_outcome> result;
  if (done) result = done->get_future();
  {
    std::lock_guard lock(api_mutex_);
    if (loop_finished_) throw std::runtime_error("The bridge's command loop has ended");
    asio::post(io_, [this, request = api_request{command, std::move(callback), done}]() mutable {
      {
        // Queued just before the loop ended: nobody would ever run it.
        std::lock_guard finished(api_mutex_);
        if (loop_finished_) {
          if (request.done) request.done->set_value({true, "The bridge's command loop has ended"});
          return;
        }
      }
      pending_.push_back(std::move(request));
      idle_timer_.cancel();
    });
  }
  if (!done) return;
  const auto outcome = result.get();
  if (outcome.failed) throw std::runtime_error(outcome.message);
}

void profiler_bridge::finish_api_requests() {
  {
    std::lock_guard lock(api_mutex_);
    loop_finished_ = true;
  }
  for (auto& request : pending_) {
    if (request.done) request.done->set_value({true, "The bridge's command loop has ended"});
  }
  pending_.clear();
}

void profiler_bridge::close_connection() noexcept {
  try {
    log_info("Close connection");
    std::lock_guard lock(socket_mutex_);
    socket_fd_.store(-1);
    boost::system::error_code ec;
    socket_.shutdown(tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    if (acceptor_) acceptor_->close(ec);
  } catch (...) {
    TW_LOG(error) << prefix_ << "Can't close connection";
  }
}

void profiler_bridge::force_shutdown() noexcept {
  // From a thread other than the I/O thread, which may sit in a blocking
  // read on this socket: a shutdown ends that read.
  const int fd = socket_fd_.load();
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

void profiler_bridge::destroy(bool save) {
  const auto previous = state_.exchange(save ? bridge_state::stop_save : bridge_state::stop_drop);
  if (previous == bridge_state::running)
    log_info("Destroying bridge");
  else
    log_info("Destroying bridge (destroy flag has already been set before)");
  if (!done_.valid()) return;
  log_info("Waiting for the bridge is being destroyed...");
  {
    std::ostringstream id;
    id << io_thread_.load();
    log_info("Bridge state: ", to_string(state_.load()), ", thread id: ", id.str());
  }
  asio::post(io_, [this] {
    idle_timer_.cancel();
    // Still listening: nobody will come now.
    boost::system::error_code ec;
    if (acceptor_ && acceptor_->is_open()) acceptor_->close(ec);
  });
  if (done_.wait_for(destroy_timeout) != std::future_status::ready) {
    TW_LOG(warning) << prefix_ << "The time is expired. Trying to execute a handler on io_service";
    asio::post(io_, [this] {
      log_info("The timer is still active. Attempting to cancel it");
      idle_timer_.cancel();
      log_info("The timer is cancelled");
      close_connection();
    });
    force_shutdown();
    done_.wait();
  }
  log_info("Bridge is destroyed");
}

// Runs `send` on the I/O thread without waiting for it; the logs name the
// notification.
void profiler_bridge::notifier::post(const char* about, const char* kind, std::function<void()> send) {
  bridge_.log_info("Going to run execute_callback_no_sync to notify about ", about);
  try {
    bridge_.apply_api_command(api_command::execute, std::move(send), false);
  } catch (...) {
    TW_LOG(warning) << bridge_.prefix_ << tw::current_exception_to_string();
  }
  bridge_.log_info("execute_callback_no_sync (", kind, ") done");
}

void profiler_bridge::notifier::on_environment_updated(runtime_type type, runtime_version_t version, std::string text) {
  post("new runtime version", "runtime", [&b = bridge_, type, version, text] {
    b.log_info("Notifying about new runtime version");
    bridge_params params;
    params.put(static_cast<std::uint8_t>(type)).put(version.major).put(version.minor).put(version.build);
    params.put(version.revision).sized_string(text);
    b.answer(host_bridge_answer::runtime_updated, params);
    b.log_info("Runtime update notification sent");
  });
}

void profiler_bridge::notifier::on_command_line_updated(const std::string& text) {
  post("new command line value", "command line", [&b = bridge_, text] {
    b.log_info("Notifying about new command line value");
    bridge_params params;
    params.sized_string(text);
    b.answer(host_bridge_answer::command_line_updated, params);
    b.log_info("Command line update notification sent");
  });
}

void profiler_bridge::notifier::on_error(const tw::presentable_error& error) {
  post("the error", "error", [&b = bridge_, error] {
    b.log_info("Notifying about the error");
    throw error;
  });
}

void profiler_bridge::notifier::on_warning(const std::string& text) {
  post("a warning", "warning", [&b = bridge_, text] {
    b.send_alert(std::make_exception_ptr(tw::presentable_error(text, tw::presentable_error::warning, 0)));
  });
}

void check_bridge_endpoint(const std::string& endpoint) {
  if (!endpoint.empty()) loopback_endpoints(endpoint);
}

std::unique_ptr<profiler_bridge_controller> create_profiler_bridge_controller(std::unique_ptr<prof_bridge_proto> proto,
                                                                              std::string endpoint,
                                                                              std::stop_token abandon) {
  return std::make_unique<profiler_bridge>(std::move(proto), std::move(endpoint), std::move(abandon));
}

}  // namespace tw_prof
