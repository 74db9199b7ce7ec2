#pragma once

// What a runtime sends first on a connection to a diagnostic port.

#include "tw/utility/guid.h"
#include "tw/utility/le_writer.h"

#include <cstdint>
#include <vector>

namespace test_support {

inline std::vector<std::uint8_t> advertise_message(std::uint64_t pid) {
  std::vector<std::uint8_t> m{'A', 'D', 'V', 'R', '_', 'V', '1', 0};
  auto w = tw::write_to(m);
  const auto cookie = tw::guid::random().bytes(tw::guid_byte_order::windows);
  w.bytes(cookie.data(), cookie.size());
  w.put(pid);
  w.put(std::uint16_t{0});
  return m;
}

}  // namespace test_support
