#include "tools/snapshot_inspect.h"

#include "tools/json_out.h"

#include "collector/src/collector/snapshot_format.h"

#include "tools/snapshot_events.h"
#include "tools/snapshot_samples.h"

#include <algorithm>
#include <iomanip>
#include <set>
#include <unordered_map>

namespace tw::tools {

namespace {

namespace format = tarnwell::collector::format;

// Adds what each event says to the summary.
class summarise final : public snapshot_events {
 public:
  summarise(const snapshot_model& model, snapshot_summary& s) : model_(model), s_(s) {}

  void record(std::uint16_t section, const stream_record& r) override {
    ++s_.records[{section, r.kind}];
    if (r.kind == format::call_stack_record && load_at<std::uint32_t>(r.body, 8) == format::no_room_for_stack &&
        s_.stacks_without_room++ == 0)
      s_.first_without_room = r.timestamp;
    if (r.kind != format::call_stack_record || section == format::sample_stream.id) return;
    auto& [stacks, named] = s_.stacks_naming_a_method[section];
    ++stacks;
    model_.stack(load_at<std::uint32_t>(r.body, 8), stack_);
    const auto& frames = model_.frames();
    if (std::any_of(stack_.begin(), stack_.end(), [&](std::uint32_t f) { return frames[f].kind == frame_kind::managed; }))
      ++named;
  }
  void sql(const stream_record& r, sql_event what, const std::string& message) override {
    // A scope's end and the correlation line repeat a call already seen.
    if (what == sql_event::scope_stop || what == sql_event::correlation) return;
    // SqlClient marks the calls of its API: "SqlCommand.ExecuteReader | API | ..."
    // or "<sc.SqlCommand.ExecuteReader|API> ...".
    if (message.find("API") == std::string::npos) return;
    auto call = message.substr(0, message.find_first_of(" |"));
    if (call.starts_with('<')) call.erase(0, call.find('.') + 1);  // "<sc." or "<prov."
    if (call.empty() || call.find('.') == std::string::npos) return;
    ++sql_calls_[{call, caller(r)}];
  }

  void gc_start(const stream_record&, std::uint32_t count, std::uint32_t, std::uint32_t, std::uint32_t) override {
    ++s_.gc_count;
    s_.gc_numbers.push_back(count);
  }
  void suspension_start(const stream_record& r, std::uint32_t reason) override {
    suspended_[r.thread_id] = {r.timestamp, reason};
  }
  void suspension_end(const stream_record& r) override {
    const auto it = suspended_.find(r.thread_id);
    if (it == suspended_.end()) return;
    const double ms = model_.ms_between(it->second.first, r.timestamp);
    s_.suspension_ms += ms;
    // The runtime's reasons: 1 for a collection, 6 to prepare one.
    const bool for_gc = it->second.second == 1 || it->second.second == 6;
    (for_gc ? s_.gc_suspensions : s_.other_suspensions) += 1;
    (for_gc ? s_.gc_suspension_ms : s_.other_suspension_ms) += ms;
    suspended_.erase(it);
  }
  void contention_start(const stream_record& r) override {
    ++s_.contentions;
    contended_[r.thread_id] = r.timestamp;
  }
  void contention_end(const stream_record& r) override {
    if (const auto it = contended_.find(r.thread_id); it != contended_.end()) {
      s_.contention_ms += model_.ms_between(it->second, r.timestamp);
      contended_.erase(it);
    }
  }
  void exception(const stream_record&, const std::string& type, const std::string&) override { ++s_.exceptions[type]; }
  void kestrel(const stream_record& r, kestrel_event what, const std::string& connection,
               const std::string& request) override {
    switch (what) {
      case kestrel_event::connection_start: s_.kestrel_connections.push_back(connection); break;
      case kestrel_event::connection_stop: s_.kestrel_connection_stops.push_back(connection); break;
      case kestrel_event::request_start:
        s_.kestrel_requests.push_back(connection + "/" + request);
        ++requests_[{"request", caller(r)}];
        break;
      case kestrel_event::request_stop: s_.kestrel_request_stops.push_back(connection + "/" + request); break;
    }
  }
  void thread_start(const stream_record& r) override { threads_.insert(r.thread_id); }
  void sample(const stream_record& r, std::uint8_t type, std::uint32_t leaf) override {
    ++s_.samples;
    ++s_.samples_per_thread[r.thread_id];
    switch (type) {
      case sample_type::running_managed: ++s_.samples_managed; break;
      case sample_type::running_native: ++s_.samples_native; break;
      case sample_type::waiting: ++s_.samples_waiting; break;
      default: ++s_.samples_other_type;
    }
    if (r.version == format::sample_source::stack) s_.types_from_stacks = true;
    if (r.version == format::sample_source::kernel) s_.types_from_kernel = true;
    if (leaf == stream_record::no_stack) return;
    model_.stack(leaf, stack_);
    if (stack_.empty()) return;
    ++s_.samples_with_stack;
    const auto& frames = model_.frames();
    const bool managed_leaf = frames[stack_.back()].kind == frame_kind::managed;
    if (managed_leaf) ++s_.samples_resolved_managed;
    if (type == sample_type::waiting || type == sample_type::running_native) {
      // Off the CPU, or in native code: where it is spent is the innermost
      // managed method that led there.
      const auto innermost = std::find_if(stack_.rbegin(), stack_.rend(),
                                          [&](std::uint32_t f) { return frames[f].kind == frame_kind::managed; });
      if (innermost != stack_.rend()) ++(type == sample_type::waiting ? waits_ : natives_)[*innermost].exclusive;
      return;
    }
    if (managed_leaf) ++methods_[stack_.back()].exclusive;
    // A method counts once per sample however often it recurses.
    seen_.clear();
    for (const auto f : stack_)
      if (frames[f].kind == frame_kind::managed && seen_.insert(f).second) ++methods_[f].inclusive;
  }

  void finish() {
    s_.threads = threads_.size();
    auto named = [&](std::map<std::uint32_t, method_samples>& from, std::vector<method_samples>& to) {
      for (auto& [f, m] : from) {
        m.name = model_.frames()[f].name;
        to.push_back(m);
      }
    };
    named(methods_, s_.methods);
    named(waits_, s_.waits);
    named(natives_, s_.natives);
    for (auto* table : {&s_.waits, &s_.natives})
      std::stable_sort(table->begin(), table->end(), [](const auto& a, const auto& b) { return a.exclusive > b.exclusive; });
    auto by_count = [](const auto& from, auto& to) {
      for (const auto& [key, n] : from) to.push_back({key.first, key.second, n});
      std::stable_sort(to.begin(), to.end(), [](const auto& a, const auto& b) { return a.count > b.count; });
    };
    by_count(sql_calls_, s_.sql_calls);
    by_count(requests_, s_.kestrel_requests_by_caller);
  }

 private:
  // The name of the event's caller, or a mark for an event without a stack
  // (or one that names no managed code).
  std::string caller(const stream_record& r) const {
    if (r.stack == stream_record::no_stack) return "(no stack)";
    const auto f = model_.innermost_caller(r.stack);
    if (f == snapshot_model::npos) return "(no managed frame)";
    const auto& frame = model_.frames()[f];
    return frame.application ? frame.name : "[framework] " + frame.name;
  }

  const snapshot_model& model_;
  snapshot_summary& s_;
  std::unordered_map<std::uint32_t, std::pair<std::int64_t, std::uint32_t>> suspended_;  // time, reason
  std::unordered_map<std::uint32_t, std::int64_t> contended_;
  std::set<std::uint32_t> threads_;
  // By frame: the tiers of a method count together.
  std::map<std::uint32_t, method_samples> methods_, waits_, natives_;
  std::vector<std::uint32_t> stack_;
  std::set<std::uint32_t> seen_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> sql_calls_, requests_;  // (what, caller)
};

}  // namespace

snapshot_summary inspect_snapshot(const std::string& index_path) {
  const snapshot_model model(index_path);
  snapshot_summary s;
  const auto& process = model.process();
  s.os_name = process.os_name;
  s.computer_name = process.computer_name;
  s.pid = process.pid;
  s.process_name = process.process_name;
  s.command_line = process.command_line;
  s.user_name = process.user_name;
  s.runtime_version = process.runtime_version;
  s.module_images = model.module_images();
  s.capture = model.capture();
  s.crash = model.crash();
  s.timer_resolution = model.timer_resolution();
  s.first_tick = model.first_tick();
  s.last_tick = model.last_tick();
  s.thread_names = model.thread_names();
  summarise to(model, s);
  decode_events(model, to);
  to.finish();
  std::sort(s.methods.begin(), s.methods.end(), [](const auto& a, const auto& b) {
    return a.exclusive != b.exclusive ? a.exclusive > b.exclusive : a.inclusive > b.inclusive;
  });
  return s;
}

void print_text(std::ostream& out, const snapshot_summary& s, std::size_t top) {
  out << "process: " << s.process_name << " (pid " << s.pid << "), runtime " << s.runtime_version << "\n";
  out << "command line: " << s.command_line << "\n";
  out << "user: " << s.user_name << "\n";
  const double span = s.timer_resolution ? (static_cast<double>(s.last_tick) - static_cast<double>(s.first_tick)) * 1000.0 /
                                               static_cast<double>(s.timer_resolution)
                                         : 0;
  out << "time span: " << std::fixed << std::setprecision(1) << span << " ms\n";
  const auto seconds_in = [&](std::int64_t tick) {
    return s.timer_resolution
               ? (static_cast<double>(tick) - static_cast<double>(s.first_tick)) / static_cast<double>(s.timer_resolution)
               : 0.0;
  };
  if (s.capture)
    out << "captured on: " << s.capture->what << " at " << std::setprecision(1)
        << s.capture->ms_into_recording / 1000.0 << " s (" << seconds_in(s.capture->tick) << " s into this window)\n";
  if (s.crash)
    out << "crashed: unhandled " << s.crash->exception_type << " on thread " << s.crash->thread << " at "
        << seconds_in(s.crash->tick) << " s\n";
  out << "threads: " << s.threads << "\n";
  if (s.stacks_without_room != 0)
    out << "the call tree reached its limit at " << std::fixed << std::setprecision(1)
        << (static_cast<double>(s.first_without_room) - static_cast<double>(s.first_tick)) /
               static_cast<double>(s.timer_resolution ? s.timer_resolution : 1)
        << " s; " << s.stacks_without_room << " events after it have no stack\n";
  out << "module images: " << s.module_images.read << " read, " << s.module_images.missing << " missing, "
      << s.module_images.other_build << " of another build\n";
  out << "garbage collections: " << s.gc_count << ", suspension " << s.suspension_ms << " ms\n";
  out << "  suspended for collections: " << s.gc_suspensions << " times, " << s.gc_suspension_ms << " ms\n";
  out << "  suspended otherwise (the CPU sampler among others): " << s.other_suspensions << " times, "
      << s.other_suspension_ms << " ms\n";
  out << "exceptions:";
  for (const auto& [type, n] : s.exceptions) out << "\n  " << n << "  " << type;
  out << "\ncontention: " << s.contentions << " waits, " << s.contention_ms << " ms\n";
  out << "Kestrel requests: " << s.kestrel_requests.size() << "\n";
  out << "records per stream and kind:";
  for (const auto& [what, n] : s.records)
    out << "\n  section " << what.first << " kind "
        << (what.second == format::call_stack_record ? std::string("stack") : std::to_string(what.second))
        << ": " << n;
  out << "\nsamples: " << s.samples << " (" << s.samples_with_stack << " with stacks, " << s.samples_resolved_managed
      << " with a managed method at the leaf)\n";
  out << "  threads running managed code: " << s.samples_managed << " (the methods below count these)\n";
  out << "  threads running native code: " << s.samples_native << "\n";
  out << "  threads waiting: " << s.samples_waiting << "\n";
  if (s.samples_other_type) out << "  of no known type: " << s.samples_other_type << "\n";
  if (s.types_from_stacks)
    out << "  CPU kinds of runtime " << s.runtime_version
        << " inferred from the stacks: its sample flag is unreliable\n";
  if (s.types_from_kernel) out << "  CPU kinds from the kernel's accounting of each thread's CPU time\n";
  out << "top methods by exclusive samples:\n";
  for (std::size_t i = 0; i < std::min(top, s.methods.size()); ++i)
    out << "  " << std::setw(8) << s.methods[i].exclusive << std::setw(9) << s.methods[i].inclusive << "  "
        << s.methods[i].name << "\n";
  auto inclusive = s.methods;
  std::sort(inclusive.begin(), inclusive.end(), [](const auto& a, const auto& b) { return a.inclusive > b.inclusive; });
  out << "top methods by inclusive samples:\n";
  for (std::size_t i = 0; i < std::min(top, inclusive.size()); ++i)
    out << "  " << std::setw(8) << inclusive[i].inclusive << std::setw(9) << inclusive[i].exclusive << "  "
        << inclusive[i].name << "\n";
  out << "where threads wait, by the innermost managed method:\n";
  for (std::size_t i = 0; i < std::min(top, s.waits.size()); ++i)
    out << "  " << std::setw(8) << s.waits[i].exclusive << "  " << s.waits[i].name << "\n";
  out << "where threads run native code, by the innermost managed method:\n";
  for (std::size_t i = 0; i < std::min(top, s.natives.size()); ++i)
    out << "  " << std::setw(8) << s.natives[i].exclusive << "  " << s.natives[i].name << "\n";
  if (!s.sql_calls.empty()) {
    out << "SQL calls by calling method:\n";
    for (std::size_t i = 0; i < std::min(top, s.sql_calls.size()); ++i)
      out << "  " << std::setw(8) << s.sql_calls[i].count << "  " << s.sql_calls[i].what << "  <- "
          << s.sql_calls[i].caller << "\n";
  }
  if (!s.kestrel_requests_by_caller.empty()) {
    out << "Kestrel requests by the method that met them:\n";
    for (std::size_t i = 0; i < std::min(top, s.kestrel_requests_by_caller.size()); ++i)
      out << "  " << std::setw(8) << s.kestrel_requests_by_caller[i].count << "  "
          << s.kestrel_requests_by_caller[i].caller << "\n";
  }
}

void print_json(std::ostream& stream, const snapshot_summary& s, std::size_t top) {
  json_out out(stream);
  out.raw("{\"process\":").str(s.process_name).raw(",\"pid\":").num(s.pid).raw(",\"user\":").str(s.user_name);
  out.raw(",\"runtime_version\":").str(s.runtime_version);
  out.raw(",\"timer_resolution\":").num(s.timer_resolution).raw(",\"first_tick\":").num(s.first_tick);
  out.raw(",\"last_tick\":").num(s.last_tick).raw(",\"threads\":").num(s.threads);
  out.raw(",\"stacks_without_room\":").num(s.stacks_without_room);
  if (s.capture) {
    out.raw(",\"captured_on\":{\"what\":").str(s.capture->what).raw(",\"ms_into_recording\":");
    out.num(s.capture->ms_into_recording).raw(",\"tick\":").num(s.capture->tick).raw("}");
  }
  if (s.crash) {
    out.raw(",\"crash\":{\"exception\":").str(s.crash->exception_type).raw(",\"thread\":").num(s.crash->thread);
    out.raw(",\"tick\":").num(s.crash->tick).raw("}");
  }
  out.raw(",\"module_images\":{\"read\":").num(s.module_images.read).raw(",\"missing\":");
  out.num(s.module_images.missing).raw(",\"other_build\":").num(s.module_images.other_build).raw("}");
  out.raw(",\"gc_count\":").num(s.gc_count).raw(",\"suspension_ms\":").real(s.suspension_ms);
  out.raw(",\"gc_suspensions\":").num(s.gc_suspensions).raw(",\"gc_suspension_ms\":").real(s.gc_suspension_ms);
  out.raw(",\"other_suspensions\":").num(s.other_suspensions);
  out.raw(",\"other_suspension_ms\":").real(s.other_suspension_ms);
  out.raw(",\"contentions\":").num(s.contentions).raw(",\"contention_ms\":").real(s.contention_ms);
  out.raw(",\"kestrel_requests\":").num(s.kestrel_requests.size()).raw(",\"samples\":").num(s.samples);
  out.raw(",\"samples_with_stack\":").num(s.samples_with_stack);
  out.raw(",\"samples_resolved_managed\":").num(s.samples_resolved_managed);
  out.raw(",\"samples_managed\":").num(s.samples_managed).raw(",\"samples_native\":").num(s.samples_native);
  out.raw(",\"samples_waiting\":").num(s.samples_waiting);
  out.raw(",\"types_from_stacks\":").raw(s.types_from_stacks ? "true" : "false");
  out.raw(",\"types_from_kernel\":").raw(s.types_from_kernel ? "true" : "false");
  out.raw(",\"samples_other_type\":").num(s.samples_other_type).raw(",\"exceptions\":{");
  bool first = true;
  for (const auto& [type, n] : s.exceptions) {
    out.raw(first ? "" : ",").str(type).raw(":").num(n);
    first = false;
  }
  out.raw("},\"records\":[");
  first = true;
  for (const auto& [what, n] : s.records) {
    out.raw(first ? "{\"section\":" : ",{\"section\":").num(what.first).raw(",\"kind\":").num(what.second);
    out.raw(",\"count\":").num(n).raw("}");
    first = false;
  }
  out.raw("],\"methods\":[");
  for (std::size_t i = 0; i < std::min(top, s.methods.size()); ++i) {
    out.raw(i ? ",{\"name\":" : "{\"name\":").str(s.methods[i].name);
    out.raw(",\"exclusive\":").num(s.methods[i].exclusive).raw(",\"inclusive\":").num(s.methods[i].inclusive).raw("}");
  }
  auto innermost = [&](const char* name, const std::vector<method_samples>& rows) {
    out.raw("],\"").raw(name).raw("\":[");
    for (std::size_t i = 0; i < std::min(top, rows.size()); ++i) {
      out.raw(i ? ",{\"name\":" : "{\"name\":").str(rows[i].name);
      out.raw(",\"samples\":").num(rows[i].exclusive).raw("}");
    }
  };
  innermost("waits", s.waits);
  innermost("natives", s.natives);
  auto callers = [&](const char* name, const std::vector<snapshot_summary::caller_count>& rows) {
    out.raw("],\"").raw(name).raw("\":[");
    for (std::size_t i = 0; i < std::min(top, rows.size()); ++i) {
      out.raw(i ? ",{\"what\":" : "{\"what\":").str(rows[i].what).raw(",\"caller\":").str(rows[i].caller);
      out.raw(",\"count\":").num(rows[i].count).raw("}");
    }
  };
  callers("sql_calls", s.sql_calls);
  callers("kestrel_requests_by_caller", s.kestrel_requests_by_caller);
  out.raw("]}\n");
  out.flush();
}

}  // namespace tw::tools
