// SPDX-License-Identifier: MIT
// Programs run in a private mount namespace (unshare --mount), after a shell script that
// mounts what they should see there (a socket over /dev/log, a tiny file system), without
// touching the machine's own mounts; and a datagram socket to bind over such a path.
//
//   KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();   // a namespace needs root: says why it skips
//   kite_test::DatagramReceiver receiver;
//   run_with_private_mounts("mount --bind \"$1\" /dev/log\nshift\nexec \"$@\"\n",
//                           {receiver.path()}, program);
#ifndef KITE_TESTS_SUPPORT_PRIVATE_MOUNTS_H
#define KITE_TESTS_SUPPORT_PRIVATE_MOUNTS_H

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace kite_test {

inline const char* unshare_path() {
  return "/usr/bin/unshare";
}

// Runs program as the last part of script in a private mount namespace. The script gets
// params as $1..., then the program's command line; it ends with exec "$@" after a shift of
// its own params.
inline ProgramResult run_with_private_mounts(const std::string& script,
                                             const std::vector<std::string>& params,
                                             const ProgramRun& program) {
  ProgramRun run = program;
  run.path = unshare_path();
  run.argv0.reset();
  run.args = {"--mount", "--", "/bin/sh", "-c", "set -e\n" + script, "sh"};
  run.args.insert(run.args.end(), params.begin(), params.end());
  run.args.push_back(program.path);
  run.args.insert(run.args.end(), program.args.begin(), program.args.end());
  return run_program(run);
}

// Empty when private mounts work here; otherwise why not.
inline std::string private_mounts_unavailable() {
  if (access(unshare_path(), X_OK) != 0)
    return std::string(unshare_path()) + " is not installed (util-linux)";
  TempDir dir;
  ProgramRun run;
  run.path = "/bin/true";
  const ProgramResult result = run_with_private_mounts(
      "mount -t tmpfs kite-check \"$1\"\nshift\nexec \"$@\"\n", {dir.path()}, run);
  if (result.exited() && result.exit_code == 0) return "";
  std::string why = result.err;
  while (!why.empty() && why.back() == '\n') why.pop_back();
  return "a private mount namespace is not permitted here (needs root): " + why;
}

#define KITE_SKIP_WITHOUT_PRIVATE_MOUNTS()                             \
  do {                                                                 \
    const std::string why = kite_test::private_mounts_unavailable();   \
    if (!why.empty()) GTEST_SKIP() << "cannot run this test: " << why; \
  } while (0)

// A datagram socket bound in a private directory, to stand in for a system logger or the
// journal; path() is what to bind over the real socket's path.
class DatagramReceiver {
 public:
  DatagramReceiver() : path_(dir_.path("socket")) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path_.c_str());
    bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~DatagramReceiver() { close(); }
  DatagramReceiver(const DatagramReceiver&) = delete;
  DatagramReceiver& operator=(const DatagramReceiver&) = delete;

  bool bound() const { return bound_; }
  const std::string& path() const { return path_; }

  // Stops listening; the socket file stays, and senders are refused.
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Every datagram received so far, in order.
  std::vector<std::string> datagrams() {
    std::vector<std::string> received;
    char buffer[65536];
    for (ssize_t n; fd_ >= 0 && (n = recv(fd_, buffer, sizeof buffer, 0)) >= 0;)
      received.emplace_back(buffer, static_cast<size_t>(n));
    return received;
  }

 private:
  TempDir dir_;
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

}  // namespace kite_test

#endif
