#include "tools/snapshot_inspect.h"

#include "tools/json_out.h"

#include "collector/src/collector/snapshot_format.h"

#include "tools/snapshot_events.h"
#include "tools/snapshot_samples.h"

#include <algorithm>
#include <cmath>
#include <iomanip>
#include <set>
#include <sstream>
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
    auto call = sql_api_call(message);
    if (!call.empty()) ++sql_calls_[{std::move(call), caller(r)}];
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
    auto& totals = s_.suspensions[it->second.second];
    ++totals.count;
    totals.ms += model_.ms_between(it->second.first, r.timestamp);
    suspended_.erase(it);
  }
  void allocation_tick(const stream_record& r, std::uint32_t bytes, std::uint32_t heap) override {
    ++s_.allocation_ticks;
    s_.allocated_by_heap[heap] += bytes;
    auto& row = allocations_[caller(r)];
    ++row.first;
    row.second += bytes;
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
      case kestrel_event::request_start: {
        auto id = connection + "/" + request;
        s_.kestrel_requests.push_back(id);
        auto who = caller(r);
        ++request_counts_[who];
        open_requests_[std::move(id)] = {r.timestamp, std::move(who)};
        break;
      }
      case kestrel_event::request_stop: {
        auto id = connection + "/" + request;
        if (const auto it = open_requests_.find(id); it != open_requests_.end()) {
          request_ms_[it->second.second].push_back(model_.ms_between(it->second.first, r.timestamp));
          open_requests_.erase(it);
        }
        s_.kestrel_request_stops.push_back(std::move(id));
        break;
      }
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
    std::vector<double> all;
    for (const auto& [who, n] : request_counts_) {
      auto& times = request_ms_[who];
      all.insert(all.end(), times.begin(), times.end());
      s_.requests_by_caller.push_back(timed(who, n, times));
    }
    std::stable_sort(s_.requests_by_caller.begin(), s_.requests_by_caller.end(),
                     [](const auto& a, const auto& b) { return a.count > b.count; });
    s_.requests = timed({}, s_.kestrel_requests.size(), all);
    for (const auto& [who, row] : allocations_) s_.allocations_by_caller.push_back({who, row.first, row.second});
    std::stable_sort(s_.allocations_by_caller.begin(), s_.allocations_by_caller.end(),
                     [](const auto& a, const auto& b) { return a.bytes > b.bytes; });
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

  // The nearest-rank percentiles of the requests' times.
  static snapshot_summary::request_times timed(std::string caller, std::uint64_t count, std::vector<double>& ms) {
    snapshot_summary::request_times t{std::move(caller), count, ms.size()};
    if (ms.empty()) return t;
    std::sort(ms.begin(), ms.end());
    // ceil(p * n), with p * n a whole number not pushed past itself by rounding.
    auto rank = [&](double p) {
      return ms[static_cast<std::size_t>(std::ceil(p * static_cast<double>(ms.size()) - 1e-9)) - 1];
    };
    t.p50_ms = rank(0.5);
    t.p95_ms = rank(0.95);
    t.max_ms = ms.back();
    return t;
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
  std::map<std::pair<std::string, std::string>, std::uint64_t> sql_calls_;  // (what, caller)
  // Requests by caller; the open ones by "connection/request": start, caller.
  std::map<std::string, std::uint64_t> request_counts_;
  std::map<std::string, std::vector<double>> request_ms_;
  std::unordered_map<std::string, std::pair<std::int64_t, std::string>> open_requests_;
  std::map<std::string, std::pair<std::uint64_t, std::uint64_t>> allocations_;  // caller: ticks, bytes
};

}  // namespace

std::string suspension_cause(std::uint32_t reason) {
  // The runtime's GCSuspendEEReason values.
  switch (reason) {
    case 0: return "other (the CPU sampler among them)";
    case 1: return "for garbage collections";
    case 2: return "for an app domain's shutdown";
    case 3: return "for code pitching";
    case 4: return "for the runtime's shutdown";
    case 5: return "for the debugger";
    case 6: return "to prepare garbage collections";
    case 7: return "for the debugger's sweep";
  }
  std::string cause = "for reason ";
  cause += std::to_string(reason);
  return cause;
}

namespace {

// What a stream's records are, as inspect names them.
const char* stream_name(std::uint16_t section) {
  switch (section) {
    case format::runtime_stream.id: return "runtime";
    case format::task_stream.id: return "tasks";
    case format::sqlclient_stream.id: return "SqlClient";
    case format::kestrel_stream.id: return "Kestrel";
    case format::sample_stream.id: return "samples";
    case format::session_stream.id: return "session";
  }
  return nullptr;
}

std::string kind_name(std::uint16_t section, std::uint16_t kind) {
  if (kind == format::call_stack_record) return "call stack";
  const char* name = nullptr;
  switch (section) {
    case format::runtime_stream.id: {
      namespace k = format::runtime_kind;
      switch (kind) {
        case k::gc_start: name = "GC start"; break;
        case k::gc_end: name = "GC end"; break;
        case k::restart_end: name = "restart end"; break;
        case k::suspend_v0: case k::suspend_v1: name = "suspension"; break;
        case k::allocation_tick_v0: case k::allocation_tick_v1: case k::allocation_tick_v2: name = "allocation tick"; break;
        case k::finalizers_begin: name = "finalizers"; break;
        case k::exception: name = "exception"; break;
        case k::contention_start: case k::contention_start_v2: name = "contention start"; break;
        case k::contention_stop: name = "contention stop"; break;
        case k::jit_started: name = "JIT start"; break;
        case k::il_map_v0: case k::il_map_v1: name = "IL map"; break;
        case k::heap_stats_v0: case k::heap_stats_v1: case k::heap_stats_v2: name = "heap stats"; break;
        case k::debug_ipc_start: name = "debugger call start"; break;
        case k::debug_ipc_stop: name = "debugger call stop"; break;
      }
      break;
    }
    case format::task_stream.id: {
      namespace k = format::task_kind;
      switch (kind) {
        case k::wait_begin: name = "task wait"; break;
        case k::operation_begin: name = "operation start"; break;
        case k::operation_end: name = "operation end"; break;
        case k::work_begin: name = "work start"; break;
        case k::work_end: name = "work end"; break;
        case k::scheduled: name = "task scheduled"; break;
      }
      break;
    }
    case format::sqlclient_stream.id: {
      namespace k = format::sql_kind;
      switch (kind) {
        case k::trace: name = "trace"; break;
        case k::scope_start: name = "scope start"; break;
        case k::scope_stop: name = "scope stop"; break;
        case k::pooler_scope: name = "pooler scope"; break;
        case k::correlation: name = "correlation"; break;
      }
      break;
    }
    case format::kestrel_stream.id: {
      namespace k = format::kestrel_kind;
      switch (kind) {
        case k::connection_start: name = "connection start"; break;
        case k::connection_stop: name = "connection stop"; break;
        case k::request_start: name = "request start"; break;
        case k::request_stop: name = "request stop"; break;
      }
      break;
    }
    case format::sample_stream.id:
      if (kind == format::sample_kind::thread_start) name = "thread start";
      if (kind == format::sample_kind::sample) name = "sample";
      break;
    case format::session_stream.id: {
      namespace k = format::session_kind;
      switch (kind) {
        case k::session_start: name = "session start"; break;
        case k::session_stop: name = "session stop"; break;
        case k::main_thread: name = "main thread"; break;
        case k::thread_name: name = "thread name"; break;
        case k::capture: name = "capture"; break;
        case k::crash: name = "crash"; break;
      }
      break;
    }
  }
  if (name) return name;
  std::string numbered = "kind ";
  numbered += std::to_string(kind);
  return numbered;
}

// A runtime version the snapshot does not know is empty, or all zeros.
bool known_version(const std::string& v) { return !v.empty() && v.find_first_not_of("0.") != std::string::npos; }

const char* heap_name(std::uint32_t heap) {
  switch (heap) {
    case 0: return "small objects";
    case 1: return "large objects";
    case 2: return "pinned objects";
  }
  return "other heaps";
}

}  // namespace

snapshot_summary inspect_snapshot(const std::string& index_path, std::optional<double> from_s,
                                  std::optional<double> to_s) {
  return inspect_snapshot(snapshot_model(index_path), from_s, to_s);
}

snapshot_summary inspect_snapshot(const snapshot_model& model, std::optional<double> from_s,
                                  std::optional<double> to_s) {
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
  s.from_s = from_s;
  s.to_s = to_s;
  tick_range range;
  const auto tick_at = [&](double seconds) {
    const double tick = static_cast<double>(model.first_tick()) + seconds * static_cast<double>(model.timer_resolution());
    return tick >= 9.2e18 ? INT64_MAX : static_cast<std::int64_t>(std::ceil(tick));
  };
  if (from_s) range.from = tick_at(*from_s);
  if (to_s) range.to = tick_at(*to_s);
  summarise to(model, s);
  decode_events(model, to, range);
  to.finish();
  std::sort(s.methods.begin(), s.methods.end(), [](const auto& a, const auto& b) {
    return a.exclusive != b.exclusive ? a.exclusive > b.exclusive : a.inclusive > b.inclusive;
  });
  return s;
}

void print_text(std::ostream& out, const snapshot_summary& s, std::size_t top) {
  out << "process: " << s.process_name << " (pid " << s.pid << ")";
  if (known_version(s.runtime_version)) out << ", runtime " << s.runtime_version;
  out << "\ncommand line: " << s.command_line << "\n";
  if (!s.user_name.empty()) out << "user: " << s.user_name << "\n";
  const auto seconds_in = [&](std::int64_t tick) {
    return s.timer_resolution
               ? (static_cast<double>(tick) - static_cast<double>(s.first_tick)) / static_cast<double>(s.timer_resolution)
               : 0.0;
  };
  out << std::fixed << std::setprecision(1) << "time span: " << seconds_in(s.last_tick) * 1000 << " ms\n";
  if (s.from_s || s.to_s) {
    out << "counted: the events";
    if (s.from_s) out << " from " << std::setprecision(3) << *s.from_s << " s";
    if (s.to_s) out << " up to " << std::setprecision(3) << *s.to_s << " s";
    out << std::setprecision(1) << "\n";
  }
  if (s.capture)
    out << "captured on: " << s.capture->what << " at " << s.capture->ms_into_recording / 1000.0 << " s ("
        << seconds_in(s.capture->tick) << " s into this window)\n";
  if (s.crash)
    out << "crashed: unhandled " << s.crash->exception_type << " on thread " << s.crash->thread << " at "
        << seconds_in(s.crash->tick) << " s\n";
  out << "threads: " << s.threads << "\n";
  if (s.stacks_without_room != 0)
    out << "the call tree reached its limit at " << seconds_in(s.first_without_room) << " s; "
        << s.stacks_without_room << " events after it have no stack\n";
  out << "module images: " << s.module_images.read << " read, " << s.module_images.missing << " missing, "
      << s.module_images.other_build << " of another build\n";
  out << "garbage collections: " << s.gc_count << "\n";
  // Tables: numbers right-aligned under their headers, the name last.
  const auto row = [&](std::initializer_list<std::string> cells, const std::string& last) {
    for (const auto& c : cells) out << std::setw(11) << c;
    out << "  " << last << "\n";
  };
  const auto ms = [](double v) {
    std::ostringstream o;
    o << std::fixed << std::setprecision(1) << v;
    return o.str();
  };
  out << "runtime suspensions:";
  if (s.suspensions.empty()) out << " none";
  out << "\n";
  if (!s.suspensions.empty()) row({"count", "ms"}, "cause");
  for (const auto& [reason, t] : s.suspensions) row({std::to_string(t.count), ms(t.ms)}, suspension_cause(reason));
  out << "exceptions:" << (s.exceptions.empty() ? " none" : "") << "\n";
  if (!s.exceptions.empty()) row({"count"}, "type");
  for (const auto& [type, n] : s.exceptions) row({std::to_string(n)}, type);
  out << "contention: " << s.contentions << " waits, " << s.contention_ms << " ms\n";
  out << "Kestrel requests: " << s.kestrel_requests.size();
  if (!s.kestrel_requests.empty()) {
    out << " (" << s.requests.ended << " ended)\n";
    row({"count", "p50 ms", "p95 ms", "max ms"}, "met by");
    const auto times = [&](const snapshot_summary::request_times& t, const std::string& who) {
      if (t.ended == 0) return row({std::to_string(t.count), "-", "-", "-"}, who);
      row({std::to_string(t.count), ms(t.p50_ms), ms(t.p95_ms), ms(t.max_ms)}, who);
    };
    times(s.requests, "(all)");
    for (std::size_t i = 0; i < std::min(top, s.requests_by_caller.size()); ++i)
      times(s.requests_by_caller[i], s.requests_by_caller[i].caller);
  } else {
    out << "\n";
  }
  if (s.allocation_ticks) {
    std::uint64_t bytes = 0;
    for (const auto& [heap, n] : s.allocated_by_heap) bytes += n;
    out << "allocations (sampled each ~100 KB): " << s.allocation_ticks << " ticks, " << ms(bytes / 1048576.0)
        << " MB";
    const char* sep = " (";
    for (const auto& [heap, n] : s.allocated_by_heap) {
      out << sep << heap_name(heap) << " " << ms(n / 1048576.0) << " MB";
      sep = ", ";
    }
    out << ")\n";
    row({"ticks", "MB"}, "allocated by");
    for (std::size_t i = 0; i < std::min(top, s.allocations_by_caller.size()); ++i)
      row({std::to_string(s.allocations_by_caller[i].ticks), ms(s.allocations_by_caller[i].bytes / 1048576.0)},
          s.allocations_by_caller[i].caller);
  }
  out << "records per stream and kind:\n";
  row({"count", "stream"}, "kind");
  for (const auto& [what, n] : s.records) {
    const char* stream = stream_name(what.first);
    row({std::to_string(n), stream ? std::string(stream) : std::to_string(what.first)}, kind_name(what.first, what.second));
  }
  out << "samples: " << s.samples << " (" << s.samples_with_stack << " with stacks, " << s.samples_resolved_managed
      << " with a managed method at the leaf)\n";
  out << "  threads running managed code: " << s.samples_managed << " (the methods below count these)\n";
  out << "  threads running native code: " << s.samples_native << "\n";
  out << "  threads waiting: " << s.samples_waiting << "\n";
  if (s.samples_other_type) out << "  of no known type: " << s.samples_other_type << "\n";
  if (s.types_from_stacks) {
    out << "  CPU kinds";
    if (known_version(s.runtime_version)) out << " of runtime " << s.runtime_version;
    out << " inferred from the stacks: its sample flag is unreliable\n";
  }
  if (s.types_from_kernel) out << "  CPU kinds from the kernel's accounting of each thread's CPU time\n";
  const auto methods = [&](const char* title, const std::vector<method_samples>& rows) {
    out << title << "\n";
    row({"exclusive", "inclusive"}, "method");
    for (std::size_t i = 0; i < std::min(top, rows.size()); ++i)
      row({std::to_string(rows[i].exclusive), std::to_string(rows[i].inclusive)}, rows[i].name);
  };
  methods("top methods by exclusive samples:", s.methods);
  auto inclusive = s.methods;
  std::stable_sort(inclusive.begin(), inclusive.end(), [](const auto& a, const auto& b) { return a.inclusive > b.inclusive; });
  methods("top methods by inclusive samples:", inclusive);
  const auto innermost = [&](const char* title, const std::vector<method_samples>& rows) {
    out << title << "\n";
    row({"samples"}, "method");
    for (std::size_t i = 0; i < std::min(top, rows.size()); ++i) row({std::to_string(rows[i].exclusive)}, rows[i].name);
  };
  innermost("where threads wait, by the innermost managed method:", s.waits);
  innermost("where threads run native code, by the innermost managed method:", s.natives);
  if (!s.sql_calls.empty()) {
    out << "SQL calls by calling method:\n";
    row({"count"}, "call  <- caller");
    for (std::size_t i = 0; i < std::min(top, s.sql_calls.size()); ++i)
      row({std::to_string(s.sql_calls[i].count)}, s.sql_calls[i].what + "  <- " + s.sql_calls[i].caller);
  }
}

void print_json(std::ostream& stream, const snapshot_summary& s, std::size_t top) {
  json_out out(stream);
  out.raw("{\"process\":").str(s.process_name).raw(",\"pid\":").num(s.pid);
  if (!s.user_name.empty()) out.raw(",\"user\":").str(s.user_name);
  if (known_version(s.runtime_version)) out.raw(",\"runtime_version\":").str(s.runtime_version);
  out.raw(",\"timer_resolution\":").num(s.timer_resolution).raw(",\"first_tick\":").num(s.first_tick);
  out.raw(",\"last_tick\":").num(s.last_tick);
  if (s.from_s) out.raw(",\"from_s\":").real(*s.from_s);
  if (s.to_s) out.raw(",\"to_s\":").real(*s.to_s);
  out.raw(",\"threads\":").num(s.threads);
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
  out.raw(",\"gc_count\":").num(s.gc_count).raw(",\"suspensions\":[");
  bool first = true;
  for (const auto& [reason, t] : s.suspensions) {
    out.raw(first ? "{\"reason\":" : ",{\"reason\":").num(reason).raw(",\"cause\":").str(suspension_cause(reason));
    out.raw(",\"count\":").num(t.count).raw(",\"ms\":").real(t.ms).raw("}");
    first = false;
  }
  out.raw("],\"contentions\":").num(s.contentions).raw(",\"contention_ms\":").real(s.contention_ms);
  const auto times = [&](const snapshot_summary::request_times& t) {
    out.raw(",\"count\":").num(t.count).raw(",\"ended\":").num(t.ended);
    out.raw(",\"p50_ms\":").real(t.p50_ms).raw(",\"p95_ms\":").real(t.p95_ms).raw(",\"max_ms\":").real(t.max_ms).raw("}");
  };
  out.raw(",\"kestrel_requests\":").num(s.kestrel_requests.size()).raw(",\"request_times\":{\"caller\":\"(all)\"");
  times(s.requests);
  out.raw(",\"allocation_ticks\":").num(s.allocation_ticks).raw(",\"allocated_by_heap\":{");
  first = true;
  for (const auto& [heap, n] : s.allocated_by_heap) {
    out.raw(first ? "" : ",").str(heap_name(heap)).raw(":").num(n);
    first = false;
  }
  out.raw("},\"samples\":").num(s.samples);
  out.raw(",\"samples_with_stack\":").num(s.samples_with_stack);
  out.raw(",\"samples_resolved_managed\":").num(s.samples_resolved_managed);
  out.raw(",\"samples_managed\":").num(s.samples_managed).raw(",\"samples_native\":").num(s.samples_native);
  out.raw(",\"samples_waiting\":").num(s.samples_waiting);
  out.raw(",\"types_from_stacks\":").raw(s.types_from_stacks ? "true" : "false");
  out.raw(",\"types_from_kernel\":").raw(s.types_from_kernel ? "true" : "false");
  out.raw(",\"samples_other_type\":").num(s.samples_other_type).raw(",\"exceptions\":{");
  first = true;
  for (const auto& [type, n] : s.exceptions) {
    out.raw(first ? "" : ",").str(type).raw(":").num(n);
    first = false;
  }
  out.raw("},\"records\":[");
  first = true;
  for (const auto& [what, n] : s.records) {
    out.raw(first ? "{\"section\":" : ",{\"section\":").num(what.first).raw(",\"kind\":").num(what.second);
    if (const char* name = stream_name(what.first)) out.raw(",\"stream\":").str(name);
    out.raw(",\"kind_name\":").str(kind_name(what.first, what.second));
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
  out.raw("],\"sql_calls\":[");
  for (std::size_t i = 0; i < std::min(top, s.sql_calls.size()); ++i) {
    out.raw(i ? ",{\"what\":" : "{\"what\":").str(s.sql_calls[i].what).raw(",\"caller\":").str(s.sql_calls[i].caller);
    out.raw(",\"count\":").num(s.sql_calls[i].count).raw("}");
  }
  out.raw("],\"kestrel_requests_by_caller\":[");
  for (std::size_t i = 0; i < std::min(top, s.requests_by_caller.size()); ++i) {
    out.raw(i ? ",{\"caller\":" : "{\"caller\":").str(s.requests_by_caller[i].caller);
    times(s.requests_by_caller[i]);
  }
  out.raw("],\"allocations_by_caller\":[");
  for (std::size_t i = 0; i < std::min(top, s.allocations_by_caller.size()); ++i) {
    out.raw(i ? ",{\"caller\":" : "{\"caller\":").str(s.allocations_by_caller[i].caller);
    out.raw(",\"ticks\":").num(s.allocations_by_caller[i].ticks).raw(",\"bytes\":").num(s.allocations_by_caller[i].bytes).raw("}");
  }
  out.raw("]}\n");
  out.flush();
}

}  // namespace tw::tools
