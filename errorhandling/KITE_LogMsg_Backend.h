// SPDX-License-Identifier: MIT
// KITE_LogMsg_Backend: a destination for finished log lines.
//
// Extension contract: derive, override write(), and apply your own limit there with
// passes(). The backend manager calls write() with its mutex held, once per line, from
// any thread; a line is complete (newline included unless it was cut at 254 characters)
// and len may be zero or negative (formatting failed), in which case there is nothing to
// write. write() must not log through a log stream nor call the manager: the manager's
// mutex is not recursive.
//
// Ownership: a backend handed to KITE_LogMsg_BackendMgr::addBackend belongs to the manager,
// which deletes it at clear() or at exit; it must come from new.
//
// Limits: a line passes when its priority is less than or equal to logupto_ (inclusive),
// MAXPRIO by default, so a new backend passes every priority. setLogUpto takes no lock;
// the change applies to the lines that test the limit after it.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BACKEND_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BACKEND_H

#include <atomic>

class KITE_LogMsg_Backend {
 public:
  static const int MAXPRIO = 10;

  KITE_LogMsg_Backend();
  KITE_LogMsg_Backend(const KITE_LogMsg_Backend&) = delete;
  KITE_LogMsg_Backend& operator=(const KITE_LogMsg_Backend&) = delete;

  virtual void write(int priority, const char* buffer, int len) = 0;
  virtual ~KITE_LogMsg_Backend();

  // Lines with a priority greater than priority are dropped from now on; -1 drops all.
  void setLogUpto(int priority) { logupto_.store(priority, std::memory_order_relaxed); }

 protected:
  bool passes(int priority) const { return priority <= logupto_.load(std::memory_order_relaxed); }

 private:
  friend class KITE_LogMsg_BackendMgr;

  KITE_LogMsg_Backend* next_;  // the manager's list; null outside it
  // Read by every logging thread without a lock while any thread may set it.
  std::atomic<int> logupto_;
};

#endif
