// SPDX-License-Identifier: MIT
// KITE_LogMsg_Stamp: the head of a stamped file line, the way the system logger writes its
// files. Internal to kite::log.
//
//   2026-12-09T06:35:12.123456+01:00 myserver[812] warning: disk almost full
//   `----------- head(WARNING) -------------------------------'
//
// The time is KITE_LogMsg_Sys::line_time() in RFC 3339 form, local time with its offset,
// to the microsecond; then the program's identity (KITE_LogMsg_Sys::identity()), the id of
// the process that writes, and syslog's name of the priority (emerg, alert, crit, err,
// warning, notice, info, debug; below 0 as emerg, above 7 as debug).
//
// Cost: the date, the time to the second and the offset are made once per second that
// lines carry (localtime_r), so a change of the offset (summer time) shows from the first
// line of the second it applies in; a line formats the rest into a buffer it reuses.
//
// Locking: none; one thread at a time uses a stamp (its file backend's writer).
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_STAMP_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_STAMP_H

#include <ctime>
#include <string>

class KITE_LogMsg_Stamp {
 public:
  KITE_LogMsg_Stamp();

  // The head of a line of priority written now; valid until the next call.
  const std::string& head(int priority);

 private:
  // Made once per second: "2026-12-09T06:35:12" and "+01:00".
  void make_second(time_t second);

  bool made_;  // date_time_ and offset_ hold second_
  time_t second_;
  char date_time_[32];
  size_t date_time_length_;
  char offset_[8];
  std::string head_;
};

#endif
