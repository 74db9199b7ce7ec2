#pragma once

// HRESULT codes as a std::error_category, so that failures reported to the
// front end keep the COM-style codes it understands.

#include <cstdint>
#include <string>
#include <system_error>

namespace tw {

inline constexpr std::uint32_t e_unexpected = 0x8000FFFF;
inline constexpr std::uint32_t e_notimpl = 0x80004001;
inline constexpr std::uint32_t e_nointerface = 0x80004002;
inline constexpr std::uint32_t e_pointer = 0x80004003;
inline constexpr std::uint32_t e_abort = 0x80004004;
inline constexpr std::uint32_t e_fail = 0x80004005;
inline constexpr std::uint32_t e_accessdenied = 0x80070005;
inline constexpr std::uint32_t e_handle = 0x80070006;
inline constexpr std::uint32_t e_outofmemory = 0x8007000E;
inline constexpr std::uint32_t e_invalidarg = 0x80070057;

class hresult_error_category final : public std::error_category {
 public:
  const char* name() const noexcept override;
  std::string message(int code) const override;
};

const hresult_error_category& hresult_category() noexcept;

inline std::error_code make_hresult_code(std::uint32_t hr) noexcept {
  return {static_cast<int>(hr), hresult_category()};
}

}  // namespace tw
