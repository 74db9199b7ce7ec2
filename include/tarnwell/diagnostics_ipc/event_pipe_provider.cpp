#include "tarnwell/diagnostics_ipc/event_pipe_provider.h"

#include "tw/utility/utf.h"

#include <boost/format.hpp>

namespace tarnwell::collector {

std::string event_pipe_provider::to_string() const {
  return (boost::format("%s:%0#18x:%d") % kv521::utf::utf16_to_utf8(name) % keywords % static_cast<int>(level)).str();
}

namespace {
std::u16string quoted_if_needed(const std::u16string& s) {
  if (s.find_first_of(u";=") == std::u16string::npos) return s;
  return u"\"" + s + u"\"";
}
}  // namespace

std::u16string event_pipe_provider::get_argument_string() const {
  std::u16string out;
  for (const auto& [key, value] : arguments) {
    if (!out.empty()) out += u';';
    out += quoted_if_needed(key) + u"=" + quoted_if_needed(value);
  }
  return out;
}

}  // namespace tarnwell::collector
