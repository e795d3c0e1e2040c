// SPDX-License-Identifier: MIT
/// \file
/// KITE_LogMsg_Bfile: the backend that appends each line to a file, with one write(2) per
/// line (O_APPEND, so lines of other processes and of other backends on the same file stay
/// whole, and a file truncated under it gets no hole).
///
///     manager->addBackend(new KITE_LogMsg_Bfile("/var/log/billing.log"));
///     signal(SIGHUP, [](int) { KITE_LogMsg_Bfile::reopen(); });   // logrotate's postrotate
///
/// Lines: STAMPED (the default, and what KITE_LOG_TO=file= writes) puts before each line
/// what the system logger puts in its files: the time (RFC 3339, local time with its offset,
/// to the microsecond), the program's identity (the manager's program name, as syslog and the
/// journal get it), the id of the process that writes and syslog's name of the priority:
///
///     2026-12-09T06:35:12.123456+01:00 billing[812] warning: disk almost full
///
/// BARE writes the line alone, as standard error does. Either way every physical line is a
/// record: a line cut at its limit gets the newline it lacks, and in STAMPED form each line of
/// a message that holds newlines gets the message's stamp, so text cannot pass for a line of
/// its own.
///
/// The file is opened when the backend is made: created with mode 0640 (less the umask)
/// where missing, never truncated, closed on exec. A relative path is taken from the working
/// directory of that moment, so a later chdir does not move the file. Opening never waits,
/// and no line ever waits for a reader: a FIFO or a socket is refused (open_error()
/// EWOULDBLOCK), and a device that would block a write (a terminal held up) fails the line.
/// The descriptor is never 0, 1 or 2, also in a program started with those closed.
///
/// Rotation: reopen() asks every file backend of the process to close its file and open the
/// path again before its next line; it only sets a flag, so it may be called from a signal
/// handler. With logrotate's "create" mode and a postrotate that sends the signal, a line
/// lands in the old file or the new one, never in neither. With "copytruncate", O_APPEND
/// makes the next line start at the new end: the file gets no hole of zero bytes.
///
/// Failure: a line that cannot be written (disk full, file not openable) is lost and counted
/// in failures() (a disk that fills up in the middle of a line keeps the part written); the
/// first of a streak is reported on standard error with one line, and every following line
/// tries again (a file that could not be opened is opened again).
///
/// Limit: write() drops a line above its limit itself, also when called directly.
/// Locking: none of its own; one thread at a time calls write() (the manager serialises it).
/// reopen() and failures() take no lock and may be called from anywhere.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BFILE_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BFILE_H

#include <atomic>
#include <memory>
#include <string>

#include "BOLT/export.h"
#include "errorhandling/KITE_LogMsg_Backend.h"

class KITE_LogMsg_FileHead;
class KITE_LogMsg_Trouble;

/// The backend that appends each line to a file (see KITE_LogMsg_Bfile.h).
class KITE_EXPORT KITE_LogMsg_Bfile : public KITE_LogMsg_Backend {
 public:
  /// How a line looks in the file.
  enum Form {
    STAMPED,  ///< time, identity[pid] and priority before the text
    BARE      ///< the text alone
  };

  /// Opens path for lines in form; a file that cannot be opened is tried again with each
  /// line (open_error() tells).
  explicit KITE_LogMsg_Bfile(const char* path, Form form = STAMPED);
  ~KITE_LogMsg_Bfile() override;

  /// Appends the line with one write(2); drops it when above the limit.
  void write(int priority, const char* buffer, int len) override;

  /// Every file backend reopens its file before its next line. Async-signal-safe.
  static void reopen() { generation_.fetch_add(1, std::memory_order_relaxed); }

  /// 0 while the file is open, else the errno of the open that failed last (EWOULDBLOCK for
  /// a FIFO or socket).
  int open_error() const { return open_error_; }
  /// Lines that did not reach the file.
  unsigned long failures() const;

 private:
  KITE_NO_EXPORT void open_file();

  static std::atomic<unsigned> generation_;  // of reopen() requests
  static_assert(std::atomic<unsigned>::is_always_lock_free, "reopen() is called by signals");

  const std::string path_;
  int fd_;
  int open_error_;
  unsigned opened_generation_;
  const std::unique_ptr<KITE_LogMsg_FileHead> head_;  // null for BARE
  const std::unique_ptr<KITE_LogMsg_Trouble> trouble_;
};

#endif
