#include "event_pipe_timeline_profiler/src/event_processors/sample_kinds.h"

#include <utility>

namespace tw_prof::netcore {

flag_trust flag_trust_of(const runtime_version_t& v) {
  if (v.major == 0) return flag_trust::unknown;
  // 9.0 flags nearly every sample external and was never mended; 10.0 was,
  // in the servicing release of March 2026 (10.0.4).
  if (v.major == 9) return flag_trust::unreliable;
  if (v.major == 10 && v.minor == 0 && v.build < 4) return flag_trust::unreliable;
  return flag_trust::reliable;
}

namespace {

using namespace std::string_view_literals;

// Where a thread of the runtime sits while it waits, by type and method.
constexpr std::pair<std::u16string_view, std::u16string_view> waiting_methods[] = {
    {u"System.Threading.Monitor"sv, u"Enter_Slowpath"sv},
    {u"System.Threading.Monitor"sv, u"ReliableEnter"sv},
    {u"System.Threading.Monitor"sv, u"ReliableEnterTimeout"sv},
    {u"System.Threading.Monitor"sv, u"Wait"sv},
    {u"System.Threading.Monitor"sv, u"ObjWait"sv},
    {u"System.Threading.WaitHandle"sv, u"WaitOneNoCheck"sv},
    {u"System.Threading.WaitHandle"sv, u"WaitOneCore"sv},
    {u"System.Threading.WaitHandle"sv, u"WaitMultipleIgnoringSyncContext"sv},
    {u"System.Threading.WaitHandle"sv, u"SignalAndWaitCore"sv},
    {u"System.Threading.Thread"sv, u"Sleep"sv},
    {u"System.Threading.Thread"sv, u"SleepInternal"sv},
    {u"System.Threading.Thread"sv, u"Join"sv},
    {u"System.Threading.Thread"sv, u"JoinInternal"sv},
    {u"System.Threading.LowLevelLifoSemaphore"sv, u"WaitNative"sv},
    {u"System.Threading.LowLevelLifoSemaphore"sv, u"WaitForSignal"sv},
    {u"System.Threading.LowLevelMonitor"sv, u"Wait"sv},
    {u"System.Threading.LowLevelMonitor"sv, u"WaitCore"sv},
    {u"System.GC"sv, u"_WaitForPendingFinalizers"sv},
    {u"Interop+Sys"sv, u"LowLevelMonitor_Wait"sv},
    {u"Interop+Sys"sv, u"LowLevelMonitor_TimedWait"sv},
    {u"Interop+Sys"sv, u"WaitForSocketEvents"sv},
    {u"Interop+Sys"sv, u"Poll"sv},
    {u"Interop+Sys"sv, u"Read"sv},
};

// `name`, or a local function or lambda of it ("<Name>g__...").
bool names(std::u16string_view name, std::u16string_view method) {
  if (name == method) return true;
  return name.size() > method.size() + 2 && name[0] == u'<' && name.substr(1, method.size()) == method &&
         name[method.size() + 1] == u'>';
}

}  // namespace

bool is_waiting_method(std::u16string_view type, std::u16string_view name) {
  for (const auto& [t, m] : waiting_methods)
    if (type == t && names(name, m)) return true;
  return false;
}

std::uint8_t type_from_stack(std::uint8_t flag, leaf_kind leaf, bool flag_reliable) noexcept {
  if (flag_reliable && flag == flag_managed) return sample_type::running_managed;
  if (leaf != leaf_kind::other_method) return sample_type::waiting;
  return flag_reliable ? sample_type::running_native : sample_type::running_managed;
}

std::uint8_t type_from_kernel(std::uint8_t flag, std::optional<bool> ran, bool flag_reliable) noexcept {
  if (flag_reliable && flag == flag_managed) return sample_type::running_managed;
  if (!ran) return flag == flag_managed ? sample_type::running_managed : sample_type::waiting;
  if (!*ran) return sample_type::waiting;
  return flag_reliable ? sample_type::running_native : sample_type::running_managed;
}

std::pair<std::uint8_t, std::uint8_t> live_sample_types::operator()(std::int64_t timestamp, std::uint32_t thread_id,
                                                                    std::uint8_t flag, bool reliable) {
  namespace source = tarnwell::collector::format::sample_source;
  const auto at = resolution_ == 1000000000 || resolution_ == 0
                      ? timestamp
                      : static_cast<std::int64_t>(static_cast<double>(timestamp) * 1e9 /
                                                  static_cast<double>(resolution_));
  std::optional<bool> ran;
  const auto share = watcher_->cpu_share(static_cast<pid_t>(thread_id), at);
  if (share) {
    if (reliable) {
      ++checks_.first;
      if ((flag == flag_managed) == (*share >= 0.5)) ++checks_.second;
    }
    auto& dither = dithers_[thread_id];
    if (reliable && flag == flag_managed)
      dither.took(*share);
    else
      ran = dither.ran(*share);
  }
  return {type_from_kernel(flag, ran, reliable), share ? source::kernel : source::flag};
}

bool flag_vote::reliable() const noexcept {
  // Too few to tell: the flag is kept.
  constexpr std::uint64_t enough = 50;
  if (running_by_stack_ < enough) return true;
  return flagged_managed_ * 100 > running_by_stack_;
}

}  // namespace tw_prof::netcore
