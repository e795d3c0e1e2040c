// SPDX-License-Identifier: MIT
// KITE_LogMsg_Bstderr: the backend that writes each line to standard error (descriptor 2),
// byte for byte as handed in, with one write(2) per line unless the system takes only part
// of it. The backend manager creates one at construction, so logging works without set-up.
//
// Under the journal: when standard error is the journal's stream (the service manager names
// its device and inode in JOURNAL_STREAM, "<device>:<inode>"), each line of priority 0 to 7
// goes out as "<N>" followed by the line, N its priority, in the same one write. The journal
// takes the prefix as the line's level and stores the line unchanged. The backend looks
// once, when it is made; anywhere else it adds nothing.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BSTDERR_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BSTDERR_H

#include "errorhandling/KITE_LogMsg_Backend.h"

class KITE_LogMsg_Bstderr : public KITE_LogMsg_Backend {
 public:
  KITE_LogMsg_Bstderr();

  void write(int priority, const char* buffer, int len) override;
  ~KITE_LogMsg_Bstderr() override;

  // Writes len bytes to descriptor 2, continuing after a partial or interrupted write. A
  // failed write ends the line silently: there is nowhere to report it. A len of zero or
  // less writes nothing.
  static void put(const char* buffer, int len);

 private:
  const bool journal_stream_;  // standard error was the journal's stream when made
};

#endif
