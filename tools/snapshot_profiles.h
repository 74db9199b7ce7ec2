#pragma once

// A snapshot's CPU samples in the formats that profile stores and
// flame-graph tools read:
// - pprof: a gzipped perftools.profiles.Profile with two sample types,
//   cpu/nanoseconds (samples of threads running managed code, or of no
//   known type: the ones inspect's method tables count) and wall/nanoseconds
//   (every sample), each weighing the sampler's period; a function per
//   method, a mapping per module, a location per frame; labels "thread id",
//   "thread name" and "state" on each sample.
// - folded stacks: "THREAD;OUTER;...;INNER COUNT", one line per distinct
//   stack, of the samples cpu counts, or with `wall` of every sample.

#include "tools/snapshot_model.h"

#include <cstdio>

namespace tw::tools {

void write_pprof(const snapshot_model& model, std::FILE* out);
void write_folded(const snapshot_model& model, bool wall, std::FILE* out);

}  // namespace tw::tools
