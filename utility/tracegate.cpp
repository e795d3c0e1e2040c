// SPDX-License-Identifier: MIT
#include "utility/tracegate.h"

#include "utility/env_adapter.h"

#include <cstdarg>
#include <cstdio>

namespace {

const char* const kNullMessage = "tracegate::print got NULL msg";

// Formats into 1024 characters, cutting longer texts, and writes under e_debug.
void write_debug(output::component& target, const char* msg, va_list argp) {
  char text[1024];
  if (std::vsnprintf(text, sizeof text, msg, argp) < 0) text[0] = '\0';
  target.general_output_function(output::e_debug, text);
}

}  // namespace

tracegate::tracegate(const char* name) {
  const debug_channel_switches switches = read_debug_channel_switches(name);
  _dbg = switches.on;
  _level = switches.level;
  if (switches.time_stamps) output::time_output_on();
}

void tracegate::print(const char* msg, ...) const {
  if (!_dbg) return;
  output::cond_fail(msg == nullptr, "%s", kNullMessage);
  va_list argp;
  va_start(argp, msg);
  write_debug(output::component::get_default_component(), msg, argp);
  va_end(argp);
}

tracegate::component::component(const tracegate* pe, const char* name) : m_pe(pe), m_oc(name) {
  output::cond_fail(pe == nullptr, "tracegate::component::component: no tracegate pointer given");
}

void tracegate::component::print(const char* msg, ...) {
  if (!m_pe->is_on()) return;
  output::cond_fail(msg == nullptr, "%s", kNullMessage);
  va_list argp;
  va_start(argp, msg);
  write_debug(m_oc, msg, argp);
  va_end(argp);
}
