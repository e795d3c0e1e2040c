// SPDX-License-Identifier: MIT
// At exit the backend manager outlives every log stream: text a stream still holds is
// delivered, and nothing is touched after the manager is gone (the sanitizer build checks
// the second part: a stray access or leak makes the probe report and fail).
#include <string>
#include <utility>

#include "gtest/gtest.h"
#include "support/run_program.h"

namespace {

kite_test::ProgramResult run_probe(const std::string& mode, bool static_user = false) {
  kite_test::ProgramRun run;
  run.path = LOG_EXIT_PROBE;
  run.args = {mode};
  run.env["LOG_EXIT_PROBE_STATIC"] = static_user ? "1" : "0";
  return kite_test::run_program(run);
}

TEST(LogExit, TextPendingInTheMainThreadIsWrittenWhenMainReturns) {
  auto result = run_probe("main");
  EXPECT_EQ(result.err, "pending in main\n");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.exited());
}

TEST(LogExit, TextPendingIsWrittenWhenTheProgramCallsExit) {
  auto result = run_probe("exit");
  EXPECT_EQ(result.err, "pending in main\n");
  EXPECT_EQ(result.exit_code, 3);
}

TEST(LogExit, EndedThreadsDeliverFirstAndTheMainThreadLast) {
  auto result = run_probe("thread");
  EXPECT_EQ(result.err, "pending in a thread\npending in main\n");
  EXPECT_EQ(result.exit_code, 0);
}

TEST(LogExit, PendingTextReachesEveryBackendBeforeTheManagerDeletesThem) {
  auto result = run_probe("backend");
  EXPECT_EQ(result.out, "pending in main\n");
  EXPECT_EQ(result.err, "pending in main\n");
  EXPECT_EQ(result.exit_code, 0);
}

TEST(LogExit, ABackendThatLogsWhenDeletedAtExitReachesStandardError) {
  auto result = run_probe("closing");
  EXPECT_EQ(result.out, "pending in main\n");
  EXPECT_EQ(result.err, "pending in main\nclosed\n");
  EXPECT_EQ(result.exit_code, 0);
}

TEST(LogExit, AThreadStillLoggingWhileMainReturnsTouchesNothingFreed) {
  for (int run = 0; run < 20; ++run) {
    auto result = run_probe("racing");
    ASSERT_TRUE(result.exited()) << result.err.substr(
        result.err.size() > 2000 ? result.err.size() - 2000 : 0);
    EXPECT_EQ(result.exit_code, 0);
  }
}

// Lines still queued for the writer thread reach their backend when main returns, at
// exit(), and at _exit() after a flush.
TEST(LogExit, LinesQueuedForTheWriterAreDeliveredAtTheEnd) {
  std::string queued;
  for (int i = 0; i < 20; ++i) queued += "queued " + std::to_string(i) + "\n";
  const std::pair<const char*, int> ends[] = {
      {"queued-return", 0}, {"queued-exit", 3}, {"queued-_exit", 4}};
  for (const auto& [mode, status] : ends) {
    auto result = run_probe(mode);
    EXPECT_EQ(result.out, queued) << mode;
    EXPECT_EQ(result.err, "") << mode;
    EXPECT_EQ(result.exit_code, status) << mode;
  }
}

TEST(LogExit, StreamCreatedAtStaticInitialisationStillDeliversAtExit) {
  auto result = run_probe("main", true);
  EXPECT_EQ(result.err,
            "from a static destructor\n"
            "pending since static initialisationpending in main\n");
  EXPECT_EQ(result.exit_code, 0);
}

}  // namespace
