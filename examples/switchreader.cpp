// SPDX-License-Identifier: MIT
// switchreader: takes its settings from environment switches and traces through a debug
// channel, for example
//
//   VERBOSE=1 RETRIES=3 SEARCH_PATH=/usr/lib::/opt/lib DBG_switchreader=1 switchreader
#include <cstddef>
#include <iostream>

#include "errorhandling/tracegate.h"
#include "utility/env_adapter.h"

// Speaks when DBG_switchreader (or DBG_ALL) holds a level other than 0; the channel reads
// the environment once, here, and writes through the log stream to standard error.
static tracegate trace("switchreader");

int main() {
  env_flag verbose("VERBOSE");   // on unless unset, empty or "0"
  env_level retries("RETRIES");  // a decimal number; a word reads as 0
  env_list search_path("SEARCH_PATH");

  std::cout << "verbose: " << (verbose.is_on() ? "on" : "off") << '\n';
  std::cout << "retries: " << retries.level() << '\n';
  bool dropped = false;
  const env_list::value_list dirs = search_path.splitAndPruneValues(dropped, ':');
  for (size_t i = 0; i < dirs.size(); ++i) std::cout << "search: " << dirs[i] << '\n';

  trace.print("%zu directories, empty entries %s", dirs.size(), dropped ? "dropped" : "none");
  {
    tracegate::component scope(&trace, "retry");  // "retry: enter" ... "retry: leave"
    scope.print("channel level %d", trace.level());
  }
  return 0;
}
