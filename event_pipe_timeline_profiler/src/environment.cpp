#include "event_pipe_timeline_profiler/src/environment.h"

namespace tw_prof {

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

}  // namespace tw_prof
