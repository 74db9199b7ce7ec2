#pragma once

// An error whose text may be shown to the user as it is; the bridge sends it
// to the front end as an alert.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tw {

class presentable_error : public std::runtime_error {
 public:
  enum severity_t : std::uint32_t { warning = 0, error = 1 };

  presentable_error(const std::string& message, severity_t severity, std::uint32_t code)
      : std::runtime_error(message), severity_(severity), code_(code) {}

  severity_t severity() const noexcept { return severity_; }
  std::uint32_t code() const noexcept { return code_; }

 private:
  severity_t severity_;
  std::uint32_t code_;
};

}  // namespace tw
