// SPDX-License-Identifier: MIT
/// \file
/// KITE_LogMsg_Bsyslog: the backend that hands each line to the system logger through
/// syslog(3), at the line's priority (the log stream's 0 to 7 are syslog's levels) and the
/// facility given at construction, without the line's trailing newline.
///
///     manager->addBackend(new KITE_LogMsg_Bsyslog("billing", LOG_DAEMON));
///
/// Identity: syslog(3) keeps one identity per process. The backend sets its own with
/// openlog(3) before its first line and whenever the identity it wants changes; a program
/// that calls openlog(3) elsewhere changes it for these lines too. Its facility goes with
/// every line, so that one stays right whatever openlog(3) set.
///
/// Where no system logger listens at /dev/log, syslog(3) drops the lines without a word;
/// open_error() tells, as the manager's KITE_LOG_TO does.
///
/// Cost: what syslog(3) costs, one datagram per line (it formats a header with the time).
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BSYSLOG_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BSYSLOG_H

#include <syslog.h>

#include <string>

#include "BOLT/export.h"
#include "errorhandling/KITE_LogMsg_Backend.h"

/// The backend that hands each line to the system logger through syslog(3) (see
/// KITE_LogMsg_Bsyslog.h).
class KITE_EXPORT KITE_LogMsg_Bsyslog : public KITE_LogMsg_Backend {
 public:
  /// A null or empty identity stands for the manager's program name
  /// (KITE_LogMsg_Sys::identity()), looked up at each line, so a later init() counts.
  /// facility: LOG_USER, LOG_DAEMON, ...
  explicit KITE_LogMsg_Bsyslog(const char* identity = nullptr, int facility = LOG_USER);
  /// Calls closelog(3) when the process's identity is this backend's own text.
  ~KITE_LogMsg_Bsyslog() override;

  /// Hands the line to syslog(3) at its priority, without its trailing newline.
  void write(int priority, const char* buffer, int len) override;

  /// 0 when a system logger listened at /dev/log when the backend was made, else why not
  /// (an errno value).
  int open_error() const { return open_error_; }

 private:
  KITE_NO_EXPORT const char* identity() const;

  const std::string identity_;  // empty: the manager's program name
  const int facility_;
  const int open_error_;
};

#endif
