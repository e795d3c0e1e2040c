// SPDX-License-Identifier: MIT
/// \file
/// The environment as the source of a switch, and the three switch types built on it.
#ifndef UTILITY_ENV_ADAPTER_H
#define UTILITY_ENV_ADAPTER_H

#include "utility/valuescan.h"

#include <string>

#include "BOLT/export.h"

/// The environment as the source of a switch.
///
/// env_adapter reads its variable once, when it is built: later setenv or unsetenv calls are
/// not seen by that object; build a new one to see them. An absent variable and a null name
/// read as the empty text. getenv is not guarded against a concurrent setenv in another
/// thread. Not copyable.
class KITE_EXPORT env_adapter : public valuescan_base {
 public:
  /// Copies the value of the variable name, or the empty text.
  explicit env_adapter(const char* name);

  /// The value read at construction.
  std::string get_str() const override { return env_variable_content; }

  env_adapter() = delete;
  env_adapter(const env_adapter&) = delete;
  env_adapter& operator=(const env_adapter&) = delete;

 private:
  std::string env_variable_content;
};

/// \name Switches over one environment variable each
/// Built with the variable's name and meant to be short-lived locals.
///@{
typedef valuescan_impl_template<string_flag_parser, env_adapter> env_flag;    ///< On/off.
typedef valuescan_impl_template<string_level_parser, env_adapter> env_level;  ///< A number.
typedef valuescan_impl_template<string_list_parser, env_adapter> env_list;    ///< A list.
///@}

/// What the environment says of one debug channel (read_debug_channel_switches).
struct debug_channel_switches {
  bool on;           ///< Whether the channel speaks.
  int level;         ///< The deciding variable's level, 0 while off.
  bool time_stamps;  ///< Whether time stamps are wanted.
};
/// What the environment says of the debug channel named name; both debug channel variants
/// decide through this. "DBG_ALL" at a level other than 0 turns every channel on at that
/// level; otherwise "DBG_<name>" decides (a null name leaves "DBG_ALL" alone to decide). The
/// 32-bit level becomes the channel's int as usual, so "-2" is on at level -2. Time stamps
/// are wanted unless the flag "DBG_NO_TIMESTAMPS" is on. Reads the environment anew at each
/// call.
KITE_EXPORT debug_channel_switches read_debug_channel_switches(const char* name);

#endif
