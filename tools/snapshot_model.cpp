#include "tools/snapshot_model.h"

#include "collector/src/collector/snapshot_format.h"

#include "tools/snapshot_streams.h"
#include "tw/portable_executable/ready_to_run.h"

#include <algorithm>
#include <set>
#include <stdexcept>
#include <unordered_map>

namespace tw::tools {

namespace {

namespace format = tarnwell::collector::format;

// ECMA-335 compressed length and UTF-8 text, as the environment writes strings.
// A string of the environment and module sections: its length as an
// ECMA-335 compressed integer, then its bytes. Throws when they run short.
std::string compressed_string_at(std::span<const std::uint8_t> b, std::size_t& at) {
  tw::byte_cursor c(b.data(), b.data() + b.size(), "snapshot string");
  c.seek(at);
  const std::size_t n = c.compressed_uint();
  const auto* text = c.take(n);
  at = c.consumed();
  return std::string(reinterpret_cast<const char*>(text), n);
}

std::string file_name(const std::string& path) { return path.substr(path.find_last_of("/\\") + 1); }

constexpr std::uint64_t key_flags(std::uint64_t key) { return key >> 61; }

// The module path records: one byte, the count, then per record the image's
// index, what became of the file, and the path.
template <class F>
void for_each_module_path(const snapshot_reader& reader, F&& f) {
  const auto path_stream = reader.map(format::module_paths.id);
  const auto p = path_stream.bytes();
  for (std::size_t at = 5; at + 6 < p.size();) {
    const auto index = load_at<std::uint32_t>(p, at);
    const auto kind = load_at<std::uint16_t>(p, at + 4);
    at += 6;
    f(index, kind, compressed_string_at(p, at));
  }
}

// The metadata of the snapshot's module images, to tell which module a
// method comes from: the one whose MethodDef row at the method's token has
// the method's name and type. The snapshot links no method to its module.
class module_methods {
 public:
  explicit module_methods(const snapshot_reader& reader) {
    std::unordered_map<std::uint32_t, std::string> paths;
    for_each_module_path(reader, [&](std::uint32_t index, std::uint16_t kind, std::string path) {
      if (kind == format::module_path_kind::read) paths[index] = std::move(path);
    });
    images_ = reader.map(format::module_images.id);
    const auto b = images_.bytes();
    // The count, then per record: index, metadata, debug directories.
    for (std::size_t at = 4; at + 8 <= b.size();) {
      const auto index = load_at<std::uint32_t>(b, at);
      const std::size_t length = load_at<std::uint32_t>(b, at + 4);
      at += 8;
      if (length > b.size() - at) break;
      const auto metadata = b.subspan(at, length);
      at += length;
      const auto directories = load_at<std::uint32_t>(b, at);
      at += 4;
      for (std::uint32_t d = 0; d < directories && at + 20 <= b.size(); ++d)
        at = std::min<std::size_t>(b.size(), at + 20 + load_at<std::uint32_t>(b, at + 16));
      const auto path = paths.find(index);
      if (path == paths.end()) continue;
      try {
        modules_.push_back(
            {file_name(path->second), path->second, is_framework(path->second), tw::metadata_method_names(metadata)});
      } catch (const std::exception&) {
        // Metadata that cannot be read names no method.
      }
    }
  }

  struct found {
    std::string file;  // empty when no module's metadata agrees
    std::string path;
    bool framework = false;
  };
  // Methods come mostly from a few modules: the last one that agreed is
  // asked first.
  found module_of(std::uint32_t token, std::string type, const std::string& name) {
    if (token == 0) return {};
    // A generic type's instantiation follows its name: "List`1[System.Int32]".
    if (const auto bracket = type.find('['); bracket != std::string::npos) type.resize(bracket);
    for (std::size_t i = 0; i < modules_.size(); ++i) {
      const std::size_t m = i == 0 ? last_ : (i <= last_ ? i - 1 : i);
      if (agrees(modules_[m], token, type, name)) {
        last_ = m;
        return {modules_[m].file, modules_[m].path, modules_[m].framework};
      }
    }
    return {};
  }

 private:
  struct module {
    std::string file, path;
    bool framework;
    tw::metadata_method_names names;
  };

  // The runtime's shared frameworks, and the libraries that call themselves
  // the platform's: code the program calls, not the program.
  static bool is_framework(const std::string& path) {
    const auto name = file_name(path);
    return path.find("/shared/Microsoft.") != std::string::npos || name.rfind("System.", 0) == 0 ||
           name.rfind("Microsoft.", 0) == 0 || name == "netstandard.dll" || name == "mscorlib.dll";
  }

  static bool agrees(const module& m, std::uint32_t token, const std::string& type, const std::string& name) {
    try {
      const auto row = m.names.named(token);
      if (row.name != name) return false;
      std::string owner = row.type_namespace;
      if (!owner.empty()) owner += '.';
      owner += row.type_name;
      return owner == type;
    } catch (const std::exception&) {
      return false;
    }
  }

  mapped_section images_;
  std::vector<module> modules_;
  std::size_t last_ = 0;
};

constexpr std::uint32_t root_offset = 32;

}  // namespace

std::string process_name_from_command_line(const std::string& command_line) {
  const auto start = command_line.find_first_not_of(' ');
  if (start == std::string::npos) return {};
  const auto host_end = std::min(command_line.find(' ', start), command_line.size());
  const auto host = file_name(command_line.substr(start, host_end - start));
  if (host != "dotnet") return host;
  // The runtime joins the host and its arguments with spaces and quotes
  // none: the program's path, spaces and all, ends where ".dll" does.
  auto rest = command_line.substr(std::min(command_line.find_first_not_of(' ', host_end), command_line.size()));
  if (rest.starts_with("exec ")) rest.erase(0, rest.find_first_not_of(' ', 5));
  for (auto dll = rest.find(".dll"); dll != std::string::npos; dll = rest.find(".dll", dll + 1)) {
    if (dll + 4 != rest.size() && rest[dll + 4] != ' ') continue;
    const auto path = rest.substr(0, dll);
    if (path.find('/') == std::string::npos && path.find(' ') != std::string::npos) return host;  // words: "run x"
    const auto name = file_name(path);
    return name.empty() ? host : name;
  }
  return host;
}

snapshot_model::snapshot_model(const std::string& index_path) : reader_(index_path) {
  read_environment();
  read_session();
  read_call_tree();
}

module_image_counts snapshot_model::module_images() const {
  module_image_counts counts;
  std::set<std::string> settled;
  if (has(format::module_paths.id))
    for_each_module_path(reader_, [&](std::uint32_t, std::uint16_t kind, std::string path) {
      if (!settled.insert(std::move(path)).second) return;
      ++(kind == format::module_path_kind::read ? counts.read : counts.other_build);
    });
  if (!has(format::module_data.id)) return counts;
  // Every module load names its file; a dynamic module (flag 4) has none.
  const auto data = reader_.map(format::module_data.id);
  const auto b = data.bytes();
  std::set<std::string> missing;
  for (std::size_t at = 0; at + 4 <= b.size();) {
    std::size_t p = at + 4;
    auto path = read_utf16z(b, p);
    p = at + 4 + load_at<std::uint32_t>(b, at);
    p += 4 + load_at<std::uint32_t>(b, p);  // the native image's path
    const auto flags = load_at<std::uint32_t>(b, p + 8);
    p += 12;
    at = p + 4 + load_at<std::uint32_t>(b, p);
    constexpr std::uint32_t dynamic_module = 4;
    if (!path.empty() && (flags & dynamic_module) == 0 && !settled.count(path)) missing.insert(std::move(path));
  }
  counts.missing = missing.size();
  return counts;
}

bool snapshot_model::has(std::uint16_t section) const {
  return std::any_of(reader_.sections().begin(), reader_.sections().end(),
                     [&](const section_entry& e) { return e.id == section; });
}

void snapshot_model::read_environment() {
  if (!has(format::environment.id)) return;
  const auto env = reader_.read(format::environment.id);
  std::size_t at = 2 * 4 + 4 + 4 + 1 + 2 + 4;
  process_.os_name = compressed_string_at(env, at);
  process_.computer_name = compressed_string_at(env, at);
  process_.pid = load_at<std::uint32_t>(env, at);
  at += 4;
  process_.process_name = compressed_string_at(env, at);
  process_.command_line = compressed_string_at(env, at);
  compressed_string_at(env, at);  // working directory
  at += 2 + 16;                   // architecture, snapshot id 4
  process_.user_name = compressed_string_at(env, at);
  at += 16 + 1;                   // snapshot id 3, runtime type
  process_.runtime_version = compressed_string_at(env, at);
  // The start time ends the section, as a FILETIME.
  if (env.size() >= 8) process_.start_filetime = load_at<std::uint64_t>(env, env.size() - 8);
  // A runtime started by the host reports no process name of its own, or
  // the host's: the application is the one its command line runs.
  if (process_.process_name.empty() || file_name(process_.process_name) == "dotnet") {
    const auto from_command_line = process_name_from_command_line(process_.command_line);
    if (!from_command_line.empty()) process_.process_name = from_command_line;
  }
}

void snapshot_model::read_session() {
  if (!has(format::session_stream.id)) return;
  const auto stream = reader_.map(format::session_stream.id);
  for_each_record(format::session_stream.id, stream.bytes(), 8, [&](const stream_record& r) {
    if (r.kind == format::session_kind::session_start) {
      timer_resolution_ = load_at<std::uint64_t>(r.body, 4);
      first_tick_ = static_cast<std::int64_t>(load_at<std::uint64_t>(r.body, 12));
    } else if (r.kind == format::session_kind::session_stop) {
      last_tick_ = static_cast<std::int64_t>(load_at<std::uint64_t>(r.body, 0));
    } else if (r.kind == format::session_kind::thread_name) {
      std::size_t at = prefixed_fields(r.body);
      thread_names_[r.thread_id] = read_utf16z(r.body, at);
    } else if (r.kind == format::session_kind::capture) {
      std::size_t at = prefixed_fields(r.body, 4);
      capture_ = capture_mark{r.timestamp, load_at<std::uint32_t>(r.body, 0), read_utf16z(r.body, at)};
    } else if (r.kind == format::session_kind::crash) {
      std::size_t at = prefixed_fields(r.body);
      crash_ = crash_mark{r.timestamp, r.thread_id, read_utf16z(r.body, at)};
    }
  });
  ms_per_tick_ = timer_resolution_ ? 1000.0 / static_cast<double>(timer_resolution_) : 0;
}

void snapshot_model::read_call_tree() {
  if (!has(format::call_tree.id)) return;
  // Methods by index: each managed_function record points at its names,
  // and its token names it in its module's metadata.
  std::vector<std::string> method_names;
  std::vector<module_methods::found> method_modules;
  if (has(format::managed_functions.id) && has(format::managed_function_data.id)) {
    const auto functions = reader_.map(format::managed_functions.id);
    const auto data = reader_.map(format::managed_function_data.id);
    module_methods modules(reader_);
    for (std::size_t at = 0; at + 20 <= functions.bytes().size(); at += 20) {
      std::size_t p = static_cast<std::size_t>(load_at<std::uint64_t>(functions.bytes(), at + 12)) + 4;
      const auto type = read_utf16z(data.bytes(), p);
      const auto name = read_utf16z(data.bytes(), p);
      method_names.push_back(type.empty() ? name : type + "." + name);
      method_modules.push_back(modules.module_of(load_at<std::uint32_t>(functions.bytes(), at), type, name));
    }
  }
  // Module paths by index; a module loaded again points at its latest record.
  std::unordered_map<std::uint32_t, std::string> module_names;
  if (has(format::managed_modules.id) && has(format::module_data.id)) {
    const auto modules = reader_.map(format::managed_modules.id);
    const auto data = reader_.map(format::module_data.id);
    for (std::size_t at = 0; at + 20 <= modules.bytes().size(); at += 20) {
      std::size_t p = static_cast<std::size_t>(load_at<std::uint64_t>(modules.bytes(), at + 12)) + 4;
      module_names[load_at<std::uint32_t>(modules.bytes(), at)] = file_name(read_utf16z(data.bytes(), p));
    }
  }

  // By name and module: the tiers of one method share a frame.
  std::unordered_map<std::string, std::uint32_t> frame_by_name;
  std::vector<std::uint32_t> method_frames(method_names.size(), npos);
  std::unordered_map<std::uint32_t, std::uint32_t> module_frames;
  auto frame_named = [&](std::string name, frame_kind kind, const std::string& module = {}, bool framework = false,
                         const std::string& module_path = {}) {
    std::string key = name;
    key.append(1, '\0').append(module);
    const auto [it, added] = frame_by_name.try_emplace(std::move(key), static_cast<std::uint32_t>(frames_.size()));
    // A method of no known module is the framework's when its namespace says so.
    if (module.empty())
      framework = name.rfind("System.", 0) == 0 || name.rfind("Microsoft.", 0) == 0 || name.rfind("Internal.", 0) == 0;
    if (added) frames_.push_back({std::move(name), kind, module, module_path, kind == frame_kind::managed && !framework});
    return it->second;
  };
  auto frame_for_key = [&](std::uint64_t key) -> std::uint32_t {
    const auto payload = static_cast<std::uint32_t>(key & 0x1FFFFFFF);
    switch (key_flags(key)) {
      case 0: case 7: return npos;  // the root, the top node, filler
      case 2:
        if (payload < method_frames.size()) {
          if (method_frames[payload] == npos)
            method_frames[payload] =
                frame_named(method_names[payload], frame_kind::managed, method_modules[payload].file,
                            method_modules[payload].framework, method_modules[payload].path);
          return method_frames[payload];
        }
        return frame_named(std::string("method #").append(std::to_string(payload)), frame_kind::managed);
      case 4: {
        auto [it, added] = module_frames.try_emplace(payload, npos);
        if (added) {
          const auto name = module_names.find(payload);
          std::string label(1, '[');
          label.append(name != module_names.end() ? name->second : "module " + std::to_string(payload)).append("]");
          it->second = frame_named(std::move(label), frame_kind::module);
        }
        return it->second;
      }
      case 5: return frame_named("[native code]", frame_kind::native);
      default: return frame_named("[unresolved]", frame_kind::other);
    }
  };

  const auto tree = reader_.map(format::call_tree.id);
  const auto bytes = tree.bytes();
  // The section starts with a header whose first word is its size; the
  // root follows it, at region offset 32.
  const std::uint32_t header = load_at<std::uint32_t>(bytes, 0);
  if (header < 4 || header > bytes.size())
    throw std::runtime_error("The call tree's header gives a size of " + std::to_string(header) + " bytes");
  const std::uint64_t region_end = bytes.size() - header + root_offset;
  if (region_end > 0xFFFFFFF0u) throw std::runtime_error("The call tree is larger than its offsets can address");
  auto at = [&](std::uint32_t offset) { return static_cast<std::size_t>(offset) - root_offset + header; };
  auto is_node = [&](std::uint32_t offset) {
    return offset >= root_offset && std::uint64_t{offset} + 16 <= region_end;
  };
  const std::size_t slots = static_cast<std::size_t>(region_end / 16 + 1);
  parent_.assign(slots, no_node);
  frame_.assign(slots, npos);
  if (!is_node(root_offset)) return;

  // Depth first from the root along the child chains: every node reached
  // once, whatever the depth; a node reached twice means a broken tree.
  std::vector<std::uint32_t> pending{root_offset};
  std::vector<bool> seen(slots);
  seen[root_offset / 16] = true;
  // A node: its key, then the links to its next sibling and its first child.
  struct node_bytes {
    std::uint64_t key;
    std::uint32_t sibling;
    std::uint32_t child;
  };
  static_assert(sizeof(node_bytes) == 16);
  while (!pending.empty()) {
    const std::uint32_t node = pending.back();
    pending.pop_back();
    std::uint32_t link = load_at<node_bytes>(bytes, at(node)).child;
    while ((link & 0x80000000u) == 0) {
      if (!is_node(link) || seen[link / 16])
        throw std::runtime_error("The call tree is broken: the node at " + std::to_string(node) + " links to offset " +
                                 std::to_string(link));
      seen[link / 16] = true;
      parent_[link / 16] = node / 16;
      const auto child = load_at<node_bytes>(bytes, at(link));
      frame_[link / 16] = frame_for_key(child.key);
      pending.push_back(link);
      link = child.sibling;
    }
  }
}

void snapshot_model::stack(std::uint32_t leaf, std::vector<std::uint32_t>& out) const {
  out.clear();
  std::size_t slot = leaf / 16;
  if (slot >= parent_.size()) return;
  // The walk is bounded by the tree: each step goes to a parent, and the
  // tree was checked to be one when it was read.
  for (; slot != no_node && parent_[slot] != no_node; slot = parent_[slot]) {
    const std::uint32_t f = frame_[slot];
    if (f == npos) continue;
    // Native code between two managed frames is one frame: the addresses
    // inside it name nothing a reader could use.
    if (!out.empty() && out.back() == f && frames_[f].kind == frame_kind::native) continue;
    out.push_back(f);
  }
  std::reverse(out.begin(), out.end());
}

bool snapshot_model::reports_events(std::string_view method) noexcept {
  if (method.rfind("System.Diagnostics.Tracing.", 0) == 0) return true;
  const auto dot = method.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  // ".ctor" and ".cctor" leave a dot of their own before the method.
  auto type = method.substr(0, method[dot - 1] == '.' ? dot - 1 : dot);
  constexpr std::string_view suffix = "EventSource";
  return type.size() >= suffix.size() && type.substr(type.size() - suffix.size()) == suffix;
}

std::uint32_t snapshot_model::innermost_caller(std::uint32_t leaf) const {
  std::vector<std::uint32_t> frames;
  stack(leaf, frames);
  // Failing the program's own: a library's method tells more than the
  // base library's plumbing (async state machines, thread pool) around it.
  std::uint32_t library = npos, managed = npos;
  for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
    const auto& f = frames_[*it];
    if (f.kind == frame_kind::managed && reports_events(f.name)) continue;
    if (f.application) return *it;
    if (f.kind != frame_kind::managed) continue;
    if (managed == npos) managed = *it;
    if (library == npos && f.name.rfind("System.", 0) != 0) library = *it;
  }
  return library != npos ? library : managed;
}

}  // namespace tw::tools
