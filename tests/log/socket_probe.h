// SPDX-License-Identifier: MIT
// The log backend probe run in a private mount namespace with a datagram receiver at the system
// logger's or the journal's socket, for the tests of the socket destinations.
#ifndef KITE_TESTS_LOG_SOCKET_PROBE_H
#define KITE_TESTS_LOG_SOCKET_PROBE_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/private_mounts.h"

namespace kite_test {

inline const char kDevLog[] = "/dev/log";
inline const char kJournal[] = "/run/systemd/journal/socket";

enum Receiver { kBound, kClosed, kNone };

// Runs the probe with an empty tmpfs over the top directory of socket (/dev, /run), and at
// socket the receiver (kBound), the receiver not listening (kClosed), or nothing (kNone). A
// probe still running after time_limit seconds is killed (SIGKILL, exit status 137), with every
// process it started.
inline ProgramResult run_probe(const char* socket, DatagramReceiver& receiver, Receiver bound,
                               std::vector<std::string> steps, const char* log_to = nullptr,
                               int time_limit = 120) {
  std::string script =
      "top=${2#/}\nmount -t tmpfs -o size=64k,mode=0755 kite \"/${top%%/*}\"\n"
      "mkdir -p \"${2%/*}\"\n";
  if (bound != kNone) script += ": > \"$2\"\nmount --bind \"$1\" \"$2\"\n";
  if (bound == kClosed) receiver.close();
  ProgramRun probe;
  probe.path = "/usr/bin/timeout";
  probe.args = {"--signal=KILL", std::to_string(time_limit), LOG_BACKEND_PROBE};
  probe.args.insert(probe.args.end(), steps.begin(), steps.end());
  probe.env["KITE_LOG_TO"] = log_to ? std::optional<std::string>(log_to) : std::nullopt;
  return run_with_private_mounts(script + "shift 2\nexec \"$@\"\n", {receiver.path(), socket},
                                 probe);
}

typedef std::map<std::string, std::string> Entry;

// One entry of the journal's native protocol: fields "NAME=value\n", or, for a value that may
// hold newlines, "NAME\n", the value's length as 64-bit little-endian, the value, "\n".
inline Entry journal_entry(const std::string& datagram) {
  Entry fields;
  for (size_t at = 0, end; (end = datagram.find_first_of("=\n", at)) != std::string::npos;) {
    const std::string name = datagram.substr(at, end - at);
    if (datagram[end] == '=') {
      at = datagram.find('\n', end) + 1;
      fields[name] = datagram.substr(end + 1, at - end - 2);
      continue;
    }
    uint64_t length = 0;
    for (int byte = 8; byte >= 1; --byte)
      length = length << 8 | static_cast<unsigned char>(datagram[end + byte]);
    fields[name] = datagram.substr(end + 9, length);
    at = end + 9 + length;
    if (datagram[at++] != '\n') fields["(malformed)"] = name;
  }
  return fields;
}

}  // namespace kite_test

#endif
