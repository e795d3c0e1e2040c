// SPDX-License-Identifier: MIT
// KITE_LogMsg_Bfile: the backend that appends each line to a file, with one write(2) per
// line (O_APPEND, so lines of other processes and of other backends on the same file stay
// whole, and a file truncated under it gets no hole).
//
//   manager->addBackend(new KITE_LogMsg_Bfile("/var/log/billing.log"));
//   signal(SIGHUP, [](int) { KITE_LogMsg_Bfile::reopen(); });   // logrotate's postrotate
//
// The file is opened when the backend is made: created with mode 0640 (less the umask)
// where missing, never truncated, closed on exec. A relative path is taken from the working
// directory of that moment, so a later chdir does not move the file.
//
// Rotation: reopen() asks every file backend of the process to close its file and open the
// path again before its next line; it only sets a flag, so it may be called from a signal
// handler. With logrotate's "create" mode and a postrotate that sends the signal, a line
// lands in the old file or the new one, never in neither. With "copytruncate", O_APPEND
// makes the next line start at the new end: the file gets no hole of zero bytes.
//
// Failure: a line that cannot be written (disk full, file not openable) is lost and counted
// in failures() (a disk that fills up in the middle of a line keeps the part written); the
// first of a streak is reported on standard error with one line, and every following line
// tries again (a file that could not be opened is opened again).
//
// Locking: none of its own; the manager's mutex serialises write(). reopen() and failures()
// take no lock and may be called from anywhere.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BFILE_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BFILE_H

#include <atomic>
#include <memory>
#include <string>

#include "errorhandling/KITE_LogMsg_Backend.h"

class KITE_LogMsg_Trouble;

class KITE_LogMsg_Bfile : public KITE_LogMsg_Backend {
 public:
  explicit KITE_LogMsg_Bfile(const char* path);
  ~KITE_LogMsg_Bfile() override;

  void write(int priority, const char* buffer, int len) override;

  // Every file backend reopens its file before its next line. Async-signal-safe.
  static void reopen() { generation_.fetch_add(1, std::memory_order_relaxed); }

  // 0 while the file is open, else the errno of the open that failed last.
  int open_error() const { return open_error_; }
  // Lines that did not reach the file.
  unsigned long failures() const;

 private:
  void open_file();

  static std::atomic<unsigned> generation_;  // of reopen() requests
  static_assert(std::atomic<unsigned>::is_always_lock_free, "reopen() is called by signals");

  const std::string path_;
  int fd_;
  int open_error_;
  unsigned opened_generation_;
  const std::unique_ptr<KITE_LogMsg_Trouble> trouble_;
};

#endif
