#include "tools/snapshot_inspect.h"

#include "tools/snapshot_reader.h"
#include "tools/snapshot_streams.h"
#include "tw/utility/utf.h"

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <set>
#include <sstream>
#include <unordered_map>

namespace tw::tools {

namespace {

template <class T>
T load(std::span<const std::uint8_t> b, std::size_t at) {
  T v{};
  if (at + sizeof v <= b.size()) std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}

std::string utf16z_at(const std::vector<std::uint8_t>& b, std::size_t& at) {
  std::u16string s;
  while (at + 1 < b.size()) {
    const char16_t c = static_cast<char16_t>(b[at] | (b[at + 1] << 8));
    at += 2;
    if (c == 0) break;
    s += c;
  }
  return kv521::utf::utf16_to_utf8(s);
}

// ECMA-335 compressed length and UTF-8 text, as section 0 writes strings.
std::string string_at(const std::vector<std::uint8_t>& b, std::size_t& at) {
  if (at >= b.size()) return {};
  std::size_t n = b[at];
  if ((n & 0x80) == 0) {
    at += 1;
  } else if ((n & 0xC0) == 0x80) {
    n = ((n & 0x3F) << 8) | b[at + 1];
    at += 2;
  } else {
    n = ((n & 0x1F) << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3];
    at += 4;
  }
  std::string s(b.begin() + static_cast<std::ptrdiff_t>(at),
                b.begin() + static_cast<std::ptrdiff_t>(std::min(b.size(), at + n)));
  at += n;
  return s;
}

}  // namespace

namespace {
std::string file_name(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }
}  // namespace

std::string process_name_from_command_line(const std::string& command_line) {
  std::vector<std::string> words;
  std::istringstream in(command_line);
  for (std::string w; in >> w;) words.push_back(w);
  if (words.empty()) return {};
  if (file_name(words[0]) == "dotnet") {
    const std::size_t app = words.size() > 1 && words[1] == "exec" ? 2 : 1;
    if (app < words.size() && words[app].size() > 4 && words[app].ends_with(".dll")) {
      auto name = file_name(words[app]);
      if (name.size() > 4) name.resize(name.size() - 4);
      return name;
    }
  }
  return file_name(words[0]);
}

snapshot_summary inspect_snapshot(const std::string& index_path) {
  const snapshot_reader reader(index_path);
  snapshot_summary s;
  auto has = [&](std::uint16_t id) {
    return std::any_of(reader.sections().begin(), reader.sections().end(), [&](const auto& e) { return e.id == id; });
  };

  if (has(0)) {
    const auto env = reader.read(0);
    std::size_t at = 2 * 4 + 4 + 4 + 1 + 2 + 4;
    s.os_name = string_at(env, at);
    s.computer_name = string_at(env, at);
    std::memcpy(&s.pid, env.data() + at, 4);
    at += 4;
    s.process_name = string_at(env, at);
    s.command_line = string_at(env, at);
    string_at(env, at);        // working directory
    at += 2 + 16;              // architecture, snapshot id 4
    string_at(env, at);        // user name
    at += 16 + 1;              // snapshot id 3, runtime type
    s.runtime_version = string_at(env, at);
    // A runtime started by the host reports no process name of its own, or
    // the host's: the application is the one its command line runs.
    if (s.process_name.empty() || file_name(s.process_name) == "dotnet") {
      const auto from_command_line = process_name_from_command_line(s.command_line);
      if (!from_command_line.empty()) s.process_name = from_command_line;
    }
  }
  if (has(2176)) {
    for_each_record(2176, reader.read(2176), 8, [&](const stream_record& r) {
      if (r.kind == 1) {
        s.timer_resolution = load<std::uint64_t>(r.body, 4);
        s.first_tick = static_cast<std::int64_t>(load<std::uint64_t>(r.body, 12));
      } else if (r.kind == 3) {
        s.last_tick = static_cast<std::int64_t>(load<std::uint64_t>(r.body, 0));
      } else if (r.kind == 5) {
        std::size_t at = load<std::uint16_t>(r.body, 0) ? 2 : 6;
        std::vector<std::uint8_t> body(r.body.begin(), r.body.end());
        s.thread_names[r.thread_id] = utf16z_at(body, at);
      }
      ++s.records[{2176, r.kind}];
    });
  }
  const double ms_per_tick = s.timer_resolution ? 1000.0 / static_cast<double>(s.timer_resolution) : 0;

  if (has(2121)) {
    std::unordered_map<std::uint32_t, std::pair<std::int64_t, std::uint32_t>> suspend_start;  // time, reason
    std::unordered_map<std::uint32_t, std::int64_t> contention_start;
    for_each_record(2121, reader.read(2121), 8, [&](const stream_record& r) {
      ++s.records[{2121, r.kind}];
      switch (r.kind) {
        case 1:
          ++s.gc_count;
          s.gc_numbers.push_back(load<std::uint32_t>(r.body, 0));
          break;
        case 4: case 5:
          suspend_start[r.thread_id] = {r.timestamp, r.body.size() >= 4 ? load<std::uint32_t>(r.body, 0) : 0u};
          break;
        case 3:
          if (const auto it = suspend_start.find(r.thread_id); it != suspend_start.end()) {
            const double ms = static_cast<double>(r.timestamp - it->second.first) * ms_per_tick;
            s.suspension_ms += ms;
            // The runtime's reasons: 1 for a collection, 6 to prepare one.
            const bool for_gc = it->second.second == 1 || it->second.second == 6;
            (for_gc ? s.gc_suspensions : s.other_suspensions) += 1;
            (for_gc ? s.gc_suspension_ms : s.other_suspension_ms) += ms;
            suspend_start.erase(it);
          }
          break;
        case 9: {
          std::size_t at = 0;
          std::vector<std::uint8_t> body(r.body.begin(), r.body.end());
          std::uint16_t n = load<std::uint16_t>(r.body, 0);
          at = n ? 2 : 6;
          ++s.exceptions[utf16z_at(body, at)];
          break;
        }
        case 10: case 17: ++s.contentions; contention_start[r.thread_id] = r.timestamp; break;
        case 12:
          if (const auto it = contention_start.find(r.thread_id); it != contention_start.end()) {
            s.contention_ms += static_cast<double>(r.timestamp - it->second) * ms_per_tick;
            contention_start.erase(it);
          }
          break;
      }
    });
  }
  for (std::uint16_t id : {2120, 2054}) {
    if (has(id)) for_each_record(id, reader.read(id), 8, [&](const stream_record& r) { ++s.records[{id, r.kind}]; });
  }
  if (has(2055)) {
    for_each_record(2055, reader.read(2055), 8, [&](const stream_record& r) {
      ++s.records[{2055, r.kind}];
      // Every kind begins with the connection id; requests go on with the
      // request id.
      std::size_t at = load<std::uint16_t>(r.body, 0) ? 2 : 6;
      std::vector<std::uint8_t> body(r.body.begin(), r.body.end());
      auto connection = utf16z_at(body, at);
      switch (r.kind) {
        case 1: s.kestrel_connections.push_back(connection); break;
        case 2: s.kestrel_connection_stops.push_back(connection); break;
        case 3: s.kestrel_requests.push_back(connection.append("/").append(utf16z_at(body, at))); break;
        case 4: s.kestrel_request_stops.push_back(connection.append("/").append(utf16z_at(body, at))); break;
      }
    });
  }

  // Methods by index: managed_function records point at their names.
  std::vector<std::string> names;
  if (has(2132) && has(2137)) {
    const auto functions = reader.read(2132);
    const auto data = reader.read(2137);
    for (std::size_t at = 0; at + 20 <= functions.size(); at += 20) {
      std::uint64_t offset;
      std::memcpy(&offset, functions.data() + at + 12, 8);
      std::size_t p = static_cast<std::size_t>(offset) + 4;
      const auto ns = utf16z_at(data, p);
      const auto name = utf16z_at(data, p);
      names.push_back(ns.empty() ? name : ns + "." + name);
    }
  }
  std::vector<std::uint8_t> tree;
  std::uint32_t tree_base = 0;
  if (has(2160)) {
    tree = reader.read(2160);
    std::memcpy(&tree_base, tree.data(), 4);  // header size: where offset 32 of the region lies
    tree_base = 32 - tree_base;
  }
  auto node_key = [&](std::uint32_t offset) -> std::uint64_t { return load<std::uint64_t>(tree, offset - tree_base); };
  auto parent_of = [&](std::uint32_t offset) -> std::uint32_t {
    std::uint32_t w = load<std::uint32_t>(tree, offset - tree_base + 8);
    std::size_t guard = 0;
    while ((w & 0x80000000u) == 0 && guard++ < 1000000) w = load<std::uint32_t>(tree, w - tree_base + 8);
    return w & 0x7FFFFFFFu;
  };
  auto function_of = [&](std::uint64_t key) -> long {
    if ((key >> 61) != 2) return -1;
    return static_cast<long>(key & 0x1FFFFFFF);
  };

  // Tiers of one method (a quick JIT, then an optimised one) count together.
  std::map<std::string, method_samples> methods;
  auto name_of = [&](long index) -> std::string {
    if (index < static_cast<long>(names.size())) return names[static_cast<std::size_t>(index)];
    std::string unnamed = "#";
    unnamed += std::to_string(index);
    return unnamed;
  };
  if (has(2177)) {
    bool expect_stack = false;
    std::set<std::uint32_t> threads;
    for_each_record(2177, reader.read(2177), 8, [&](const stream_record& r) {
      ++s.records[{2177, r.kind}];
      if (r.kind == 1) threads.insert(r.thread_id);
      if (r.kind == 4) {
        ++s.samples;
        ++s.samples_per_thread[r.thread_id];
        // The runtime's sample types: 1 for a thread outside managed code
        // (waiting or in native code), 2 for one running managed code.
        const std::uint8_t type = r.body.empty() ? 0 : r.body[0];
        ++(type == 2 ? s.samples_managed : type == 1 ? s.samples_native : s.samples_other_type);
        expect_stack = true;
        return;
      }
      if (r.kind == 0x2000 && expect_stack) {
        expect_stack = false;
        const auto leaf = load<std::uint32_t>(r.body, 8);
        if (leaf == 0xFFFFFFFF || tree.empty()) return;
        ++s.samples_with_stack;
        const long f = function_of(node_key(leaf));
        if (f >= 0) {
          ++s.samples_resolved_managed;
          ++methods[name_of(f)].exclusive;
        }
        std::set<std::string> seen;
        for (std::uint32_t n = leaf; n >= 32 + 32 && n != 0x7FFFFFFF; n = parent_of(n)) {
          const long g = function_of(node_key(n));
          if (g >= 0 && seen.insert(name_of(g)).second) ++methods[name_of(g)].inclusive;
          if (seen.size() > 10000) break;
        }
      }
    });
    s.threads = threads.size();
  }
  for (auto& [name, m] : methods) {
    m.name = name;
    s.methods.push_back(m);
  }
  std::sort(s.methods.begin(), s.methods.end(), [](const auto& a, const auto& b) {
    return a.exclusive != b.exclusive ? a.exclusive > b.exclusive : a.inclusive > b.inclusive;
  });
  return s;
}

void print_text(std::ostream& out, const snapshot_summary& s, std::size_t top) {
  out << "process: " << s.process_name << " (pid " << s.pid << "), runtime " << s.runtime_version << "\n";
  out << "command line: " << s.command_line << "\n";
  const double span = s.timer_resolution ? static_cast<double>(s.last_tick - s.first_tick) * 1000.0 /
                                               static_cast<double>(s.timer_resolution)
                                         : 0;
  out << "time span: " << std::fixed << std::setprecision(1) << span << " ms\n";
  out << "threads: " << s.threads << "\n";
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
    out << "\n  section " << what.first << " kind " << (what.second == 0x2000 ? std::string("stack") : std::to_string(what.second))
        << ": " << n;
  out << "\nsamples: " << s.samples << " (" << s.samples_with_stack << " with stacks, " << s.samples_resolved_managed
      << " with a managed method at the leaf)\n";
  out << "  threads running managed code: " << s.samples_managed << "\n";
  out << "  threads waiting or in native code: " << s.samples_native << "\n";
  if (s.samples_other_type) out << "  of no known type: " << s.samples_other_type << "\n";
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
}

namespace {
void quoted(std::ostream& out, const std::string& s) {
  out << '"';
  for (char c : s) {
    if (c == '"' || c == '\\') out << '\\' << c;
    else if (static_cast<unsigned char>(c) < 0x20) out << ' ';
    else out << c;
  }
  out << '"';
}
}  // namespace

void print_json(std::ostream& out, const snapshot_summary& s, std::size_t top) {
  out << "{\"process\":";
  quoted(out, s.process_name);
  out << ",\"pid\":" << s.pid << ",\"runtime_version\":";
  quoted(out, s.runtime_version);
  out << ",\"timer_resolution\":" << s.timer_resolution << ",\"first_tick\":" << s.first_tick
      << ",\"last_tick\":" << s.last_tick << ",\"threads\":" << s.threads << ",\"gc_count\":" << s.gc_count
      << ",\"suspension_ms\":" << s.suspension_ms << ",\"gc_suspensions\":" << s.gc_suspensions
      << ",\"gc_suspension_ms\":" << s.gc_suspension_ms << ",\"other_suspensions\":" << s.other_suspensions
      << ",\"other_suspension_ms\":" << s.other_suspension_ms << ",\"contentions\":" << s.contentions
      << ",\"contention_ms\":" << s.contention_ms << ",\"kestrel_requests\":" << s.kestrel_requests.size()
      << ",\"samples\":" << s.samples << ",\"samples_with_stack\":" << s.samples_with_stack
      << ",\"samples_resolved_managed\":" << s.samples_resolved_managed << ",\"samples_managed\":" << s.samples_managed
      << ",\"samples_native\":" << s.samples_native << ",\"samples_other_type\":" << s.samples_other_type << ",\"exceptions\":{";
  bool first = true;
  for (const auto& [type, n] : s.exceptions) {
    out << (first ? "" : ",");
    quoted(out, type);
    out << ":" << n;
    first = false;
  }
  out << "},\"records\":[";
  first = true;
  for (const auto& [what, n] : s.records) {
    out << (first ? "" : ",") << "{\"section\":" << what.first << ",\"kind\":" << what.second << ",\"count\":" << n << "}";
    first = false;
  }
  out << "],\"methods\":[";
  for (std::size_t i = 0; i < std::min(top, s.methods.size()); ++i) {
    out << (i ? "," : "") << "{\"name\":";
    quoted(out, s.methods[i].name);
    out << ",\"exclusive\":" << s.methods[i].exclusive << ",\"inclusive\":" << s.methods[i].inclusive << "}";
  }
  out << "]}\n";
}

}  // namespace tw::tools
