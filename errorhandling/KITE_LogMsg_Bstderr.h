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

  // A failed write ends this line on this backend silently; there is nowhere to report it.
  void write(int priority, const char* buffer, int len) override;
  ~KITE_LogMsg_Bstderr() override;
};

#endif
