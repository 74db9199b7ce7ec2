#include "tools/snapshot_report.h"

#include "tools/json_out.h"
#include "tools/snapshot_events.h"
#include "tools/snapshot_samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
#include <unordered_map>

namespace tw::tools {

extern const char report_page[];

namespace {

// The timeline's resolution: at most this many stretches of time, each a
// whole number of milliseconds. The flame graph and the tables count any
// run of them.
constexpr std::size_t max_buckets = 500;

// What the timeline marks, as the page knows them.
enum mark_kind : std::uint8_t { gc, suspension, exception, contention, request, sql };
// Past this many marks of one kind the rest are counted, not drawn.
constexpr std::size_t max_marks = 20000;

struct mark {
  mark_kind kind;
  std::uint32_t thread;
  double from_ms, to_ms;
  std::string label;
};

struct thread_row {
  std::vector<std::uint32_t> cpu, wall;  // samples per bucket
  std::uint64_t cpu_total = 0, wall_total = 0;
};

class report_builder final : public snapshot_events {
 public:
  report_builder(const snapshot_model& model, double bucket_ms, std::size_t buckets)
      : model_(model), stacks_(model), bucket_ms_(bucket_ms), buckets_(buckets) {
    nodes_.push_back({0xFFFFFFFFu, 0xFFFFFFFFu});  // the root
  }

  void sample(const stream_record& r, std::uint8_t type, std::uint32_t leaf) override {
    // A leaf and type seen before has its node: most samples repeat a stack.
    const auto [known, added] = node_of_leaf_.try_emplace((std::uint64_t{leaf} << 8) | type, 0);
    if (added) {
      std::uint32_t node = 0;
      for (const auto f : stacks_.of({r.timestamp, r.thread_id, leaf, type})) {
        const auto [it, new_node] =
            children_.try_emplace((std::uint64_t{node} << 32) | f, static_cast<std::uint32_t>(nodes_.size()));
        if (new_node) nodes_.push_back({node, f});
        node = it->second;
      }
      known->second = node;
    }
    const std::uint32_t node = known->second;
    // The sampler's period, as the median gap between a thread's samples.
    const auto [last, first] = last_sample_.try_emplace(r.thread_id, r.timestamp);
    if (!first && r.timestamp > last->second && gaps_.size() < 200000)
      gaps_.push_back(model_.ms_between(last->second, r.timestamp));
    last->second = r.timestamp;
    const auto b = bucket(r.timestamp);
    auto& counts = counts_[(std::uint64_t{b} << 32) | node];
    auto& row = thread(r.thread_id);
    ++row.wall[b];
    ++row.wall_total;
    if (on_cpu(type)) {
      ++counts.first;
      ++row.cpu[b];
      ++row.cpu_total;
    } else {
      ++counts.second;
    }
  }

  void gc_start(const stream_record& r, std::uint32_t count, std::uint32_t generation, std::uint32_t,
                std::uint32_t) override {
    std::string label = "GC #";
    label += std::to_string(count);
    label += ", generation ";
    label += std::to_string(generation);
    open_gcs_[count] = marks_.size();
    add({mark_kind::gc, r.thread_id, ms(r.timestamp), ms(r.timestamp), std::move(label)});
  }
  void gc_end(const stream_record& r, std::uint32_t count) override { close(open_gcs_, count, r); }
  void suspension_start(const stream_record& r, std::uint32_t reason) override {
    std::string label = "runtime suspended ";
    label += reason == 0 ? "(the CPU sampler, or other)" : reason == 1 || reason == 6 ? "for a GC" : "";
    open_suspensions_[r.thread_id] = marks_.size();
    add({mark_kind::suspension, r.thread_id, ms(r.timestamp), ms(r.timestamp), std::move(label)});
  }
  void suspension_end(const stream_record& r) override { close(open_suspensions_, r.thread_id, r); }
  void contention_start(const stream_record& r) override {
    open_contentions_[r.thread_id] = marks_.size();
    add({mark_kind::contention, r.thread_id, ms(r.timestamp), ms(r.timestamp), "lock contention"});
  }
  void contention_end(const stream_record& r) override { close(open_contentions_, r.thread_id, r); }
  void exception(const stream_record& r, const std::string& type, const std::string& message) override {
    add({mark_kind::exception, r.thread_id, ms(r.timestamp), ms(r.timestamp), message.empty() ? type : type + ": " + message});
  }
  void kestrel(const stream_record& r, kestrel_event what, const std::string& connection,
               const std::string& request) override {
    if (what == kestrel_event::request_start) {
      open_requests_[connection + "/" + request] = marks_.size();
      add({mark_kind::request, r.thread_id, ms(r.timestamp), ms(r.timestamp), "request " + request});
    } else if (what == kestrel_event::request_stop) {
      close(open_requests_, connection + "/" + request, r);
    }
  }
  void sql(const stream_record& r, sql_event what, const std::string& message) override {
    if (what != sql_event::trace && what != sql_event::scope_start) return;
    auto call = sql_api_call(message);
    if (!call.empty()) add({mark_kind::sql, r.thread_id, ms(r.timestamp), ms(r.timestamp), std::move(call)});
  }

  void write(json_out& out) {
    double period_ms = 1;
    if (!gaps_.empty()) {
      std::nth_element(gaps_.begin(), gaps_.begin() + static_cast<std::ptrdiff_t>(gaps_.size() / 2), gaps_.end());
      period_ms = gaps_[gaps_.size() / 2];
    }
    const auto& frames = model_.frames();
    out.raw(",\"bucket_ms\":").real(bucket_ms_).raw(",\"buckets\":").num(buckets_);
    out.raw(",\"period_ms\":").real(period_ms);
    // Frames: name, then 0 the program's own method, 1 another managed
    // method, 2 native code, 3 what stands for no code of its own.
    out.raw(",\"frames\":[");
    for (std::size_t f = 0; f < stacks_.count(); ++f) {
      int kind = 3;
      if (f < frames.size())
        kind = frames[f].kind == frame_kind::managed ? (frames[f].application ? 0 : 1)
               : frames[f].kind == frame_kind::native ? 2 : 3;
      out.raw(f ? ",[" : "[").str(stacks_.name(static_cast<std::uint32_t>(f))).raw(",").num(kind).raw("]");
    }
    // Nodes: how far back the parent is (a parent always comes before its
    // children, most often just before), then the frame.
    out.raw("],\"nodes\":[");
    for (std::size_t n = 1; n < nodes_.size(); ++n)
      out.raw(n > 1 ? "," : "").num(n - nodes_[n].first).raw(",").num(nodes_[n].second);
    // Samples: bucket, node, on a CPU, waiting.
    std::vector<std::pair<std::uint64_t, std::pair<std::uint32_t, std::uint32_t>>> counts(counts_.begin(),
                                                                                         counts_.end());
    std::sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    out.raw("],\"samples\":[");
    bool first = true;
    for (const auto& [key, n] : counts) {
      out.raw(first ? "" : ",").num(key >> 32).raw(",").num(key & 0xFFFFFFFFu).raw(",").num(n.first).raw(",");
      out.num(n.second);
      first = false;
    }
    // Threads, busiest first; those with events and no samples last.
    std::vector<std::pair<std::uint32_t, thread_row*>> rows;
    for (auto& [id, row] : threads_) rows.emplace_back(id, &row);
    std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
      return a.second->cpu_total != b.second->cpu_total ? a.second->cpu_total > b.second->cpu_total
                                                        : a.second->wall_total > b.second->wall_total;
    });
    std::unordered_map<std::uint32_t, std::size_t> index;
    out.raw("],\"threads\":[");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      index[rows[i].first] = i;
      out.raw(i ? ",{\"id\":" : "{\"id\":").num(rows[i].first).raw(",\"name\":").str(thread_label(model_, rows[i].first));
      out.raw(",\"cpu\":");
      sparse(out, rows[i].second->cpu);
      out.raw(",\"wall\":");
      sparse(out, rows[i].second->wall);
      out.raw("}");
    }
    // Marks: kind, thread row, from, to (ms), label.
    out.raw("],\"marks\":[");
    first = true;
    for (const auto& m : marks_) {
      const auto row = index.find(m.thread);
      out.raw(first ? "[" : ",[").num(static_cast<int>(m.kind)).raw(",");
      out.num(row == index.end() ? -1 : static_cast<long>(row->second)).raw(",").fixed(m.from_ms).raw(",");
      out.fixed(m.to_ms).raw(",").str(m.label).raw("]");
      first = false;
    }
    out.raw("],\"marks_left_out\":").num(left_out_);
  }

 private:
  double ms(std::int64_t tick) const { return model_.ms_since_start(tick); }
  std::uint32_t bucket(std::int64_t tick) const {
    const double b = std::floor(ms(tick) / bucket_ms_);
    return static_cast<std::uint32_t>(std::clamp(b, 0.0, static_cast<double>(buckets_ - 1)));
  }
  thread_row& thread(std::uint32_t id) {
    auto [it, added] = threads_.try_emplace(id);
    if (added) {
      it->second.cpu.resize(buckets_);
      it->second.wall.resize(buckets_);
    }
    return it->second;
  }
  void add(mark m) {
    thread(m.thread);
    if (++kinds_[m.kind] > max_marks) {
      ++left_out_;
      return;
    }
    marks_.push_back(std::move(m));
  }
  // Ends the open mark under `key` (one that was drawn) at the record.
  template <class Key>
  void close(std::map<Key, std::size_t>& open, const Key& key, const stream_record& r) {
    const auto it = open.find(key);
    if (it == open.end()) return;
    if (it->second < marks_.size()) marks_[it->second].to_ms = std::max(marks_[it->second].from_ms, ms(r.timestamp));
    open.erase(it);
  }
  // Per bucket, as [bucket, count, ...] for the buckets that have any.
  static void sparse(json_out& out, const std::vector<std::uint32_t>& counts) {
    out.raw("[");
    bool first = true;
    for (std::size_t b = 0; b < counts.size(); ++b) {
      if (counts[b] == 0) continue;
      out.raw(first ? "" : ",").num(b).raw(",").num(counts[b]);
      first = false;
    }
    out.raw("]");
  }

  const snapshot_model& model_;
  sample_stacks stacks_;
  const double bucket_ms_;
  const std::size_t buckets_;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> nodes_;  // parent, frame
  std::unordered_map<std::uint64_t, std::uint32_t> children_;   // parent << 32 | frame -> node
  std::unordered_map<std::uint64_t, std::uint32_t> node_of_leaf_;  // leaf << 8 | type -> node
  std::unordered_map<std::uint64_t, std::pair<std::uint32_t, std::uint32_t>> counts_;  // bucket << 32 | node
  std::map<std::uint32_t, thread_row> threads_;
  std::vector<mark> marks_;
  std::map<mark_kind, std::size_t> kinds_;
  std::uint64_t left_out_ = 0;
  std::map<std::uint32_t, std::size_t> open_gcs_, open_suspensions_, open_contentions_;
  std::map<std::string, std::size_t> open_requests_;
  std::unordered_map<std::uint32_t, std::int64_t> last_sample_;
  std::vector<double> gaps_;
};

// A JSON text safe inside a script element: '<' only ever stands in its
// strings, and there it becomes \u003c, so no "</script>" ends the element.
void write_in_script(std::FILE* out, const std::string& json) {
  std::string safe;
  safe.reserve(json.size() + json.size() / 16);
  for (const char c : json) {
    if (c == '<')
      safe += "\\u003c";
    else
      safe += c;
  }
  if (std::fwrite(safe.data(), 1, safe.size(), out) != safe.size())
    throw std::runtime_error(std::string("Cannot write the report: ") + std::strerror(errno));
}

}  // namespace

void write_report(const snapshot_model& model, const std::string& summary, std::FILE* out) {
  const double span_ms = std::max(0.0, model.ms_between(model.first_tick(), model.last_tick()));
  // Whole milliseconds per bucket, so that a selection's bounds read plainly.
  const double bucket_ms = std::max(1.0, std::ceil(span_ms / max_buckets));
  const auto buckets = static_cast<std::size_t>(std::max(1.0, std::ceil(span_ms / bucket_ms)));
  report_builder builder(model, bucket_ms, buckets);
  decode_events(model, builder);

  std::string json;
  {
    std::ostringstream text;
    json_out data(text);
    const auto& process = model.process();
    data.raw("{\"title\":").str(process.process_name.empty() ? "snapshot" : process.process_name);
    data.raw(",\"pid\":").num(process.pid).raw(",\"summary\":").str(summary);
    data.raw(",\"span_ms\":").real(span_ms);
    if (const auto& c = model.capture()) data.raw(",\"capture\":{\"ms\":").fixed(model.ms_since_start(c->tick)).raw(",\"what\":").str(c->what).raw("}");
    if (const auto& c = model.crash())
      data.raw(",\"crash\":{\"ms\":").fixed(model.ms_since_start(c->tick)).raw(",\"what\":").str("unhandled " + c->exception_type).raw("}");
    builder.write(data);
    data.raw("}");
    data.flush();
    json = text.str();
  }
  const char* page = report_page;
  const char* slot = std::strstr(page, "__REPORT_DATA__");
  if (slot == nullptr) throw std::logic_error("The report's page has no place for its data");
  const auto put = [&](const char* from, std::size_t n) {
    if (std::fwrite(from, 1, n, out) != n)
      throw std::runtime_error(std::string("Cannot write the report: ") + std::strerror(errno));
  };
  put(page, static_cast<std::size_t>(slot - page));
  write_in_script(out, json);
  const char* rest = slot + std::strlen("__REPORT_DATA__");
  put(rest, std::strlen(rest));
}

}  // namespace tw::tools
