#pragma once

// The bridge handshake: the profiler introduces the target (initialize), the
// host accepts with its settings or refuses.

#include "bridge/bridge_io.h"
#include "bridge/prof_bridge_proto.h"

#include <vector>

namespace tw_prof {

// Throws the refusal's name (e.g. "unaccepted_invalid_version"), "Unexpected
// command", "Control kind isn't supported: N", or what the protocol layer
// throws for damaged parameters.
init_data init_bridge(const void* bridge, bridge_socket& socket, std::vector<std::uint8_t>& buffer,
                      prof_bridge_proto& proto);

}  // namespace tw_prof
