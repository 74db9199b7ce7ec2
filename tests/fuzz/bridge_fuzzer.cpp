// libFuzzer target: any byte string as what a host sends to the bridge (the
// answer to initialize, then commands, handle answers and cancellations),
// through a real loopback connection into the handshake and the command
// reader, with every record the loop would parse parsed. The run must end in
// an error or at the end of the input, never in a crash, a leak or a hang.

#include "bridge/handshake.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <cstddef>
#include <cstdint>

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
  static tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
  static std::vector<std::uint8_t> buffer(bridge_constants::receive_buffer_size);
  static fixed_target target;

  bridge_socket ours(io);
  tcp::socket host(io);
  ours.connect(acceptor.local_endpoint());
  acceptor.accept(host);
  boost::asio::write(host, boost::asio::buffer(data, size));
  host.shutdown(tcp::socket::shutdown_send);
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
