#pragma once

// One GUID type for the whole library. Two byte orders meet here, and every
// place that turns a GUID into bytes or back names the one it means:
// - windows: the GUID structure as it lies in memory on a little-endian
//   machine (Data1 as u32, Data2 and Data3 as u16, all little-endian, then
//   the 8 bytes of Data4). Nettrace activity ids and payload fields, the
//   metadata #GUID heap, the IPC runtime cookie and the bridge use it.
// - rfc4122: the order of the text form, every field big-endian. Generated
//   UUIDs come in it, and the snapshot's environment section stores it.

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tw {

enum class guid_byte_order { windows, rfc4122 };

class guid {
 public:
  using bytes_type = std::array<std::uint8_t, 16>;

  constexpr guid() noexcept = default;

  static guid from_bytes(const std::uint8_t* bytes, guid_byte_order order) noexcept;
  static guid from_bytes(const bytes_type& bytes, guid_byte_order order) noexcept {
    return from_bytes(bytes.data(), order);
  }
  void to_bytes(std::uint8_t* out, guid_byte_order order) const noexcept;
  bytes_type bytes(guid_byte_order order) const noexcept {
    bytes_type out;
    to_bytes(out.data(), order);
    return out;
  }

  // "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx", lower case, as .NET prints one.
  std::string to_string() const;
  // That form, upper or lower case, with or without braces.
  static std::optional<guid> parse(std::string_view text) noexcept;
  // A random version 4 UUID.
  static guid random();

  friend bool operator==(const guid&, const guid&) = default;
  friend auto operator<=>(const guid&, const guid&) = default;

 private:
  // Kept in the windows order: the order of every hot path that copies one.
  bytes_type windows_{};
};

}  // namespace tw
