// SPDX-License-Identifier: MIT
// Destinations that stop taking lines (a system logger or a journal that stops reading its
// socket) and programs that fork while other threads log: logging threads never wait for long,
// lost lines are counted and reported, a child logs at once.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "log/socket_probe.h"

namespace {

using kite_test::DatagramReceiver;
using kite_test::ProgramResult;

// The text of each datagram a receiver got: the journal's MESSAGE, or syslog's text after its
// header ("<PRI>Mmm dd hh:mm:ss identity: ").
std::vector<std::string> texts(const std::vector<std::string>& datagrams, const char* socket) {
  std::vector<std::string> found;
  for (const std::string& datagram : datagrams) {
    if (socket == kite_test::kJournal) {
      found.push_back(kite_test::journal_entry(datagram)["MESSAGE"]);
    } else {
      const size_t colon = datagram.find(": ");
      found.push_back(colon == std::string::npos ? datagram : datagram.substr(colon + 2));
    }
  }
  return found;
}

// Lines of "threads" steps arrive whole, each thread's in order; returns how many.
size_t check_thread_lines(const std::vector<std::string>& lines) {
  std::vector<int> next(8, 0);
  for (const std::string& line : lines) {
    int thread = -1, number = -1;
    EXPECT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &thread, &number), 2) << line;
    if (thread < 0 || thread >= 8) return 0;
    EXPECT_GE(number, next[thread]) << "repeated or reordered: " << line;
    next[thread] = number + 1;
  }
  return lines.size();
}

// 4 threads x 500 lines to a receiver that never reads: the threads finish at once; at the end
// the program waits a bounded time, then says on standard error how many lines were lost.
TEST(StalledDestination, LoggingThreadsGoOnAndTheLostLinesAreReportedAtTheEnd) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  for (const char* socket : {kite_test::kJournal, kite_test::kDevLog}) {
    DatagramReceiver receiver;
    const char* log_to = socket == kite_test::kJournal ? "journal" : "syslog";
    const ProgramResult result = kite_test::run_probe(socket, receiver, kite_test::kBound,
                                                      {"threads", "4", "500", "0"}, log_to, 30);
    ASSERT_EQ(result.exit_code, 0) << log_to << " stalled the program: " << result.err;
    const size_t received = check_thread_lines(texts(receiver.datagrams(), socket));
    EXPECT_GT(received, 0u) << log_to;
    EXPECT_EQ(result.err, "kite log: " + std::to_string(2000 - received) +
                              " lines lost: the destination stalled and did not take them "
                              "within 1000 ms at the end\n")
        << log_to;
  }
}

// Reads the receiver once the file mark exists (at most 60 s later), until stopped.
class LateReader {
 public:
  LateReader(DatagramReceiver& receiver, std::string mark)
      : thread_([this, &receiver, mark] {
          struct stat status;
          for (int waited = 0; waited < 60000 && stat(mark.c_str(), &status) != 0; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          while (!stop_) {
            for (std::string& datagram : receiver.datagrams()) got_.push_back(std::move(datagram));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
          for (std::string& datagram : receiver.datagrams()) got_.push_back(std::move(datagram));
        }) {}

  // Everything received; ends the reading.
  std::vector<std::string> stop() {
    stop_ = true;
    thread_.join();
    return got_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::vector<std::string> got_;
  std::thread thread_;
};

// The journal stops reading while 4 threads log 1000 long lines each, more than the queue
// holds; once it reads again it first gets the lines queued before the stall, then one warning
// that counts the lines lost, then what was logged later.
TEST(StalledDestination, WhenTheDestinationTakesLinesAgainAWarningCountsTheLostOnes) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  kite_test::TempDir dir;
  const std::string mark = dir.path("stalled");
  DatagramReceiver receiver;
  LateReader reader(receiver, mark);
  const ProgramResult result = kite_test::run_probe(
      kite_test::kJournal, receiver, kite_test::kBound,
      {"threads", "4", "1000", "200", "mark", mark, "flush", "30000", "log", "6", "after"},
      "journal", 60);
  const std::vector<std::string> got = reader.stop();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "");
  ASSERT_GE(got.size(), 3u);
  const std::vector<std::string> messages = texts(got, kite_test::kJournal);
  const size_t received =
      check_thread_lines(std::vector<std::string>(messages.begin(), messages.end() - 2));
  unsigned long lost = 0;
  char rest[128] = "";
  ASSERT_EQ(std::sscanf(messages[messages.size() - 2].c_str(),
                        "kite log: %lu lines lost: %127[^\n]", &lost, rest),
            2)
      << messages[messages.size() - 2];
  EXPECT_EQ(std::string(rest), "the destination stalled and the log queue was full");
  EXPECT_EQ(kite_test::journal_entry(got[got.size() - 2])["PRIORITY"], "4");
  EXPECT_GT(lost, 0u);
  EXPECT_EQ(received + lost, 4000u);
  EXPECT_EQ(messages.back(), "after");
}

// 4 threads log while the program forks 30 times; each child logs one line and _exits.
TEST(LogFork, AChildForkedWhileOtherThreadsLogLogsAtOnce) {
  kite_test::ProgramRun probe;
  probe.path = "/usr/bin/timeout";
  probe.args = {"--signal=KILL", "60", LOG_BACKEND_PROBE, "stderr", "6", "forks", "30"};
  const ProgramResult result = kite_test::run_program(probe);
  EXPECT_EQ(result.out, "hung 0\n");
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = result.err.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(result.err.substr(at, end - at));
  std::sort(lines.begin(), lines.end());
  std::vector<std::string> expected;
  for (int i = 0; i < 30; ++i) expected.push_back("child " + std::to_string(i));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
}

// fork() waits for a line being written, except on the thread that writes it: a backend
// that runs another program for each line (as with popen) goes on working.
TEST(LogFork, ABackendMayForkInItsWrite) {
  kite_test::ProgramRun probe;
  probe.path = "/usr/bin/timeout";
  probe.args = {
      "--signal=KILL", "60", LOG_BACKEND_PROBE, "forking", "log", "3", "one", "log", "3", "two"};
  const ProgramResult result = kite_test::run_program(probe);
  EXPECT_EQ(result.out, "child 7\nchild 7\n");
  EXPECT_EQ(result.exit_code, 0);
}

// Lines queued when the program forks are the parent's: it delivers them, once; the child
// starts a writer of its own for its line.
TEST(LogFork, LinesQueuedAtTheForkAreTheParentsAndTheChildHasItsOwnWriter) {
  kite_test::TempDir dir;
  const std::string path = dir.path("lines");
  kite_test::ProgramRun probe;
  probe.path = "/usr/bin/timeout";
  probe.args = {"--signal=KILL",
                "60",
                LOG_BACKEND_PROBE,
                "gate",
                path,
                "log",
                "6",
                "one",
                "log",
                "6",
                "two",
                "fork-log",
                "child",
                "log",
                "6",
                "three",
                "open"};
  // ThreadSanitizer lets a child of a process with threads start one only when told so.
  probe.env["TSAN_OPTIONS"] = "die_after_fork=0";
  const ProgramResult result = kite_test::run_program(probe);
  EXPECT_EQ(result.out, "child 0\n");
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.exit_code, 0);
  std::vector<std::string> parent, child;
  int parent_pid = 0;
  std::istringstream lines(dir.read("lines"));
  for (std::string line; std::getline(lines, line);) {
    const int pid = std::stoi(line);
    const std::string text = line.substr(line.find(' ') + 1);
    if (text == "child") {
      child.push_back(line);
    } else {
      if (parent_pid == 0) parent_pid = pid;
      EXPECT_EQ(pid, parent_pid) << line;
      parent.push_back(text);
    }
  }
  EXPECT_EQ(parent, (std::vector<std::string>{"one", "two", "three"}));
  ASSERT_EQ(child.size(), 1u);
  EXPECT_NE(std::stoi(child[0]), parent_pid);
}

}  // namespace
