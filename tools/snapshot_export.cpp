#include "tools/snapshot_export.h"

#include "tools/json_out.h"
#include "tools/snapshot_events.h"
#include "tools/snapshot_profiles.h"
#include "tools/snapshot_samples.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <limits>
#include <cstring>
#include <map>
#include <set>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tw::tools {

namespace {

void write_speedscope(const snapshot_model& model, std::FILE* f) {
  const auto samples = collect_samples(model);
  const double period = sampling_period_ms(model, samples);
  sample_stacks stacks(model);

  // Each thread's samples side by side, still in time order; the threads
  // busiest first.
  auto by_thread = samples;
  const auto thread_order = [](const sample_entry& a, const sample_entry& b) { return a.thread < b.thread; };
  std::stable_sort(by_thread.begin(), by_thread.end(), thread_order);
  using sample_range = std::pair<std::vector<sample_entry>::const_iterator, std::vector<sample_entry>::const_iterator>;
  std::vector<sample_range> threads;
  for (auto it = by_thread.cbegin(); it != by_thread.cend(); it = threads.back().second)
    threads.push_back(std::equal_range(it, by_thread.cend(), *it, thread_order));
  std::stable_sort(threads.begin(), threads.end(),
                   [](const auto& a, const auto& b) { return a.second - a.first > b.second - b.first; });

  json_out out(f);
  out.raw("{\"$schema\":\"https://www.speedscope.app/file-format-schema.json\",\"name\":")
      .str(model.process().process_name.empty() ? "snapshot" : model.process().process_name)
      .raw(",\"exporter\":\"eptl\",\"activeProfileIndex\":0,\"shared\":{\"frames\":[");
  for (std::uint32_t i = 0; i < stacks.count(); ++i) {
    out.raw(i ? ",{\"name\":" : "{\"name\":").str(stacks.name(i));
    if (!stacks.module(i).empty()) out.raw(",\"file\":").str(stacks.module(i));
    out.raw("}");
  }
  out.raw("]},\"profiles\":[");

  auto profile = [&](const std::string& name, auto first_sample, auto last_sample) {
    const auto count = static_cast<std::size_t>(last_sample - first_sample);
    out.raw("{\"type\":\"sampled\",\"name\":").str(name).raw(",\"unit\":\"milliseconds\",\"startValue\":0,\"endValue\":");
    out.fixed(period * static_cast<double>(count)).raw(",\"samples\":[");
    bool first = true;
    for (auto it = first_sample; it != last_sample; ++it) {
      const auto& s = *it;
      out.raw(first ? "[" : ",[");
      first = false;
      bool first_frame = true;
      for (const auto frame : stacks.of(s)) {
        if (!first_frame) out.raw(",");
        first_frame = false;
        out.num(frame);
      }
      out.raw("]");
    }
    out.raw("],\"weights\":[");
    for (std::size_t i = 0; i < count; ++i) {
      if (i) out.raw(",");
      out.fixed(period);
    }
    out.raw("]}");
  };
  profile("all threads", samples.cbegin(), samples.cend());
  for (const auto& [first, last] : threads) {
    out.raw(",");
    profile(thread_label(model, first->thread), first, last);
  }
  out.raw("]}\n");
  out.flush();
}

// ---- Trace Event format ----

const char* gc_reason(std::uint32_t reason) {
  static constexpr const char* names[] = {"small object allocation", "induced", "low memory", "empty",
                                          "large object allocation", "out of space (small object heap)",
                                          "out of space (large object heap)", "induced, not forced", "internal",
                                          "induced by low memory", "induced compacting", "low memory (host)",
                                          "PM full GC", "low memory (host, blocking)"};
  return reason < std::size(names) ? names[reason] : "other";
}

const char* gc_type(std::uint32_t type) {
  static constexpr const char* names[] = {"blocking", "background", "foreground"};
  return type < std::size(names) ? names[type] : "other";
}

const char* suspension_reason(std::uint32_t reason) {
  static constexpr const char* names[] = {"other", "GC", "app domain shutdown", "code pitching", "shutdown",
                                          "debugger", "GC preparation", "debugger sweep"};
  return reason < std::size(names) ? names[reason] : "other";
}

const char* heap_name(std::uint32_t kind) {
  static constexpr const char* names[] = {"small object heap", "large object heap", "pinned object heap"};
  return kind < std::size(names) ? names[kind] : "other heap";
}

// Tracks beside a thread's own, for what must not share it: slices that
// overlap without nesting go to the next track where they nest, and the
// samples have one of their own. Thread ids stay below 2^22 on Linux.
constexpr std::uint32_t overlap_track = 0x01000000;
constexpr std::uint32_t max_overlap_tracks = 62;
// Frames of an event's stack kept in its arguments: where it was raised.
constexpr std::size_t stack_frames = 8;
constexpr std::uint32_t sample_track = 0x40000000;

struct slice {
  std::int64_t begin, end;
  std::uint32_t thread;
  std::string name;
  const char* category;
  std::string args;  // a JSON object, or empty
};


class chrome_trace final : public snapshot_events {
 public:
  chrome_trace(const snapshot_model& model, json_out& out) : model_(model), out_(out) {
    last_tick_ = model.last_tick();
  }

  void record(std::uint16_t, const stream_record& r) override {
    threads_.insert(r.thread_id);
    last_tick_ = std::max(last_tick_, r.timestamp);
  }

  void gc_start(const stream_record& r, std::uint32_t count, std::uint32_t generation, std::uint32_t reason,
                std::uint32_t type) override {
    std::string args = "{\"count\":" + std::to_string(count) + ",\"generation\":" + std::to_string(generation) +
                       ",\"reason\":" + json_string(gc_reason(reason)) + ",\"type\":" + json_string(gc_type(type)) +
                       stack_member(r, ",") + "}";
    gcs_[count] = {r.timestamp, r.timestamp, r.thread_id,
                   "GC #" + std::to_string(count) + " (gen " + std::to_string(generation) + ")", "gc", std::move(args)};
  }
  void gc_end(const stream_record& r, std::uint32_t count) override {
    const auto it = gcs_.find(count);
    if (it == gcs_.end()) return;
    it->second.end = r.timestamp;
    add(std::move(it->second));
    gcs_.erase(it);
  }
  void suspension_start(const stream_record& r, std::uint32_t reason) override {
    suspensions_[r.thread_id] = {r.timestamp, r.timestamp, r.thread_id,
                                 std::string("suspension (") + suspension_reason(reason) + ")", "suspension",
                                 stack_args(r)};
  }
  void suspension_end(const stream_record& r) override { close(suspensions_, r); }
  void contention_start(const stream_record& r) override {
    contentions_[r.thread_id] = {r.timestamp, r.timestamp, r.thread_id, "lock contention", "contention",
                                 stack_args(r)};
  }
  void contention_end(const stream_record& r) override { close(contentions_, r); }

  void exception(const stream_record& r, const std::string& type, const std::string& message) override {
    instant(r, type, "exception");
    out_.raw(",\"args\":{\"type\":").str(type).raw(",\"message\":").str(message).raw(stack_member(r, ",")).raw("}}");
  }
  void allocation_tick(const stream_record& r, std::uint32_t bytes, std::uint32_t heap) override {
    instant(r, std::string("allocation tick (") + heap_name(heap) + ")", "allocation");
    out_.raw(",\"args\":{\"bytes\":").num(bytes).raw(",\"heap\":").str(heap_name(heap)).raw(stack_member(r, ",")).raw("}}");
  }

  void task_scheduled(const stream_record& r, std::int32_t task) override { task_instant(r, "task scheduled", task); }
  void task_wait(const stream_record& r, std::int32_t task) override { task_instant(r, "task waited on", task); }
  void operation_start(const stream_record& r, std::int32_t task, const std::string& name) override {
    async_begin(r, "task", "task " + std::to_string(task), name,
                "{\"task\":" + std::to_string(task) + stack_member(r, ",") + "}");
  }
  void operation_end(const stream_record& r, std::int32_t task) override {
    async_end(r, "task", "task " + std::to_string(task));
  }
  void work_start(const stream_record& r, std::int32_t task) override {
    work_[r.thread_id].push_back({r.timestamp, r.timestamp, r.thread_id, "task " + std::to_string(task) + " runs",
                                  "task", "{\"task\":" + std::to_string(task) + stack_member(r, ",") + "}"});
  }
  void work_end(const stream_record& r) override { pop(work_, r); }

  void sql(const stream_record& r, sql_event what, const std::string& message) override {
    switch (what) {
      case sql_event::scope_start:
        scopes_[r.thread_id].push_back({r.timestamp, r.timestamp, r.thread_id, message, "sqlclient", stack_args(r)});
        break;
      case sql_event::scope_stop: pop(scopes_, r); break;
      default:
        instant(r, message, "sqlclient");
        if (const auto args = stack_args(r); !args.empty()) out_.raw(",\"args\":").raw(args);
        out_.raw("}");
    }
  }
  void kestrel(const stream_record& r, kestrel_event what, const std::string& connection,
               const std::string& request) override {
    const auto args = "{\"connection\":" + json_string(connection) +
                      (request.empty() ? std::string() : ",\"request\":" + json_string(request)) +
                      stack_member(r, ",") + "}";
    switch (what) {
      case kestrel_event::connection_start:
        async_begin(r, "kestrel", "connection " + connection, "connection " + connection, args);
        break;
      case kestrel_event::connection_stop: async_end(r, "kestrel", "connection " + connection); break;
      case kestrel_event::request_start:
        async_begin(r, "kestrel", "request " + connection + "/" + request, "request " + connection + "/" + request,
                    args);
        break;
      case kestrel_event::request_stop: async_end(r, "kestrel", "request " + connection + "/" + request); break;
    }
  }
  void sample(const stream_record& r, std::uint8_t type, std::uint32_t leaf) override {
    samples_.push_back({r.timestamp, r.thread_id, leaf, type});
  }

  void finish() {
    // What is still open ran to the end of the recording.
    for (auto& [count, s] : gcs_) end_open(std::move(s));
    for (auto* open : {&suspensions_, &contentions_})
      for (auto& [thread, s] : *open) end_open(std::move(s));
    for (auto* open : {&work_, &scopes_})
      for (auto& [thread, stack] : *open)
        while (!stack.empty()) {
          end_open(std::move(stack.back()));
          stack.pop_back();
        }
    for (const auto& [id, open] : async_) {
      async_event('e', last_tick_, open.thread, open.category, id, open.name);
      out_.raw("}");
    }
    // What made a flight recording's capture, and what killed the program,
    // mark the whole timeline.
    if (const auto& c = model_.capture()) {
      event_head('i', c->tick, 0, "captured on " + c->what, "capture");
      out_.raw(",\"s\":\"g\"}");
    }
    if (const auto& c = model_.crash()) {
      event_head('i', c->tick, c->thread, "crashed: unhandled " + c->exception_type, "crash");
      out_.raw(",\"s\":\"g\"}");
    }
    write_slices();
    write_samples();
    write_threads();
  }

 private:
  struct async_open {
    std::uint32_t thread;
    const char* category;
    std::string name;
  };

  double us(std::int64_t tick) const { return model_.ms_since_start(tick) * 1000.0; }

  void event_head(char phase, std::int64_t tick, std::uint32_t track, std::string_view name, const char* category) {
    out_.raw(first_ ? "\n{\"ph\":\"" : ",\n{\"ph\":\"");
    first_ = false;
    const char ph[2] = {phase, 0};
    out_.raw(ph).raw("\",\"name\":").str(name).raw(",\"cat\":\"").raw(category).raw("\",\"ts\":").fixed(us(tick));
    out_.raw(",\"pid\":").num(model_.process().pid).raw(",\"tid\":").num(track);
  }
  // Leaves the event open for its arguments.
  void instant(const stream_record& r, std::string_view name, const char* category) {
    event_head('i', r.timestamp, r.thread_id, name, category);
    out_.raw(",\"s\":\"t\"");
  }
  void task_instant(const stream_record& r, const char* name, std::int32_t task) {
    instant(r, name, "task");
    out_.raw(",\"args\":{\"task\":").num(task).raw(stack_member(r, ",")).raw("}}");
  }

  // The top frames of the event's stack, innermost first, as a member of its
  // arguments ("stack":[...]) preceded by `separator`; empty without one.
  std::string stack_member(const stream_record& r, const char* separator) {
    if (r.stack == stream_record::no_stack) return {};
    model_.stack(r.stack, stack_);
    if (stack_.empty()) return {};
    std::string member = separator;
    member += "\"stack\":[";
    std::size_t n = 0;
    // The event source's own frames, innermost, only report the event: the
    // frames shown begin where its caller is.
    auto from = stack_.rbegin();
    while (from != stack_.rend() && snapshot_model::reports_events(model_.frames()[*from].name)) ++from;
    if (from == stack_.rend()) from = stack_.rbegin();
    for (auto it = from; it != stack_.rend() && n < stack_frames; ++it, ++n) {
      if (n) member += ',';
      append_json_string(member, model_.frames()[*it].name);
    }
    return member + "]";
  }
  // Arguments that hold the stack alone, or nothing.
  std::string stack_args(const stream_record& r) {
    auto member = stack_member(r, "");
    return member.empty() ? std::string() : "{" + member + "}";
  }
  void async_event(char phase, std::int64_t tick, std::uint32_t thread, const char* category, const std::string& id,
                   std::string_view name) {
    event_head(phase, tick, thread, name, category);
    out_.raw(",\"id\":").str(id);
  }
  void async_begin(const stream_record& r, const char* category, const std::string& id, const std::string& name,
                   const std::string& args) {
    // The same id begun again before its end: the first ends here.
    if (async_.contains(id)) async_end(r, category, id);
    async_event('b', r.timestamp, r.thread_id, category, id, name);
    out_.raw(",\"args\":").raw(args).raw("}");
    async_[id] = {r.thread_id, category, name};
  }
  void async_end(const stream_record& r, const char* category, const std::string& id) {
    const auto it = async_.find(id);
    if (it == async_.end()) return;  // its start came before the recording's
    async_event('e', r.timestamp, r.thread_id, category, id, it->second.name);
    out_.raw("}");
    async_.erase(it);
  }

  void add(slice s) {
    if (s.end < s.begin) s.end = s.begin;
    slices_.push_back(std::move(s));
  }
  void end_open(slice s) {
    s.end = std::max(s.begin, last_tick_);
    if (!s.args.empty()) s.args.pop_back(), s.args += ",\"unfinished\":true}";
    else s.args = "{\"unfinished\":true}";
    add(std::move(s));
  }
  void close(std::unordered_map<std::uint32_t, slice>& open, const stream_record& r) {
    const auto it = open.find(r.thread_id);
    if (it == open.end()) return;
    it->second.end = r.timestamp;
    add(std::move(it->second));
    open.erase(it);
  }
  void pop(std::unordered_map<std::uint32_t, std::vector<slice>>& open, const stream_record& r) {
    auto& stack = open[r.thread_id];
    if (stack.empty()) return;
    stack.back().end = r.timestamp;
    add(std::move(stack.back()));
    stack.pop_back();
  }

  void write_slice(const slice& s, std::uint32_t track) {
    event_head('X', s.begin, track, s.name, s.category);
    out_.raw(",\"dur\":").fixed(us(s.end) - us(s.begin));
    if (!s.args.empty()) out_.raw(",\"args\":").raw(s.args);
    out_.raw("}");
  }

  // Each slice on the first track of its thread where it nests.
  void write_slices() {
    std::stable_sort(slices_.begin(), slices_.end(), [](const slice& a, const slice& b) {
      if (a.thread != b.thread) return a.thread < b.thread;
      return a.begin != b.begin ? a.begin < b.begin : a.end > b.end;
    });
    std::vector<std::vector<std::int64_t>> tracks;  // the ends of the slices open on each
    for (std::size_t i = 0; i < slices_.size(); ++i) {
      if (i == 0 || slices_[i].thread != slices_[i - 1].thread) tracks.clear();
      const auto& s = slices_[i];
      std::size_t k = 0;
      for (;; ++k) {
        if (k == tracks.size()) tracks.emplace_back();
        auto& open = tracks[k];
        while (!open.empty() && open.back() <= s.begin) open.pop_back();
        if (open.empty() || s.end <= open.back() || k == max_overlap_tracks) break;
      }
      tracks[k].push_back(s.end);
      const auto track = s.thread + static_cast<std::uint32_t>(k) * overlap_track;
      if (k > 0) overlap_tracks_.insert({s.thread, static_cast<std::uint32_t>(k)});
      write_slice(s, track);
    }
  }

  // A flame chart of each thread's samples: a frame shown in consecutive
  // samples is one slice, from the first sample to the one after the last.
  void write_samples() {
    std::stable_sort(samples_.begin(), samples_.end(), [](const auto& a, const auto& b) {
      return a.thread != b.thread ? a.thread < b.thread : a.tick < b.tick;
    });
    // Ticks from here on are compared as doubles: the file's may lie
    // further apart than a 64-bit difference holds.
    const double period_ms = sampling_period_ms(model_, samples_);
    const double period = period_ms * static_cast<double>(model_.timer_resolution()) / 1000.0;
    sample_stacks stacks(model_);
    std::vector<std::pair<std::uint32_t, std::int64_t>> open;  // frame, since
    std::int64_t previous = 0;
    // A sample stands for the period after it, up to the recording's end.
    auto after = [&](std::int64_t tick) {
      const double end = std::min(static_cast<double>(tick) + period, static_cast<double>(last_tick_));
      constexpr double top = 9.2e18;  // below the largest tick a double converts back
      return end <= static_cast<double>(tick) || !(end < top) ? tick : static_cast<std::int64_t>(end);
    };
    auto close_to = [&](std::size_t depth, std::int64_t at, std::uint32_t thread) {
      while (open.size() > depth) {
        if (at > open.back().second) {
          const auto module = stacks.module(open.back().first);
          write_slice({open.back().second, at, thread, std::string(stacks.name(open.back().first)), "sample",
                       module.empty() ? std::string() : "{\"module\":" + json_string(module) + "}"},
                      thread + sample_track);
        }
        open.pop_back();
      }
    };
    for (std::size_t i = 0; i < samples_.size(); ++i) {
      const auto& s = samples_[i];
      const bool new_thread = i == 0 || s.thread != samples_[i - 1].thread;
      if (new_thread) {
        if (i) close_to(0, after(previous), samples_[i - 1].thread);
        sampled_threads_.insert(s.thread);
      } else if (static_cast<double>(s.tick) - static_cast<double>(previous) > 3 * period) {
        close_to(0, after(previous), s.thread);  // the thread was not seen for a while
      }
      const auto& frames = stacks.of(s);
      std::size_t common = 0;
      while (common < open.size() && common < frames.size() && open[common].first == frames[common]) ++common;
      close_to(common, s.tick, s.thread);
      for (std::size_t d = common; d < frames.size(); ++d) open.emplace_back(frames[d], s.tick);
      previous = s.tick;
    }
    if (!samples_.empty()) close_to(0, after(previous), samples_.back().thread);
  }

  void thread_metadata(std::uint32_t track, const std::string& name, std::uint32_t order) {
    out_.raw(",\n{\"ph\":\"M\",\"name\":\"thread_name\",\"pid\":").num(model_.process().pid).raw(",\"tid\":").num(track);
    out_.raw(",\"args\":{\"name\":").str(name).raw("}}");
    out_.raw(",\n{\"ph\":\"M\",\"name\":\"thread_sort_index\",\"pid\":").num(model_.process().pid).raw(",\"tid\":").num(track);
    out_.raw(",\"args\":{\"sort_index\":").num(order).raw("}}");
  }

  void write_threads() {
    out_.raw(first_ ? "\n" : ",\n");
    first_ = false;
    out_.raw("{\"ph\":\"M\",\"name\":\"process_name\",\"pid\":").num(model_.process().pid).raw(",\"args\":{\"name\":");
    out_.str(model_.process().process_name.empty() ? "process" : model_.process().process_name).raw("}}");
    std::uint32_t order = 0;
    for (const auto thread : threads_) {
      const auto label = thread_label(model_, thread);
      thread_metadata(thread, label, order++);
      if (sampled_threads_.contains(thread)) thread_metadata(thread + sample_track, label + ": samples", order++);
      for (auto it = overlap_tracks_.lower_bound({thread, 0}); it != overlap_tracks_.end() && it->first == thread; ++it)
        thread_metadata(thread + it->second * overlap_track, label + " (" + std::to_string(it->second + 1) + ")",
                        order++);
    }
  }

  const snapshot_model& model_;
  json_out& out_;
  bool first_ = true;
  std::int64_t last_tick_;
  std::set<std::uint32_t> threads_;
  std::set<std::uint32_t> sampled_threads_;
  std::set<std::pair<std::uint32_t, std::uint32_t>> overlap_tracks_;
  std::map<std::uint32_t, slice> gcs_;  // by count
  std::unordered_map<std::uint32_t, slice> suspensions_, contentions_;
  std::unordered_map<std::uint32_t, std::vector<slice>> work_, scopes_;
  std::map<std::string, async_open> async_;
  std::vector<slice> slices_;
  std::vector<sample_entry> samples_;
  std::vector<std::uint32_t> stack_;
};

void write_chrome(const snapshot_model& model, std::FILE* f) {
  json_out out(f);
  out.raw("{\"displayTimeUnit\":\"ms\",\"otherData\":{\"process\":").str(model.process().process_name);
  out.raw(",\"pid\":").num(model.process().pid).raw(",\"runtime\":").str(model.process().runtime_version);
  out.raw(",\"command_line\":").str(model.process().command_line).raw("},\"traceEvents\":[");
  chrome_trace trace(model, out);
  decode_events(model, trace);
  trace.finish();
  out.raw("\n]}\n");
  out.flush();
}

}  // namespace

void export_snapshot(const snapshot_model& model, export_format format, std::FILE* out) {
  switch (format) {
    case export_format::speedscope: write_speedscope(model, out); break;
    case export_format::chrome: write_chrome(model, out); break;
    case export_format::pprof: write_pprof(model, out); break;
    case export_format::folded: write_folded(model, false, out); break;
    case export_format::folded_wall: write_folded(model, true, out); break;
  }
  if (std::fflush(out) != 0) throw std::runtime_error(std::string("Cannot write the export: ") + std::strerror(errno));
}

}  // namespace tw::tools
