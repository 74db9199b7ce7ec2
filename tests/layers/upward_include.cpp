// A file of the collector layer (the snapshot writers) that includes the
// profiler, a layer above it: the build refuses it.
#include "collector/src/collector/multifile_snapshot.h"
#include "event_pipe_timeline_profiler/src/netcore_profiler_api.h"
