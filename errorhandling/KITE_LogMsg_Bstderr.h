// SPDX-License-Identifier: MIT
/// \file
/// KITE_LogMsg_Bstderr: the backend that writes each line to standard error (descriptor 2),
/// as handed in, with one write(2) per line unless the system takes only part of it. The
/// backend manager creates one at construction, so logging works without set-up.
///
/// Records: standard error is read line by line (by a terminal, a pipe's reader, the
/// journal), so every line it writes ends with a newline: a line cut at its limit, which has
/// none of its own, gets one in the same write, and the next line starts a record of its own.
///
/// Under the journal: when standard error is the journal's stream (the service manager names
/// its device and inode in JOURNAL_STREAM, "<device>:<inode>"), every physical line goes out
/// as "<N>" followed by the line, N the priority of its message (below 0 as 0, above 7 as 7),
/// in the same one write (a message of more than 31 lines takes more, each ending at the end
/// of a line). The journal takes the prefix as the line's level and stores the line
/// unchanged; since a newline within a message starts a line with the message's own prefix,
/// its text cannot pass for a prefix ("hi\n<0>forged" stays at the message's level). The
/// backend looks once, when it is made; anywhere else it adds no prefix.
///
/// Limit: write() drops a line above its limit itself, also when called directly.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BSTDERR_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BSTDERR_H

#include "BOLT/export.h"
#include "errorhandling/KITE_LogMsg_Backend.h"

/// The backend that writes each line to standard error (see KITE_LogMsg_Bstderr.h).
class KITE_EXPORT KITE_LogMsg_Bstderr : public KITE_LogMsg_Backend {
 public:
  /// Looks whether standard error is the journal's stream.
  KITE_LogMsg_Bstderr();

  /// Writes the line to descriptor 2 (with the journal's prefixes there); drops it when
  /// above the limit.
  void write(int priority, const char* buffer, int len) override;
  ~KITE_LogMsg_Bstderr() override;

  /// Writes len bytes to descriptor 2, and a newline after them where they lack one,
  /// continuing after a partial or interrupted write. A failed write ends the line silently:
  /// there is nowhere to report it. A len of zero or less writes nothing.
  static void put(const char* buffer, int len);

 private:
  const bool journal_stream_;  // standard error was the journal's stream when made
};

#endif
