// libFuzzer target: any byte string as a runtime's answers on a Diagnostics
// IPC connection, read as the session reads them: the answer to a request
// (header, then a body of the size it claims), then its payload as an error
// code, a session id and process information (both forms). Every read must end in a
// value or an error, never in a crash, a read past the end or a hang.

#include "tarnwell/diagnostics_ipc/ipc_message.h"
#include "tests/fuzz/fed_socket.h"

#include <boost/asio/io_context.hpp>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace diag = tarnwell::diagnostics_ipc;
  static boost::asio::io_context io;

  test_support::fed_socket input(data, size);
  const int fd = input.release();
  if (fd < 0) return 0;
  diag::ipc_socket runtime_end(io, boost::asio::local::stream_protocol(), fd);
  try {
    for (int i = 0; i < 16; ++i) {
      // Each request the session sends, answered by the next bytes.
      const diag::ipc_message request(
          diag::make_header(diag::command_set::process, diag::process_command::process_info));
      const auto answer = diag::send_message_and_receive_response<10240>(
          runtime_end, request, diag::answer_deadline{std::chrono::milliseconds(100)}, "ProcessInfo");
      (void)answer.status();
      auto read = [&](auto reader) {
        try {
          reader(answer);
        } catch (const std::exception&) {
        }
      };
      read(diag::read_error_code);
      read(diag::read_session_id);
      read(diag::read_process_info);
      read(diag::read_process_info_2);
    }
  } catch (const std::exception&) {
  }
  return 0;
}
