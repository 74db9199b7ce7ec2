#pragma once

// What a runtime sends on a Diagnostics IPC connection, for tests that play
// the runtime: the advertise message that opens a connection to a
// diagnostic port, and answers.

#include "tarnwell/diagnostics_ipc/ipc_message.h"
#include "tw/utility/guid.h"
#include "tw/utility/le_writer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace test_support {

using bytes = std::vector<std::uint8_t>;

inline bytes advertise_message(std::uint64_t pid) {
  bytes m{'A', 'D', 'V', 'R', '_', 'V', '1', 0};
  auto w = tw::write_to(m);
  const auto cookie = tw::guid::random().bytes(tw::guid_byte_order::windows);
  w.bytes(cookie.data(), cookie.size());
  w.put(pid);
  w.put(std::uint16_t{0});
  return m;
}

// An answer: the header with `status`, then `body`.
inline bytes answer(std::uint8_t status, const bytes& body = {}) {
  const auto header = tarnwell::diagnostics_ipc::make_header(0, status, static_cast<std::uint16_t>(20 + body.size()));
  bytes out;
  auto w = tw::write_to(out);
  w.bytes(&header, sizeof header);
  w.bytes(body.data(), body.size());
  return out;
}

// The body of a ProcessInfo answer.
inline bytes process_info(std::uint64_t pid, const std::u16string& command_line) {
  bytes body;
  auto w = tw::write_to(body);
  w.put(pid);
  const bytes cookie(16, 0xCC);
  w.bytes(cookie.data(), cookie.size());
  w.put(static_cast<std::uint32_t>(command_line.size() + 1));
  w.utf16z(command_line);
  return body;
}

}  // namespace test_support
