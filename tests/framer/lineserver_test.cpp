// SPDX-License-Identifier: MIT
// The example line server as its users run it: its options, its usage text (the one in
// README.md), and a run that serves a connection and stops at SIGTERM.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/run_program.h"

namespace {

kite_test::ProgramResult lineserver(const std::vector<std::string>& args) {
  kite_test::ProgramRun run;
  run.path = LINESERVER;
  run.args = args;
  return kite_test::run_program(run);
}

// The block that follows "<!-- lineserver --help -->" in README.md, without its fences.
std::string readme_usage() {
  std::ifstream readme(README);
  std::string line, usage;
  while (std::getline(readme, line) && line != "<!-- lineserver --help -->") {
  }
  std::getline(readme, line);  // the opening fence
  while (std::getline(readme, line) && line != "```") usage += line + "\n";
  return usage;
}

TEST(LineServerProgram, HelpPrintsTheUsageOfTheReadme) {
  const kite_test::ProgramResult result = lineserver({"--help"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, readme_usage());
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("--threads=N"), std::string::npos);
}

TEST(LineServerProgram, BadOptionsExitWithTwo) {
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--threads=0"}, "lineserver: bad value '0' of -t\n"},
      {{"-p", "70000"}, "lineserver: bad value '70000' of -p\n"},
      {{"--idle=soon"}, "lineserver: bad value 'soon' of -i\n"},
      {{"--max-connections=-1"}, "lineserver: bad value '-1' of -c\n"},
      {{"extra"}, "lineserver: unexpected argument 'extra'\n"},
  };
  for (const auto& c : cases) {
    const kite_test::ProgramResult result = lineserver(c.args);
    EXPECT_EQ(result.exit_code, 2) << c.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.err + "Try 'lineserver --help' for more information.\n");
  }
}

// Reads what fd gives until text has a line that contains want, for up to ten seconds.
bool read_until(int fd, std::string& text, const std::string& want) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (text.find(want) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    char buffer[512];
    ssize_t n = 0;
    if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1 ||
        (n = read(fd, buffer, sizeof buffer)) <= 0)
      return false;
    text.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

TEST(LineServerProgram, ServesOnTwoThreadsAndStopsAtSigterm) {
  int err[2];
  ASSERT_EQ(pipe2(err, O_CLOEXEC), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(err[1], 2);
    unsetenv("JOURNAL_STREAM");
    unsetenv("KITE_LOG_TO");
    execl(LINESERVER, "lineserver", "--threads=2", "--idle=60", "-c", "10", nullptr);
    _exit(127);
  }
  close(err[1]);
  std::string logged;
  ASSERT_TRUE(read_until(err[0], logged, " thread(s)\n")) << logged;
  unsigned int port = 0;
  ASSERT_EQ(sscanf(logged.c_str(), "listening on 127.0.0.1 port %u with 2 thread(s)", &port), 1)
      << logged;

  const int client = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(write(client, "a\nb\n", 4), 4);
  close(client);
  EXPECT_TRUE(read_until(err[0], logged, "lines dropped\n")) << logged;
  kill(child, SIGTERM);
  read_until(err[0], logged, "never comes");  // to the end of the program's output
  close(err[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::ostringstream expected;
  expected << "listening on 127.0.0.1 port " << port << " with 2 thread(s)\n"
           << "connection 1 (end of file): 2 lines, 4 bytes, 0 over-long lines dropped\n"
           << "stopping with 0 connection(s) open\n";
  EXPECT_EQ(logged, expected.str());
}

}  // namespace
