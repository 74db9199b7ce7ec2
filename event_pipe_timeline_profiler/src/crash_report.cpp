#include "event_pipe_timeline_profiler/src/crash_report.h"

#include "tw/system/linux/detail_proc_utils.h"

#include <boost/json/src.hpp>

#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tw_prof {

namespace {

namespace json = boost::json;

// The report's numbers are hexadecimal text: "0x1a2b".
std::uint64_t hex(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  if (v == nullptr || !v->is_string()) return 0;
  std::string_view text = v->get_string();
  if (text.starts_with("0x")) text.remove_prefix(2);
  std::uint64_t n = 0;
  std::from_chars(text.data(), text.data() + text.size(), n, 16);
  return n;
}

std::string text(const json::object& o, std::string_view key) {
  const auto* v = o.if_contains(key);
  return v != nullptr && v->is_string() ? std::string(v->get_string()) : std::string();
}

bool yes(const json::object& o, std::string_view key) { return text(o, key) == "true"; }

}  // namespace

std::optional<std::filesystem::path> crash_report_path(pid_t pid, pid_t namespace_pid, const std::string& root) {
  using tw::detail_proc_utils::get_environment_variable;
  if (get_environment_variable(pid, "DOTNET_DbgEnableMiniDump").value_or("") != "1" ||
      get_environment_variable(pid, "DOTNET_EnableCrashReport").value_or("") != "1")
    return std::nullopt;
  const auto name = get_environment_variable(pid, "DOTNET_DbgMiniDumpName");
  if (!name || name->empty()) return std::nullopt;
  // createdump's patterns: %p the pid (as the program sees it), %% a percent.
  std::string path;
  for (std::size_t i = 0; i < name->size(); ++i) {
    if ((*name)[i] != '%' || i + 1 == name->size()) {
      path += (*name)[i];
    } else if ((*name)[++i] == 'p') {
      path += std::to_string(namespace_pid);
    } else if ((*name)[i] == '%') {
      path += '%';
    } else {
      return std::nullopt;  // a name we cannot foresee
    }
  }
  return root + path + ".crashreport.json";
}

std::optional<crash_report> read_crash_report(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  std::stringstream bytes;
  bytes << in.rdbuf();
  boost::system::error_code ec;
  const auto document = json::parse(bytes.str(), ec);
  if (ec || !document.is_object()) throw std::runtime_error("The crash report " + path.string() + " cannot be read");
  const auto* payload = document.as_object().if_contains("payload");
  const auto* threads = payload && payload->is_object() ? payload->as_object().if_contains("threads") : nullptr;
  if (threads == nullptr || !threads->is_array()) return std::nullopt;
  for (const auto& t : threads->as_array()) {
    if (!t.is_object() || !yes(t.as_object(), "crashed")) continue;
    const auto& thread = t.as_object();
    crash_report report;
    report.exception_type = text(thread, "managed_exception_type");
    report.thread_id = static_cast<std::uint32_t>(hex(thread, "native_thread_id"));
    if (const auto* frames = thread.if_contains("stack_frames"); frames && frames->is_array()) {
      for (const auto& f : frames->as_array()) {
        // The runtime's own code and its stubs, which have no name, are left
        // out, as the runtime's stacks leave them out.
        if (!f.is_object() || !yes(f.as_object(), "is_managed")) continue;
        const auto& frame = f.as_object();
        if (text(frame, "method_name").empty()) continue;
        report.frames.push_back({hex(frame, "native_address"), static_cast<std::uint32_t>(hex(frame, "token")),
                                 text(frame, "method_name"), text(frame, "filename")});
      }
    }
    return report;
  }
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> crash_report_environment(const std::filesystem::path& folder) {
  return {{"DOTNET_DbgEnableMiniDump", "1"},
          {"DOTNET_DbgMiniDumpType", "1"},  // the threads' stacks only: small and quick
          {"DOTNET_EnableCrashReport", "1"},
          {"DOTNET_DbgMiniDumpName", (folder / "core.%p").string()}};
}

}  // namespace tw_prof
