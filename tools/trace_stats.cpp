#include "tools/trace_stats.h"

#include "tools/json_out.h"

#include "event_pipe_api/src/dispatch.h"
#include "event_pipe_api/src/event_pipe_consumer_api.h"
#include "event_pipe_api/src/nettrace/metadata.h"
#include "tw/error/exception_text.h"

#include <filesystem>
#include <iomanip>
#include <unordered_map>

namespace tw::tools {

namespace {

using namespace tarnwell;

template <class... P>
const char* catalogue_name(collector::provider_list<P...>, std::string_view provider, std::uint32_t key) {
  const char* found = nullptr;
  auto look = [&](auto tag) {
    using T = decltype(tag);
    if (found || T::name != provider) return;
    const auto i = T::events::index_of(key);
    if (i != T::events::size) found = T::event_names[i];
  };
  (look(P{}), ...);
  return found;
}


}  // namespace

trace_stats collect_trace_stats(const std::string& file) {
  trace_stats stats;
  std::error_code ec;
  stats.file_size = std::filesystem::file_size(file, ec);
  // Counting per metadata reader keeps the hot loop to one hash lookup.
  struct counted {
    std::uint32_t key = 0;
    std::uint64_t count = 0, with_stack = 0;
  };
  std::unordered_map<const nettrace::event_pipe_metadata_reader*, counted> per_reader;
  std::vector<std::shared_ptr<nettrace::event_pipe_metadata_reader>> readers;
  auto on_event = [&](const nettrace::event_trace_record& r, bool) {
    auto [it, added] = per_reader.try_emplace(r.metadata->get(), counted{r.header.key()});
    if (added) readers.push_back(*r.metadata);
    ++it->second.count;
    if (r.stack.count != 0) ++it->second.with_stack;
    ++stats.events;
  };
  auto on_trace = [&](const nettrace::TraceObject& t) { stats.trace = t; };
  auto on_sp = [&](const nettrace::sp_block&) { ++stats.sequence_points; };
  auto handlers = std::make_shared<collector::event_pipe::event_pipe_handlers<decltype(on_event), decltype(on_trace),
                                                                              decltype(on_sp)>>(on_event, on_trace, on_sp);
  stats.status = collector::event_pipe::run_file(
      file, [](unsigned long, unsigned long, unsigned long) { return 1; }, handlers, false);
  for (const auto& [reader, entry] : per_reader) {
    const auto key = entry.key;
    const auto id = static_cast<std::uint16_t>(key >> 16);
    const auto version = static_cast<std::uint8_t>(key & 0xFF);
    auto& slot = stats.counts[{reader->provider_name(), id, version}];
    slot.count += entry.count;
    slot.with_stack += entry.with_stack;
    const char* known = catalogue_name(collector::all_providers{}, reader->provider_name(), key);
    slot.dispatched = known != nullptr;
    if (slot.event_name.empty()) slot.event_name = known ? known : reader->event_name();
  }
  return stats;
}

void print_text(std::ostream& out, const trace_stats& s) {
  if (s.trace) out << "trace: " << s.trace->to_string() << "\n";
  out << "file size: " << s.file_size << " bytes, events: " << s.events << ", sequence points: " << s.sequence_points
      << "\n";
  static const char* status_names[] = {"stopped", "finished", "failed"};
  out << "status: " << status_names[s.status.status] << ", events lost by the runtime: " << s.status.events_lost
      << "\n";
  std::string provider;
  for (const auto& [id, c] : s.counts) {
    if (std::get<0>(id) != provider) {
      provider = std::get<0>(id);
      out << provider << "\n";
    }
    out << "  id " << std::setw(5) << std::get<1>(id) << " v" << int(std::get<2>(id)) << "  " << std::setw(10)
        << c.count << "  " << (c.event_name.empty() ? "(unnamed)" : c.event_name) << (c.dispatched ? "" : " *")
        << "\n";
  }
  out << "(* not dispatched by the catalogue)\n";
}

void print_json(std::ostream& stream, const trace_stats& s) {
  json_out out(stream);
  out.raw("{\"file_size\":").num(s.file_size).raw(",\"events\":").num(s.events);
  out.raw(",\"sequence_points\":").num(s.sequence_points).raw(",\"status\":").num(s.status.status);
  out.raw(",\"events_lost\":").num(s.status.events_lost);
  if (s.trace) {
    const auto& t = *s.trace;
    out.raw(",\"trace\":{\"year\":").num(t.year).raw(",\"month\":").num(t.month).raw(",\"day\":").num(t.day);
    out.raw(",\"hour\":").num(t.hour).raw(",\"minute\":").num(t.minute).raw(",\"second\":").num(t.second);
    out.raw(",\"milliseconds\":").num(t.milliseconds).raw(",\"sync_time_qpc\":").num(t.sync_time_qpc);
    out.raw(",\"qpc_frequency\":").num(t.qpc_frequency).raw(",\"pointer_size\":").num(t.pointer_size);
    out.raw(",\"process_id\":").num(t.process_id).raw(",\"number_of_processors\":").num(t.number_of_processors);
    out.raw(",\"expected_sampling_rate\":").num(t.expected_sampling_rate).raw("}");
  }
  out.raw(",\"counts\":[");
  bool first = true;
  for (const auto& [id, c] : s.counts) {
    out.raw(first ? "{\"provider\":" : ",{\"provider\":").str(std::get<0>(id));
    out.raw(",\"id\":").num(std::get<1>(id)).raw(",\"version\":").num(int(std::get<2>(id)));
    out.raw(",\"count\":").num(c.count).raw(",\"name\":").str(c.event_name);
    out.raw(",\"dispatched\":").boolean(c.dispatched).raw("}");
    first = false;
  }
  out.raw("]}\n");
  out.flush();
}

}  // namespace tw::tools
