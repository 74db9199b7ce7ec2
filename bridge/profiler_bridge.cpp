#include "bridge/profiler_bridge_impl.h"

#include "tw/error/exception_text.h"
#include "tw/error/presentable_error.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/exception/get_error_info.hpp>

#include <chrono>
#include <sys/socket.h>
#include <unistd.h>

namespace tw_prof {

namespace {

constexpr auto destroy_timeout = std::chrono::milliseconds(10000);

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
// notification. A notification waits in the outbox, in order, for the loop,
// or for a save in progress, which sends it before the save's end: what a
// save says (a short window, a full call tree) comes before the snapshot.
void profiler_bridge::notifier::post(const char* about, const char* kind, std::function<void()> send) {
  bridge_.log_info("Going to run execute_callback_no_sync to notify about ", about);
  try {
    if (std::string_view(kind) == "error") {
      // An error ends the host's session: the loop alone may raise it.
      bridge_.apply_api_command(api_command::execute, std::move(send), false);
    } else {
      {
        std::lock_guard lock(bridge_.outbox_mutex_);
        bridge_.outbox_.push_back(std::move(send));
      }
      bridge_.apply_api_command(api_command::execute, [&b = bridge_] { b.send_notifications(); }, false);
    }
  } catch (...) {
    TW_LOG(warning) << bridge_.prefix_ << tw::current_exception_to_string();
  }
  bridge_.log_info("execute_callback_no_sync (", kind, ") done");
}

void profiler_bridge::send_notifications() {
  for (;;) {
    std::function<void()> send;
    {
      std::lock_guard lock(outbox_mutex_);
      if (outbox_.empty()) return;
      send = std::move(outbox_.front());
      outbox_.pop_front();
    }
    try {
      send();
    } catch (...) {
      TW_LOG(warning) << prefix_ << "A notification failed: " << tw::current_exception_to_string();
    }
  }
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

void profiler_bridge::notifier::on_triggered(const std::string& what, std::uint32_t ms) {
  post("a trigger", "trigger", [&b = bridge_, what, ms] {
    b.log_info("Flight recording triggered: ", what);
    bridge_params params;
    params.sized_string(what).put(ms);
    b.answer(host_bridge_answer::snapshot_triggered, params);
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
