// SPDX-License-Identifier: MIT
// KITE_LogMsg_Bjournal: the backend that sends each line to the systemd journal as one entry
// (libsystemd's sd_journal_sendv, the journal's native protocol), with the fields
//
//   MESSAGE            the line without its trailing newline (a newline within it is kept)
//   PRIORITY           the line's priority, 0 to 7
//   SYSLOG_IDENTIFIER  the manager's program name (KITE_LogMsg_Sys::identity())
//   TID                the kernel's id of the thread that logs (gettid), as the journal's own
//   CODE_FILE          with CODE_LINE and ERRNO (when not 0), what the log stream recorded
//                      with info() before the line, if it did
//
// No journal: the C library's sd_journal_sendv drops a line silently where no journal
// socket exists, so the backend looks at /run/systemd/journal/socket when it is made.
// Where nothing listens there, or where a later send fails, the line goes to standard error
// instead (through a standard-error backend of its own, so under the journal's stream with
// its level) and the backend says so once, on standard error; after a send fails it tries
// the journal again with each line, and says so again after the journal took a line.
//
// Locking: none of its own; the manager's mutex serialises write(), which reuses one buffer.
// Cost: one datagram per line, formatted without allocation once a line as long was sent.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BJOURNAL_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BJOURNAL_H

#include <memory>
#include <string>

#include "errorhandling/KITE_LogMsg_Backend.h"
#include "errorhandling/KITE_LogMsg_Bstderr.h"

class KITE_LogMsg_Trouble;

class KITE_LogMsg_Bjournal : public KITE_LogMsg_Backend {
 public:
  KITE_LogMsg_Bjournal();
  ~KITE_LogMsg_Bjournal() override;

  void write(int priority, const char* buffer, int len) override;

  // 0 when a journal listened when the backend was made, else why not (an errno value); in
  // that case every line goes to standard error.
  int open_error() const { return open_error_; }

  // Where libsystemd sends to.
  static constexpr const char* SOCKET_PATH = "/run/systemd/journal/socket";

 private:
  int send(int priority, const char* buffer, int len);

  const int open_error_;
  KITE_LogMsg_Bstderr stderr_;
  const std::unique_ptr<KITE_LogMsg_Trouble> trouble_;
  std::string message_;     // "MESSAGE=..." of the line being sent
  std::string identifier_;  // "SYSLOG_IDENTIFIER=..."
  std::string file_;        // "CODE_FILE=..."
};

#endif
