#include "tarnwell/diagnostics_ipc/ipc_message.h"

namespace tarnwell::diagnostics_ipc {

namespace {

template <class T>
void put(std::uint8_t*& p, T v) {
  std::memcpy(p, &v, sizeof v);
  p += sizeof v;
}

// u32 count of units including the NUL, the units, the NUL.
void put_string(std::uint8_t*& p, const std::u16string& s) {
  put(p, static_cast<std::uint32_t>(s.size() + 1));
  std::memcpy(p, s.data(), s.size() * 2);
  p += s.size() * 2;
  put(p, std::uint16_t{0});
}

}  // namespace

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

ipc_message::ipc_message(const ipc_header& header, const session_configuration& c) {
  std::size_t size = 13;
  std::vector<std::u16string> filters;
  for (const auto& p : c.providers) {
    filters.push_back(p.get_argument_string());
    size += 20 + (p.name.size() + 1) * 2 + (filters.back().size() + 1) * 2;
  }
  size += sizeof(ipc_header);
  if (size > 0xFFFF) TW_THROW(std::runtime_error("The collect-tracing request is larger than a message can be"));
  length_ = static_cast<std::uint16_t>(size);
  data_.reset(new std::uint8_t[size]());
  ipc_header h = header;
  h.size = length_;
  std::memcpy(data_.get(), &h, sizeof h);
  std::uint8_t* p = data_.get() + sizeof h;
  put(p, c.circular_buffer_mb);
  put(p, c.format);
  put(p, static_cast<std::uint8_t>(c.request_rundown ? 1 : 0));
  put(p, static_cast<std::uint32_t>(c.providers.size()));
  for (std::size_t i = 0; i < c.providers.size(); ++i) {
    const auto& provider = c.providers[i];
    put(p, static_cast<std::uint64_t>(provider.keywords));
    put(p, static_cast<std::uint32_t>(provider.level));
    put_string(p, provider.name);
    put_string(p, filters[i]);
  }
}

ipc_header ipc_message::header() const noexcept {
  ipc_header h;
  std::memcpy(&h, data_.get(), sizeof h);
  return h;
}

std::uint32_t ipc_message::u32_at(std::size_t offset) const {
  if (offset + 4 > length_) TW_THROW(std::runtime_error("IPC message too short for a 32-bit field at " + std::to_string(offset)));
  std::uint32_t v;
  std::memcpy(&v, data_.get() + offset, 4);
  return v;
}

std::uint64_t ipc_message::u64_at(std::size_t offset) const {
  if (offset + 8 > length_) TW_THROW(std::runtime_error("IPC message too short for a 64-bit field at " + std::to_string(offset)));
  std::uint64_t v;
  std::memcpy(&v, data_.get() + offset, 8);
  return v;
}

std::string ipc_message::string_at(std::size_t offset) const {
  const std::uint32_t count = u32_at(offset);
  if (count == 0 || count > (length_ - offset - 4) / 2)
    TW_THROW(std::runtime_error("IPC string of " + std::to_string(count) + " units runs past its message"));
  std::u16string text(count - 1, u'\0');
  std::memcpy(text.data(), data_.get() + offset + 4, (count - 1) * 2);
  return kv521::utf::utf16_to_utf8(text);
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
