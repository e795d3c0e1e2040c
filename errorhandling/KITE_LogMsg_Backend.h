// SPDX-License-Identifier: MIT
// KITE_LogMsg_Backend: a destination for finished log lines.
//
// Extension contract: derive and override write(). The backend manager calls write() with
// its mutex held, once per line, from any thread, and only for lines that pass this
// backend's limit and hold at least one character: a line is complete (newline included
// unless it was cut at 254 characters). write() must not log through a log stream nor
// call the manager: the manager's mutex is not recursive.
//
// Ownership: a backend handed to KITE_LogMsg_BackendMgr::addBackend belongs to the manager,
// which deletes it at clear() or at exit; it must come from new.
//
// Limits: a line passes when its priority is less than or equal to logupto_ (inclusive),
// MAXPRIO by default, so a new backend passes every priority. setLogUpto takes no lock;
// the change applies to the lines that test the limit after it. A backend that tests
// logupto_ itself as well still works: the manager's test comes first and is the same.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BACKEND_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BACKEND_H

#include <atomic>

// The priorities of log lines, numbered like syslog's levels: a smaller value is more
// severe. The log stream derives from this, so its callers write KITE_LogMsg_Stream::ERROR;
// backends receive the numbers as int.
struct KITE_LogMsg_Priorities {
  enum Priority {
    EMERGENCY = 0,
    ALERT = 1,
    CRIT = 2,
    ERROR = 3,
    WARNING = 4,
    NOTICE = 5,
    INFO = 6,
    LDEBUG = 7
  };
};

class KITE_LogMsg_Backend {
 public:
  // The default limit, above every priority: a new backend passes everything.
  static constexpr int MAXPRIO = 10;

  KITE_LogMsg_Backend();
  KITE_LogMsg_Backend(const KITE_LogMsg_Backend&) = delete;
  KITE_LogMsg_Backend& operator=(const KITE_LogMsg_Backend&) = delete;

  virtual void write(int priority, const char* buffer, int len) = 0;
  virtual ~KITE_LogMsg_Backend();

  // Lines with a priority greater than priority are dropped from now on; -1 drops all.
  void setLogUpto(int priority) { logupto_.store(priority, std::memory_order_relaxed); }

 protected:
  bool passes(int priority) const { return priority <= logupto_.load(std::memory_order_relaxed); }

  // Read by every logging thread without a lock while any thread may set it.
  std::atomic<int> logupto_;

 private:
  friend class KITE_LogMsg_BackendMgr;

  KITE_LogMsg_Backend* next_;  // the manager's list; null outside it
};

#endif
