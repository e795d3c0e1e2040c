// SPDX-License-Identifier: MIT
// The output module in fresh processes: executable names, the system log through a private
// /dev/log, the clock, and serialisation through the machine-wide semaphore set.
#include "support/private_mounts.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using kite_test::ProgramResult;
using kite_test::ProgramRun;

const key_t kSemaphoreKey = 0x81579C;

ProgramRun probe_run(std::vector<std::string> steps) {
  ProgramRun run;
  run.path = OUTPUT_PROBE;
  run.args = std::move(steps);
  run.env["UTILITY_USE_SYSLOG"] = std::nullopt;
  run.env["UTILITY_SERIALIZED_OUTPUT"] = std::nullopt;
  return run;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Waits for condition up to ten seconds; true when it came.
bool eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Executable name

TEST(OutputProgram, ExecutableNameIsTheLastComponentOfArgv0) {
  struct Row {
    std::string argv0;
    std::string name;
  };
  const Row rows[] = {
      {"/some/dir/probe-name", "probe-name"},
      {"relative/probe", "probe"},
      {"plain", "plain"},
      // /proc gives at most 255 characters of it.
      {std::string(300, 'x'), std::string(255, 'x')},
      // Nothing to name: a failed search.
      {"", "UnknownExecutable"},
      {"tools/", "UnknownExecutable"},
  };
  for (const auto& row : rows) {
    ProgramRun run = probe_run({"message", "-", "hi"});
    run.argv0 = row.argv0;
    const ProgramResult result = kite_test::run_program(run);
    EXPECT_EQ(result.out, row.name + "[C++]:: Message: hi\n");
    EXPECT_EQ(result.exit_code, 0);
  }
}

// A failing clock costs one warning per line, without a time stamp, and the line goes out
// unstamped.
TEST(OutputProgram, FailingClockWarnsOncePerLine) {
  ProgramRun run = probe_run({"time", "message", "-", "one", "warn", "net", "two"});
  run.path = OUTPUT_PROBE_FAILING_CLOCK;
  run.argv0 = "clockless";
  const ProgramResult result = kite_test::run_program(run);
  const std::string warning =
      "Warning: output::component::general_output_function - time call failed\n";
  EXPECT_EQ(result.out, "clockless[C++]:: Message: one\n");
  // The warning goes through the component whose line it is.
  EXPECT_EQ(result.err, "clockless[C++]:: " + warning + "clockless[C++]:: Warning: net: " +
                            warning.substr(9) + "clockless[C++]:: Warning: net: two\n");
  EXPECT_EQ(result.exit_code, 0);
}

// A full non-blocking standard output is waited for, and a failed line costs no later line:
// every line arrives whole.
TEST(OutputProgram, FullNonBlockingStandardOutputLosesNoLine) {
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  ASSERT_EQ(fcntl(out[1], F_SETFL, O_NONBLOCK), 0);
  ProgramRun run = probe_run({"lines", "40", "4000", "N"});
  run.path = "/bin/sh";
  // The probe's output goes into the pipe; the test reads it only after the probe has filled it.
  run.args = {
      "-c", "exec \"$@\" >&" + std::to_string(out[1]), "sh", OUTPUT_PROBE, "lines", "40", "4000",
      "N"};
  fcntl(out[1], F_SETFD, 0);
  std::string text;
  std::thread reader([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    char buffer[65536];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
      text.append(buffer, static_cast<size_t>(n));
  });
  const ProgramResult result = kite_test::run_program(run);
  close(out[1]);
  reader.join();
  close(out[0]);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const std::vector<std::string> lines = split_lines(text);
  EXPECT_EQ(lines,
            std::vector<std::string>(40, "output_probe[C++]:: Message: " + std::string(4000, 'N')));
}

// ---------------------------------------------------------------------------------------------
// Private mounts: the probe runs in a mount namespace of its own, so /dev/log and /proc entries
// can be replaced without touching the machine.

using kite_test::run_with_private_mounts;

// What the system logger got: (priority value, text after the header) of each datagram,
// "<PRI>Mmm dd hh:mm:ss ident: text" as the C library's syslog sends it.
std::vector<std::pair<int, std::string>> syslog_messages(kite_test::DatagramReceiver& receiver) {
  const std::regex header(
      "<([0-9]+)>[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} "
      "output_probe: ([^]*)");
  std::vector<std::pair<int, std::string>> received;
  for (const std::string& datagram : receiver.datagrams()) {
    std::smatch match;
    if (std::regex_match(datagram, match, header))
      received.emplace_back(std::stoi(match[1]), match[2]);
    else
      received.emplace_back(-1, datagram);
  }
  return received;
}

// A fresh /dev holding only the receiver's socket as /dev/log.
const char* const kPrivateDevLog =
    "mount -t tmpfs -o size=64k,mode=0755 kite-dev /dev\n"
    ": > /dev/log\n"
    "mount --bind \"$1\" /dev/log\n"
    "shift\n"
    "exec \"$@\"\n";

TEST(OutputSyslog, LinesReachTheSystemLogWithPriorityFacilityAndText) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  kite_test::DatagramReceiver receiver;
  ASSERT_TRUE(receiver.bound());
  ProgramRun probe = probe_run({"warn",    "net",   "x=5",   "setenv", "UTILITY_USE_SYSLOG",
                                "0",       "alt",   "debug", "net",    "d",
                                "message", "-",     "m",     "warn",   "net",
                                "w",       "error", "net",   "e",      "report",
                                "net",     "r",     "fail",  "net",    "f"});
  probe.env["UTILITY_USE_SYSLOG"] = "1";
  probe.env["UTILITY_SERIALIZED_OUTPUT"] = "1";
  const ProgramResult result = run_with_private_mounts(kPrivateDevLog, {receiver.path()}, probe);

  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.term_signal, SIGABRT);
  // Before set_alternative_logging_capability the default facility (LOG_USER), LOG_LOCAL0
  // after it; the priority value is facility * 8 + priority.
  const int user = 1 * 8, local0 = 16 * 8;
  const std::vector<std::pair<int, std::string>> expected = {
      {user + LOG_WARNING, "Warning: net: x=5"}, {local0 + LOG_DEBUG, "Debug  : net: d"},
      {local0 + LOG_INFO, "Message: m"},         {local0 + LOG_WARNING, "Warning: net: w"},
      {local0 + LOG_ERR, "Error  : net: e"},     {local0 + LOG_NOTICE, "Notice : net: r"},
      {local0 + LOG_EMERG, "Failure: net: f"},
  };
  EXPECT_EQ(syslog_messages(receiver), expected);
}

TEST(OutputSyslog, SwitchTurnedOnAfterTheFirstLineHasNoEffect) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  kite_test::DatagramReceiver receiver;
  ASSERT_TRUE(receiver.bound());
  ProgramRun probe = probe_run(
      {"message", "-", "one", "setenv", "UTILITY_USE_SYSLOG", "1", "alt", "message", "-", "two"});
  const ProgramResult result = run_with_private_mounts(kPrivateDevLog, {receiver.path()}, probe);
  EXPECT_EQ(result.out, "output_probe[C++]:: Message: one\noutput_probe[C++]:: Message: two\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(syslog_messages(receiver).empty());
}

// When /proc does not tell the name, it comes from ps, read through awk's fields.
TEST(OutputProgram, ExecutableNameFallsBackToPs) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  kite_test::TempDir fake;
  {
    std::ofstream ps(fake.path() + "/ps");
    ps << "#!/bin/sh\n"
          "echo '    PID TTY      STAT   TIME COMMAND'\n"
          "case \"$FAKE_PS\" in\n"
          "  plain) echo \"$2 pts/0 S 0:00 /opt/tools/from-ps --flag\" ;;\n"
          "  plus) echo \"$2 pts/0 S + 0:00 /x/after-plus\" ;;\n"
          "esac\n";
  }
  ASSERT_EQ(chmod((fake.path() + "/ps").c_str(), 0755), 0);
  // The probe keeps the shell's process id, so this hides its own /proc entry.
  const char* const script =
      "mount --bind /dev/null /proc/$$/cmdline\n"
      "PATH=\"$1:$PATH\"\n"
      "shift\n"
      "exec \"$@\"\n";
  const std::map<std::string, std::string> rows = {
      {"plain", "from-ps"}, {"plus", "after-plus"}, {"silent", "UnknownExecutable"}};
  for (const auto& [mode, name] : rows) {
    ProgramRun probe = probe_run({"message", "-", "hi"});
    probe.env["FAKE_PS"] = mode;
    const ProgramResult result = run_with_private_mounts(script, {fake.path()}, probe);
    EXPECT_EQ(result.out, name + "[C++]:: Message: hi\n") << mode << ": " << result.err;
    EXPECT_EQ(result.exit_code, 0);
  }
}

// ---------------------------------------------------------------------------------------------
// Serialisation through the semaphore set, which all processes of this user share.

int semaphore_set() {
  return semget(kSemaphoreKey, 1, IPC_CREAT | 0600);
}
int semaphore_value(int id) {
  return semctl(id, 0, GETVAL);
}

// Another user's set (permissions 0600) leaves this user's lines unserialised.
#define SKIP_WITHOUT_SEMAPHORE_SET()                                                   \
  do {                                                                                 \
    if (semaphore_set() < 0)                                                           \
      GTEST_SKIP() << "cannot run this test: the semaphore set 0x81579C is not ours: " \
                   << std::strerror(errno);                                            \
  } while (0)

// Holds the output lock like a writing process does; the kernel undoes it should the test die.
class HeldLock {
 public:
  explicit HeldLock(int id) : id_(id) {
    sembuf take[2] = {{0, 0, 0}, {0, 1, SEM_UNDO}};
    held_ = semop(id_, take, 2) == 0;
  }
  ~HeldLock() { release(); }
  bool held() const { return held_; }
  // Does not wait: releasing a lock somebody else already dropped is an error, not a hang.
  bool release() {
    if (!held_) return false;
    held_ = false;
    sembuf give[1] = {{0, -1, SEM_UNDO | IPC_NOWAIT}};
    return semop(id_, give, 1) == 0;
  }

 private:
  int id_;
  bool held_ = false;
};

// Whether the process sleeps in one of the given system calls.
bool blocked_in(pid_t pid, std::initializer_list<long> calls) {
  std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
  std::string number;
  syscall >> number;
  for (long call : calls)
    if (number == std::to_string(call)) return true;
  return false;
}

// Starts the probe with its standard output into out_fd; the caller waits for it.
pid_t spawn_probe(const std::vector<std::string>& steps, int out_fd) {
  std::vector<std::string> argv_text = {"output_probe"};
  argv_text.insert(argv_text.end(), steps.begin(), steps.end());
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(out_fd, 1);
    const int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 2);
    setenv("UTILITY_SERIALIZED_OUTPUT", "1", 1);
    unsetenv("UTILITY_USE_SYSLOG");
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(OUTPUT_PROBE, argv.data());
    _exit(127);
  }
  return pid;
}

TEST(OutputSerialised, LinesOfTwoProcessesNeverInterleave) {
  SKIP_WITHOUT_SEMAPHORE_SET();
  const int count = 300;
  const std::string text_length = "4095";  // the longest text, so a line exceeds PIPE_BUF
  ProgramRun run;
  run.path = "/bin/sh";
  run.args = {"-c",
              "\"$1\" lines $2 $3 A & \"$1\" lines $2 $3 B; wait",
              "sh",
              OUTPUT_PROBE,
              std::to_string(count),
              text_length};
  run.env["UTILITY_SERIALIZED_OUTPUT"] = "1";
  run.env["UTILITY_USE_SYSLOG"] = std::nullopt;
  const ProgramResult result = kite_test::run_program(run);
  ASSERT_EQ(result.exit_code, 0) << result.err;

  const std::string prefix = "output_probe[C++]:: Message: ";
  const std::string line_a = prefix + std::string(4095, 'A');
  const std::string line_b = prefix + std::string(4095, 'B');
  int as = 0, bs = 0, torn = 0;
  for (const auto& line : split_lines(result.out)) {
    if (line == line_a)
      ++as;
    else if (line == line_b)
      ++bs;
    else
      ++torn;
  }
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(as, count);
  EXPECT_EQ(bs, count);
}

TEST(OutputSerialised, ProcessKilledWhileHoldingTheLockDoesNotBlockOthers) {
  SKIP_WITHOUT_SEMAPHORE_SET();
  const int id = semaphore_set();
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
  // Nobody reads the pipe: once it is full, the writer blocks inside its locked line.
  const pid_t holder = spawn_probe({"lines", "100000", "4000", "H"}, out[1]);
  close(out[1]);
  ASSERT_GT(holder, 0);
  const bool stuck_holding = eventually([&] {
    return blocked_in(holder, {SYS_write}) && semaphore_value(id) == 1 &&
           semctl(id, 0, GETPID) == holder;
  });
  kill(holder, SIGKILL);
  int status = 0;
  waitpid(holder, &status, 0);
  close(out[0]);
  ASSERT_TRUE(stuck_holding) << "the writer never blocked while holding the lock";

  EXPECT_TRUE(eventually([&] { return semaphore_value(id) == 0; }))
      << "the killed holder's lock was not undone";
  // timeout turns a hang into a failure.
  ProgramRun next = probe_run({"message", "-", "after"});
  next.env["UTILITY_SERIALIZED_OUTPUT"] = "1";
  next.args.insert(next.args.begin(), {"20", OUTPUT_PROBE});
  next.path = "/usr/bin/timeout";
  const ProgramResult result = kite_test::run_program(next);
  EXPECT_EQ(result.out, "output_probe[C++]:: Message: after\n");
  EXPECT_EQ(result.exit_code, 0);
}

// Two kit programs in one pipeline: the first holds the lock while it blocks on the full pipe,
// and the second writes a line before it would read. The second waits a bounded time, then
// writes unserialised and warns once. In a private semaphore namespace, so that no other
// test's lines meet the held lock.
TEST(OutputSerialised, AHeldLockDelaysALineButNeverStopsIt) {
  if (access(kite_test::unshare_path(), X_OK) != 0)
    GTEST_SKIP() << "cannot run this test: no " << kite_test::unshare_path();
  ProgramRun run;
  run.path = kite_test::unshare_path();
  run.args = {"--ipc",
              "--",
              "/bin/sh",
              "-c",
              "\"$1\" lines 100000 4000 H | sleep 60 &\n"
              "holder=$(pgrep -n -P $$ -f 'lines 100000')\n"
              "for i in $(seq 100); do\n"
              "  case $(cat /proc/$holder/wchan) in *pipe_write) break ;; esac; sleep 0.1\n"
              "done\n"
              "timeout 30 \"$1\" message - one message - two\n"
              "status=$?; pkill -P $$; exit $status",
              "sh",
              OUTPUT_PROBE};
  run.env["UTILITY_SERIALIZED_OUTPUT"] = "1";
  run.env["UTILITY_USE_SYSLOG"] = std::nullopt;
  const ProgramResult result = kite_test::run_program(run);
  if (result.err.find("unshare failed") != std::string::npos)
    GTEST_SKIP() << "cannot run this test: a private semaphore namespace needs root: "
                 << result.err;
  EXPECT_EQ(result.out, "output_probe[C++]:: Message: one\noutput_probe[C++]:: Message: two\n");
  EXPECT_EQ(result.err,
            "output_probe[C++]:: Warning: output::component::general_output_function - output lock "
            "busy, writing unserialised\n");
  EXPECT_EQ(result.exit_code, 0);
}

// A signal that interrupts the wait for the lock neither lets the line out unlocked nor
// releases somebody else's lock.
TEST(OutputSerialised, SignalDuringTheWaitKeepsWaiting) {
  SKIP_WITHOUT_SEMAPHORE_SET();
  const int id = semaphore_set();
  int out[2];
  ASSERT_EQ(pipe2(out, O_CLOEXEC | O_NONBLOCK), 0);
  HeldLock lock(id);
  ASSERT_TRUE(lock.held());
  const pid_t waiter = spawn_probe({"on-signal", "message", "-", "late"}, out[1]);
  close(out[1]);
  ASSERT_GT(waiter, 0);
  // semop is semtimedop underneath on x86-64; /proc shows the call the process sleeps in.
  const bool waiting = eventually([&] { return blocked_in(waiter, {SYS_semtimedop, SYS_semop}); });
  if (waiting) {
    kill(waiter, SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  char buffer[256];
  const ssize_t early = read(out[0], buffer, sizeof buffer);
  const bool released = lock.release();
  int status = 0;
  waitpid(waiter, &status, 0);
  const ssize_t got = read(out[0], buffer, sizeof buffer);
  close(out[0]);

  ASSERT_TRUE(waiting) << "the probe never waited for the lock";
  EXPECT_LE(early, 0) << "the line went out while the lock was held by someone else";
  EXPECT_TRUE(released) << "the interrupted writer released a lock it never took";
  EXPECT_EQ(std::string(buffer, got > 0 ? static_cast<size_t>(got) : 0),
            "output_probe[C++]:: Message: late\n");
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
