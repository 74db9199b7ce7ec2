#pragma once

// The CPU samples of a snapshot as the profile exports show them: each
// sample's thread and stack (with frames of their own for a thread outside
// managed code and for a sample without a stack), and the sampler's period.

#include "collector/src/collector/snapshot_format.h"
#include "tools/snapshot_events.h"
#include "tools/snapshot_model.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tw::tools {

struct sample_entry {
  std::int64_t tick;
  std::uint32_t thread;
  std::uint32_t leaf;  // stream_record::no_stack for a sample without a stack
  std::uint8_t type;
};

namespace sample_type = tarnwell::collector::format::sample_type;

// Whether a sample's thread was on a CPU: running managed or native code, or
// of no known type (the sampler saw it running then).
constexpr bool on_cpu(std::uint8_t type) noexcept { return type != sample_type::waiting; }
// The state a sample's type names: "running managed code", "running native
// code", "waiting", or "of no known type".
const char* sample_state(std::uint8_t type) noexcept;

// The stacks samples are shown with: the call tree's frames, and frames of
// their own for what the tree cannot say.
class sample_stacks {
 public:
  explicit sample_stacks(const snapshot_model& model)
      : model_(model),
        waiting_(static_cast<std::uint32_t>(model.frames().size())),
        native_(waiting_ + 1),
        no_stack_(waiting_ + 2) {}

  // The frames of a sample, outermost first. A thread outside managed code
  // ends in a frame that says whether it waited or ran native code, in place
  // of the native code it is in.
  const std::vector<std::uint32_t>& of(const sample_entry& s);

  std::size_t count() const { return model_.frames().size() + 3; }
  std::string_view module(std::uint32_t f) const {
    return f < model_.frames().size() ? std::string_view(model_.frames()[f].module) : std::string_view();
  }
  std::string_view module_path(std::uint32_t f) const {
    return f < model_.frames().size() ? std::string_view(model_.frames()[f].module_path) : std::string_view();
  }
  // The module's file where it is known, else its name.
  std::string_view module_file(std::uint32_t f) const {
    return module_path(f).empty() ? module(f) : module_path(f);
  }
  std::string_view name(std::uint32_t f) const;

 private:
  const snapshot_model& model_;
  const std::uint32_t waiting_, native_, no_stack_;
  std::vector<std::uint32_t> frames_;
};

// Every sample of the snapshot, in time order.
std::vector<sample_entry> collect_samples(const snapshot_model& model);

// The sampler's period as the samples show it: the median time between two
// samples of one thread. The runtime samples every thread at once, each
// millisecond by default.
double sampling_period_ms(const snapshot_model& model, const std::vector<sample_entry>& samples);

// The thread's name, or "thread TID" for a thread without one.
std::string thread_name(const snapshot_model& model, std::uint32_t thread);
// "NAME (TID)", or "thread TID" for a thread without a name.
std::string thread_label(const snapshot_model& model, std::uint32_t thread);

}  // namespace tw::tools
