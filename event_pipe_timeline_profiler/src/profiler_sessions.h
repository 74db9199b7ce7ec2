#pragma once

// What the profiler asks of a runtime: the providers of a snapshot's runtime
// session and of the rundown after it, and the providers its streams are
// decoded with.

#include "event_pipe_api/src/providers/providers.h"
#include "event_pipe_api/src/session.h"

#include <type_traits>

namespace tw_prof {

// The runtime, rundown and EventPipe providers, and task events when they
// are asked for.
template <bool with_tpl>
using stream_providers = std::conditional_t<
    with_tpl, tarnwell::collector::all_providers,
    tarnwell::collector::provider_list<
        tarnwell::collector::Microsoft_Windows_DotNETRuntime, tarnwell::collector::Microsoft_Windows_DotNETRuntimeRundown,
        tarnwell::collector::Microsoft_DotNETCore_EventPipe, tarnwell::collector::Microsoft_DotNETCore_SampleProfiler,
        tarnwell::collector::Microsoft_Data_SqlClient_EventSource,
        tarnwell::collector::Microsoft_AspNetCore_Server_Kestrel>>;

// A snapshot's runtime session: GC, JIT, loader, exceptions, contention and
// stacks from the runtime, CPU samples, SqlClient, Kestrel, and the task
// library's events with with_tpl.
tarnwell::collector::event_pipe::session_configuration runtime_configuration(bool with_tpl);
// The rundown: the methods and modules loaded before the snapshot began.
tarnwell::collector::event_pipe::session_configuration rundown_configuration();

}  // namespace tw_prof
