#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tw {

// "Memory dump:" and lines of "  %04x " offset, 16 " %02x" bytes and the
// printable characters.
std::string hex_dump(const std::uint8_t* data, std::size_t length);

}  // namespace tw
