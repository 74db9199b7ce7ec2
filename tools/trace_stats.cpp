#include "tools/trace_stats.h"

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

void json_string(std::ostream& out, const std::string& s) {
  out << '"';
  for (const char c : s) {
    if (c == '"' || c == '\\')
      out << '\\' << c;
    else if (static_cast<unsigned char>(c) < 0x20)
      out << "\\u" << std::hex << std::setw(4) << std::setfill('0') << int(c) << std::dec << std::setfill(' ');
    else
      out << c;
  }
  out << '"';
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

void print_json(std::ostream& out, const trace_stats& s) {
  out << "{\"file_size\":" << s.file_size << ",\"events\":" << s.events << ",\"sequence_points\":" << s.sequence_points
      << ",\"status\":" << s.status.status << ",\"events_lost\":" << s.status.events_lost;
  if (s.trace) {
    const auto& t = *s.trace;
    out << ",\"trace\":{\"year\":" << t.year << ",\"month\":" << t.month << ",\"day\":" << t.day
        << ",\"hour\":" << t.hour << ",\"minute\":" << t.minute << ",\"second\":" << t.second
        << ",\"milliseconds\":" << t.milliseconds << ",\"sync_time_qpc\":" << t.sync_time_qpc
        << ",\"qpc_frequency\":" << t.qpc_frequency << ",\"pointer_size\":" << t.pointer_size
        << ",\"process_id\":" << t.process_id << ",\"number_of_processors\":" << t.number_of_processors
        << ",\"expected_sampling_rate\":" << t.expected_sampling_rate << "}";
  }
  out << ",\"counts\":[";
  bool first = true;
  for (const auto& [id, c] : s.counts) {
    out << (first ? "" : ",") << "{\"provider\":";
    json_string(out, std::get<0>(id));
    out << ",\"id\":" << std::get<1>(id) << ",\"version\":" << int(std::get<2>(id)) << ",\"count\":" << c.count
        << ",\"name\":";
    json_string(out, c.event_name);
    out << ",\"dispatched\":" << (c.dispatched ? "true" : "false") << "}";
    first = false;
  }
  out << "]}\n";
}

}  // namespace tw::tools
