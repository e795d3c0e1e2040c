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
// The line goes out as the standard-error backend writes one, so under the journal's stream
// it carries its level: ERROR for a failed line, what the caller says for a notice.
//
// Locking: failed() and worked() are called by one thread at a time (under the manager's
// mutex); failures() may be read by any thread at any time.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_TROUBLE_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_TROUBLE_H

#include <atomic>
#include <cstddef>
#include <string>

class KITE_LogMsg_Trouble {
 public:
  // subject names the backend in the report: "journal", "file /var/log/app.log".
  explicit KITE_LogMsg_Trouble(std::string subject);

  // A line failed: counted, and at the start of a streak reported at ERROR as
  // "kite log: <subject>: <what>: <reason(error)>; <then>".
  void failed(const char* what, int error, const char* then);
  // A line worked: the streak, if any, is over.
  void worked() { in_streak_ = false; }

  unsigned long failures() const { return failures_.load(std::memory_order_relaxed); }

  // One line "kite log: <formatted text>" at priority on standard error, with one write. A
  // line longer than 511 characters loses characters from its middle, marked "...", so the
  // reason at its end stays.
  static void notice(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));

  // The words for an errno value: strerror_r's, and for EWOULDBLOCK, which the kit gives a
  // file that could make the program wait, "writing to it could block the program". text
  // holds them where needed.
  static const char* reason(int error, char* text, size_t size);

 private:
  std::string subject_;
  bool in_streak_;
  std::atomic<unsigned long> failures_;
};

#endif
