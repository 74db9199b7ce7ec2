#include "event_pipe_timeline_profiler/src/profiler_sessions.h"

namespace tw_prof {

namespace {
using tarnwell::collector::EventLevel;
using tarnwell::collector::event_pipe_provider;
using tarnwell::collector::event_pipe::session_configuration;
}  // namespace

session_configuration runtime_configuration(bool with_tpl) {
  session_configuration c;
  c.circular_buffer_mb = 512;
  c.providers = {event_pipe_provider(u"Microsoft-Windows-DotNETRuntime", EventLevel::verbose, 0x4001C0F9),
                 event_pipe_provider(u"Microsoft-DotNETCore-SampleProfiler", EventLevel::informational, 0),
                 event_pipe_provider(u"Microsoft.Data.SqlClient.EventSource", EventLevel::verbose, -1),
                 event_pipe_provider(u"Microsoft-AspNetCore-Server-Kestrel", EventLevel::verbose, -1)};
  if (with_tpl) c.providers.emplace_back(u"System.Threading.Tasks.TplEventSource", EventLevel::informational, 0x23);
  return c;
}

session_configuration rundown_configuration() {
  session_configuration c;
  c.circular_buffer_mb = 512;
  c.request_rundown = true;
  c.providers = {event_pipe_provider(u"Microsoft-Windows-DotNETRuntimeRundown", EventLevel::verbose, 0)};
  return c;
}

}  // namespace tw_prof
