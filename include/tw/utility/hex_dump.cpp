#include "tw/utility/hex_dump.h"

#include <cstdio>

namespace tw {

std::string hex_dump(const std::uint8_t* data, std::size_t length) {
  std::string out = "Memory dump:\n";
  std::string text;
  char cell[32];
  for (std::size_t i = 0; i < length; ++i) {
    if (i % 16 == 0) {
      if (i != 0) {
        out += "  " + text + "\n";
        text.clear();
      }
      std::snprintf(cell, sizeof cell, "  %04zx ", i);
      out += cell;
    }
    std::snprintf(cell, sizeof cell, " %02x", data[i]);
    out += cell;
    text += (data[i] >= 32 && data[i] <= 126) ? static_cast<char>(data[i]) : '.';
  }
  if (length % 16 != 0)
    for (std::size_t i = length % 16; i < 16; ++i) out += "   ";
  out += "  " + text;
  return out;
}

}  // namespace tw
