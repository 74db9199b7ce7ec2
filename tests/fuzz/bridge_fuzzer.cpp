// libFuzzer target: any byte string as what a host sends to the bridge (the
// answer to initialize, then commands, handle answers and cancellations),
// through a connected stream socket into the handshake and the command
// reader, with every record the loop would parse parsed. The run must end in
// an error or at the end of the input, never in a crash, a leak or a hang.
//
// The socket is one end of a UNIX socket pair under the bridge's TCP socket
// type: the same reads and writes, without a TCP connection per input, whose
// closed ports would pile up by the hundred thousand.

#include "bridge/handshake.h"
#include "tests/bridge/fixed_target.h"
#include "tests/fuzz/fed_socket.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <cstddef>
#include <cstdint>

namespace {

using namespace tw_prof;
using test_support::fixed_target;
using boost::asio::ip::tcp;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static boost::asio::io_context io;
  static std::vector<std::uint8_t> buffer(bridge_constants::receive_buffer_size);
  static fixed_target target;

  // Initialize still has somewhere to go: only the input's side is shut.
  test_support::fed_socket input(data, size);
  const int fd = input.release();
  if (fd < 0) return 0;
  bridge_socket ours(io);
  ours.assign(tcp::v4(), fd);
  try {
    init_bridge(&target, ours, buffer, target);
    for (;;) {
      const auto command = read_command(&target, ours, buffer);
      auto params = command.cursor();
      switch (command.code) {
        case host_bridge_command::handle: read_handle(params); break;
        case host_bridge_command::cancel_operation:
          if (params.remaining()) (void)to_string(static_cast<core_close_way>(params.byte()));
          break;
        case host_bridge_command::accepted: read_accepted(params); break;
        default: (void)to_string(command.code); break;
      }
    }
  } catch (const std::exception&) {
  }
  return 0;
}
