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

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace tw_prof;
using test_support::fixed_target;
using boost::asio::ip::tcp;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static boost::asio::io_context io;
  static std::vector<std::uint8_t> buffer(bridge_constants::receive_buffer_size);
  static fixed_target target;

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  // The whole input waits in the socket: make room for the largest.
  const int room = 1 << 20;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  ::setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  bridge_socket ours(io);
  ours.assign(tcp::v4(), fds[0]);
  for (std::size_t written = 0; written < size;) {
    const auto n = ::write(fds[1], data + written, size - written);
    if (n <= 0) break;
    written += static_cast<std::size_t>(n);
  }
  ::shutdown(fds[1], SHUT_WR);  // the end of the input; initialize still has somewhere to go
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
  ::close(fds[1]);
  return 0;
}
