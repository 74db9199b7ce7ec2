// A file of the collector layer that includes its own layer, the layer below
// (decoding) and the base: the build takes it.
#include "collector/src/collector/multifile_snapshot.h"
#include "event_pipe_api/src/providers/providers.h"
#include "tw/log/log.h"
