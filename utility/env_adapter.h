// SPDX-License-Identifier: MIT
// The environment as the source of a switch, and the three switch types built on it.
//
// env_adapter reads its variable once, when it is built: later setenv or unsetenv calls are not
// seen by that object; build a new one to see them. An absent variable and a null name read
// as the empty text. getenv is not guarded against a concurrent setenv in another thread.
#ifndef UTILITY_ENV_ADAPTER_H
#define UTILITY_ENV_ADAPTER_H

#include "utility/valuescan.h"

#include <string>

class env_adapter : public valuescan_base {
 public:
  explicit env_adapter(const char* name);

  std::string get_str() const override { return env_variable_content; }

  env_adapter() = delete;
  env_adapter(const env_adapter&) = delete;
  env_adapter& operator=(const env_adapter&) = delete;

 private:
  std::string env_variable_content;
};

// Switches over one environment variable each, built with the variable's name and meant to be
// short-lived locals: env_flag is on/off, env_level a number, env_list a delimited list.
typedef valuescan_impl_template<string_flag_parser, env_adapter> env_flag;
typedef valuescan_impl_template<string_level_parser, env_adapter> env_level;
typedef valuescan_impl_template<string_list_parser, env_adapter> env_list;

// What the environment says of the debug channel named name; both debug channel variants
// decide through this. "DBG_ALL" at a level other than 0 turns every channel on at that
// level; otherwise "DBG_<name>" decides (a null name leaves "DBG_ALL" alone to decide). The
// 32-bit level becomes the channel's int as usual, so "-2" is on at level -2. Time stamps
// are wanted unless the flag "DBG_NO_TIMESTAMPS" is on.
struct debug_channel_switches {
  bool on;
  int level;
  bool time_stamps;
};
debug_channel_switches read_debug_channel_switches(const char* name);

#endif
