#pragma once

// The bridge's one implementation, shared by the files that build it:
// profiler_bridge.cpp (life: connect, ready, alerts, the measure API,
// destroy), bridge_command_loop.cpp (the I/O thread's loop over the host's
// commands) and bridge_snapshots.cpp (snapshots and the files they ask for).

#include "bridge/profiler_bridge.h"

#include "bridge/bridge_io.h"
#include "bridge/core_api.h"
#include "tw/log/log.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

// GCC 12 at -O2 pairs the release of a coroutine's frame with the wrong
// allocation function when the promise brings its own operator new and
// delete, as Asio's awaitable frames do, and warns; the pairing is right.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ == 12
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace tw_prof {

namespace asio = boost::asio;
using asio::awaitable;
using asio::ip::tcp;

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
    void on_triggered(const std::string& what, std::uint32_t ms) override;

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
  // A window's settings make it a flight recording's snapshot.
  void create_new_snapshot(const window_settings& window = {});
  // A command that starts a snapshot: its settings, or, when it gives none
  // after a window's snapshot, that window's again.
  window_settings window_of(const bridge_command& command) const;
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
  // On the I/O thread: what the notifier left in the outbox, in order.
  void send_notifications();
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
  window_settings window_;  // of the last snapshot
  tw::guid main_file_id_;
  std::vector<tw::guid> file_ids_;
  std::vector<std::filesystem::path> file_paths_;
  std::uint32_t request_id_ = 0;
  std::deque<api_request> pending_;
  std::mutex outbox_mutex_;
  std::deque<std::function<void()>> outbox_;
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

}  // namespace tw_prof
