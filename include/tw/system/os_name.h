#pragma once

#include <string>
#include <vector>

namespace tw {

// PRETTY_NAME of os-release, else NAME (or the uname system name) and
// VERSION; then a blank and the kernel release.
std::string get_os_name();

// The same from given os-release candidates and uname fields; for tests.
std::string compose_os_name(const std::vector<std::string>& os_release_candidates, const std::string& sysname,
                            const std::string& release);

}  // namespace tw
