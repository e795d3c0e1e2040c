// SPDX-License-Identifier: MIT
// KITE_LogMsg_LogTo: the backends that the switch KITE_LOG_TO names. Internal to kite::log:
// the backend manager reads the variable once, at its construction, and adds these.
//
//   KITE_LOG_TO=journal:file=/var/log/app.log
//
// A colon-separated list of destinations: "stderr", "syslog" (KITE_LogMsg_Bsyslog with the
// program's name and LOG_USER), "journal" (KITE_LogMsg_Bjournal), "file=<path>"
// (KITE_LogMsg_Bfile with stamped lines; the path cannot hold a colon). Empty entries and
// repeats are passed over, as is a file already listed under another name (the same device
// and inode: "/tmp//a.log", a link). Unset, empty or nothing but colons: standard error alone.
//
// An entry that is unknown, or whose destination is not usable now (no system logger at
// /dev/log, no journal, a file that cannot be opened or could block, as a FIFO), gets one
// line on standard error, at WARNING, that names it and says why; standard error then takes
// its place, so no line is lost, and the good entries of the list are used all the same.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_LOGTO_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_LOGTO_H

#include <memory>
#include <vector>

#include "errorhandling/KITE_LogMsg_Backend.h"

class KITE_LogMsg_LogTo {
 public:
  // The backends for the value of KITE_LOG_TO (null when unset), in the order listed.
  static std::vector<std::unique_ptr<KITE_LogMsg_Backend>> backends(const char* setting);
};

#endif
