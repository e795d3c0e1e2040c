// SPDX-License-Identifier: MIT
// KITE_LogMsg_FileHead: the head of a stamped file line, the way the system logger writes its
// files. Internal to kite::log.
//
//   2026-12-09T06:35:12.123456+01:00 myserver[812] warning: disk almost full
//   `----------- head(WARNING) -------------------------------'
//
// The time is that of the log call (KITE_LogMsg_Stamp::current(), also for a line that the
// writer thread delivers later) in RFC 3339 form, local time with its offset, to the
// microsecond; then the program's identity (KITE_LogMsg_Sys::identity()), the id of
// the process that writes, and syslog's name of the priority (emerg, alert, crit, err,
// warning, notice, info, debug; below 0 as emerg, above 7 as debug).
//
// Cost: all but the microseconds and the priority is made again only when the second, the
// identity or the process id changes (localtime_r once per second that lines carry, so a
// change of the offset, as to summer time, shows from the first line of the second it
// applies in); a line writes six digits and the priority's name into a buffer it reuses.
//
// Locking: none; one thread at a time uses a head (its file backend's writer).
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_FILEHEAD_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_FILEHEAD_H

#include <sys/types.h>

#include <ctime>
#include <string>

class KITE_LogMsg_FileHead {
 public:
  KITE_LogMsg_FileHead();

  // The head of a line of priority written now; valid until the next call.
  const std::string& head(int priority);

 private:
  // Everything before the priority's name, with the microseconds left to head().
  void make_fixed(time_t second, const char* identity, pid_t pid);

  bool made_;
  time_t second_;  // what the fixed part was made for
  const char* identity_;
  pid_t pid_;
  size_t microseconds_at_;  // where the six digits stand in head_
  size_t fixed_length_;     // where the priority's name starts in head_
  std::string head_;
};

#endif
