// SPDX-License-Identifier: MIT
// The backend manager: limits, order and ownership of backends, the standard-error
// backend, and the fatal paths of the log stream that go through the manager.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "errorhandling/KITE_LogMsg_Basync.h"
#include "gtest/gtest.h"
#include "support/capture.h"
#include "support/recording_backend.h"

namespace {

using kite_test::LogCapture;
using kite_test::LogLine;
using kite_test::RecordingBackend;
typedef KITE_LogMsg_Stream S;

void log_every_priority() {
  for (int priority = S::EMERGENCY; priority <= S::LDEBUG; ++priority)
    kite_test::log_stream()->log(static_cast<S::Priority>(priority), "p%d", priority);
}

std::vector<std::string> lines_p(int from, int to) {
  std::vector<std::string> lines;
  for (int priority = from; priority <= to; ++priority)
    lines.push_back("p" + std::to_string(priority) + "\n");
  return lines;
}

// Notes in a shared journal that it saw a line, and in a flag when it is deleted.
class JournalBackend : public KITE_LogMsg_Backend {
 public:
  JournalBackend(std::string name, std::vector<std::string>* journal, bool* deleted = nullptr)
      : name_(std::move(name)), journal_(journal), deleted_(deleted) {}
  ~JournalBackend() override {
    if (deleted_) *deleted_ = true;
  }
  void write(int, const char* buffer, int len) override {
    journal_->push_back(name_ + ":" + std::string(buffer, static_cast<size_t>(len)));
  }

 private:
  std::string name_;
  std::vector<std::string>* journal_;
  bool* deleted_;
};

// Tests its own limit, as backends did before the manager tested it for them.
class SelfLimitingBackend : public RecordingBackend {
 public:
  void write(int priority, const char* buffer, int len) override {
    if (priority > logupto_) return;
    RecordingBackend::write(priority, buffer, len);
  }
  int limit() const { return logupto_; }
};

class ThrowingBackend : public KITE_LogMsg_Backend {
 public:
  void write(int, const char*, int) override { throw std::runtime_error("backend broke"); }
};

class BackendManager : public ::testing::Test {
 protected:
  KITE_LogMsg_Stream* log_ = kite_test::log_stream();
  KITE_LogMsg_BackendMgr* manager_ = kite_test::backend_manager();
  LogCapture capture_;
};

TEST_F(BackendManager, GlobalLimitDropsLessSevereLinesForAllBackends) {
  manager_->setLogUpto(S::WARNING);
  log_every_priority();
  EXPECT_EQ(capture_.texts(), lines_p(0, 4));

  capture_.forget();
  manager_->setLogUpto(S::NOTICE);
  log_->message("info is dropped");
  log_->cond_message(true, "notice passes");
  EXPECT_EQ(capture_.texts(), std::vector<std::string>{"notice passes\n"});

  capture_.forget();
  manager_->setLogUpto(-1);
  log_every_priority();
  EXPECT_TRUE(capture_.texts().empty());
}

TEST_F(BackendManager, EachBackendsLimitHoldsWhetherOrNotTheBackendTestsIt) {
  capture_.recorder().setLogUpto(S::WARNING);
  auto* self_limiting = new SelfLimitingBackend;
  EXPECT_EQ(self_limiting->limit(), KITE_LogMsg_Backend::MAXPRIO);
  self_limiting->setLogUpto(S::NOTICE);
  auto* later = new RecordingBackend;
  manager_->addBackend(self_limiting);
  manager_->addBackend(later);
  log_every_priority();
  EXPECT_EQ(capture_.texts(), lines_p(0, 4));
  EXPECT_EQ(self_limiting->texts(), lines_p(0, 5));
  EXPECT_EQ(later->texts(), lines_p(0, 7));
}

TEST_F(BackendManager, LineGoesToTheBackendAddedLastFirst) {
  std::vector<std::string> journal;
  manager_->clear();
  manager_->addBackend(new JournalBackend("A", &journal));
  manager_->addBackend(nullptr);  // ignored
  manager_->addBackend(new JournalBackend("B", &journal));
  log_->error("x");
  EXPECT_EQ(journal, (std::vector<std::string>{"B:x\n", "A:x\n"}));
}

TEST_F(BackendManager, ClearDeletesEveryBackendAndSilencesUntilTheNextAdd) {
  std::vector<std::string> journal;
  bool deleted = false;
  manager_->addBackend(new JournalBackend("A", &journal, &deleted));
  manager_->clear();
  EXPECT_TRUE(deleted);
  log_->error("nowhere");
  manager_->addBackend(new JournalBackend("B", &journal));
  log_->error("only B");
  EXPECT_EQ(journal, std::vector<std::string>{"B:only B\n"});
}

TEST_F(BackendManager, ExceptionOfABackendEndsTheWalkAndReleasesTheLock) {
  manager_->addBackend(new ThrowingBackend);
  EXPECT_THROW(log_->error("first"), std::runtime_error);
  EXPECT_THROW(log_->error("second"), std::runtime_error);
  EXPECT_TRUE(capture_.texts().empty());
}

TEST(StandardErrorBackend, WithoutSetUpEveryPriorityReachesStandardError) {
  kite_test::restore_default_backends();
  kite_test::OutputCapture err;
  log_every_priority();
  std::string expected;
  for (const std::string& line : lines_p(0, 7)) expected += line;
  EXPECT_EQ(err.err(), expected);
}

TEST_F(BackendManager, StandardErrorBackendAppliesItsLimitAndSurvivesFailedWrites) {
  auto* stderr_backend = new KITE_LogMsg_Bstderr;
  stderr_backend->setLogUpto(S::WARNING);
  manager_->addBackend(stderr_backend);
  {
    kite_test::OutputCapture err;
    log_every_priority();
    std::string expected;
    for (const std::string& line : lines_p(0, 4)) expected += line;
    EXPECT_EQ(err.err(), expected);
  }
  capture_.forget();
  {
    kite_test::OutputCapture refusing(kite_test::OutputCapture::kRefused);
    log_->error("still recorded");
  }
  EXPECT_EQ(capture_.texts(), std::vector<std::string>{"still recorded\n"});
}

// Death tests re-run the test in a fresh process, where the manager records that process's
// id: a forked copy of this process would send its SIGABRT to the test runner.
class LogDeathTest : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LogDeathTest, CondFailWritesTheLineAndAborts) {
  LogCapture capture(LogCapture::kRecorderAndStderr);
  EXPECT_EXIT(kite_test::log_stream()->cond_fail(true, "missing %s", "block"),
              ::testing::KilledBySignal(SIGABRT), "missing block\n");
}

TEST_F(LogDeathTest, FailWritesTheLineAndSignalsTheMainProcess) {
  LogCapture capture(LogCapture::kRecorderAndStderr);
  EXPECT_EXIT(kite_test::log_stream()->fail("fatal %d", 3), ::testing::KilledBySignal(SIGABRT),
              "fatal 3\n");
}

TEST_F(LogDeathTest, FailReturnsWhenTheSignalIsIgnored) {
  LogCapture capture(LogCapture::kRecorderAndStderr);
  EXPECT_EXIT(
      {
        signal(SIGABRT, SIG_IGN);
        kite_test::log_stream()->fail("ignored");
        kite_test::log_stream()->error("returned");
        _exit(5);
      },
      ::testing::ExitedWithCode(5), "ignored\nreturned\n");
}

// Takes a millisecond a line, on standard error.
class SlowStderrBackend : public KITE_LogMsg_Backend {
 public:
  void write(int, const char* buffer, int len) override {
    usleep(1000);
    KITE_LogMsg_Bstderr::put(buffer, len);
  }
};

// The fatal line goes out after every line queued before it for the writer thread.
TEST_F(LogDeathTest, FailAndCondFailDeliverQueuedLinesBeforeTheyAbort) {
  std::string queued;
  for (int i = 0; i < 20; ++i) queued += "queued " + std::to_string(i) + "\n";
  auto queue_lines = [] {
    kite_test::backend_manager()->clear();
    kite_test::backend_manager()->addBackend(new KITE_LogMsg_Basync(new SlowStderrBackend));
    for (int i = 0; i < 20; ++i) kite_test::log_stream()->message("queued %d", i);
  };
  EXPECT_EXIT(
      {
        queue_lines();
        kite_test::log_stream()->fail("the end");
      },
      ::testing::KilledBySignal(SIGABRT), "^" + queued + "the end\n$");
  EXPECT_EXIT(
      {
        queue_lines();
        kite_test::log_stream()->cond_fail(true, "the end");
      },
      ::testing::KilledBySignal(SIGABRT), "^" + queued + "the end\n$");
}

// The process that created the manager has ended and been reaped; a child it left behind
// calls fail(), whose signal then has no receiver.
[[noreturn]] void fail_after_the_main_process_is_gone() {
  int reaped[2], finished[2];
  if (pipe(reaped) != 0 || pipe(finished) != 0) _exit(90);
  pid_t main_process = fork();
  if (main_process == 0) {
    kite_test::log_stream();  // creates the manager, which records this process's id
    if (fork() == 0) {
      close(reaped[1]);
      close(finished[0]);
      char byte;
      if (read(reaped[0], &byte, 1) != 1) _exit(91);
      kite_test::log_stream()->fail("main is gone");
      kite_test::log_stream()->error("fail returned");
      _exit(0);
    }
    _exit(0);
  }
  close(reaped[0]);
  close(finished[1]);
  waitpid(main_process, nullptr, 0);
  if (write(reaped[1], "g", 1) != 1) _exit(92);
  char byte;
  while (read(finished[0], &byte, 1) > 0) {
  }
  _exit(0);
}

TEST_F(LogDeathTest, FailWritesKillFailedWhenTheMainProcessIsGone) {
  // No logging before the statement: the manager must be created after the first fork.
  EXPECT_EXIT(fail_after_the_main_process_is_gone(), ::testing::ExitedWithCode(0),
              "^main is gone\nKILL Failed\nfail returned\n$");
}

}  // namespace
