#pragma once

// The bridge to the front end (the host) for one profiled process: it
// connects to the host's loopback endpoint (or listens on one of its own),
// runs the handshake, creates the profiler through the protocol object, then
// runs the command loop that starts, saves and drops snapshots on the host's
// commands, answers the host's file requests and forwards the profiler's
// notifications, and at last saves or drops the final snapshot.

#include "bridge/prof_bridge_proto.h"

#include <future>
#include <memory>
#include <stop_token>
#include <string>

namespace tw_prof {

// What the collector holds.
class profiler_bridge_controller {
 public:
  virtual ~profiler_bridge_controller() = default;
  // Ends the bridge: the last snapshot is saved (save) or dropped; a host
  // that does not let the loop end within 10 s has its connection closed.
  // Safe to call twice; the second call only waits.
  virtual void destroy(bool save) = 0;
  // Ready when the bridge has finished.
  virtual std::future<void> extract_done_future() = 0;
  // "address:port" the bridge talks on.
  virtual std::string get_endpoint() const = 0;
  // The measure operations: each runs in the command loop, and returns once
  // the loop has run it.
  virtual void start_collecting() = 0;
  virtual void stop_collecting() = 0;
  virtual void start_snapshot() = 0;
  virtual void save_snapshot() = 0;
  virtual void reset_snapshot() = 0;
  virtual void start_group(const char* name) = 0;
  virtual void end_group() = 0;
};

// Throws std::invalid_argument when `endpoint` is not empty and names no
// loopback "address:port".
void check_bridge_endpoint(const std::string& endpoint);

// Connects to `endpoint` ("address:port", the address a loopback one), or
// with an empty endpoint listens on 127.0.0.1 at a port the system picks.
// Returns once the bridge is ready: connected and told "go" by the host, or
// listening. Throws what kept it from getting there; a stop requested on
// `abandon` while it waits ends the wait (a host that never comes, or never
// answers, cannot hold the caller forever).
std::unique_ptr<profiler_bridge_controller> create_profiler_bridge_controller(std::unique_ptr<prof_bridge_proto> proto,
                                                                              std::string endpoint,
                                                                              std::stop_token abandon = {});

}  // namespace tw_prof
