#include "tools/bridge_host.h"

#include "collector/src/collector/snapshot_format.h"
#include "tw/utility/guid.h"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <cstdio>
#include <poll.h>
#include <system_error>

namespace tw::tools {

using tw_prof::host_bridge_answer;
using tw_prof::host_bridge_command;

namespace {

// Whether `fd` has something to read within `timeout`.
bool readable(int fd, std::chrono::milliseconds timeout) {
  pollfd p{fd, POLLIN, 0};
  for (;;) {
    const int n = ::poll(&p, 1, static_cast<int>(timeout.count()));
    if (n >= 0) return n > 0;
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
    return false;  // a signal: the caller looks at its flags
  }
}

}  // namespace

bridge_frame read_bridge_frame(boost::asio::ip::tcp::socket& socket) {
  bridge_frame f;
  std::uint8_t head[2];
  boost::asio::read(socket, boost::asio::buffer(head, 2));
  f.code = head[0];
  bytes counter{head[1]};
  const std::size_t width = tw::byte_cursor::compressed_uint_size(head[1]);
  if (width > 1) {
    counter.resize(width);
    boost::asio::read(socket, boost::asio::buffer(counter.data() + 1, width - 1));
  }
  tw::byte_cursor c(counter.data(), counter.data() + counter.size(), "counter");
  f.params.resize(c.compressed_uint());
  if (!f.params.empty()) boost::asio::read(socket, boost::asio::buffer(f.params));
  return f;
}

bytes accepted_frame(std::uint8_t control_kind, const std::vector<std::string>& variables, bool collect_from_start) {
  tw_prof::bridge_params p;
  p.put(control_kind).sized_string("one").counter(static_cast<std::uint32_t>(variables.size()));
  for (const auto& v : variables) p.sized_string(v).put(std::uint8_t{0});
  p.sized_string("two").boolean(collect_from_start).put(std::uint32_t{1}).boolean(false).put(std::uint32_t{2});
  for (int i = 0; i < 6; ++i) p.boolean(false);
  p.sized_string("").put(std::uint32_t{0});
  return tw_prof::encode_frame(static_cast<std::uint8_t>(host_bridge_command::accepted), p.bytes());
}

bridge_host::bridge_host(std::filesystem::path index) : index_(std::move(index)) {}

std::string bridge_host::endpoint() const {
  std::string text = "127.0.0.1:";
  text.append(std::to_string(port()));
  return text;
}

bool bridge_host::accept(std::chrono::milliseconds timeout) {
  if (!readable(acceptor_.native_handle(), timeout)) return false;
  acceptor_.accept(socket_);
  return true;
}

void bridge_host::handshake(bool collect_from_start) {
  const auto initialize = read_bridge_frame(socket_);
  if (initialize.answer() != host_bridge_answer::initialize)
    throw std::runtime_error("The profiler did not open with its handshake");
  const auto accepted = accepted_frame(0, {}, collect_from_start);
  boost::asio::write(socket_, boost::asio::buffer(accepted));
  // What the profiler allows, as many as it announces, then initialize_done.
  for (int i = 0; i < 16; ++i)
    if (read_bridge_frame(socket_).answer() == host_bridge_answer::initialize_done) return;
  throw std::runtime_error("The profiler did not end its handshake");
}

void bridge_host::send(host_bridge_command c, const tw_prof::bridge_params& params) {
  const auto frame = tw_prof::encode_frame(static_cast<std::uint8_t>(c), params.bytes());
  boost::asio::write(socket_, boost::asio::buffer(frame));
}

std::optional<bridge_frame> bridge_host::next(std::chrono::milliseconds timeout) {
  for (;;) {
    if (!readable(socket_.native_handle(), timeout)) return std::nullopt;
    auto f = read_bridge_frame(socket_);
    if (f.answer() != host_bridge_answer::handle_request && f.answer() != host_bridge_answer::handle_request_slave)
      return f;
    auto c = f.cursor();
    answer_file_request(c.read<std::uint32_t>());
  }
}

void bridge_host::answer_file_request(std::uint32_t id) {
  const auto path = paths_.empty() ? index_
                                   : std::filesystem::path(tarnwell::collector::format::section_file_path(
                                         index_.string(), paths_.size() - 1));
  paths_.push_back(path);
  identifiers_.push_back(tw::guid::random());
  tw_prof::bridge_params p;
  p.put(id).put(std::uint8_t{1}).sized_string(path.string()).guid(identifiers_.back());
  send(host_bridge_command::handle, p);
}

std::uintmax_t bridge_host::snapshot_bytes() const {
  std::uintmax_t total = 0;
  for (const auto& p : paths_) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(p, ec);
    if (!ec) total += size;
  }
  return total;
}

}  // namespace tw::tools
