#include "tarnwell/diagnostics_ipc/ipc_message.h"

#include "tw/utility/le_writer.h"

#include <cerrno>
#include <poll.h>

namespace tarnwell::diagnostics_ipc {

ipc_header make_header(std::uint8_t command_set, std::uint8_t command_id, std::uint16_t size) {
  ipc_header h;
  std::memcpy(h.magic, DotnetIpcMagic_V1, sizeof h.magic);
  const std::uint32_t word = std::uint32_t{size} | std::uint32_t{command_set} << 16 | std::uint32_t{command_id} << 24;
  std::memcpy(&h.size, &word, 4);
  h.reserved = 0;
  return h;
}

ipc_message::ipc_message(const ipc_header& header)
    : length_(sizeof(ipc_header)), data_(new std::uint8_t[sizeof(ipc_header)]()) {
  ipc_header h = header;
  h.size = length_;
  std::memcpy(data_.get(), &h, sizeof h);
}

ipc_message::ipc_message(const ipc_header& header, const std::uint8_t* body, std::size_t body_size)
    : length_(header.size), data_(new std::uint8_t[header.size]()) {
  std::memcpy(data_.get(), &header, sizeof header);
  if (body_size) std::memcpy(data_.get() + sizeof header, body, body_size);
}

namespace {

// Encoded as the payload strings are: count with the NUL, units, NUL.
void put_string(tw::buffer_writer& out, const std::u16string& s) {
  out.put(static_cast<std::uint32_t>(s.size() + 1));
  out.utf16z(s);
}

}  // namespace

ipc_message::ipc_message(const ipc_header& header, const session_configuration& c) {
  std::vector<std::uint8_t> bytes(sizeof(ipc_header));
  auto out = tw::write_to(bytes);
  out.put(c.circular_buffer_mb);
  out.put(c.format);
  out.put(static_cast<std::uint8_t>(c.request_rundown ? 1 : 0));
  out.put(static_cast<std::uint32_t>(c.providers.size()));
  for (const auto& provider : c.providers) {
    out.put(static_cast<std::uint64_t>(provider.keywords));
    out.put(static_cast<std::uint32_t>(provider.level));
    put_string(out, provider.name);
    put_string(out, provider.get_argument_string());
  }
  if (bytes.size() > 0xFFFF) TW_THROW(std::runtime_error("The collect-tracing request is larger than a message can be"));
  length_ = static_cast<std::uint16_t>(bytes.size());
  ipc_header h = header;
  h.size = length_;
  std::memcpy(bytes.data(), &h, sizeof h);
  data_.reset(new std::uint8_t[length_]);
  std::memcpy(data_.get(), bytes.data(), length_);
}

ipc_message ipc_message::stop_tracing(std::uint64_t session_id) {
  std::vector<std::uint8_t> body;
  tw::write_to(body).put(session_id);
  return ipc_message(make_header(command_set::event_pipe, event_pipe_command::stop_tracing,
                                 static_cast<std::uint16_t>(sizeof(ipc_header) + body.size())),
                     body.data(), body.size());
}

ipc_header ipc_message::header() const noexcept {
  ipc_header h;
  std::memcpy(&h, data_.get(), sizeof h);
  return h;
}

tw::byte_cursor ipc_message::payload() const noexcept {
  return tw::byte_cursor(data_.get() + sizeof(ipc_header), data_.get() + length_, "IPC answer payload");
}

std::string read_string(tw::byte_cursor& payload) {
  const auto count = payload.read<std::uint32_t>();
  if (count == 0) throw tw::truncated_data("IPC answer payload: a string's count of 0 leaves no room for its NUL");
  if (count > payload.remaining() / 2)
    throw tw::truncated_data("IPC answer payload: a string of " + std::to_string(count) + " units runs past the " +
                             std::to_string(payload.remaining()) + " bytes left");
  const auto* units = payload.take(std::size_t{count} * 2);
  return kv521::utf::utf16_to_utf8(tw::load_utf16(units, count - 1));
}

std::uint32_t read_error_code(const ipc_message& answer) { return answer.payload().read<std::uint32_t>(); }

std::uint64_t read_session_id(const ipc_message& answer) { return answer.payload().read<std::uint64_t>(); }

process_info_2 read_process_info_2(const ipc_message& answer) {
  auto payload = answer.payload();
  process_info_2 info;
  info.process_id = payload.read<std::uint64_t>();
  info.runtime_cookie = payload.guid(tw::guid_byte_order::windows);
  // A string the runtime does not have comes as a count of 0.
  auto optional = [&payload] {
    if (auto probe = payload; payload.remaining() >= 4 && probe.read<std::uint32_t>() == 0) {
      payload = probe;
      return std::string();
    }
    return read_string(payload);
  };
  info.command_line = optional();
  info.os = optional();
  info.architecture = optional();
  info.entrypoint_assembly = optional();
  info.runtime_version = optional();
  return info;
}

process_info read_process_info(const ipc_message& answer) {
  auto payload = answer.payload();
  process_info info;
  info.process_id = payload.read<std::uint64_t>();
  info.runtime_cookie = payload.guid(tw::guid_byte_order::windows);
  info.command_line = read_string(payload);
  return info;
}

void await_answer(ipc_socket& s, const answer_deadline& deadline, const char* what) {
  // Polled in short slices: the silence starts again whenever the runtime's
  // stream moves.
  constexpr std::chrono::milliseconds slice{100};
  using clock = std::chrono::steady_clock;
  auto last_activity = deadline.activity ? deadline.activity->load() : 0;
  auto silent_since = clock::now();
  for (;;) {
    pollfd p{s.native_handle(), POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(slice.count()));
    if (ready > 0) return;  // readable, or closed: the read says which
    if (ready < 0 && errno != EINTR)
      throw std::system_error(errno, std::system_category(), std::string("Waiting for the answer to ") + what);
    if (deadline.activity) {
      if (const auto now = deadline.activity->load(); now != last_activity) {
        last_activity = now;
        silent_since = clock::now();
      }
    }
    if (clock::now() - silent_since >= deadline.silence)
      throw runtime_not_answering(
          (boost::format("The runtime did not answer %1% within %2% ms: its process may be stopped or frozen") % what %
           deadline.silence.count())
              .str());
  }
}

void read_answer(ipc_socket& s, void* into, std::size_t size, const answer_deadline& deadline, const char* what) {
  auto* at = static_cast<std::uint8_t*>(into);
  for (std::size_t got = 0; got < size;) {
    await_answer(s, deadline, what);
    got += s.read_some(boost::asio::buffer(at + got, size - got));
  }
}

void shutdown(ipc_socket& s) noexcept {
  try {
    TW_LOG(info) << "Shutting down connection to " << "UNIX domain socket";
    boost::system::error_code ec;
    s.shutdown(ipc_socket::shutdown_both, ec);
    if (!ec || ec.value() == ENOTCONN)
      TW_LOG(info) << "UNIX domain socket" << " shutdown succeeded";
    else
      TW_LOG(warning) << "UNIX domain socket" << " shutdown failed: " << ec.message();
  } catch (...) {
  }
}

}  // namespace tarnwell::diagnostics_ipc
