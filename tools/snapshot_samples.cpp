#include "tools/snapshot_samples.h"

#include <algorithm>
#include <unordered_map>

namespace tw::tools {

const char* sample_state(std::uint8_t type) noexcept {
  switch (type) {
    case sample_type::running_managed: return "running managed code";
    case sample_type::running_native: return "running native code";
    case sample_type::waiting: return "waiting";
    default: return "of no known type";
  }
}

const std::vector<std::uint32_t>& sample_stacks::of(const sample_entry& s) {
  if (s.leaf != stream_record::no_stack)
    model_.stack(s.leaf, frames_);
  else
    frames_.clear();
  if (s.type == sample_type::waiting || s.type == sample_type::running_native) {
    if (!frames_.empty() && model_.frames()[frames_.back()].kind == frame_kind::native) frames_.pop_back();
    frames_.push_back(s.type == sample_type::waiting ? waiting_ : native_);
  }
  if (frames_.empty()) frames_.push_back(no_stack_);
  return frames_;
}

std::string_view sample_stacks::name(std::uint32_t f) const {
  if (f == waiting_) return "[waiting]";
  if (f == native_) return "[running native code]";
  if (f == no_stack_) return "[no stack]";
  return model_.frames()[f].name;
}

namespace {

class sample_collector : public snapshot_events {
 public:
  void sample(const stream_record& r, std::uint8_t type, std::uint32_t leaf) override {
    samples.push_back({r.timestamp, r.thread_id, leaf, type});
  }
  std::vector<sample_entry> samples;
};

}  // namespace

std::vector<sample_entry> collect_samples(const snapshot_model& model) {
  sample_collector c;
  decode_events(model, c);
  std::stable_sort(c.samples.begin(), c.samples.end(), [](const auto& a, const auto& b) { return a.tick < b.tick; });
  return std::move(c.samples);
}

double sampling_period_ms(const snapshot_model& model, const std::vector<sample_entry>& samples) {
  std::unordered_map<std::uint32_t, std::int64_t> last;
  std::vector<double> gaps;
  for (const auto& s : samples) {
    const auto [it, first] = last.try_emplace(s.thread, s.tick);
    if (!first && s.tick > it->second) gaps.push_back(model.ms_between(it->second, s.tick));
    it->second = s.tick;
  }
  if (gaps.empty() || model.timer_resolution() == 0) return 1.0;
  std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2), gaps.end());
  return gaps[gaps.size() / 2];
}

namespace {
const std::string* name_of(const snapshot_model& model, std::uint32_t thread) {
  const auto it = model.thread_names().find(thread);
  return it != model.thread_names().end() && !it->second.empty() ? &it->second : nullptr;
}
}  // namespace

std::string thread_name(const snapshot_model& model, std::uint32_t thread) {
  const auto* name = name_of(model, thread);
  return name ? *name : "thread " + std::to_string(thread);
}

std::string thread_label(const snapshot_model& model, std::uint32_t thread) {
  const auto* name = name_of(model, thread);
  return name ? *name + " (" + std::to_string(thread) + ")" : "thread " + std::to_string(thread);
}

}  // namespace tw::tools
