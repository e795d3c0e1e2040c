// SPDX-License-Identifier: MIT
/// \file
/// KITE_LogMsg_Backend: a destination for finished log lines.
///
/// Extension contract: derive and override write(). The backend manager calls write() with
/// its mutex held, once per line, from any thread, and only for lines that pass this
/// backend's limit and hold at least one character: a line is complete (newline included
/// unless it was cut at 254 characters). write() must not log through a log stream nor
/// call the manager: the manager's mutex is not recursive. Wrapped in a KITE_LogMsg_Basync,
/// a backend gets the same lines from the writer thread instead, one at a time; what the
/// log call knew about a line (KITE_LogMsg_Origin, KITE_LogMsg_Stamp) comes along with it.
///
/// Ownership: a backend handed to KITE_LogMsg_BackendMgr::addBackend belongs to the manager,
/// which deletes it at clear() or at exit; it must come from new.
///
/// Limits: a line passes when its priority is less than or equal to logupto_ (inclusive),
/// MAXPRIO by default, so a new backend passes every priority. setLogUpto takes no lock;
/// the change applies to the lines that test the limit after it. A backend that tests
/// logupto_ itself as well still works: the manager's test comes first and is the same.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BACKEND_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BACKEND_H

#include <sys/types.h>

#include <atomic>
#include <ctime>

#include "BOLT/export.h"

/// The priorities of log lines, numbered like syslog's levels: a smaller value is more
/// severe. The log stream derives from this, so its callers write KITE_LogMsg_Stream::ERROR;
/// backends receive the numbers as int.
struct KITE_EXPORT KITE_LogMsg_Priorities {
  /// A line's priority.
  enum Priority {
    EMERGENCY = 0,  ///< syslog's LOG_EMERG
    ALERT = 1,      ///< syslog's LOG_ALERT
    CRIT = 2,       ///< syslog's LOG_CRIT
    ERROR = 3,      ///< syslog's LOG_ERR
    WARNING = 4,    ///< syslog's LOG_WARNING
    NOTICE = 5,     ///< syslog's LOG_NOTICE
    INFO = 6,       ///< syslog's LOG_INFO
    LDEBUG = 7      ///< syslog's LOG_DEBUG
  };
};

/// Where the line being written comes from, as the log stream recorded it with info(). The
/// stream makes it current on its thread while the line goes to the backends, so a backend
/// that can store it (the journal) reads it in write().
struct KITE_EXPORT KITE_LogMsg_Origin {
  const char* file;  ///< The recorded file name; empty when info() was given none.
  int line;          ///< The recorded line number.
  int errnum;        ///< The recorded error number; 0 for none.

  /// The origin of the line the calling thread is writing; null for a line without one (no
  /// info() before it, or not from a log stream).
  static const KITE_LogMsg_Origin* current();

  /// Makes origin the calling thread's current one for the scope.
  class KITE_EXPORT Scope {
   public:
    /// origin is current until the scope ends; it is not copied.
    explicit Scope(const KITE_LogMsg_Origin* origin);
    /// The origin current before the scope is current again.
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    const KITE_LogMsg_Origin* outer_;
  };
};

/// When, on which thread and under which program name the line being written was logged. A
/// line that a KITE_LogMsg_Basync delivers on its writer thread carries these of the log call
/// with it; any other line is written on the thread that logs it, right then.
struct KITE_EXPORT KITE_LogMsg_Stamp {
  timespec time;         ///< wall clock (CLOCK_REALTIME)
  pid_t tid;             ///< the kernel's id of the logging thread (gettid)
  const char* progname;  ///< KITE_LogMsg_BackendMgr::progname() at the log call

  /// The stamp of the line the calling thread is writing: the one carried with a delivered
  /// line, else now, the calling thread and the program name of now.
  static KITE_LogMsg_Stamp current();

  /// The calling thread's kernel id, looked up once per thread (and again in a forked child).
  static pid_t thread_id();

  /// Makes stamp the calling thread's current one for the scope.
  class KITE_EXPORT Scope {
   public:
    /// stamp is current until the scope ends; it is not copied.
    explicit Scope(const KITE_LogMsg_Stamp* stamp);
    /// The stamp current before the scope is current again.
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    const KITE_LogMsg_Stamp* outer_;
  };
};

/// A destination for finished log lines: derive and override write() (the extension
/// contract is in KITE_LogMsg_Backend.h).
class KITE_EXPORT KITE_LogMsg_Backend {
 public:
  /// The default limit, above every priority: a new backend passes everything.
  static constexpr int MAXPRIO = 10;

  /// A backend whose limit is MAXPRIO.
  KITE_LogMsg_Backend();
  KITE_LogMsg_Backend(const KITE_LogMsg_Backend&) = delete;
  KITE_LogMsg_Backend& operator=(const KITE_LogMsg_Backend&) = delete;

  /// Takes one line of len characters at priority, as the extension contract says.
  virtual void write(int priority, const char* buffer, int len) = 0;
  virtual ~KITE_LogMsg_Backend();

  /// Lines with a priority greater than priority are dropped from now on; -1 drops all.
  void setLogUpto(int priority) { logupto_.store(priority, std::memory_order_relaxed); }

 protected:
  /// Whether a line at priority passes this backend's limit.
  bool passes(int priority) const { return priority <= logupto_.load(std::memory_order_relaxed); }

  /// The limit: lines above it are dropped. Read by every logging thread without a lock
  /// while any thread may set it.
  std::atomic<int> logupto_;

 private:
  friend class KITE_LogMsg_BackendMgr;
  friend class KITE_LogMsg_Basync;  // applies the limit of the backend it wraps

  KITE_LogMsg_Backend* next_;  // the manager's list; null outside it
};

#endif
