#include "event_pipe_timeline_profiler/src/environment.h"

#include "tw/utility/le_writer.h"

#include <chrono>

namespace tw_prof {

namespace {

// A FILETIME as its low, then its high 32 bits.
void put_filetime(tw::le_writer& out, std::uint64_t t) {
  out.put(static_cast<std::uint32_t>(t));
  out.put(static_cast<std::uint32_t>(t >> 32));
}

}  // namespace

const char* to_string(runtime_type t) noexcept {
  switch (t) {
    case runtime_type::unknown: return "unknown";
    case runtime_type::clr: return "clr";
    case runtime_type::core_clr: return "core_clr";
    case runtime_type::silverlight: return "silverlight";
    case runtime_type::mono: return "mono";
  }
  return "unknown";
}

environment make_random_environment() {
  environment e;
  e.session_id_1 = guid::random();
  e.id_kind = 1;
  e.session_id_2 = guid::random();
  e.snapshot_id_3 = guid::random();
  e.snapshot_id_4 = guid::random();
  return e;
}

std::uint64_t filetime_now() {
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  return static_cast<std::uint64_t>(us) * 10 + 0x019DB1DED53E8000ull;
}

void write_environment(std::ostream& stream, const environment& env, std::uint64_t start_filetime) {
  auto out = tw::write_to(stream);
  constexpr auto guid_order = tw::guid_byte_order::rfc4122;
  out.put(std::uint16_t{0x00FD});
  out.put(std::uint16_t{0x0000});
  out.put(std::uint16_t{0x5008});
  out.put(std::uint16_t{0x6A88});
  out.put(std::uint32_t{1});
  out.put(std::uint32_t{1});
  out.put(static_cast<std::uint8_t>(env.os_id));
  out.put(env.os_architecture);
  out.put(env.processor_count);
  out.compressed_string(env.os_name);
  out.compressed_string(env.computer_name);
  out.put(env.pid);
  out.compressed_string(env.process_name);
  out.compressed_string(env.command_line);
  out.compressed_string(env.working_directory);
  out.put(env.architecture);
  out.guid(env.snapshot_id_4, guid_order);
  out.compressed_string(env.user_name);
  out.guid(env.snapshot_id_3, guid_order);
  out.put(static_cast<std::uint8_t>(env.runtime));
  const auto& v = env.runtime_version;
  out.compressed_string(std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build) + "." +
                        std::to_string(v.revision));
  out.compressed_string(env.trailer);
  out.guid(env.session_id_1, guid_order);
  out.put(env.id_kind);
  out.guid(env.session_id_2, guid_order);
  put_filetime(out, start_filetime);
}

void write_post_environment(std::ostream& stream, std::uint64_t end_filetime) {
  auto out = tw::write_to(stream);
  put_filetime(out, end_filetime);
}

}  // namespace tw_prof
