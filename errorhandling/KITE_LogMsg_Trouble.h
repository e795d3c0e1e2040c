// SPDX-License-Identifier: MIT
// KITE_LogMsg_Trouble: how a backend tells of its own trouble. Internal to kite::log.
//
// A backend cannot log (its write() runs under the manager's mutex), so it writes one line
// straight to standard error, whatever backends the manager has:
//
//   kite log: file /var/log/app.log: write failed: No space left on device; lines are lost ...
//
// A streak of failed lines gives one such line, at its first failure; the next line that
// works ends the streak, and the next failure reports again. Every failed line is counted.
//
// Locking: failed() and worked() are called by one thread at a time (under the manager's
// mutex); failures() may be read by any thread at any time.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_TROUBLE_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_TROUBLE_H

#include <atomic>
#include <string>

class KITE_LogMsg_Trouble {
 public:
  // subject names the backend in the report: "journal", "file /var/log/app.log".
  explicit KITE_LogMsg_Trouble(std::string subject);

  // A line failed: counted, and at the start of a streak reported as
  // "kite log: <subject>: <what>: <strerror(error)>; <then>".
  void failed(const char* what, int error, const char* then);
  // A line worked: the streak, if any, is over.
  void worked() { in_streak_ = false; }

  unsigned long failures() const { return failures_.load(std::memory_order_relaxed); }

  // One line "kite log: <formatted text>" on standard error, with one write; cut at 511
  // characters.
  static void notice(const char* format, ...) __attribute__((format(printf, 1, 2)));

 private:
  std::string subject_;
  bool in_streak_;
  std::atomic<unsigned long> failures_;
};

#endif
