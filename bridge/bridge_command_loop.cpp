#include "bridge/profiler_bridge_impl.h"

#include "bridge/handshake.h"
#include "tw/error/exception_text.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <cerrno>
#include <chrono>
#include <sys/socket.h>

namespace tw_prof {

namespace {

using namespace asio::experimental::awaitable_operators;

// How often an idle loop looks at the profiler and the state; commands and
// API calls wake it at once.
constexpr auto idle_period = std::chrono::milliseconds(20);

}  // namespace

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
      answer(snapshot_refused([&] { create_new_snapshot(window_of(command)); })
                 ? host_bridge_answer::measure_snapshot_stopped
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
    case measure_snapshot_stop_save_start: {
      // A flight recording records on into the next snapshot of its window.
      const auto window = window_of(command);
      if (snapshot_ && snapshot_->windowed()) snapshot_->continues(window == window_);
      if (command.code == measure_snapshot_stop_save_start)
        save();
      else
        drop();
      answer(snapshot_refused([&] { create_new_snapshot(window); }) ? host_bridge_answer::measure_snapshot_stopped
                                                                     : host_bridge_answer::measure_snapshot_started);
      return true;
    }
    case go:
      if (collect_from_start_ && !use_api_) {
        answer(snapshot_refused([&] { create_new_snapshot(window_of(command)); })
                   ? host_bridge_answer::measure_snapshot_stopped
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

}  // namespace tw_prof
