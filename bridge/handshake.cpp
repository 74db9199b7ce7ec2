#include "bridge/handshake.h"

#include "tw/log/log.h"
#include "tw/system/os_name.h"
#include "tw/system/proc_utils.h"

#include <cstdlib>
#include <stdexcept>
#include <unistd.h>

namespace tw_prof {

namespace {

bool core_first_requested() {
  const char* value = std::getenv("TARNWELL_PROFILER_CORE_FIRST");
  if (value == nullptr) return false;
  try {
    return std::stoi(value) != 0;
  } catch (const std::exception&) {
    TW_LOG(warning) << "TARNWELL_PROFILER_CORE_FIRST is not a number: \"" << value << "\"";
    return false;
  }
}

environment describe(const prof_bridge_proto& proto) {
  environment env;
  env.pid = proto.get_pid();
  env.process_name = proto.get_process_name();
  env.command_line = proto.get_command_line();
  env.working_directory = proto.get_working_dir();
  env.runtime = proto.get_runtime();
  env.runtime_version = proto.get_runtime_version();
  env.architecture = proto.get_architecture();
  env.user_name = proto.get_user_name();
  env.computer_name = proto.get_computer_name();
  env.os_id = 4;  // Linux
  env.os_architecture = static_cast<std::uint16_t>(tw::get_os_architecture());
  const long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
  env.processor_count = processors > 0 ? static_cast<std::uint32_t>(processors) : 0;
  env.os_name = tw::get_os_name();
  if (proto.is_test_prof()) {
    env.session_id_1 = bridge_constants::test_session_1();
    env.session_id_2 = bridge_constants::test_session_2();
    env.id_kind = 0;
  } else {
    env.session_id_1 = tw::guid::random();
    env.session_id_2 = tw::guid::random();
    env.id_kind = 1;
  }
  env.snapshot_id_3 = tw::guid::random();
  env.snapshot_id_4 = tw::guid::random();
  return env;
}

bridge_params initialize_params(const environment& env, bool core_first) {
  bridge_params p;
  p.guid(bridge_constants::host_bridge_version())
      .put(static_cast<std::int32_t>(env.pid))
      .guid(bridge_constants::profiler_kind())
      .guid(env.snapshot_id_4)
      .guid(env.snapshot_id_3)
      .sized_string("")
      .sized_string(env.process_name)
      .sized_string(env.command_line)
      .sized_string(env.working_directory)
      .put(static_cast<std::uint8_t>(env.runtime))
      .put(env.runtime_version.major)
      .put(env.runtime_version.minor)
      .put(env.runtime_version.build)
      .put(env.runtime_version.revision)
      .put(env.architecture)
      .sized_string(env.user_name)
      .boolean(core_first);
  return p;
}

}  // namespace

init_data init_bridge(const void* bridge, bridge_socket& socket, std::vector<std::uint8_t>& buffer,
                      prof_bridge_proto& proto) {
  const bool core_first = core_first_requested();
  init_data data;
  data.env = describe(proto);
  write_answer(bridge, socket, host_bridge_answer::initialize, initialize_params(data.env, core_first));

  const auto command = read_command(bridge, socket, buffer);
  switch (command.code) {
    case host_bridge_command::accepted:
      break;
    case host_bridge_command::unaccepted_invalid_protocol:
    case host_bridge_command::unaccepted_invalid_version:
    case host_bridge_command::unaccepted_invalid_info:
    case host_bridge_command::unaccepted_canceled:
      throw std::runtime_error(to_string(command.code));
    default:
      throw std::runtime_error("Unexpected command");
  }
  auto params = command.cursor();
  auto accepted = read_accepted(params);
  for (const auto& variable : accepted.env_vars) {
    // An in-process profiler must not pass the host's variables on to what
    // the target starts; an out-of-process one leaves its own process alone.
    if (!proto.is_outprocess()) ::unsetenv(variable.name.c_str());
  }
  TW_LOG(info) << bridge_prefix(bridge) << to_string(accepted.info);

  data.info = accepted.info;
  data.use_api = accepted.control_kind == 1 || (accepted.control_kind == 2 && core_first);
  data.use_bridge = !data.use_api;
  data.host_text_1 = std::move(accepted.host_text_1);
  data.env_vars = std::move(accepted.env_vars);
  data.host_text_2 = std::move(accepted.host_text_2);
  return data;
}

}  // namespace tw_prof
