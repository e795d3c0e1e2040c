// SPDX-License-Identifier: MIT
// KITE_LogMsg_BackendMgr: the process-wide entry for every finished log line.
//
// Obtained through ACE_Singleton<KITE_LogMsg_BackendMgr, ACE_Recursive_Thread_Mutex>::
// instance(); the first log stream of the process creates it, ACE's object manager destroys
// it at exit, after every log stream (see KITE_LogMsg_Stream.h).
//
// It is itself a backend: its logupto_ is the global limit, tested before the lock, and
// its write() hands the line to each backend of its list:
//
//   wurzel_ -> added last -> ... -> added first -> standard error (added at construction)
//
// Ownership: the manager owns every backend in the list and deletes it at clear() or at
// its own destruction.
//
// Locking: mutex_ (not recursive) guards the list and is held for the whole walk of one
// line, so lines from different threads reach all backends whole and in one order. A
// backend therefore must not log from its write(). The global limit, the program name and
// the main process id are read without the lock.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BACKENDMGR_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BACKENDMGR_H

#include <atomic>

#include "ace/Recursive_Thread_Mutex.h"
#include "ace/Singleton.h"
#include "ace/Thread_Mutex.h"
#include "errorhandling/KITE_LogMsg_Backend.h"
#include "errorhandling/errorclass.h"

class KITE_LogMsg_BackendMgr : public KITE_LogMsg_Backend {
 public:
  // Puts backend at the head of the list and takes ownership. backend comes from new and
  // is not in the list yet; a null backend is ignored. Throws MutexFail.
  void addBackend(KITE_LogMsg_Backend* backend);

  // Deletes every backend, the standard-error one included; until the next addBackend no
  // line is written anywhere. Throws MutexFail.
  void clear();

  // Writes one line to every backend whose limit lets it pass, the one added last first.
  // Throws MutexFail; an exception of a backend ends the walk and passes on.
  void write(int priority, const char* buffer, int len) override;

  // Records argv[0] as the program name; the text is not copied and must stay valid.
  // argc is not used; a null argv or argv[0] keeps the name as it was.
  void init(int argc, char** argv);

  // The process id at the manager's construction; a forked child still reports it.
  int getMainPid();
  // "<unknown>" until init.
  const char* progname();

  // Sends SIGABRT to the main process id. When that fails it writes "KILL Failed\n" at
  // CRIT through write(); it returns whenever the signal is ignored, handled or not sent.
  void abort();

 private:
  friend class ACE_Singleton<KITE_LogMsg_BackendMgr, ACE_Recursive_Thread_Mutex>;

  KITE_LogMsg_BackendMgr();
  ~KITE_LogMsg_BackendMgr() override;

  static void delete_all(KITE_LogMsg_Backend* head);

  ACE_Thread_Mutex mutex_;
  KITE_LogMsg_Backend* wurzel_;
  std::atomic<const char*> progname_;  // set by init while other threads may print it
  int mainpid_;
};

#endif
