#pragma once

// The bridge protocol with the front end (the host), as bytes: the two
// command enumerations and their printed names, the protocol constants, the
// frame (code, counter size, parameters) and the records that travel in
// frames. Which frame is sent when belongs to the bridge controller.
//
// Values: integers little-endian; counters are ECMA-335 compressed integers
// (big-endian, 1, 2 or 4 bytes); a sized string is a counter byte length and
// that many UTF-8 bytes; GUIDs travel in the windows byte order.

#include "tw/utility/byte_cursor.h"
#include "tw/utility/guid.h"
#include "tw/utility/le_writer.h"
#include "event_pipe_timeline_profiler/src/flight_recorder/triggers.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tw_prof {

// host -> profiler
enum class host_bridge_command : std::uint8_t {
  measure_snapshot_start = 0x10,
  measure_snapshot_stop_drop = 0x11,
  measure_snapshot_stop_save = 0x12,
  measure_snapshot_stop_drop_start = 0x13,
  measure_snapshot_stop_save_start = 0x14,
  memory_force_gc = 0x20,
  memory_dump = 0x21,
  memory_allocations_enable = 0x30,
  memory_allocations_disable = 0x31,
  accepted = 0xD0,
  unaccepted_invalid_protocol = 0xD1,
  unaccepted_invalid_version = 0xD2,
  unaccepted_invalid_info = 0xD3,
  unaccepted_canceled = 0xD4,
  go = 0xDF,
  kill = 0xFA,
  throw_exception = 0xFB,
  detach = 0xFC,
  handle = 0xFD,
  cancel_operation = 0xFE,
};

// profiler -> host. Several names share a value; a value prints as the
// first of its names in this list.
enum class host_bridge_answer : std::uint8_t {
  measure_snapshot_started = 0x90,
  measure_snapshot_stopped = 0x91,
  measure_unsupported = 0x92,
  runtime_updated = 0xA2,
  outprocess_profiler = 0xA3,
  command_line_updated = 0xA4,
  // A flight recording's trigger fired and its capture is due: sized_string
  // what fired, u32 milliseconds into the recording. Only a host that gave a
  // snapshot triggers hears it.
  snapshot_triggered = 0xA5,
  memory_allocations_enabled = 0x90,
  memory_allocations_disabled = 0x91,
  memory_allocations_unsupported = 0x92,
  memory_done = 0xA0,
  memory_unsupported = 0xA1,
  initialize = 0xD0,
  initialize_done = 0xD1,
  idle = 0xDE,
  quit = 0xDF,
  snapshot_done = 0xEF,
  operation_started = 0xF0,
  operation_finished = 0xF1,
  operation_progress = 0xF2,
  kill_accepted = 0xF4,
  handle_request_slave = 0xF7,
  handle_request = 0xF8,
  handle_droped = 0xF9,
  handle_moniker = 0xFA,
  unduplicated_handle_request = 0xFB,
  enable_detach = 0xFC,
  alert = 0xFE,
};

enum class core_close_way : std::uint8_t { thrw = 0, kill = 1, detach = 2 };
enum class severity : std::uint8_t { warning = 0, error = 1 };

// A value outside an enumeration prints as its number and "(wrong enum value)".
std::string to_string(host_bridge_command c);
std::string to_string(host_bridge_answer a);
std::string to_string(core_close_way w);
std::string to_string(severity s);

namespace bridge_constants {
// {7881B635-2DE8-43E9-B6AC-4A9A21E636CE}
tw::guid host_bridge_version() noexcept;
// {72901AEC-8A8E-4FE3-AB06-0BA00183DF92}, sent in initialize.
tw::guid profiler_kind() noexcept;
// The session identifiers of the test protocol object.
tw::guid test_session_1() noexcept;
tw::guid test_session_2() noexcept;

// Parameters larger than this are refused before they are read.
inline constexpr std::size_t receive_buffer_size = std::size_t{1} << 20;
// The control kinds the handshake accepts: 0, 1 and 2.
inline constexpr std::uint8_t control_kind_limit = 3;
// The only file type a handle command may carry: an identified file.
inline constexpr std::uint8_t identified_file = 1;
// The kind of file the snapshot writer asks for.
inline constexpr std::uint8_t snapshot_file_handle_type = 2;
}  // namespace bridge_constants

// Parameters of an answer, composed field by field.
class bridge_params {
 public:
  template <class T>
  bridge_params& put(T value) {
    tw::write_to(bytes_).put(value);
    return *this;
  }
  bridge_params& boolean(bool value) { return put(static_cast<std::uint8_t>(value ? 1 : 0)); }
  bridge_params& counter(std::uint32_t value) {
    tw::write_to(bytes_).compressed_uint(value);
    return *this;
  }
  bridge_params& sized_string(std::string_view text) {
    tw::write_to(bytes_).compressed_string(text);
    return *this;
  }
  bridge_params& guid(const tw::guid& g) {
    tw::write_to(bytes_).guid(g, tw::guid_byte_order::windows);
    return *this;
  }
  const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

// One frame: the code, the parameters' size as a counter, the parameters.
std::vector<std::uint8_t> encode_frame(std::uint8_t code, const std::vector<std::uint8_t>& params);

// Readers of parameter fields; each throws when the parameters end early.
std::string read_sized_string(tw::byte_cursor& params);
bool read_bool(tw::byte_cursor& params);

// The host's settings for the timeline profiler, in accepted. Only the first
// is read here; the others are the host's own settings, whose meaning it does
// not tell: they are carried into init_data unchanged and logged.
struct timeline_info {
  bool collect_from_start = false;
  std::uint32_t host_number_1 = 0;
  bool host_flag = false;
  std::uint32_t host_number_2 = 0;
  bool host_flags[6] = {};
  std::string host_text;
};
timeline_info read_timeline_info(tw::byte_cursor& params);
// "timeline_info:" and each field on a line "----> value".
std::string to_string(const timeline_info& info);

struct env_var_to_clean {
  std::string name;
  std::uint8_t flag = 0;
};

// The parameters of accepted.
struct accepted_params {
  std::uint8_t control_kind = 0;
  // Two texts of the host's, carried like timeline_info's own settings.
  std::string host_text_1;
  std::vector<env_var_to_clean> env_vars;
  std::string host_text_2;
  timeline_info info;
};
// Throws "Control kind isn't supported: N" for a control kind of 3 or more.
accepted_params read_accepted(tw::byte_cursor& params);

// A snapshot's window and triggers, carried by the commands that start a
// snapshot (measure_snapshot_start, the *_start ones and go), whose
// parameters are otherwise ignored: none is a plain snapshot. Fields: u8 1;
// u32 the window's seconds; u32 the ring's bound in MiB; u32 the milliseconds
// recorded after a trigger; counter N and N triggers (sized_string each, as
// eptl's --on takes them); sized_string the ring's folder (empty: the
// temporary directory).
inline constexpr std::uint8_t window_settings_version = 1;
window_settings read_window_settings(tw::byte_cursor& params);
bridge_params& put_window_settings(bridge_params& params, const window_settings& settings);

// The parameters of handle, the host's answer to a file request.
struct handle_params {
  std::uint32_t request_id = 0;
  std::uint8_t file_type = 0;
  std::string path;
  tw::guid file_id;
};
handle_params read_handle(tw::byte_cursor& params);

}  // namespace tw_prof
