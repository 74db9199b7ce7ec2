#pragma once

// The bar eptl draws at a terminal for conversions and saves alike.

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <string>

namespace tw::tools {

// "[####    ]  50%", 40 cells wide; a percent past 100 draws a full bar.
inline std::string progress_bar(unsigned long percent) {
  percent = std::min(percent, 100ul);
  constexpr unsigned long width = 40;
  const unsigned long filled = percent * width / 100;
  std::ostringstream bar;
  bar << "[" << std::string(filled, '#') << std::string(width - filled, ' ') << "] " << std::setw(3) << percent
      << "%";
  return bar.str();
}

}  // namespace tw::tools
