// SPDX-License-Identifier: MIT
// The file backend: how it opens, what it does when the file cannot be written, and the real
// logrotate rotating the file while threads log.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "errorhandling/KITE_LogMsg_Bfile.h"
#include "gtest/gtest.h"
#include "log/stderr_redirect.h"
#include "support/private_mounts.h"
#include "support/recording_backend.h"
#include "support/temp_dir.h"

namespace {

using kite_test::TempDir;

// The manager writes only to backend for the scope's life.
class OnlyBackend {
 public:
  explicit OnlyBackend(KITE_LogMsg_Backend* backend) {
    kite_test::backend_manager()->clear();
    kite_test::backend_manager()->addBackend(backend);
  }
  ~OnlyBackend() { kite_test::restore_default_backends(); }
};

std::string contents(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The descriptor of this process that has path open, or -1.
int descriptor_of(const std::string& path) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) == path)
      return std::stoi(entry.path().filename().string());
  }
  return -1;
}

TEST(FileBackend, AppendsToTheFileOpenedCloseOnExecAndCreatesItWithMode0640) {
  struct Row {
    std::optional<std::string> before;  // the file's contents before, if there is one
    mode_t mode;                        // the file's mode afterwards
  };
  const Row rows[] = {{std::nullopt, 0640}, {std::string("old\n"), 0600}};
  const mode_t umask_before = umask(022);
  for (const Row& row : rows) {
    TempDir dir;
    const std::string path = dir.path("app.log");
    if (row.before) {
      std::ofstream(path) << *row.before;
      chmod(path.c_str(), 0600);
    }
    OnlyBackend only(new KITE_LogMsg_Bfile(path.c_str()));
    kite_test::log_stream()->error("one");
    kite_test::log_stream()->message("two");

    EXPECT_EQ(contents(path), row.before.value_or("") + "one\ntwo\n");
    struct stat status;
    ASSERT_EQ(stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, row.mode);
    const int fd = descriptor_of(path);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_APPEND);
  }
  umask(umask_before);
}

// A file that cannot be opened: one report for the streak, each line counted and tried
// again; once the directory is there the lines land, and a later streak is reported anew.
TEST(FileBackend, FailuresAreCountedReportedOncePerStreakAndTriedAgain) {
  TempDir dir;
  const std::string path = dir.path("logs/app.log");
  kite_test::StderrRedirect err;
  KITE_LogMsg_Bfile* file = new KITE_LogMsg_Bfile(path.c_str());
  OnlyBackend only(file);
  EXPECT_EQ(file->open_error(), ENOENT);
  KITE_LogMsg_Stream* log = kite_test::log_stream();
  log->error("lost 1");
  log->error("lost 2");
  ASSERT_EQ(mkdir(dir.path("logs").c_str(), 0700), 0);
  log->error("kept 1");
  ASSERT_EQ(rename(dir.path("logs").c_str(), dir.path("moved").c_str()), 0);
  KITE_LogMsg_Bfile::reopen();
  log->error("lost 3");

  EXPECT_EQ(file->failures(), 3u);
  EXPECT_EQ(contents(dir.path("moved/app.log")), "kept 1\n");
  const std::string report = "kite log: file " + path +
                             ": cannot open it: No such file or directory; lines are lost "
                             "until it opens again\n";
  EXPECT_EQ(err.text(), report + report);
}

// A file system that fills up: writes fail with one report per streak and no crash; after
// room is made the lines land again, up to the same size. Lines are 64 bytes, so a full
// file holds whole lines.
TEST(FileBackend, FullFileSystemGivesOneReportPerStreakAndLosesOnlyWhatDidNotFit) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  TempDir dir;
  const std::string path = dir.path("app.log");
  kite_test::ProgramRun probe;
  probe.path = LOG_BACKEND_PROBE;
  probe.args = {"file", path,       "lines",    "2000",  "a",  "failures", "size",
                path,   "truncate", path,       "lines", "10", "b",        "lines",
                "2000", "c",        "failures", "size",  path};
  const kite_test::ProgramResult result = kite_test::run_with_private_mounts(
      "mount -t tmpfs -o size=64k kite-full \"$1\"\nshift\nexec \"$@\"\n", {dir.path()}, probe);
  ASSERT_EQ(result.exit_code, 0) << result.err;

  unsigned long first_failures = 0, failures = 0;
  long long first_size = 0, size = 0;
  ASSERT_EQ(std::sscanf(result.out.c_str(), "failures %lu\nsize %lld\nfailures %lu\nsize %lld\n",
                        &first_failures, &first_size, &failures, &size),
            4)
      << result.out;
  const long long fit = first_size / 64;
  EXPECT_GT(fit, 10);
  EXPECT_EQ(first_size % 64, 0);
  EXPECT_EQ(size, first_size);
  EXPECT_EQ(first_failures, 2000 - fit);
  EXPECT_EQ(failures - first_failures, 10 + 2000 - fit);
  const std::string report = "kite log: file " + path +
                             ": write failed: No space left on device; lines are lost until a "
                             "write works again\n";
  EXPECT_EQ(result.err, report + report);
}

// ---------------------------------------------------------------------------------------------
// logrotate while threads log

const int kThreads = 4;
const int kRotations = 3;

void on_hangup(int) {
  KITE_LogMsg_Bfile::reopen();
}

// The log file and what rotation made of it.
struct Rotated {
  std::string path;
  std::vector<std::string> files;  // contents: the log file, then its rotations .1, .2, ...
  std::vector<int> written;        // lines each thread wrote
};

// Threads log numbered lines to a file backend while logrotate, with the given mode lines,
// rotates the file kRotations times; then the threads stop.
Rotated rotate_while_logging(const std::string& mode) {
  TempDir dir;
  Rotated rotated{dir.path("app.log"), {}, std::vector<int>(kThreads)};
  std::ofstream(dir.path("rotate.conf"))
      << rotated.path << " {\n  rotate " << kRotations << "\n  nocompress\n  missingok\n"
      << mode << "}\n";
  {
    OnlyBackend only(new KITE_LogMsg_Bfile(rotated.path.c_str()));
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        int line = 0;
        for (; !stop.load(); ++line) {
          kite_test::log_stream()->message("thread %d line %d", t, line);
          if (line % 64 == 63) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        rotated.written[t] = line;
      });
    kite_test::ProgramRun logrotate;
    logrotate.path = "/usr/sbin/logrotate";
    logrotate.args = {"--force", "--state", dir.path("state"), dir.path("rotate.conf")};
    for (int round = 0; round < kRotations; ++round) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      const kite_test::ProgramResult result = kite_test::run_program(logrotate);
      EXPECT_EQ(result.exit_code, 0) << result.err;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop.store(true);
    for (std::thread& thread : threads) thread.join();
  }
  rotated.files.push_back(contents(rotated.path));
  for (int n = 1; n <= kRotations; ++n)
    rotated.files.push_back(contents(rotated.path + "." + std::to_string(n)));
  return rotated;
}

#define SKIP_WITHOUT_LOGROTATE()                                                                \
  do {                                                                                          \
    if (access("/usr/sbin/logrotate", X_OK) != 0)                                               \
      GTEST_SKIP() << "cannot run this test: /usr/sbin/logrotate is not installed (logrotate)"; \
  } while (0)

// Every line of every file, as (thread, line), counted.
std::map<std::pair<int, int>, int> count_lines(const Rotated& rotated) {
  const std::regex pattern("thread ([0-9]+) line ([0-9]+)");
  std::map<std::pair<int, int>, int> seen;
  for (const std::string& file : rotated.files) {
    EXPECT_TRUE(file.empty() || file.back() == '\n');
    for (const std::string& line : lines_of(file)) {
      std::smatch match;
      EXPECT_TRUE(std::regex_match(line, match, pattern)) << "torn line: " << line;
      if (!match.empty()) ++seen[{std::stoi(match[1]), std::stoi(match[2])}];
    }
  }
  return seen;
}

// create mode with a postrotate that asks for the reopen: every line lands exactly once, in
// the file of before or the new one.
TEST(FileRotation, CreateModeWithReopenKeepsEveryLineExactlyOnce) {
  SKIP_WITHOUT_LOGROTATE();
  struct sigaction hangup = {}, before;
  hangup.sa_handler = on_hangup;
  ASSERT_EQ(sigaction(SIGHUP, &hangup, &before), 0);
  const Rotated rotated = rotate_while_logging("  create\n  postrotate\n    kill -HUP " +
                                               std::to_string(getpid()) + "\n  endscript\n");
  sigaction(SIGHUP, &before, nullptr);

  for (int n = 0; n <= kRotations; ++n)
    EXPECT_FALSE(rotated.files[n].empty()) << "file " << n << " got no line";
  std::map<std::pair<int, int>, int> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int line = 0; line < rotated.written[t]; ++line) expected[{t, line}] = 1;
  EXPECT_EQ(count_lines(rotated), expected);
}

// copytruncate: the copy and the truncation lose what comes between them, but the file never
// gets a hole of zero bytes, and no line is torn or doubled.
TEST(FileRotation, CopytruncateLeavesNoHole) {
  SKIP_WITHOUT_LOGROTATE();
  const Rotated rotated = rotate_while_logging("  copytruncate\n");
  for (int n = 0; n <= kRotations; ++n) {
    EXPECT_EQ(rotated.files[n].find('\0'), std::string::npos) << "a hole in file " << n;
    EXPECT_FALSE(rotated.files[n].empty()) << "file " << n << " got no line";
  }
  for (const auto& [line, count] : count_lines(rotated))
    EXPECT_EQ(count, 1) << "thread " << line.first << " line " << line.second;
}

}  // namespace
