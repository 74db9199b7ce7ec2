#pragma once

// Writes a trivially copyable value as its bytes; the snapshot formats are
// little-endian, like every target this library runs on.

#include <ostream>
#include <type_traits>

namespace tw {

template <class T>
void write_le(std::ostream& out, T value) {
  static_assert(std::is_trivially_copyable_v<T>);
  out.write(reinterpret_cast<const char*>(&value), sizeof value);
}

}  // namespace tw
