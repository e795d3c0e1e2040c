// SPDX-License-Identifier: MIT
// The file backend: how it opens, what it does when the file cannot be written, and the real
// logrotate rotating the file while threads log.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "errorhandling/KITE_LogMsg_Bfile.h"
#include "gtest/gtest.h"
#include "support/capture.h"
#include "support/file_lines.h"
#include "support/private_mounts.h"
#include "support/recording_backend.h"
#include "support/temp_dir.h"

namespace {

using kite_test::TempDir;

// The manager writes only to backend for the scope's life. Like LogCapture, it makes the
// calling thread's stream first, so threads started later find ACE's key for the streams made.
struct OnlyBackend {
  explicit OnlyBackend(KITE_LogMsg_Backend* backend) {
    kite_test::log_stream()->flush();
    kite_test::backend_manager()->clear();
    kite_test::backend_manager()->addBackend(backend);
  }
  ~OnlyBackend() { kite_test::restore_default_backends(); }
};

// The flags of the descriptor this process has path open with; -1 when none.
std::pair<int, int> descriptor_flags(const std::string& path) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    if (std::filesystem::read_symlink(entry.path(), error) != path) continue;
    const int fd = std::stoi(entry.path().filename().string());
    return {fcntl(fd, F_GETFD), fcntl(fd, F_GETFL)};
  }
  return {-1, -1};
}

TEST(FileBackend, AppendsToTheFileOpenedCloseOnExecAndCreatesItWithMode0640) {
  const std::optional<std::string> befores[] = {std::nullopt, std::string("old\n")};
  const mode_t umask_before = umask(022);
  for (const std::optional<std::string>& before : befores) {
    TempDir dir;
    const std::string path = dir.path("app.log");
    if (before) std::ofstream(path) << *before;
    if (before) chmod(path.c_str(), 0600);  // an old file keeps its mode
    OnlyBackend only(new KITE_LogMsg_Bfile(path.c_str(), KITE_LogMsg_Bfile::BARE));
    kite_test::log_stream()->error("one");
    kite_test::log_stream()->message("two");

    EXPECT_EQ(dir.read("app.log"), before.value_or("") + "one\ntwo\n");
    struct stat status = {};
    stat(path.c_str(), &status);
    EXPECT_EQ(status.st_mode & 07777, before ? 0600u : 0640u);
    const auto [fd_flags, file_flags] = descriptor_flags(path);
    EXPECT_TRUE(fd_flags != -1 && fd_flags & FD_CLOEXEC);
    EXPECT_TRUE(file_flags != -1 && file_flags & O_APPEND);
  }
  umask(umask_before);
}

// By default each physical line begins with the time (RFC 3339: local time to the
// microsecond, with its offset), identity[pid] and syslog's name of the priority.
TEST(FileBackend, StampedLinesSayWhenWhoAndHowSevere) {
  TempDir dir;
  const long long before = kite_test::microseconds_now();
  {
    OnlyBackend only(new KITE_LogMsg_Bfile(dir.path("app.log").c_str()));
    for (int p = KITE_LogMsg_Stream::EMERGENCY; p <= KITE_LogMsg_Stream::LDEBUG; ++p)
      kite_test::log_stream()->log(static_cast<KITE_LogMsg_Stream::Priority>(p), "p %d", p);
    kite_test::log_stream()->warn("first\nsecond");
  }
  const long long after = kite_test::microseconds_now();
  const char* const levels[] = {"emerg",  "alert", "crit",  "err",     "warning",
                                "notice", "info",  "debug", "warning", "warning"};
  const char* const texts[] = {"p 0", "p 1", "p 2", "p 3",   "p 4",
                               "p 5", "p 6", "p 7", "first", "second"};
  const std::vector<kite_test::FileLine> lines = kite_test::file_lines(dir.read("app.log"));
  ASSERT_EQ(lines.size(), 10u);
  long long previous = before;
  for (size_t n = 0; n < lines.size(); ++n) {
    const kite_test::FileLine& line = lines[n];
    EXPECT_EQ(line.identity, program_invocation_short_name);
    EXPECT_EQ(line.pid, getpid());
    EXPECT_EQ(line.level, levels[n]);
    EXPECT_EQ(line.text, texts[n]);
    long long at = 0;
    long offset = 0;
    ASSERT_TRUE(kite_test::stamp_time(line.stamp, at, offset)) << line.stamp;
    EXPECT_GE(at, previous) << line.stamp;
    EXPECT_LE(at, after) << line.stamp;
    const time_t second = static_cast<time_t>(at / 1000000);
    tm local = {};
    localtime_r(&second, &local);
    EXPECT_EQ(offset, local.tm_gmtoff) << line.stamp;
    previous = at;
  }
  EXPECT_EQ(lines[8].stamp, lines[9].stamp);  // one message, one stamp
}

// A backend applies its own limit also when called directly (by a backend that wraps it,
// say), not only when the manager skips it.
TEST(LineBackends, ApplyTheirOwnLimitWhenCalledDirectly) {
  TempDir dir;
  for (const bool to_file : {false, true}) {
    std::string written;
    {
      kite_test::OutputCapture capture;
      std::unique_ptr<KITE_LogMsg_Backend> backend;
      if (to_file)
        backend = std::make_unique<KITE_LogMsg_Bfile>(dir.path("app.log").c_str());
      else
        backend = std::make_unique<KITE_LogMsg_Bstderr>();
      backend->setLogUpto(KITE_LogMsg_Stream::WARNING);
      backend->write(KITE_LogMsg_Stream::NOTICE, "hidden\n", 7);
      backend->write(KITE_LogMsg_Stream::WARNING, "shown\n", 6);
      written = to_file ? dir.read("app.log") : capture.err();
    }
    EXPECT_EQ(kite_test::texts(written), std::vector<std::string>{"shown\n"})
        << (to_file ? "file" : "standard error");
  }
}

// A file that cannot be opened: one report for the streak, each line counted and tried
// again; once the directory is there the lines land, and a later streak is reported anew.
TEST(FileBackend, FailuresAreCountedReportedOncePerStreakAndTriedAgain) {
  TempDir dir;
  const std::string path = dir.path("logs/app.log");
  kite_test::OutputCapture err;
  KITE_LogMsg_Bfile* file = new KITE_LogMsg_Bfile(path.c_str());
  OnlyBackend only(file);
  EXPECT_EQ(file->open_error(), ENOENT);
  KITE_LogMsg_Stream* log = kite_test::log_stream();
  log->error("lost 1");
  log->error("lost 2");
  mkdir(dir.path("logs").c_str(), 0700);
  log->error("kept 1");
  rename(dir.path("logs").c_str(), dir.path("moved").c_str());
  KITE_LogMsg_Bfile::reopen();
  log->error("lost 3");

  EXPECT_EQ(file->failures(), 3u);
  EXPECT_EQ(kite_test::texts(dir.read("moved/app.log")), std::vector<std::string>{"kept 1\n"});
  const std::string report = "kite log: file " + path +
                             ": cannot open it: No such file or directory; lines are lost "
                             "until it opens again\n";
  EXPECT_EQ(err.err(), report + report);
}

// A file system that fills up: one report per streak and no crash; after room is made the
// lines land again, up to the same size. Lines are 64 bytes, so a full file holds whole lines.
TEST(FileBackend, FullFileSystemGivesOneReportPerStreakAndLosesOnlyWhatDidNotFit) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  TempDir dir;
  const std::string path = dir.path("app.log");
  kite_test::ProgramRun probe;
  probe.path = LOG_BACKEND_PROBE;
  probe.args = {"bare-file", path,       "lines",    "2000",  "a",  "failures", "size",
                path,        "truncate", path,       "lines", "10", "b",        "lines",
                "2000",      "c",        "failures", "size",  path};
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

// Threads log numbered lines to a file backend while logrotate, with the given mode lines,
// rotates the file kRotations times. Returns the contents of the file and its rotations .1,
// .2, ...; lines_written, the lines each thread wrote.
std::vector<std::string> rotate_while_logging(const std::string& mode,
                                              std::vector<int>& lines_written) {
  TempDir dir;
  std::ofstream(dir.path("rotate.conf"))
      << dir.path("app.log") << " {\n  rotate " << kRotations << "\n  nocompress\n"
      << mode << "}\n";
  {
    OnlyBackend only(new KITE_LogMsg_Bfile(dir.path("app.log").c_str()));
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    lines_written.assign(kThreads, 0);
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&, t] {
        int& line = lines_written[t];
        for (; !stop.load(); ++line) {
          kite_test::log_stream()->message("thread %d line %d", t, line);
          if (line % 64 == 63) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
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
  std::vector<std::string> files = {dir.read("app.log")};
  for (int n = 1; n <= kRotations; ++n) files.push_back(dir.read("app.log." + std::to_string(n)));
  return files;
}

#define SKIP_WITHOUT_LOGROTATE()                                                                \
  do {                                                                                          \
    if (access("/usr/sbin/logrotate", X_OK) != 0)                                               \
      GTEST_SKIP() << "cannot run this test: /usr/sbin/logrotate is not installed (logrotate)"; \
  } while (0)

// Every line of the files, as (thread, line), counted; each file got lines, whole and
// stamped ones. A copy that copytruncate made (files after the first) may end in the part of
// a line that was being written while logrotate read; the rest of that line went to the
// file and was truncated away.
std::map<std::pair<int, int>, int> count_lines(const std::vector<std::string>& files,
                                               bool copies = false) {
  const std::regex pattern("thread ([0-9]+) line ([0-9]+)");
  std::map<std::pair<int, int>, int> seen;
  for (size_t n = 0; n < files.size(); ++n) {
    EXPECT_FALSE(files[n].empty()) << "file " << n << " got no line";
    for (const kite_test::FileLine& line : kite_test::file_lines(files[n])) {
      std::smatch match;
      if (line.ended && !line.stamp.empty() && std::regex_match(line.text, match, pattern))
        ++seen[{std::stoi(match[1]), std::stoi(match[2])}];
      else if (!(copies && n > 0 && !line.ended))
        ADD_FAILURE() << "torn line in file " << n << ": " << line.stamp << line.text;
    }
  }
  return seen;
}

// create mode with a postrotate that asks for the reopen: every line lands exactly once, in
// the file of before or the new one.
TEST(FileRotation, CreateModeWithReopenKeepsEveryLineExactlyOnce) {
  SKIP_WITHOUT_LOGROTATE();
  struct sigaction hangup = {}, before;
  hangup.sa_handler = [](int) { KITE_LogMsg_Bfile::reopen(); };
  sigaction(SIGHUP, &hangup, &before);
  std::vector<int> written;
  const std::vector<std::string> files = rotate_while_logging(
      "  create\n  postrotate\n    kill -HUP " + std::to_string(getpid()) + "\n  endscript\n",
      written);
  sigaction(SIGHUP, &before, nullptr);

  std::map<std::pair<int, int>, int> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int line = 0; line < written[t]; ++line) expected[{t, line}] = 1;
  EXPECT_EQ(count_lines(files), expected);
}

// copytruncate: what comes between the copy and the truncation is lost, but the file never
// gets a hole of zero bytes, and no line is doubled.
TEST(FileRotation, CopytruncateLeavesNoHole) {
  SKIP_WITHOUT_LOGROTATE();
  std::vector<int> written;
  const std::vector<std::string> files = rotate_while_logging("  copytruncate\n", written);
  for (const std::string& file : files) EXPECT_EQ(file.find('\0'), std::string::npos) << "a hole";
  for (const auto& [line, count] : count_lines(files, true))
    EXPECT_EQ(count, 1) << "thread " << line.first << " line " << line.second;
}

}  // namespace
