// SPDX-License-Identifier: MIT
// Log capture for tests: a backend that records every line it receives, and a scope that
// makes it the backend manager's only destination (or adds it beside standard error).
//
//   kite_test::LogCapture capture;                 // the manager now writes only here
//   code_that_logs();
//   EXPECT_EQ(capture.texts(), (std::vector<std::string>{"open failed\n"}));
//   EXPECT_EQ(capture.lines()[0], kite_test::LogLine(KITE_LogMsg_Stream::ERROR, "open failed\n"));
//
// The backend manager is one per process, so captures must not overlap: at the end of its
// scope a LogCapture puts the manager back into its default state (the standard-error
// backend alone, global limit MAXPRIO). Header-only: include "support/recording_backend.h"
// and link kite::log.
#ifndef KITE_TESTS_RECORDING_BACKEND_H
#define KITE_TESTS_RECORDING_BACKEND_H

#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "errorhandling/KITE_LogMsg_BackendMgr.h"
#include "errorhandling/KITE_LogMsg_Bstderr.h"
#include "errorhandling/KITE_LogMsg_Stream.h"

namespace kite_test {

// One line as a backend received it. len is the length handed in; text holds those bytes,
// nothing when len is zero or negative (formatting failed).
struct LogLine {
  int priority;
  std::string text;
  int len;

  LogLine(int priority, std::string text)
      : priority(priority), text(std::move(text)), len(static_cast<int>(this->text.size())) {}
  LogLine(int priority, std::string text, int len)
      : priority(priority), text(std::move(text)), len(len) {}

  bool operator==(const LogLine& other) const {
    return priority == other.priority && text == other.text && len == other.len;
  }
};

inline void PrintTo(const LogLine& line, std::ostream* os) {
  *os << "{" << line.priority << ", \"" << line.text << "\", " << line.len << "}";
}

// Safe to read while other threads log.
class RecordingBackend : public KITE_LogMsg_Backend {
 public:
  void write(int priority, const char* buffer, int len) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace_back(priority, std::string(buffer, len > 0 ? static_cast<size_t>(len) : 0), len);
  }

  std::vector<LogLine> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

  std::vector<std::string> texts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> texts;
    for (const LogLine& line : lines_) texts.push_back(line.text);
    return texts;
  }

  void forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<LogLine> lines_;
};

inline KITE_LogMsg_BackendMgr* backend_manager() {
  return KITE_LogMsg_BackendMgr::instance();
}

// The calling thread's log stream.
inline KITE_LogMsg_Stream* log_stream() {
  return KITE_LogMsg_Stream::instance();
}

// Puts the manager into its default state: the standard-error backend alone, limit MAXPRIO.
inline void restore_default_backends() {
  KITE_LogMsg_BackendMgr* manager = backend_manager();
  manager->clear();
  manager->addBackend(new KITE_LogMsg_Bstderr);
  manager->setLogUpto(KITE_LogMsg_Backend::MAXPRIO);
}

class LogCapture {
 public:
  enum Destinations { kRecorderOnly, kRecorderAndStderr };

  // Text the calling thread streamed before and has not flushed goes to the backends of
  // before. Then the manager's list becomes the recorder (ahead of a standard-error
  // backend with kRecorderAndStderr, e.g. for death tests that match standard error), and
  // its global limit MAXPRIO.
  explicit LogCapture(Destinations destinations = kRecorderOnly) {
    log_stream()->flush();
    KITE_LogMsg_BackendMgr* manager = backend_manager();
    manager->clear();
    if (destinations == kRecorderAndStderr) manager->addBackend(new KITE_LogMsg_Bstderr);
    manager->setLogUpto(KITE_LogMsg_Backend::MAXPRIO);
    recorder_ = new RecordingBackend;
    manager->addBackend(recorder_);
  }

  // Text the calling thread streamed in the scope and has not flushed is recorded and
  // dropped, so it cannot leak into the next test.
  ~LogCapture() {
    log_stream()->flush();
    restore_default_backends();
  }

  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Owned by the manager; valid until the scope ends or someone calls the manager's clear().
  RecordingBackend& recorder() { return *recorder_; }

  std::vector<LogLine> lines() const { return recorder_->lines(); }
  std::vector<std::string> texts() const { return recorder_->texts(); }
  void forget() { recorder_->forget(); }

 private:
  RecordingBackend* recorder_;
};

}  // namespace kite_test

#endif
