#pragma once

// The host's side of the bridge, as a front end speaks it: it listens on
// loopback, accepts the profiler's connection, answers the handshake, sends
// commands, and answers every file request with a fresh path in its folder
// and a fresh identifier, remembering both in the order it gave them.

#include "bridge/protocol.h"
#include "collector/src/collector/snapshot_format.h"
#include "tools/bridge_host.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
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

class host_peer {
 public:
  explicit host_peer(std::filesystem::path dir) : dir_(std::move(dir)) {}

  unsigned short port() const { return acceptor_.local_endpoint().port(); }
  std::string endpoint() const {
    std::string text = "127.0.0.1:";
    text.append(std::to_string(port()));
    return text;
  }
  void accept() { acceptor_.accept(socket_); }
  // The next connection to `listener`'s endpoint: a second profiled process
  // talks to the same host.
  void accept_from(host_peer& listener) { socket_ = listener.acceptor_.accept(io_); }
  // Whether another connection is waiting to be accepted (it is taken).
  bool another_connection_waiting() {
    boost::system::error_code ec;
    acceptor_.non_blocking(true, ec);
    auto other = acceptor_.accept(io_, ec);
    const bool taken = !ec;
    acceptor_.non_blocking(false, ec);
    return taken;
  }
  boost::asio::ip::tcp::socket& socket() { return socket_; }

  frame read_frame() { return tw::tools::read_bridge_frame(socket_); }

  void send(host_bridge_command c, const tw_prof::bridge_params& params = {}) { send_raw(tw_prof::encode_frame(
      static_cast<std::uint8_t>(c), params.bytes())); }
  void send_raw(const bytes& b) { boost::asio::write(socket_, boost::asio::buffer(b)); }

  // The next frame that is not a file request; file requests on the way are
  // answered as a front end answers them.
  frame next() {
    for (;;) {
      auto f = read_frame();
      if (f.answer() != host_bridge_answer::handle_request && f.answer() != host_bridge_answer::handle_request_slave)
        return f;
      auto c = f.cursor();
      const auto id = c.read<std::uint32_t>();
      answer_file_request(id);
    }
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
        next_answer().answer() != host_bridge_answer::measure_snapshot_stopped || paths_.empty())
      return {};
    return paths_[0];
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

  void answer_file_request(std::uint32_t id) {
    // Named as the profiler's own converter names them: the first file of a
    // snapshot is its index, the others take the index's name and a number.
    if (paths_.empty()) ++snapshots_;
    std::string name = "snapshot";
    name.append(std::to_string(snapshots_));
    const auto path =
        dir_ / (paths_.empty() ? name : tarnwell::collector::format::section_file_path(name, paths_.size() - 1));
    const auto identifier = tw::guid::random();
    paths_.push_back(path);
    identifiers_.push_back(identifier);
    tw_prof::bridge_params p;
    p.put(id).put(std::uint8_t{1}).sized_string(path.string()).guid(identifier);
    send(host_bridge_command::handle, p);
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

  // Where the files of later snapshots go.
  void name_files_in(std::filesystem::path dir) { dir_ = std::move(dir); }

  const std::vector<std::uint8_t>& announcements() const { return announcements_; }
  const std::vector<std::filesystem::path>& paths() const { return paths_; }
  const std::vector<tw::guid>& identifiers() const { return identifiers_; }
  void forget_files() {
    paths_.clear();
    identifiers_.clear();
  }

 private:
  std::filesystem::path dir_;
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_{io_,
                                           {boost::asio::ip::address_v4::loopback(), 0}};
  boost::asio::ip::tcp::socket socket_{io_};
  std::vector<std::filesystem::path> paths_;
  std::vector<tw::guid> identifiers_;
  std::vector<std::uint8_t> announcements_;
  int snapshots_ = 0;
};

}  // namespace test_support
