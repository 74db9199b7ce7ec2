// libFuzzer target: any byte string as what a process sends first on a
// connection to the diagnostic port, read as the server reads it (the magic
// alone first, then the rest) and as a whole message. The read must end in
// the pid, in "Invalid Advertise Protocol message received" or at the end of
// the input, never in a crash or a read past the end.

#include "event_pipe_api/src/diagnostic_ports_server.h"
#include "tests/fuzz/fed_socket.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/write.hpp>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tarnwell::collector::event_pipe;
  static boost::asio::io_context io;

  try {
    parse_advertise(std::span(data, size));
  } catch (const std::exception&) {
  }

  test_support::fed_socket input(data, size);
  const int fd = input.release();
  if (fd < 0) return 0;
  tarnwell::diagnostics_ipc::ipc_socket reader(io, boost::asio::local::stream_protocol(), fd);
  try {
    // A port serves many connections: read as many messages as the input holds.
    for (int i = 0; i < 64; ++i) receive_advertise(reader);
  } catch (const std::exception&) {
  }
  return 0;
}
