#pragma once

// A flight recording: a snapshot that keeps only the most recent stretch of
// time and saves it when something goes wrong. Its settings, and the
// triggers that say what "wrong" is.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tw_prof {

struct trigger {
  enum class kind : std::uint8_t { exception, gc_pause, request, contention, cpu };
  kind what = kind::exception;
  std::string type;      // exception: the exception type's full name
  double threshold = 0;  // milliseconds, or percent of one core for cpu
};

// "exception=TYPE", "gc-pause=MS", "request=MS", "contention=MS" or
// "cpu=PERCENT"; anything else throws std::invalid_argument naming the text
// and the forms.
trigger parse_trigger(std::string_view text);
inline constexpr const char* trigger_forms =
    "exception=TYPE, gc-pause=MS, request=MS, contention=MS or cpu=PERCENT";

struct window_settings {
  std::chrono::seconds last{0};  // the stretch kept; 0: no window, a plain snapshot
  std::uint64_t max_bytes = 256ull << 20;
  std::chrono::milliseconds after{5000};  // recording goes on this long after a trigger
  std::vector<std::string> triggers;      // each as parse_trigger takes it
  std::string folder;                     // the ring's files; empty: the temporary directory

  bool windowed() const noexcept { return last.count() > 0; }
  friend bool operator==(const window_settings&, const window_settings&) = default;
};

// Checks every trigger of the settings; throws as parse_trigger does.
std::vector<trigger> parse_triggers(const window_settings& settings);

// What fired: its text for a person ("exception System.TimeoutException",
// "gc pause of 312 ms") and when, in the trace's ticks.
struct fired {
  std::string what;
  std::int64_t at = 0;
};

// Watches the events of a recording for its triggers. Times are the trace's
// ticks; `ticks_per_ms` converts thresholds. Each returns what fired.
class trigger_watch {
 public:
  explicit trigger_watch(std::vector<trigger> triggers) : triggers_(std::move(triggers)) {}
  void set_ticks_per_ms(double ticks) noexcept { ticks_per_ms_ = ticks; }

  std::optional<fired> exception(std::int64_t at, std::string_view type) const;
  std::optional<fired> suspension_start(std::int64_t at, std::uint32_t thread, std::uint32_t reason);
  std::optional<fired> suspension_end(std::int64_t at, std::uint32_t thread);
  std::optional<fired> contention_start(std::int64_t at, std::uint32_t thread);
  std::optional<fired> contention_end(std::int64_t at, std::uint32_t thread);
  std::optional<fired> request_start(std::int64_t at, const std::string& id, const std::string& what);
  std::optional<fired> request_end(std::int64_t at, const std::string& id);
  // Requests still open at `now` that have lasted too long: a hung request
  // fires before it ends. Each fires once.
  std::optional<fired> requests_open_at(std::int64_t now);
  // The process's CPU over the last second, percent of one core.
  std::optional<fired> cpu(std::int64_t at, double percent) const;

  bool wants(trigger::kind k) const noexcept;

 private:
  std::optional<double> threshold(trigger::kind k) const noexcept;
  std::optional<fired> lasted(trigger::kind k, std::int64_t from, std::int64_t to, const std::string& detail) const;

  std::vector<trigger> triggers_;
  double ticks_per_ms_ = 1e6;
  struct open_span {
    std::int64_t start;
    std::uint32_t reason = 0;
  };
  std::vector<std::pair<std::uint32_t, open_span>> suspensions_, contentions_;
  struct open_request {
    std::string id, what;
    std::int64_t start;
    bool fired = false;
  };
  std::vector<open_request> requests_;
};

}  // namespace tw_prof
