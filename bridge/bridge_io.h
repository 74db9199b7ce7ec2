#pragma once

// One frame at a time over the bridge's TCP connection, blocking: an answer
// is composed whole and written with one write; a command is read as its
// code, its counter byte by byte, then exactly its parameters.
//
// Threads: the caller owns the socket for the length of the call.

#include "bridge/protocol.h"

#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tw_prof {

using bridge_socket = boost::asio::ip::tcp::socket;

// What every log line of one bridge begins with: "Bridge <id>: ".
std::string bridge_prefix(const void* bridge);

struct bridge_command {
  host_bridge_command code{};
  std::span<const std::uint8_t> params;  // into the receive buffer

  tw::byte_cursor cursor() const noexcept {
    return tw::byte_cursor(params.data(), params.data() + params.size(), "bridge command parameters");
  }
};

// Returns the bytes written.
std::size_t write_answer(const void* bridge, bridge_socket& socket, host_bridge_answer answer,
                         const bridge_params& params);
std::size_t write_answer(const void* bridge, bridge_socket& socket, host_bridge_answer answer);

// Reads into `buffer` (its size is the limit; the bridge's is
// bridge_constants::receive_buffer_size). Parameters larger than the buffer
// are refused before any of them is read.
bridge_command read_command(const void* bridge, bridge_socket& socket, std::vector<std::uint8_t>& buffer);

}  // namespace tw_prof
