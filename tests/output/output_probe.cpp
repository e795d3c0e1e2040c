// SPDX-License-Identifier: MIT
// Drives the output module from its command line, one step after another, so tests can watch
// a fresh process: its switches, its executable name, the system log and the semaphore.
//
//   alt                       set_alternative_logging_capability()
//   time                      time_output_on()
//   setenv VAR VALUE          change the environment after start
//   on-signal                 catch SIGUSR1 with a handler that does nothing
//   KIND NAME TEXT            one line on component NAME ("-": the default component), KIND one
//                             of debug message warn error report fail
//   lines COUNT LENGTH CHAR   COUNT message lines of LENGTH times CHAR
#include "utility/output.h"

#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

void ignore_signal(int) {}

void write_one(const char* kind, const char* name, const char* text) {
  std::unique_ptr<output::component> named;
  if (std::strcmp(name, "-") != 0) named = std::make_unique<output::component>(name);
  output::component& target = named ? *named : output::component::get_default_component();
  const std::string k = kind;
  if (k == "debug") target.debug("%s", text);
  if (k == "message") target.message("%s", text);
  if (k == "warn") target.warn("%s", text);
  if (k == "error") target.error("%s", text);
  if (k == "report") target.report("%s", text);
  if (k == "fail") target.fail("%s", text);
}

}  // namespace

int main(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    if (step == "alt") {
      output::set_alternative_logging_capability();
    } else if (step == "time") {
      output::time_output_on();
    } else if (step == "setenv" && i + 2 < argc) {
      setenv(argv[i + 1], argv[i + 2], 1);
      i += 2;
    } else if (step == "on-signal") {
      struct sigaction action = {};
      action.sa_handler = ignore_signal;
      sigaction(SIGUSR1, &action, nullptr);
    } else if (step == "lines" && i + 3 < argc) {
      const std::string text(std::strtoul(argv[i + 2], nullptr, 10), argv[i + 3][0]);
      for (unsigned long n = std::strtoul(argv[i + 1], nullptr, 10); n > 0; --n)
        output::message("%s", text.c_str());
      i += 3;
    } else if (i + 2 < argc) {
      write_one(argv[i], argv[i + 1], argv[i + 2]);
      i += 2;
    } else {
      return 2;
    }
  }
  return 0;
}
