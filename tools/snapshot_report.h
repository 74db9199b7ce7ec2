#pragma once

// A snapshot as one self-contained HTML page: its summary, a timeline of
// its threads with the runtime's and the program's events, a flame graph
// of its samples and the top methods, for any stretch of time chosen on
// the timeline. The page (tools/report.html) carries its script and style
// inline, and the snapshot as aggregates: a call tree of the samples'
// stacks and counts per stretch of time, never the samples themselves.

#include "tools/snapshot_model.h"

#include <cstdio>
#include <string>

namespace tw::tools {

// `summary` is the text shown as the page's summary (what inspect prints).
// Throws std::runtime_error on a snapshot it cannot read or an output it
// cannot write.
void write_report(const snapshot_model& model, const std::string& summary, std::FILE* out);

}  // namespace tw::tools
