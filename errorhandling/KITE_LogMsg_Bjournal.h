// SPDX-License-Identifier: MIT
/// \file
/// KITE_LogMsg_Bjournal: the backend that sends each line to the systemd journal as one entry
/// (one datagram of the journal's native protocol to its socket), with the fields
///
///     MESSAGE            the line without its trailing newline (a newline within it is kept)
///     PRIORITY           the line's priority, 0 to 7
///     SYSLOG_IDENTIFIER  the manager's program name (KITE_LogMsg_Sys::identity())
///     TID                the kernel's id of the thread that logged the line
///                        (KITE_LogMsg_Stamp::current(): the logging thread's also when a
///                        KITE_LogMsg_Basync delivers the line on its writer thread)
///     CODE_FILE          with CODE_LINE and ERRNO (when not 0), what the log stream recorded
///                        with info() before the line, if it did
///
/// No journal: the backend looks at /run/systemd/journal/socket when it is made. Where
/// nothing listens there, or where a later send fails (the socket is gone, as while the journal
/// restarts, or nobody listens at it), the line goes to standard error instead (through a
/// standard-error backend of its own, so under the journal's stream with its level) and the
/// backend says so once, on standard error; after a send fails it tries the journal again with
/// each line, and says so again after the journal took a line. It sends by itself rather than
/// through libsystemd, whose sd_journal_sendv reports success for a socket that is gone.
///
/// A journal that stops reading its socket makes the send wait until it reads again: added by
/// KITE_LOG_TO, the backend is wrapped in a KITE_LogMsg_Basync, so only its writer thread waits.
///
/// Locking: none of its own; the manager's mutex (or the writer thread) serialises write(),
/// which reuses one buffer.
/// Cost: one datagram per line, formatted without allocation once a line as long was sent.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BJOURNAL_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BJOURNAL_H

#include <memory>
#include <string>

#include "BOLT/export.h"
#include "errorhandling/KITE_LogMsg_Backend.h"
#include "errorhandling/KITE_LogMsg_Bstderr.h"

class KITE_LogMsg_Trouble;

/// The backend that sends each line to the systemd journal (see KITE_LogMsg_Bjournal.h).
class KITE_EXPORT KITE_LogMsg_Bjournal : public KITE_LogMsg_Backend {
 public:
  /// Looks whether a journal listens at SOCKET_PATH.
  KITE_LogMsg_Bjournal();
  ~KITE_LogMsg_Bjournal() override;

  /// Sends the line as one journal entry, or writes it to standard error where that fails.
  void write(int priority, const char* buffer, int len) override;

  /// 0 when a journal listened when the backend was made, else why not (an errno value); in
  /// that case every line goes to standard error.
  int open_error() const { return open_error_; }

  /// Where the journal listens.
  static constexpr const char* SOCKET_PATH = "/run/systemd/journal/socket";

 private:
  KITE_NO_EXPORT int send(int priority, const char* buffer, int len);

  const int open_error_;
  int fd_;  // the datagram socket sent from; -1 until one could be made
  KITE_LogMsg_Bstderr stderr_;
  const std::unique_ptr<KITE_LogMsg_Trouble> trouble_;
  std::string entry_;  // the datagram of the line being sent
};

#endif
