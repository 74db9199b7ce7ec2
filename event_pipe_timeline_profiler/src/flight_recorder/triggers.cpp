#include "event_pipe_timeline_profiler/src/flight_recorder/triggers.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace tw_prof {

namespace {

std::string milliseconds(double ms) {
  std::ostringstream out;
  out << std::fixed << std::setprecision(0) << ms << " ms";
  return out.str();
}

template <class Spans>
std::optional<std::int64_t> take(Spans& spans, std::uint32_t thread, std::uint32_t* reason = nullptr) {
  const auto it = std::find_if(spans.begin(), spans.end(), [&](const auto& s) { return s.first == thread; });
  if (it == spans.end()) return std::nullopt;
  const auto start = it->second.start;
  if (reason) *reason = it->second.reason;
  spans.erase(it);
  return start;
}

}  // namespace

trigger parse_trigger(std::string_view text) {
  const auto refuse = [&] {
    return std::invalid_argument("the trigger '" + std::string(text) + "' is not understood: the forms are " +
                                 trigger_forms);
  };
  const auto equals = text.find('=');
  if (equals == std::string_view::npos || equals + 1 == text.size()) throw refuse();
  const auto name = text.substr(0, equals);
  const auto value = text.substr(equals + 1);
  trigger t;
  if (name == "exception") {
    // A type's full name: dotted words, nested types after '+'.
    const bool plausible = std::all_of(value.begin(), value.end(), [](char c) {
      return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '+' || c == '`';
    });
    if (!plausible) throw refuse();
    t.what = trigger::kind::exception;
    t.type = std::string(value);
    return t;
  }
  if (name == "gc-pause") t.what = trigger::kind::gc_pause;
  else if (name == "request") t.what = trigger::kind::request;
  else if (name == "contention") t.what = trigger::kind::contention;
  else if (name == "cpu") t.what = trigger::kind::cpu;
  else throw refuse();
  double number = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), number);
  if (error != std::errc() || end != value.data() + value.size() || !(number > 0) || !std::isfinite(number))
    throw refuse();
  t.threshold = number;
  return t;
}

std::vector<trigger> parse_triggers(const window_settings& settings) {
  std::vector<trigger> out;
  for (const auto& t : settings.triggers) out.push_back(parse_trigger(t));
  return out;
}

bool trigger_watch::wants(trigger::kind k) const noexcept {
  return std::any_of(triggers_.begin(), triggers_.end(), [k](const trigger& t) { return t.what == k; });
}

std::optional<double> trigger_watch::threshold(trigger::kind k) const noexcept {
  std::optional<double> least;
  for (const auto& t : triggers_)
    if (t.what == k && (!least || t.threshold < *least)) least = t.threshold;
  return least;
}

std::optional<fired> trigger_watch::lasted(trigger::kind k, std::int64_t from, std::int64_t to,
                                           const std::string& detail) const {
  const auto limit = threshold(k);
  if (!limit) return std::nullopt;
  const double ms = static_cast<double>(to - from) / ticks_per_ms_;
  if (ms <= *limit) return std::nullopt;
  return fired{detail + milliseconds(ms), to};
}

std::optional<fired> trigger_watch::exception(std::int64_t at, std::string_view type) const {
  for (const auto& t : triggers_)
    if (t.what == trigger::kind::exception && t.type == type) return fired{"exception " + t.type, at};
  return std::nullopt;
}

std::optional<fired> trigger_watch::suspension_start(std::int64_t at, std::uint32_t thread, std::uint32_t reason) {
  if (!wants(trigger::kind::gc_pause)) return std::nullopt;
  take(suspensions_, thread);
  suspensions_.push_back({thread, {at, reason}});
  return std::nullopt;
}

std::optional<fired> trigger_watch::suspension_end(std::int64_t at, std::uint32_t thread) {
  std::uint32_t reason = 0;
  const auto start = take(suspensions_, thread, &reason);
  // The runtime's reasons for a collection: 1, and 6 to prepare one.
  if (!start || (reason != 1 && reason != 6)) return std::nullopt;
  return lasted(trigger::kind::gc_pause, *start, at, "gc pause of ");
}

std::optional<fired> trigger_watch::contention_start(std::int64_t at, std::uint32_t thread) {
  if (!wants(trigger::kind::contention)) return std::nullopt;
  take(contentions_, thread);
  contentions_.push_back({thread, {at, 0}});
  return std::nullopt;
}

std::optional<fired> trigger_watch::contention_end(std::int64_t at, std::uint32_t thread) {
  const auto start = take(contentions_, thread);
  if (!start) return std::nullopt;
  return lasted(trigger::kind::contention, *start, at, "lock wait of ");
}

std::optional<fired> trigger_watch::request_start(std::int64_t at, const std::string& id, const std::string& what) {
  if (!wants(trigger::kind::request)) return std::nullopt;
  requests_.push_back({id, what, at});
  return std::nullopt;
}

std::optional<fired> trigger_watch::request_end(std::int64_t at, const std::string& id) {
  const auto it = std::find_if(requests_.begin(), requests_.end(), [&](const auto& r) { return r.id == id; });
  if (it == requests_.end()) return std::nullopt;
  const auto request = *it;
  requests_.erase(it);
  if (request.fired) return std::nullopt;
  return lasted(trigger::kind::request, request.start, at, "request " + request.what + " of ");
}

std::optional<fired> trigger_watch::requests_open_at(std::int64_t now) {
  for (auto& r : requests_) {
    if (r.fired) continue;
    if (auto f = lasted(trigger::kind::request, r.start, now, "request " + r.what + " still open after ")) {
      r.fired = true;
      return f;
    }
  }
  return std::nullopt;
}

std::optional<fired> trigger_watch::cpu(std::int64_t at, double percent) const {
  const auto limit = threshold(trigger::kind::cpu);
  if (!limit || percent <= *limit) return std::nullopt;
  std::ostringstream text;
  text << "cpu at " << std::fixed << std::setprecision(0) << percent << "% of a core";
  return fired{text.str(), at};
}

}  // namespace tw_prof
