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

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <cstddef>
#include <cstdint>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace tw_prof;
using boost::asio::ip::tcp;

class fixed_target final : public prof_bridge_proto {
 public:
  bool is_test_prof() const override { return true; }
  std::uint32_t get_pid() const override { return 1; }
  std::string get_process_name() const override { return "fuzz"; }
  std::string get_command_line() const override { return "fuzz"; }
  std::string get_working_dir() const override { return "/"; }
  runtime_type get_runtime() const override { return runtime_type::core_clr; }
  std::uint16_t get_architecture() const override { return 9; }
  std::string get_user_name() const override { return "fuzz"; }
  std::string get_computer_name() const override { return "fuzz"; }
  bool is_detach_allowed() const override { return true; }
  bool is_outprocess() const override { return true; }
  std::shared_ptr<prof_api_base> create_prof(const timeline_info&, bool, const init_data&,
                                             std::unique_ptr<bridge_notifier>) override {
    return nullptr;
  }
};

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
