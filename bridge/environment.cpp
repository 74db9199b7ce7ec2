#include "bridge/environment.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <algorithm>

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

guid random_guid() {
  thread_local boost::uuids::random_generator generate;
  const boost::uuids::uuid u = generate();
  guid g;
  std::copy(u.begin(), u.end(), g.begin());
  return g;
}

environment make_random_environment() {
  environment e;
  e.session_id_1 = random_guid();
  e.id_kind = 1;
  e.session_id_2 = random_guid();
  e.snapshot_id_3 = random_guid();
  e.snapshot_id_4 = random_guid();
  return e;
}

}  // namespace tw_prof
