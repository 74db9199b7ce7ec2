#pragma once

// A provider as a session asks the runtime for it: what the collect-tracing
// request carries for each provider.

#include <cstdint>
#include <string>
#include <unordered_map>

namespace tarnwell::collector {

enum class EventLevel : std::int32_t { log_always = 0, critical = 1, error = 2, warning = 3, informational = 4, verbose = 5 };

struct event_pipe_provider {
  event_pipe_provider(std::u16string name, EventLevel level, long keywords,
                      std::unordered_map<std::u16string, std::u16string> arguments = {})
      : name(std::move(name)), level(level), keywords(keywords), arguments(std::move(arguments)) {}

  // "name:0x...(keywords):level"
  std::string to_string() const;
  // key=value pairs joined by ";"; a key or value holding ";" or "=" is quoted.
  std::u16string get_argument_string() const;

  std::u16string name;
  EventLevel level;
  long keywords;
  std::unordered_map<std::u16string, std::u16string> arguments;
};

}  // namespace tarnwell::collector
