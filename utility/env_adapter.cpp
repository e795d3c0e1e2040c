// SPDX-License-Identifier: MIT
#include "utility/env_adapter.h"

#include <cstdlib>
#include <string>

env_adapter::env_adapter(const char* name) {
  if (name == nullptr) return;
  if (const char* value = std::getenv(name)) env_variable_content = value;
}

debug_channel_switches read_debug_channel_switches(const char* name) {
  env_level all("DBG_ALL");
  unsigned long level = all.level();
  if (level == 0 && name != nullptr) {
    env_level own(("DBG_" + std::string(name)).c_str());
    level = own.level();
  }
  env_flag no_timestamps("DBG_NO_TIMESTAMPS");
  return {level != 0, static_cast<int>(static_cast<unsigned int>(level)), !no_timestamps.is_on()};
}
