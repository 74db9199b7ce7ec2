#include "tw/system/os_name.h"

#include "tw/utility/throw.h"

#include <cerrno>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>
#include <sys/utsname.h>
#include <system_error>

namespace tw {

std::string compose_os_name(const std::vector<std::string>& candidates, const std::string& sysname,
                            const std::string& release) {
  std::map<std::string, std::string> values;
  for (const auto& path : candidates) {
    std::ifstream in(path);
    if (!in) continue;
    std::string line;
    while (std::getline(in, line)) {
      const auto eq = line.find('=');
      if (eq == std::string::npos) continue;
      const std::string key = line.substr(0, eq);
      if (key != "PRETTY_NAME" && key != "NAME" && key != "VERSION") continue;
      std::istringstream rest(line.substr(eq + 1));
      std::string value;
      rest >> std::quoted(value);
      values[key] = value;
    }
    break;
  }
  std::string name = values["PRETTY_NAME"];
  if (name.empty()) {
    name = values["NAME"].empty() ? sysname : values["NAME"];
    if (!values["VERSION"].empty()) name += " " + values["VERSION"];
  }
  return name + " " + release;
}

std::string get_os_name() {
  utsname u{};
  if (::uname(&u) != 0)
    TW_THROW(std::system_error(errno, std::system_category(), "Failed to get utsname structure"));
  return compose_os_name({"/etc/os-release", "/usr/lib/os-release"}, u.sysname, u.release);
}

}  // namespace tw
