#pragma once

// A snapshot in the file formats of other viewers:
// - speedscope: one sampled profile of all threads and one per thread,
//   weights in milliseconds, stacks outermost frame first;
// - chrome: the Trace Event format (Perfetto, chrome://tracing): a track
//   per thread, the runtime's GCs, suspensions, contention, SqlClient scopes
//   and task work as slices, exceptions and allocation ticks as instants,
//   Kestrel connections and requests and task operations as async slices,
//   and the samples of each thread as a track of their stacks. Times are
//   microseconds from the snapshot's start;
// - pprof, folded: the samples' profiles (tools/snapshot_profiles.h).

#include "tools/snapshot_model.h"

#include <cstdio>
#include <string>

namespace tw::tools {

// pprof and folded stacks: tools/snapshot_profiles.h.
enum class export_format { speedscope, chrome, pprof, folded, folded_wall };

// Throws std::runtime_error on a snapshot it cannot read or an output it
// cannot write.
void export_snapshot(const snapshot_model& model, export_format format, std::FILE* out);

}  // namespace tw::tools
