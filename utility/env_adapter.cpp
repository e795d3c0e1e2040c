// SPDX-License-Identifier: MIT
#include "utility/env_adapter.h"

#include <cstdlib>

env_adapter::env_adapter(const char* name) {
  if (name == nullptr) return;
  if (const char* value = std::getenv(name)) env_variable_content = value;
}
