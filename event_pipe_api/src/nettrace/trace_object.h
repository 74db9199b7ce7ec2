#pragma once

#include <cstdint>
#include <string>

namespace tarnwell::nettrace {

// The stream's "Trace" object: when the trace began and how to read it.
struct TraceObject {
  std::uint16_t year = 0;
  std::uint16_t month = 0;
  std::uint16_t day_of_week = 0;
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;
  std::int64_t sync_time_qpc = 0;
  std::int64_t qpc_frequency = 0;
  std::int32_t pointer_size = 0;
  std::int32_t process_id = 0;
  std::int32_t number_of_processors = 0;
  std::int32_t expected_sampling_rate = 0;

  static constexpr std::size_t wire_size = 48;

  std::string to_string() const;
};

}  // namespace tarnwell::nettrace
