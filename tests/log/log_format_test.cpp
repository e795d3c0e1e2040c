// SPDX-License-Identifier: MIT
// The formatter of the log stream: @-tokens, "%m", the line-end rule, the 254-character
// cut, and '%' characters that must print literally.
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <cstdarg>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "support/recording_backend.h"

// Formats that are not literals are what some cases test.
#pragma GCC diagnostic ignored "-Wformat-security"

namespace {

using kite_test::LogCapture;
using kite_test::LogLine;
typedef KITE_LogMsg_Stream S;

// For formats the compiler would reject: reaches log() past the printf format check.
ssize_t log_unchecked(KITE_LogMsg_Stream* log, S::Priority priority, const char* format, ...) {
  va_list argp;
  va_start(argp, format);
  ssize_t count = log->log(format, priority, argp);
  va_end(argp);
  return count;
}

class LogFormat : public ::testing::Test {
 protected:
  void SetUp() override { log_->info("", 0, 0, 0); }

  std::string only_text() {
    auto texts = capture_.texts();
    return texts.size() == 1 ? texts[0] : "<" + std::to_string(texts.size()) + " lines>";
  }

  KITE_LogMsg_Stream* log_ = kite_test::log_stream();
  LogCapture capture_;
};

TEST_F(LogFormat, ErrorHandsTheLineWithItsNewlineToTheBackendsAtPriority3) {
  log_->error("open failed");
  EXPECT_EQ(capture_.lines(), std::vector<LogLine>{LogLine(S::ERROR, "open failed\n")});
}

TEST_F(LogFormat, TokensAreReplacedBeforeFormatting) {
  log_->info("x", 12, 0, ENOENT);
  const std::string enoent = strerror(ENOENT);
  const std::string pid = std::to_string(getpid());
  const std::string tid = std::to_string(static_cast<unsigned long>(pthread_self()));
  const struct {
    const char* format;
    std::string expected;
  } rows[] = {
      {"@FILE:@LINE: %m", "x:12: " + enoent + "\n"},
      {"@ERRSTR!", enoent + "!\n"},
      {"a@TIMEb", "ab\n"},
      {"p@PID t@TID", "p" + pid + " t" + tid + "\n"},
      {"in@LINEword", "in12word\n"},
      {"@prog @File user@host @", "@prog @File user@host @\n"},
  };
  for (const auto& row : rows) {
    capture_.forget();
    log_->message(row.format);
    EXPECT_EQ(only_text(), row.expected) << row.format;
  }
}

TEST_F(LogFormat, ErrorTextComesFromTheRecordedNumberNotFromErrno) {
  log_->info("f", 1, 0, ENOENT);
  errno = EACCES;
  log_->error("%m|%.2m");
  EXPECT_EQ(only_text(), std::string(strerror(ENOENT)) + "|" +
                             std::string(strerror(ENOENT)).substr(0, 2) + "\n");
  EXPECT_EQ(errno, EACCES);
}

TEST_F(LogFormat, LineAndFileAreDefinedBeforeAnyInfo) {
  std::thread fresh([] { kite_test::log_stream()->error("[@FILE][@LINE][%m]"); });
  fresh.join();
  EXPECT_EQ(only_text(), "[][0][" + std::string(strerror(0)) + "]\n");
}

TEST_F(LogFormat, TidDiffersBetweenThreadsAndPidDoesNot) {
  log_->message("@PID @TID");
  std::thread other([] { kite_test::log_stream()->message("@PID @TID"); });
  other.join();
  auto texts = capture_.texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0].substr(0, texts[0].find(' ')), texts[1].substr(0, texts[1].find(' ')));
  EXPECT_NE(texts[0], texts[1]);
}

TEST_F(LogFormat, ProgIsUnknownUntilInit) {
  log_->message("@PROG");
  char demo[] = "demo";
  char* argv[] = {demo, nullptr};
  kite_test::backend_manager()->init(1, argv);
  log_->message("@PROG");
  kite_test::backend_manager()->init(0, nullptr);  // keeps the name
  log_->message("@PROG");
  static char unknown[] = "<unknown>";
  char* restore[] = {unknown, nullptr};
  kite_test::backend_manager()->init(1, restore);
  EXPECT_EQ(capture_.texts(), (std::vector<std::string>{"<unknown>\n", "demo\n", "demo\n"}));
}

TEST_F(LogFormat, NewlineIsAddedWhenTheCallersFormatLacksOne) {
  log_->message("%s", "x\n");
  log_->message("abc\n");
  log_->message("%s", "");
  EXPECT_EQ(capture_.texts(), (std::vector<std::string>{"x\n\n", "abc\n", "\n"}));
}

TEST_F(LogFormat, LinesAreCutAt254CharactersAndLogReturnsTheFullLength) {
  const struct {
    size_t argument;
    ssize_t returned;
    std::string delivered;
  } rows[] = {
      {253, 254, std::string(253, 'y') + "\n"},
      {254, 255, std::string(254, 'y')},
      {300, 301, std::string(254, 'y')},
  };
  for (const auto& row : rows) {
    capture_.forget();
    EXPECT_EQ(log_->log(S::INFO, "%s", std::string(row.argument, 'y').c_str()), row.returned);
    EXPECT_EQ(only_text(), row.delivered) << row.argument;
  }
}

std::string repeated(const std::string& text, int times) {
  std::string result;
  for (int n = 0; n < times; ++n) result += text;
  return result;
}

// The cut keeps whole UTF-8 characters, so a destination that wants text (the journal) gets
// text; bytes that are no character's start are cut where they stand.
TEST_F(LogFormat, TheCutNeverSplitsAUtf8Character) {
  const std::string two = "\xC3\xA9", three = "\xE2\x82\xAC", four = "\xF0\x9F\x98\x80";
  const struct {
    std::string argument;
    std::string delivered;
  } rows[] = {
      {"x" + repeated(two, 150), "x" + repeated(two, 126)},
      {repeated(two, 150), repeated(two, 127)},
      {"a" + repeated(three, 100), "a" + repeated(three, 84)},
      {"ab" + repeated(three, 100), "ab" + repeated(three, 84)},
      {"abc" + repeated(three, 100), "abc" + repeated(three, 83)},
      {repeated(four, 70), repeated(four, 63)},
      {"ab" + repeated(four, 70), "ab" + repeated(four, 63)},
      {"abcde" + repeated(four, 70), "abcde" + repeated(four, 62)},
      {std::string(300, '\x80'), std::string(254, '\x80')},
  };
  for (const auto& row : rows) {
    capture_.forget();
    EXPECT_EQ(log_->log(S::INFO, "%s", row.argument.c_str()),
              static_cast<ssize_t>(row.argument.size() + 1));
    EXPECT_EQ(only_text(), row.delivered) << row.delivered.size();
  }
  capture_.forget();
  *log_ << "x" << repeated(two, 150) << std::endl;
  EXPECT_EQ(only_text(), "x" + repeated(two, 126));
}

TEST_F(LogFormat, FailedFormattingReturnsItsNegativeCountAndReachesNoBackend) {
  const wchar_t unconvertible[] = {0xD800, 0};
  EXPECT_LT(log_->log(S::INFO, "x%ls", unconvertible), 0);
  EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(LogFormat, PercentInAReplacementPrintsLiterally) {
  log_->info("dir%s/%n%", 3, 0, 0);
  log_->error("@FILE %d", 7);
  static char prog[] = "p%d%s";
  char* argv[] = {prog, nullptr};
  kite_test::backend_manager()->init(1, argv);
  log_->error("@PROG %s", "arg");
  static char unknown[] = "<unknown>";
  char* restore[] = {unknown, nullptr};
  kite_test::backend_manager()->init(1, restore);
  EXPECT_EQ(capture_.texts(), (std::vector<std::string>{"dir%s/%n% 7\n", "p%d%s arg\n"}));
}

// The C library reads the caller's directives, also those it alone knows (%b); tokens change
// the text, never which argument a directive reads.
TEST_F(LogFormat, TokensNeverChangeWhichArgumentADirectiveReads) {
  log_->info("F", 5, 0, ENOENT);
  log_unchecked(log_, S::ERROR, "@FILE %b %#B %s", 5u, 6u, "s");
  log_unchecked(log_, S::ERROR, "%%m %@FILE %5@LINE %y %d", 9);
  // A part out of glibc's order ends the directive: "%5 " and "%hl" are whole ones.
  log_unchecked(log_, S::ERROR, "%5 %@LINE %-5-@LINE %hl@LINE %s", "s");
  log_unchecked(log_, S::ERROR, "%2$s%1$@LINE%1$.1s@LINE", "a", "b");
  EXPECT_EQ(capture_.texts(),
            (std::vector<std::string>{"F 101 0B110 s\n", "%m %@FILE %5@LINE %y 9\n",
                                      "%5 %@LINE %-5-5 %l5 s\n", "b%@LINEa5\n"}));
}

}  // namespace
