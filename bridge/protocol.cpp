#include "bridge/protocol.h"

#include <stdexcept>

namespace tw_prof {

namespace {

std::string wrong(unsigned value) { return std::to_string(value) + " (wrong enum value)"; }

tw::guid from_windows(const tw::guid::bytes_type& bytes) noexcept {
  return tw::guid::from_bytes(bytes, tw::guid_byte_order::windows);
}

}  // namespace

std::string to_string(host_bridge_command c) {
  using enum host_bridge_command;
  switch (c) {
    case measure_snapshot_start: return "measure_snapshot_start";
    case measure_snapshot_stop_drop: return "measure_snapshot_stop_drop";
    case measure_snapshot_stop_save: return "measure_snapshot_stop_save";
    case measure_snapshot_stop_drop_start: return "measure_snapshot_stop_drop_start";
    case measure_snapshot_stop_save_start: return "measure_snapshot_stop_save_start";
    case memory_force_gc: return "memory_force_gc";
    case memory_dump: return "memory_dump";
    case memory_allocations_enable: return "memory_allocations_enable";
    case memory_allocations_disable: return "memory_allocations_disable";
    case accepted: return "accepted";
    case unaccepted_invalid_protocol: return "unaccepted_invalid_protocol";
    case unaccepted_invalid_version: return "unaccepted_invalid_version";
    case unaccepted_invalid_info: return "unaccepted_invalid_info";
    case unaccepted_canceled: return "unaccepted_canceled";
    case go: return "go";
    case kill: return "kill";
    case throw_exception: return "throw_exception";
    case detach: return "detach";
    case handle: return "handle";
    case cancel_operation: return "cancel_operation";
  }
  return wrong(static_cast<unsigned>(c));
}

std::string to_string(host_bridge_answer a) {
  // The aliases (memory_allocations_*) share their values with the measure
  // answers listed before them, so those names are the ones printed.
  using enum host_bridge_answer;
  switch (a) {
    case measure_snapshot_started: return "measure_snapshot_started";
    case measure_snapshot_stopped: return "measure_snapshot_stopped";
    case measure_unsupported: return "measure_unsupported";
    case runtime_updated: return "runtime_updated";
    case outprocess_profiler: return "outprocess_profiler";
    case command_line_updated: return "command_line_updated";
    case snapshot_triggered: return "snapshot_triggered";
    case memory_done: return "memory_done";
    case memory_unsupported: return "memory_unsupported";
    case initialize: return "initialize";
    case initialize_done: return "initialize_done";
    case idle: return "idle";
    case quit: return "quit";
    case snapshot_done: return "snapshot_done";
    case operation_started: return "operation_started";
    case operation_finished: return "operation_finished";
    case operation_progress: return "operation_progress";
    case kill_accepted: return "kill_accepted";
    case handle_request_slave: return "handle_request_slave";
    case handle_request: return "handle_request";
    case handle_droped: return "handle_droped";
    case handle_moniker: return "handle_moniker";
    case unduplicated_handle_request: return "unduplicated_handle_request";
    case enable_detach: return "enable_detach";
    case alert: return "alert";
  }
  return wrong(static_cast<unsigned>(a));
}

std::string to_string(core_close_way w) {
  switch (w) {
    case core_close_way::thrw: return "thrw";
    case core_close_way::kill: return "kill";
    case core_close_way::detach: return "detach";
  }
  return wrong(static_cast<unsigned>(w));
}

std::string to_string(severity s) {
  switch (s) {
    case severity::warning: return "warning";
    case severity::error: return "error";
  }
  return wrong(static_cast<unsigned>(s));
}

namespace bridge_constants {

tw::guid host_bridge_version() noexcept {
  return from_windows({0x35, 0xB6, 0x81, 0x78, 0xE8, 0x2D, 0xE9, 0x43, 0xB6, 0xAC, 0x4A, 0x9A, 0x21, 0xE6, 0x36, 0xCE});
}
tw::guid profiler_kind() noexcept {
  return from_windows({0xEC, 0x1A, 0x90, 0x72, 0x8E, 0x8A, 0xE3, 0x4F, 0xAB, 0x06, 0x0B, 0xA0, 0x01, 0x83, 0xDF, 0x92});
}
tw::guid test_session_1() noexcept { return *tw::guid::parse("{81B78EC7-481E-4ae7-A43C-604FDB3C3CA6}"); }
tw::guid test_session_2() noexcept { return *tw::guid::parse("{CAEA09A9-63EA-40CF-8A24-A3E7E823547F}"); }

}  // namespace bridge_constants

std::vector<std::uint8_t> encode_frame(std::uint8_t code, const std::vector<std::uint8_t>& params) {
  std::vector<std::uint8_t> frame;
  auto out = tw::write_to(frame);
  out.put(code);
  out.compressed_uint(static_cast<std::uint32_t>(params.size() > 0xFFFFFFFFu ? 0xFFFFFFFFu : params.size()));
  out.bytes(params.data(), params.size());
  return frame;
}

std::string read_sized_string(tw::byte_cursor& params) {
  const auto size = params.compressed_uint();
  const auto* bytes = params.take(size);
  return std::string(reinterpret_cast<const char*>(bytes), size);
}

bool read_bool(tw::byte_cursor& params) { return params.byte() != 0; }

window_settings read_window_settings(tw::byte_cursor& params) {
  window_settings s;
  if (params.at_end()) return s;
  if (const auto version = params.byte(); version != window_settings_version)
    throw std::runtime_error("Unknown window settings version " + std::to_string(version));
  s.last = std::chrono::seconds(params.read<std::uint32_t>());
  s.max_bytes = std::uint64_t{params.read<std::uint32_t>()} << 20;
  s.after = std::chrono::milliseconds(params.read<std::uint32_t>());
  const auto triggers = params.compressed_uint();
  if (triggers > params.remaining()) throw std::runtime_error("Window settings name more triggers than they hold");
  for (std::uint32_t i = 0; i < triggers; ++i) s.triggers.push_back(read_sized_string(params));
  s.folder = read_sized_string(params);
  return s;
}

bridge_params& put_window_settings(bridge_params& params, const window_settings& s) {
  params.put(window_settings_version).put(static_cast<std::uint32_t>(s.last.count()));
  params.put(static_cast<std::uint32_t>(s.max_bytes >> 20)).put(static_cast<std::uint32_t>(s.after.count()));
  params.counter(static_cast<std::uint32_t>(s.triggers.size()));
  for (const auto& t : s.triggers) params.sized_string(t);
  return params.sized_string(s.folder);
}

timeline_info read_timeline_info(tw::byte_cursor& params) {
  timeline_info info;
  info.collect_from_start = read_bool(params);
  info.host_number_1 = params.read<std::uint32_t>();
  info.host_flag = read_bool(params);
  info.host_number_2 = params.read<std::uint32_t>();
  for (bool& flag : info.host_flags) flag = read_bool(params);
  info.host_text = read_sized_string(params);
  return info;
}

std::string to_string(const timeline_info& info) {
  auto line = [](const auto& value) { return "\n----> " + value; };
  auto flag = [&](bool b) { return line(std::string(b ? "1" : "0")); };
  std::string out = "timeline_info:";
  out += flag(info.collect_from_start);
  out += line(std::to_string(info.host_number_1));
  out += flag(info.host_flag);
  out += line(std::to_string(info.host_number_2));
  for (bool f : info.host_flags) out += flag(f);
  out += line("Sized string: size: " + std::to_string(info.host_text.size()) + ", value: " + info.host_text);
  return out;
}

accepted_params read_accepted(tw::byte_cursor& params) {
  accepted_params a;
  a.control_kind = params.byte();
  if (a.control_kind >= bridge_constants::control_kind_limit)
    throw std::runtime_error("Control kind isn't supported: " + std::to_string(a.control_kind));
  a.host_text_1 = read_sized_string(params);
  const auto count = params.compressed_uint();
  // Each entry takes at least two bytes: refuse a count the rest cannot hold
  // before reserving anything for it.
  if (count > params.remaining() / 2)
    throw tw::truncated_data("accepted: " + std::to_string(count) + " environment variables do not fit the " +
                             std::to_string(params.remaining()) + " bytes left");
  a.env_vars.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    env_var_to_clean v;
    v.name = read_sized_string(params);
    v.flag = params.byte();
    a.env_vars.push_back(std::move(v));
  }
  a.host_text_2 = read_sized_string(params);
  a.info = read_timeline_info(params);
  params.read<std::uint32_t>();  // carried by the host, not used here
  return a;
}

handle_params read_handle(tw::byte_cursor& params) {
  handle_params h;
  h.request_id = params.read<std::uint32_t>();
  h.file_type = params.byte();
  h.path = read_sized_string(params);
  h.file_id = params.guid(tw::guid_byte_order::windows);
  return h;
}

}  // namespace tw_prof
