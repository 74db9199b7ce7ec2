#pragma once

// The host's side of the bridge, as a front end speaks it: it listens on
// loopback, accepts the profiler's connection, answers the handshake, sends
// commands, and answers every file request with the next path of the
// snapshot being written: its index first, then INDEX.0000, INDEX.0001, ...

#include "bridge/protocol.h"
#include "tw/utility/guid.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tw::tools {

using bytes = std::vector<std::uint8_t>;

struct bridge_frame {
  std::uint8_t code = 0;
  bytes params;
  tw::byte_cursor cursor() const { return tw::byte_cursor(params.data(), params.data() + params.size(), "frame"); }
  tw_prof::host_bridge_answer answer() const { return static_cast<tw_prof::host_bridge_answer>(code); }
};

// Reads one whole frame; throws when the connection ends.
bridge_frame read_bridge_frame(boost::asio::ip::tcp::socket& socket);

// The host's answer to the handshake: accepted, with the strings "one" and
// "two", the variables named (flag 0), and timeline settings whose first flag
// asks for collection from the start.
bytes accepted_frame(std::uint8_t control_kind, const std::vector<std::string>& variables = {},
                     bool collect_from_start = true);

class bridge_host {
 public:
  explicit bridge_host(std::filesystem::path index);

  unsigned short port() const { return acceptor_.local_endpoint().port(); }
  std::string endpoint() const;
  // False when nobody connected within `timeout`.
  bool accept(std::chrono::milliseconds timeout);
  // Answers initialize and reads the profiler's announcements up to
  // initialize_done.
  void handshake(bool collect_from_start);
  void send(tw_prof::host_bridge_command c, const tw_prof::bridge_params& params = {});
  // The next frame that is not a file request (those on the way are
  // answered), or nothing when none came within `timeout`. Throws when the
  // connection ends.
  std::optional<bridge_frame> next(std::chrono::milliseconds timeout);

  bool connected() const { return socket_.is_open(); }
  // Where the next snapshot's files go, its index first.
  void name_next_snapshot(std::filesystem::path index) {
    index_ = std::move(index);
    paths_.clear();
    identifiers_.clear();
  }
  // The snapshot's files so far, and the identifiers its snapshot_done
  // names them by, in the order they were asked for.
  const std::vector<std::filesystem::path>& paths() const { return paths_; }
  const std::vector<tw::guid>& identifiers() const { return identifiers_; }
  // The bytes in the snapshot's files so far.
  std::uintmax_t snapshot_bytes() const;

  // Answers the file request `id` with the snapshot's next path.
  void answer_file_request(std::uint32_t id);
  boost::asio::ip::tcp::socket& socket() { return socket_; }

 protected:
  boost::asio::io_context io_;
  boost::asio::ip::tcp::acceptor acceptor_{io_, {boost::asio::ip::address_v4::loopback(), 0}};

 private:
  std::filesystem::path index_;
  boost::asio::ip::tcp::socket socket_{io_};
  std::vector<std::filesystem::path> paths_;
  std::vector<tw::guid> identifiers_;
};

}  // namespace tw::tools
