#pragma once

// The host's side of the bridge as eptl speaks it, with what tests need
// besides: snapshots named snapshot1, snapshot2, ... in a folder, frames
// read and written as they are on the wire, the handshake's own frames.

#include "bridge/protocol.h"
#include "tools/bridge_host.h"

#include <boost/asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_support {

using bytes = std::vector<std::uint8_t>;
using tw_prof::host_bridge_answer;
using tw_prof::host_bridge_command;

using frame = tw::tools::bridge_frame;

// A frame as it was on the wire.
inline bytes raw(const frame& f) { return tw_prof::encode_frame(f.code, f.params); }

using tw::tools::accepted_frame;

inline bool has_answer(const std::vector<frame>& frames, host_bridge_answer a) {
  return std::any_of(frames.begin(), frames.end(), [a](const frame& f) { return f.answer() == a; });
}

class host_peer : public tw::tools::bridge_host {
 public:
  explicit host_peer(std::filesystem::path dir) : bridge_host({}), dir_(std::move(dir)) { forget_files(); }

  void accept() {
    if (!bridge_host::accept(std::chrono::minutes(1))) throw std::runtime_error("the profiler never connected");
  }
  // The next connection to `listener`'s endpoint: a second profiled process
  // talks to the same host.
  void accept_from(host_peer& listener) { socket() = listener.acceptor_.accept(io_); }
  // Whether another connection is waiting to be accepted (it is taken).
  bool another_connection_waiting() {
    boost::system::error_code ec;
    acceptor_.non_blocking(true, ec);
    auto other = acceptor_.accept(io_, ec);
    const bool taken = !ec;
    acceptor_.non_blocking(false, ec);
    return taken;
  }

  frame read_frame() { return tw::tools::read_bridge_frame(socket()); }
  void send_raw(const bytes& b) { boost::asio::write(socket(), boost::asio::buffer(b)); }

  // The next frame that is not a file request; file requests on the way are
  // answered as a front end answers them.
  frame next() {
    auto f = bridge_host::next(std::chrono::minutes(2));
    if (!f) throw std::runtime_error("the profiler said nothing for two minutes");
    return *f;
  }

  // The next frame other than a notification of the target's changes, which
  // are kept in notifications.
  frame next_answer() {
    for (;;) {
      auto f = next();
      if (f.answer() != host_bridge_answer::runtime_updated && f.answer() != host_bridge_answer::command_line_updated)
        return f;
      notifications.push_back(f);
    }
  }

  // Starts a snapshot; its files are asked for as it starts.
  bool start_snapshot() {
    forget_files();
    send(host_bridge_command::measure_snapshot_start);
    return next_answer().answer() == host_bridge_answer::measure_snapshot_started;
  }

  // Saves the running snapshot as a front end sees it: started, progress,
  // finished, done, stopped. Returns its index, or nothing when any of it
  // did not come.
  std::filesystem::path save_snapshot() {
    send(host_bridge_command::measure_snapshot_stop_save);
    if (next_answer().answer() != host_bridge_answer::operation_started) return {};
    auto f = next_answer();
    while (f.answer() == host_bridge_answer::operation_progress) f = next_answer();
    if (f.answer() != host_bridge_answer::operation_finished ||
        next_answer().answer() != host_bridge_answer::snapshot_done ||
        next_answer().answer() != host_bridge_answer::measure_snapshot_stopped || paths().empty())
      return {};
    return paths()[0];
  }

  std::vector<frame> notifications;

  // Serves file requests until the profiler closes the connection; returns
  // the other frames that came.
  std::vector<frame> drain() {
    std::vector<frame> frames;
    try {
      for (;;) frames.push_back(next());
    } catch (const std::exception&) {
      // the end of the connection
    }
    return frames;
  }

  // The handshake as the host sees it: initialize in, accepted out, the
  // announcements in. Returns the initialize frame.
  frame handshake(std::uint8_t control_kind, bool collect_from_start) {
    auto initialize = read_frame();
    send_raw(accepted_frame(control_kind, {}, collect_from_start));
    // What the profiler allows, as many as it announces, then initialize_done.
    announcements_.clear();
    do {
      announcements_.push_back(read_frame().code);
    } while (announcements_.back() != static_cast<std::uint8_t>(host_bridge_answer::initialize_done) &&
             announcements_.size() < 8);
    return initialize;
  }
  const std::vector<std::uint8_t>& announcements() const { return announcements_; }

  // The next snapshot's files go to a fresh index, in `dir` from now on.
  void forget_files() {
    if (snapshots_ == 0 || !paths().empty()) ++snapshots_;
    std::string name = "snapshot";
    name.append(std::to_string(snapshots_));
    name_next_snapshot(dir_ / name);
  }
  void name_files_in(std::filesystem::path dir) {
    dir_ = std::move(dir);
    forget_files();
  }

 private:
  std::filesystem::path dir_;
  std::vector<std::uint8_t> announcements_;
  int snapshots_ = 0;
};

}  // namespace test_support
