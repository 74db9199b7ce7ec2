// libFuzzer target: any byte string as what a process sends first on a
// connection to the diagnostic port, read as the server reads it (the magic
// alone first, then the rest) and as a whole message. The read must end in
// the pid, in "Invalid Advertise Protocol message received" or at the end of
// the input, never in a crash or a read past the end.

#include "event_pipe_api/src/diagnostic_ports_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/write.hpp>

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwell::collector::event_pipe;
  static boost::asio::io_context io;

  try {
    parse_advertise(std::span(data, size));
  } catch (const std::exception&) {
  }

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  const int room = 1 << 20;
  ::setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  for (std::size_t done = 0; done < size;) {
    const auto n = ::write(fds[1], data + done, size - done);
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  ::close(fds[1]);
  tarnwell::diagnostics_ipc::ipc_socket reader(io, boost::asio::local::stream_protocol(), fds[0]);
  try {
    // A port serves many connections: read as many messages as the input holds.
    for (int i = 0; i < 64; ++i) receive_advertise(reader);
  } catch (const std::exception&) {
  }
  return 0;
}
