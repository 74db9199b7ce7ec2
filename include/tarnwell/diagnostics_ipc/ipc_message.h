#pragma once

// The Diagnostics IPC message layer ("DOTNET_IPC_V1"): the 20-byte header, an
// owned message buffer, the collect-tracing request, and one blocking
// request/response exchange over a stream socket. Which command is sent
// when belongs to the EventPipe session.
//
// Threads: nothing here keeps state between calls; the caller owns the socket
// for the length of an exchange.

#include "tw/log/log.h"
#include "tarnwell/diagnostics_ipc/event_pipe_provider.h"
#include "tw/utility/byte_cursor.h"
#include "tw/utility/guid.h"
#include "tw/utility/throw.h"
#include "tw/utility/utf.h"

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/format.hpp>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tarnwell::diagnostics_ipc {

inline constexpr char DotnetIpcMagic_V1[14] = "DOTNET_IPC_V1";

#pragma pack(push, 1)
struct ipc_header {
  char magic[14];
  std::uint16_t size;
  std::uint8_t command_set;
  std::uint8_t command_id;  // the status, in a response
  std::uint16_t reserved;
};
#pragma pack(pop)
static_assert(sizeof(ipc_header) == 20);

// Header with magic, size, set and id; reserved 0.
ipc_header make_header(std::uint8_t command_set, std::uint8_t command_id, std::uint16_t size = sizeof(ipc_header));

// Command sets and the commands of each that this library sends.
namespace command_set {
inline constexpr std::uint8_t event_pipe = 0x02;
inline constexpr std::uint8_t process = 0x04;
}  // namespace command_set
namespace event_pipe_command {
inline constexpr std::uint8_t stop_tracing = 0x01;
inline constexpr std::uint8_t collect_tracing_2 = 0x03;
}  // namespace event_pipe_command
namespace process_command {
inline constexpr std::uint8_t process_info = 0x00;
inline constexpr std::uint8_t resume_runtime = 0x01;
inline constexpr std::uint8_t process_info_2 = 0x04;
}  // namespace process_command

// A response's status, in its command_id byte.
inline constexpr std::uint8_t status_ok = 0x00;
inline constexpr std::uint8_t status_error = 0xFF;

struct session_configuration {
  std::uint32_t circular_buffer_mb = 256;
  std::uint32_t format = 1;
  bool request_rundown = false;
  std::vector<collector::event_pipe_provider> providers;
};

class ipc_message {
 public:
  explicit ipc_message(const ipc_header& header);
  // The EventPipe collect-tracing request (version 2).
  ipc_message(const ipc_header& header, const session_configuration& configuration);
  // A message whose body was read after its header.
  ipc_message(const ipc_header& header, const std::uint8_t* body, std::size_t body_size);
  // The stop-tracing request for one session.
  static ipc_message stop_tracing(std::uint64_t session_id);

  ipc_message(ipc_message&&) noexcept = default;
  ipc_message& operator=(ipc_message&&) noexcept = default;
  ipc_message(const ipc_message&) = delete;
  ipc_message& operator=(const ipc_message&) = delete;

  std::uint16_t size() const noexcept { return length_; }
  const std::uint8_t* data() const noexcept { return data_.get(); }
  ipc_header header() const noexcept;
  std::uint8_t status() const noexcept { return header().command_id; }

  // What follows the header, read through a bounded cursor.
  tw::byte_cursor payload() const noexcept;

 private:
  std::uint16_t length_ = 0;
  std::unique_ptr<std::uint8_t[]> data_;
};

// A payload string: a u32 count of UTF-16 units including the NUL, the
// units, the NUL; returned as UTF-8.
std::string read_string(tw::byte_cursor& payload);

// The payloads of the answers this library reads.
// An error answer (status 0xFF): the HRESULT.
std::uint32_t read_error_code(const ipc_message& answer);
// An accepted collect-tracing request: the new session's id.
std::uint64_t read_session_id(const ipc_message& answer);
struct process_info {
  std::uint64_t process_id = 0;
  tw::guid runtime_cookie;
  std::string command_line;  // the strings after it are not read
};
process_info read_process_info(const ipc_message& answer);
// ProcessInfo2: the same head, then the strings a runtime may leave empty.
struct process_info_2 : process_info {
  std::string os, architecture, entrypoint_assembly, runtime_version;
};
process_info_2 read_process_info_2(const ipc_message& answer);

using ipc_socket = boost::asio::local::stream_protocol::socket;

// How long a runtime may stay silent before its answer is given up: one that
// is stopped, held at a debugger's break or in a paused container never
// answers, and whoever waits for it must not wait with it.
struct answer_deadline {
  std::chrono::milliseconds silence;
  // Bytes the runtime sends meanwhile on another connection (the session's
  // stream): while they grow it is busy, not frozen. A stop is answered only
  // once everything the session buffered has been written out.
  const std::atomic<std::uint64_t>* activity = nullptr;
};

// The runtime said nothing within its deadline.
class runtime_not_answering : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Waits until `s` can be read, or throws runtime_not_answering naming `what`.
void await_answer(ipc_socket& s, const answer_deadline& deadline, const char* what);
// Reads exactly `size` bytes, each part within the deadline.
void read_answer(ipc_socket& s, void* into, std::size_t size, const answer_deadline& deadline, const char* what);

// Reads one message: exactly 20 header bytes, then size - 20 body bytes into
// a buffer of `capacity` bytes.
inline ipc_message receive_message(ipc_socket& stream, std::uint8_t* buffer, std::size_t capacity,
                                   const answer_deadline& deadline, const char* what) {
  TW_LOG(info) << "Receiving message";
  ipc_header header;
  read_answer(stream, &header, sizeof header, deadline, what);
  TW_CHECK(header.size >= sizeof(ipc_header));
  const std::size_t body = header.size - sizeof(ipc_header);
  if (body > capacity)
    TW_THROW(std::runtime_error("Response of " + std::to_string(header.size) + " bytes does not fit the " +
                                std::to_string(capacity) + "-byte exchange buffer"));
  if (body) read_answer(stream, buffer, body, deadline, what);
  return ipc_message(header, buffer, body);
}

inline std::size_t send_message(ipc_socket& stream, const ipc_message& message, std::uint8_t* buffer) {
  TW_LOG(info) << "Sending message (size = " << message.size() << ")";
  std::memcpy(buffer, message.data(), message.size());
  return boost::asio::write(stream, boost::asio::buffer(buffer, message.size()));
}

// One exchange through one N-byte buffer, used for the request and then for
// the response body. `what` names the request in the error of a runtime that
// does not answer.
template <std::size_t N>
ipc_message send_message_and_receive_response(ipc_socket& stream, const ipc_message& message,
                                              const answer_deadline& deadline, const char* what) {
  std::array<std::uint8_t, N> buffer;
  if (message.size() > N)
    TW_THROW(std::runtime_error((boost::format("Buffer too small: message size is %1%, but buffer size is only %2%") %
                                 message.size() % N)
                                    .str()));
  send_message(stream, message, buffer.data());
  return receive_message(stream, buffer.data(), N, deadline, what);
}

// Shuts both directions down; reports, never throws.
void shutdown(ipc_socket& s) noexcept;

}  // namespace tarnwell::diagnostics_ipc
