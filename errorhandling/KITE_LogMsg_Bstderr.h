// SPDX-License-Identifier: MIT
// KITE_LogMsg_Bstderr: the backend that writes each line to standard error (descriptor 2),
// byte for byte as handed in, with one write(2) per line unless the system takes only part
// of it. The backend manager creates one at construction, so logging works without set-up.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BSTDERR_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BSTDERR_H

#include "errorhandling/KITE_LogMsg_Backend.h"

class KITE_LogMsg_Bstderr : public KITE_LogMsg_Backend {
 public:
  KITE_LogMsg_Bstderr() = default;

  void write(int priority, const char* buffer, int len) override;
  ~KITE_LogMsg_Bstderr() override;

  // Writes len bytes to descriptor 2, continuing after a partial or interrupted write. A
  // failed write ends the line silently: there is nowhere to report it.
  static void put(const char* buffer, int len);
};

#endif
