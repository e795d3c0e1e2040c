// SPDX-License-Identifier: MIT
/// \file
/// KITE_LogMsg_BackendMgr: the process-wide entry for every finished log line.
///
///     KITE_LogMsg_BackendMgr::instance()->addBackend(new MyBackend);
///
/// There is one per process, also across shared libraries and plugins. instance() and
/// ACE_Singleton<KITE_LogMsg_BackendMgr, ACE_Recursive_Thread_Mutex>::instance() return the
/// same object; the first log stream of the process creates it.
///
/// It is itself a backend: its logupto_ is the global limit, tested before the lock, and
/// its write() hands the line to each backend of its list whose own limit the line passes:
///
///     wurzel_ -> added last -> ... -> added first -> those KITE_LOG_TO names, standard error
///                                                     by default (added at construction)
///
/// Ownership: the manager owns every backend in the list and deletes it at clear() or at
/// exit. Exit: when ACE's object manager ends (after every log stream it destroys), the
/// manager detaches its list and deletes the backends; a KITE_LogMsg_Basync among them first
/// delivers what it has queued (waiting a bounded time, see KITE_LogMsg_Basync.h). It stays
/// usable after that: a line that still arrives (from a backend's destructor, a static
/// destructor or a thread still running) goes straight to standard error. Its own memory is
/// never freed, so a late line never touches freed memory. The module that holds the manager
/// (the shared library, or a plugin linked with the static one) stays loaded after dlclose(),
/// since ACE and the ends of threads call into it until the process ends.
///
/// Locking: mutex_ (not recursive) guards the list and is held for the whole walk of one
/// line, so lines from different threads reach all backends whole and in one order. A
/// backend therefore must not log from its write(). The global limit, the program name and
/// the main process id are read without the lock.
///
/// Fork: fork() waits until no other thread writes a line, so the child finds the list whole
/// and the mutex free and logs at once (a thread that forks within a backend's write() keeps
/// the mutex in both processes until that write returns). Lines queued for the writer thread
/// are the parent's; the child starts a writer of its own.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BACKENDMGR_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BACKENDMGR_H

#include <atomic>

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Singleton.h>
#include <ace/Thread_Mutex.h>

#include "BOLT/export.h"
#include "errorhandling/KITE_LogMsg_Backend.h"
#include "errorhandling/errorclass.h"

/// The process-wide entry for every finished log line, and the owner of the backends (see
/// KITE_LogMsg_BackendMgr.h).
class KITE_EXPORT KITE_LogMsg_BackendMgr : public KITE_LogMsg_Backend {
 public:
  /// The process's manager, made at the first call.
  static KITE_LogMsg_BackendMgr* instance();

  /// Puts backend at the head of the list and takes ownership. backend comes from new and
  /// is not in the list yet; a null backend is ignored. After exit has begun the backend is
  /// deleted at once. Throws MutexFail.
  void addBackend(KITE_LogMsg_Backend* backend);

  /// Deletes every backend, the standard-error one included; until the next addBackend no
  /// line is written anywhere. Throws MutexFail.
  void clear();

  /// Writes one line to every backend whose limit lets it pass, the one added last first;
  /// a line without characters (len <= 0) reaches none. Throws MutexFail; an exception of a
  /// backend ends the walk and passes on.
  void write(int priority, const char* buffer, int len) override;

  /// Records argv[0] as the program name; the text is not copied and must stay valid.
  /// argc is not used; a null argv or argv[0] keeps the name as it was.
  void init(int argc, char** argv);

  /// The process id at the manager's construction; a forked child still reports it.
  int getMainPid();
  /// The program name recorded by init(); "<unknown>" until init.
  const char* progname();

  /// Waits at most milliseconds until every line queued for a KITE_LogMsg_Basync before the
  /// call has been delivered; true when all were (or none was queued). For a program that
  /// ends with _exit() or exec(): return from main, exit(), fail() and cond_fail() deliver
  /// on their own.
  bool flush(int milliseconds);

  /// Delivers the queued lines (flush(), at most KITE_LogMsg_Basync::END_WAIT_MS), then
  /// sends SIGABRT to the main process id. When that fails it writes "KILL Failed\n" at
  /// CRIT through write(); it returns whenever the signal is ignored, handled or not sent.
  void abort();

 private:
  // Its instance() is ours (below); the class only needs to name the destructor.
  friend class ACE_Singleton<KITE_LogMsg_BackendMgr, ACE_Recursive_Thread_Mutex>;

  class Locked;  // holds mutex_ for a scope

  KITE_LogMsg_BackendMgr();
  ~KITE_LogMsg_BackendMgr() override;  // never runs: see shut_down()

  KITE_NO_EXPORT static void before_fork();
  KITE_NO_EXPORT static void after_fork_in_parent();
  KITE_NO_EXPORT static void after_fork_in_child();

  // At exit: deletes the backends; later lines go to standard error.
  KITE_NO_EXPORT static void shut_down(void* manager, void*);
  KITE_NO_EXPORT static void delete_all(KITE_LogMsg_Backend* head);
  KITE_NO_EXPORT KITE_LogMsg_Backend* detach(const char* operation, bool for_good = false);

  // The lock and its holder change hands with every line: a cache line of their own, so that
  // the threads that log keep the fields they only read (the limit above, the list below).
  alignas(64) ACE_Thread_Mutex mutex_;
  std::atomic<void*> owner_;  // the thread that holds mutex_ (its thread pointer), for fork()
  alignas(64) KITE_LogMsg_Backend* wurzel_;
  bool shut_down_;                     // guarded by mutex_
  std::atomic<const char*> progname_;  // set by init while other threads may print it
  int mainpid_;
};

/// \cond
// The ACE way of reaching the manager gives the same object as instance(). Exported, and
// named in cmake/kite.map, which hides ACE's templates: a plugin reaches the program's manager.
ACE_BEGIN_VERSIONED_NAMESPACE_DECL
template <>
KITE_EXPORT KITE_LogMsg_BackendMgr*
ACE_Singleton<KITE_LogMsg_BackendMgr, ACE_Recursive_Thread_Mutex>::instance();
ACE_END_VERSIONED_NAMESPACE_DECL
/// \endcond

#endif
