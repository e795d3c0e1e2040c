// SPDX-License-Identifier: MIT
// Text streamed into the log stream, the priority inserter, and the printf-style
// shorthands with their conditional forms.
#include <errno.h>
#include <string.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "gtest/gtest.h"
#include "support/failing_new.h"
#include "support/recording_backend.h"

namespace {

using kite_test::LogCapture;
using kite_test::LogLine;
typedef KITE_LogMsg_Stream S;

class LogStream : public ::testing::Test {
 protected:
  void SetUp() override { log_->info("", 0, 0, 0); }

  KITE_LogMsg_Stream* log_ = kite_test::log_stream();
  LogCapture capture_;
};

TEST_F(LogStream, EachFlushIsOneMessageAtTheInsertedPriorityUntilInfo) {
  *log_ << S::WARNING << "a"
        << "b" << std::flush;
  *log_ << "c" << std::endl;
  log_->info("f", 1, 0, 0) << "d" << 42 << std::flush;
  *log_ << "two\nlines\n" << std::flush;
  EXPECT_EQ(capture_.lines(), (std::vector<LogLine>{{S::WARNING, "ab\n"},
                                                    {S::WARNING, "c\n"},
                                                    {S::LDEBUG, "d42\n"},
                                                    {S::LDEBUG, "two\nlines\n"}}));
}

TEST_F(LogStream, StreamedTextNeverReadsAnArgument) {
  log_->info("dir%s", 1, 0, ENOENT);
  *log_ << "50%% done" << std::endl;
  *log_ << "%d %s %n %5.2f %" << std::endl;
  *log_ << "@FILE: %m" << std::endl;
  *log_ << "%%m %@FILE" << std::endl;
  const std::string enoent = strerror(ENOENT);
  EXPECT_EQ(capture_.texts(), (std::vector<std::string>{"50% done\n", "%d %s %n %5.2f %\n",
                                                        "dir%s: " + enoent + "\n", "%m %dir%s\n"}));
}

TEST_F(LogStream, PendingTextWaitsForTheFlushWhileLogLinesGoFirst) {
  *log_ << S::NOTICE << "pending";
  log_->error("direct");
  EXPECT_EQ(capture_.texts(), std::vector<std::string>{"direct\n"});
  *log_ << std::flush;
  EXPECT_EQ(capture_.lines(),
            (std::vector<LogLine>{{S::ERROR, "direct\n"}, {S::NOTICE, "pending\n"}}));
}

class ThrowingOnceBackend : public KITE_LogMsg_Backend {
 public:
  void write(int, const char*, int) override {
    if (!thrown_) {
      thrown_ = true;
      throw std::runtime_error("backend broke");
    }
  }

 private:
  bool thrown_ = false;
};

// A failed line shows on the stream; its text goes out with the next line, whichever way
// that line begins.
TEST_F(LogStream, AFailedStreamedLineCostsNoLaterLine) {
  kite_test::backend_manager()->addBackend(new ThrowingOnceBackend);
  *log_ << S::ERROR << "a" << std::endl;
  EXPECT_TRUE(log_->bad());
  *kite_test::log_stream() << "b" << std::endl;
  *log_ << "c" << static_cast<const char*>(nullptr) << "lost" << std::endl;
  EXPECT_TRUE(log_->bad());
  log_->info("", 0, 0, 0) << "d" << std::endl;
  *log_ << "e" << static_cast<const char*>(nullptr) << std::endl;
  *log_ << S::WARNING << "f" << std::endl;
  *log_ << static_cast<const char*>(nullptr);
  log_->error("g");
  *log_ << "h" << std::endl;
  EXPECT_EQ(capture_.lines(), (std::vector<LogLine>{{S::ERROR, "a\nb\n"},
                                                    {S::LDEBUG, "cd\n"},
                                                    {S::WARNING, "ef\n"},
                                                    {S::ERROR, "g\n"},
                                                    {S::WARNING, "h\n"}}));
}

// Streamed text of 1024 characters or more is copied to the heap; without that memory the
// text goes out as it stands, then a notice at CRIT.
TEST_F(LogStream, LongStreamedTextWithoutMemoryGoesOutUnformatted) {
  const std::string text = std::string(1500, 'y') + "%m@PID\n";
  kite_test::fail_nothrow_new_after(0);
  *log_ << S::WARNING << text << std::flush;
  EXPECT_EQ(capture_.lines(),
            (std::vector<LogLine>{{S::WARNING, text}, {S::CRIT, "Stack overflow\n"}}));
}

TEST_F(LogStream, ZeroByteEndsTheStreamedMessage) {
  *log_ << "ab" << '\0' << "cd" << std::flush;
  EXPECT_EQ(capture_.texts(), std::vector<std::string>{"ab\n"});
}

TEST_F(LogStream, LongStreamedTextIsCutLikeAnyLine) {
  *log_ << std::string(5000, 'z') << std::endl;
  *log_ << std::string(253, 'z') << std::endl;
  EXPECT_EQ(capture_.texts(),
            (std::vector<std::string>{std::string(254, 'z'), std::string(253, 'z') + "\n"}));
}

TEST_F(LogStream, PriorityInsertedIntoAnotherStreamPrintsAndChangesNothing) {
  std::ostringstream other;
  other << S::EMERGENCY << "x";
  *log_ << "mine" << std::flush;
  EXPECT_EQ(other.str(), "x");
  EXPECT_EQ(capture_.lines(), std::vector<LogLine>{LogLine(S::LDEBUG, "mine\n")});
}

TEST_F(LogStream, StreamOfAnEndingThreadDeliversItsPendingText) {
  std::thread worker([] { *kite_test::log_stream() << S::ERROR << "last words"; });
  worker.join();
  EXPECT_EQ(capture_.lines(), std::vector<LogLine>{LogLine(S::ERROR, "last words\n")});
}

TEST_F(LogStream, FileNameIsCutAt4096Characters) {
  const std::string name = std::string(4096, 'n') + "tail";
  log_->file(name.c_str());
  EXPECT_EQ(std::string(log_->file()), name.substr(0, 4096));
  log_->file(nullptr);
  EXPECT_STREQ(log_->file(), "");
}

TEST_F(LogStream, ShorthandsWriteAtTheirPriorities) {
  log_->debug("d%d", 1);
  log_->message("m");
  log_->warn("w");
  log_->error("e");
  log_->report("r");
  log_->cond_debug(true, "cd");
  log_->cond_message(true, "cm");
  log_->cond_warn(true, "cw");
  log_->cond_error(true, "ce");
  EXPECT_EQ(capture_.lines(), (std::vector<LogLine>{{S::LDEBUG, "d1\n"},
                                                    {S::INFO, "m\n"},
                                                    {S::WARNING, "w\n"},
                                                    {S::ERROR, "e\n"},
                                                    {S::NOTICE, "r\n"},
                                                    {S::LDEBUG, "cd\n"},
                                                    {S::NOTICE, "cm\n"},
                                                    {S::WARNING, "cw\n"},
                                                    {S::ERROR, "ce\n"}}));
}

TEST_F(LogStream, ConditionalFormsDoNothingWhileTheConditionIsFalse) {
  log_->cond_debug(false, "cd");
  log_->cond_message(false, "cm");
  log_->cond_warn(false, "cw");
  log_->cond_error(false, "ce");
  log_->cond_fail(false, "cf");
  EXPECT_TRUE(capture_.lines().empty());
}

}  // namespace
