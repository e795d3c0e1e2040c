// SPDX-License-Identifier: MIT
// KITE_LogMsg_Basync: a backend's lines delivered by the writer thread in the manager's order,
// with the origin, time and thread of the log call; removed, it delivers what it queued, or
// gives up after a bounded wait on a backend that does not return.
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
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

KITE_LogMsg_BackendMgr* manager() {
  return kite_test::backend_manager();
}

// Records the text of each line into a list that outlives it (the writer may delete it):
// after delay_ms, and not before it is open (30 s at most).
class HeldBackend : public KITE_LogMsg_Backend {
 public:
  HeldBackend(int delay_ms, bool open) : delay_ms_(delay_ms), open_(open) {}
  void write(int, const char* buffer, int len) override {
    for (int waited = 0; !open_ && waited < 30000; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms_));
    texts_->emplace_back(buffer, static_cast<size_t>(len));
  }
  void open() { open_ = true; }
  // Read after a flush.
  std::shared_ptr<std::vector<std::string>> texts() const { return texts_; }

 private:
  const int delay_ms_;
  std::atomic<bool> open_;
  const std::shared_ptr<std::vector<std::string>> texts_ =
      std::make_shared<std::vector<std::string>>();
};

// What a backend may ask about a line while it writes it.
struct Seen {
  std::string text;
  std::string file;  // "-" for a line without origin
  int line, errnum;
  pid_t logged_by;
  timespec logged_at;
  pid_t written_by;
};

class ContextBackend : public KITE_LogMsg_Backend {
 public:
  void write(int, const char* buffer, int len) override {
    const KITE_LogMsg_Origin* origin = KITE_LogMsg_Origin::current();
    const KITE_LogMsg_Stamp stamp = KITE_LogMsg_Stamp::current();
    seen_.push_back({std::string(buffer, static_cast<size_t>(len)), origin ? origin->file : "-",
                     origin ? origin->line : 0, origin ? origin->errnum : 0, stamp.tid, stamp.time,
                     static_cast<pid_t>(syscall(SYS_gettid))});
  }
  std::vector<Seen> seen_;  // read after a flush
};

timespec now() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return t;
}

bool ordered(const timespec& a, const timespec& b) {
  return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec <= b.tv_nsec);
}

// Four threads, every priority, cut lines and lines with a newline inside: each wrapped
// backend gets exactly the lines, priorities and lengths that a plain one got, in the same
// order, less what its own limit or the wrapped one's drops.
TEST(AsyncBackend, LinesArriveInTheManagersOrderAsTheManagerGaveThem) {
  LogCapture capture;
  auto* all = new RecordingBackend;
  auto* limited = new RecordingBackend;
  limited->setLogUpto(S::WARNING);
  auto* outer_limited = new KITE_LogMsg_Basync(new RecordingBackend);
  outer_limited->setLogUpto(S::ERROR);
  manager()->addBackend(new KITE_LogMsg_Basync(all));
  manager()->addBackend(new KITE_LogMsg_Basync(limited));
  manager()->addBackend(outer_limited);
  const std::string cut(300, 'c');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 250; ++i)
        kite_test::log_stream()->log(static_cast<S::Priority>(i % 8), "%d %d%s", t, i,
                                     i % 50 == 0 ? cut.c_str()
                                     : i % 7     ? ""
                                                 : "\nnext");
    });
  for (std::thread& thread : threads) thread.join();
  ASSERT_TRUE(manager()->flush(30000));

  const std::vector<LogLine> plain = capture.lines();
  ASSERT_EQ(plain.size(), 1000u);
  auto up_to = [&](int limit) {
    std::vector<LogLine> passed;
    for (const LogLine& line : plain)
      if (line.priority <= limit) passed.push_back(line);
    return passed;
  };
  EXPECT_EQ(all->lines(), plain);
  EXPECT_EQ(limited->lines(), up_to(S::WARNING));
  EXPECT_EQ(static_cast<RecordingBackend*>(outer_limited->backend())->lines(), up_to(S::ERROR));
}

// On the writer thread the wrapped backend reads the origin recorded with info(), the time
// of the log call and the logging thread's id, as a plain backend does on the logging thread.
TEST(AsyncBackend, TheWrappedBackendSeesTheOriginTimeAndThreadOfTheLogCall) {
  LogCapture capture;
  auto* plain = new ContextBackend;
  auto* wrapped = new ContextBackend;
  manager()->addBackend(plain);
  manager()->addBackend(new KITE_LogMsg_Basync(wrapped));
  const pid_t main_thread = static_cast<pid_t>(syscall(SYS_gettid));
  pid_t other_thread = 0;
  const timespec before = now();
  kite_test::log_stream()->info("a.cpp", 12, 0, 2);
  kite_test::log_stream()->error("one");
  std::thread([&] {
    other_thread = static_cast<pid_t>(syscall(SYS_gettid));
    kite_test::log_stream()->error("two");
  }).join();
  const timespec after = now();
  ASSERT_TRUE(manager()->flush(30000));

  for (ContextBackend* backend : {plain, wrapped}) {
    const bool is_wrapped = backend == wrapped;
    ASSERT_EQ(backend->seen_.size(), 2u);
    const Seen& one = backend->seen_[0];
    const Seen& two = backend->seen_[1];
    EXPECT_EQ(one.text, "one\n");
    EXPECT_EQ(one.file, "a.cpp");
    EXPECT_EQ(one.line, 12);
    EXPECT_EQ(one.errnum, 2);
    EXPECT_EQ(one.logged_by, main_thread) << is_wrapped;
    EXPECT_EQ(two.text, "two\n");
    EXPECT_EQ(two.file, "-");
    EXPECT_EQ(two.logged_by, other_thread) << is_wrapped;
    EXPECT_TRUE(ordered(before, one.logged_at) && ordered(one.logged_at, two.logged_at) &&
                ordered(two.logged_at, after))
        << is_wrapped;
    EXPECT_EQ(one.written_by == main_thread, !is_wrapped);
  }
}

// Written slowly: removed (by clear(), as at exit), it first delivers every queued line.
TEST(AsyncBackend, RemovedItDeliversWhatItQueuedFirst) {
  LogCapture capture;
  auto* slow = new HeldBackend(2, true);
  const std::shared_ptr<std::vector<std::string>> texts = slow->texts();
  manager()->addBackend(new KITE_LogMsg_Basync(slow));
  for (int i = 0; i < 50; ++i) kite_test::log_stream()->message("queued %d", i);
  manager()->clear();
  ASSERT_EQ(texts->size(), 50u);
  EXPECT_EQ(texts->back(), "queued 49\n");
}

// A backend that does not return: removing it waits a bounded time, then says on standard
// error how many of its lines are lost; flush() gives up as well. The writer deletes the
// backend once it returns.
TEST(AsyncBackend, ABackendThatDoesNotReturnIsGivenUpAfterABoundedWait) {
  LogCapture capture;
  auto* gate = new HeldBackend(0, false);
  const std::shared_ptr<std::vector<std::string>> texts = gate->texts();
  manager()->addBackend(new KITE_LogMsg_Basync(gate));
  for (int i = 0; i < 10; ++i) kite_test::log_stream()->message("queued %d", i);
  EXPECT_FALSE(manager()->flush(100));
  {
    kite_test::OutputCapture err;
    manager()->clear();
    EXPECT_EQ(err.err(),
              "kite log: 10 lines lost: the destination stalled and did not take them within "
              "1000 ms at the end\n");
  }
  gate->open();  // the line it was given first goes in; the others are skipped
  EXPECT_TRUE(manager()->flush(30000));
  EXPECT_EQ(*texts, std::vector<std::string>{"queued 0\n"});
}

// A backend that does not return while more lines come than the queue holds: after one short
// wait the rest are counted and dropped; removed once it returns, it first hears how many.
TEST(AsyncBackend, LinesLostToAStallAreReportedToTheBackendAtItsRemoval) {
  LogCapture capture;
  auto* gate = new HeldBackend(0, false);
  const std::shared_ptr<std::vector<std::string>> texts = gate->texts();
  manager()->addBackend(new KITE_LogMsg_Basync(gate));
  const std::string long_text(200, 'x');
  const int lines = static_cast<int>(KITE_LogMsg_Basync::QUEUE_BYTES / 200);
  for (int i = 0; i < lines; ++i) kite_test::log_stream()->message("%d %s", i, long_text.c_str());
  gate->open();
  ASSERT_TRUE(manager()->flush(30000));
  manager()->clear();

  ASSERT_GE(texts->size(), 2u);
  unsigned long lost = 0;
  ASSERT_EQ(std::sscanf(texts->back().c_str(),
                        "kite log: %lu lines lost: the destination stalled and the log queue was "
                        "full\n",
                        &lost),
            1)
      << texts->back();
  EXPECT_GT(lost, 0u);
  EXPECT_EQ(texts->size() - 1 + lost, static_cast<size_t>(lines));
  for (size_t i = 0; i + 1 < texts->size(); ++i)
    EXPECT_EQ((*texts)[i], std::to_string(i) + " " + long_text + "\n");
}

// What the wrapped backend throws ends its line on the writer thread, nothing more.
TEST(AsyncBackend, ABackendThatThrowsLosesThatLineOnly) {
  LogCapture capture;
  struct Throwing : KITE_LogMsg_Backend {
    void write(int, const char*, int len) override {
      if (len == 6) throw std::runtime_error("broke");
      ++written;
    }
    std::atomic<int> written{0};
  };
  auto* throwing = new Throwing;
  manager()->addBackend(new KITE_LogMsg_Basync(throwing));
  kite_test::log_stream()->error("throw");
  kite_test::log_stream()->error("written");
  ASSERT_TRUE(manager()->flush(30000));
  EXPECT_EQ(throwing->written, 1);
}

// A KITE_LogMsg_Basync inside another: the outer one's writer writes the line at once.
TEST(AsyncBackend, InsideAnotherItWritesOnTheSameWriter) {
  LogCapture capture;
  auto* recorder = new RecordingBackend;
  manager()->addBackend(new KITE_LogMsg_Basync(new KITE_LogMsg_Basync(recorder)));
  kite_test::log_stream()->error("nested");
  ASSERT_TRUE(manager()->flush(30000));
  EXPECT_EQ(recorder->texts(), std::vector<std::string>{"nested\n"});
}

}  // namespace
