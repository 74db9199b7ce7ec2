#include "bridge/bridge_io.h"

#include "tw/log/log.h"

#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>

#include <cstdint>
#include <stdexcept>

namespace tw_prof {

std::string bridge_prefix(const void* bridge) {
  return "Bridge " + std::to_string(reinterpret_cast<std::uintptr_t>(bridge) % 100) + ": ";
}

std::size_t write_answer(const void* bridge, bridge_socket& socket, host_bridge_answer answer,
                         const bridge_params& params) {
  TW_LOG(info) << bridge_prefix(bridge) << "write answer: " << to_string(answer)
               << ", params size: " << params.bytes().size();
  const auto frame = encode_frame(static_cast<std::uint8_t>(answer), params.bytes());
  const auto written = boost::asio::write(socket, boost::asio::buffer(frame));
  TW_LOG(info) << bridge_prefix(bridge) << "written size: " << written;
  return written;
}

std::size_t write_answer(const void* bridge, bridge_socket& socket, host_bridge_answer answer) {
  return write_answer(bridge, socket, answer, bridge_params{});
}

bridge_command read_command(const void* bridge, bridge_socket& socket, std::vector<std::uint8_t>& buffer) {
  TW_LOG(info) << bridge_prefix(bridge) << "read next command";
  std::uint8_t head[5];  // the code and a counter of up to 4 bytes
  boost::asio::read(socket, boost::asio::buffer(head, 2));
  const std::size_t counter_size = tw::byte_cursor::compressed_uint_size(head[1]);
  if (counter_size == 0) throw std::runtime_error("Invalid counter encoding");
  if (counter_size > 1) boost::asio::read(socket, boost::asio::buffer(head + 2, counter_size - 1));
  tw::byte_cursor counter(head + 1, head + 1 + counter_size, "bridge command size");
  const std::size_t size = counter.compressed_uint();
  bridge_command command{static_cast<host_bridge_command>(head[0]), {}};
  TW_LOG(info) << bridge_prefix(bridge) << "command received: " << to_string(command.code)
               << ", params size: " << size;
  // Reading on would leave the stream in the middle of a frame: the
  // connection cannot go on after this.
  if (size > buffer.size())
    throw std::runtime_error("The parameters of " + to_string(command.code) + " (" + std::to_string(size) +
                             " bytes) exceed the " + std::to_string(buffer.size()) + "-byte receive buffer");
  if (size) boost::asio::read(socket, boost::asio::buffer(buffer.data(), size));
  command.params = std::span<const std::uint8_t>(buffer.data(), size);
  return command;
}

}  // namespace tw_prof
