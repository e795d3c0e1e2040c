// SPDX-License-Identifier: MIT
// Several threads log through their own streams while other threads change the backends:
// every line arrives whole and exactly once at every backend that was there for it.
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "support/recording_backend.h"

namespace {

using kite_test::LogCapture;
using kite_test::RecordingBackend;

const int kWriters = 4;
const int kLinesAtLeast = 2000;
const std::string kPayload(150, 'p');

std::string line_text(int writer, int line) {
  return "writer " + std::to_string(writer) + " line " + std::to_string(line) + " " + kPayload +
         "\n";
}

TEST(LogThreads, LinesArriveWholeAndOnceAtEveryBackendThatWasThere) {
  LogCapture capture;
  RecordingBackend* late = nullptr;
  std::atomic<int> written{0};
  std::atomic<bool> added{false};
  std::vector<int> lines_of(kWriters);

  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&, w] {
      KITE_LogMsg_Stream* log = kite_test::log_stream();
      int line = 0;
      // Half printf-style, half streamed; on after kLinesAtLeast until the backend was
      // added, and one line more, which the late backend must then see.
      for (; line < kLinesAtLeast || !added.load(); ++line, ++written) {
        if (line % 2)
          log->message("writer %d line %d %s", w, line, kPayload.c_str());
        else
          *log << "writer " << w << " line " << line << " " << kPayload << std::endl;
      }
      log->message("writer %d line %d %s", w, line, kPayload.c_str());
      lines_of[w] = line + 1;
    });
  }
  std::thread adder([&] {
    while (written.load() < kWriters * kLinesAtLeast / 3) std::this_thread::yield();
    late = new RecordingBackend;
    kite_test::backend_manager()->addBackend(late);
    added.store(true);
  });
  adder.join();
  for (std::thread& writer : writers) writer.join();

  const std::vector<std::string> all = capture.texts();
  std::vector<int> next_line(kWriters, 0);
  for (const std::string& text : all) {
    int writer = -1, line = -1;
    ASSERT_EQ(std::sscanf(text.c_str(), "writer %d line %d", &writer, &line), 2) << text;
    ASSERT_TRUE(writer >= 0 && writer < kWriters) << text;
    ASSERT_EQ(line, next_line[writer]) << "lost, repeated or reordered: " << text;
    ASSERT_EQ(text, line_text(writer, line));
    ++next_line[writer];
  }
  EXPECT_EQ(next_line, lines_of);

  // The late backend saw exactly the lines written after it joined, in the same order.
  const std::vector<std::string> seen_late = late->texts();
  ASSERT_GE(seen_late.size(), static_cast<size_t>(kWriters));
  ASSERT_LT(seen_late.size(), all.size());
  EXPECT_TRUE(std::equal(seen_late.begin(), seen_late.end(), all.end() - seen_late.size()));
}

// While writers log, another thread clears the list, adds backends and moves the global and
// the per-backend limits: nothing breaks, and every backend sees whole lines, each writer's
// in order and none twice.
TEST(LogThreads, BackendsClearedAddedAndLimitedWhileThreadsLog) {
  LogCapture capture;
  std::atomic<bool> changed{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([w, &changed] {
      KITE_LogMsg_Stream* log = kite_test::log_stream();
      int line = 0;
      // On until the changes are over, then one line that the last backends must see.
      for (; line < kLinesAtLeast || !changed.load(); ++line) {
        const auto priority = static_cast<KITE_LogMsg_Stream::Priority>(line % 8);
        if (line % 2)
          log->log(priority, "writer %d line %d %s", w, line, kPayload.c_str());
        else
          *log << priority << "writer " << w << " line " << line << " " << kPayload << std::endl;
      }
      log->error("writer %d line %d %s", w, line, kPayload.c_str());
    });
  }
  std::vector<RecordingBackend*> recorders;  // owned by the manager until the next clear
  std::vector<std::vector<std::string>> seen;
  std::thread changer([&] {
    KITE_LogMsg_BackendMgr* manager = kite_test::backend_manager();
    for (int round = 0; round < 50; ++round) {
      for (RecordingBackend* recorder : recorders) seen.push_back(recorder->texts());
      manager->clear();
      recorders = {new RecordingBackend, new RecordingBackend};
      recorders[1]->setLogUpto(round % 8);
      for (RecordingBackend* recorder : recorders) manager->addBackend(recorder);
      manager->setLogUpto(round % 2 ? KITE_LogMsg_Backend::MAXPRIO : KITE_LogMsg_Stream::NOTICE);
      std::this_thread::yield();
    }
    changed.store(true);
  });
  changer.join();
  for (std::thread& writer : writers) writer.join();
  // The last unlimited recorder saw at least every writer's final line.
  ASSERT_GE(recorders[0]->texts().size(), static_cast<size_t>(kWriters));
  for (RecordingBackend* recorder : recorders) seen.push_back(recorder->texts());

  for (const std::vector<std::string>& texts : seen) {
    std::vector<int> last_line(kWriters, -1);
    for (const std::string& text : texts) {
      int writer = -1, line = -1;
      ASSERT_EQ(std::sscanf(text.c_str(), "writer %d line %d", &writer, &line), 2) << text;
      ASSERT_TRUE(writer >= 0 && writer < kWriters) << text;
      ASSERT_EQ(text, line_text(writer, line));
      ASSERT_GT(line, last_line[writer]) << "repeated or reordered: " << text;
      last_line[writer] = line;
    }
  }
}

}  // namespace
