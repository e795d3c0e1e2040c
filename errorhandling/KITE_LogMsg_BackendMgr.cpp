// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_BackendMgr.h"

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include <ace/Guard_T.h>
#include <ace/Object_Manager.h>

#include "errorhandling/KITE_LogMsg_Bstderr.h"
#include "errorhandling/KITE_LogMsg_LogTo.h"

namespace {

// The source name that MutexFail reports.
const char kSource[] = "KITE_LogMsg_BackendMgr";

}  // namespace

KITE_LogMsg_BackendMgr* KITE_LogMsg_BackendMgr::instance() {
  // Static storage that nothing destroys: a stream of a thread that still logs while the
  // process exits keeps a valid manager.
  alignas(KITE_LogMsg_BackendMgr) static unsigned char storage[sizeof(KITE_LogMsg_BackendMgr)];
  static KITE_LogMsg_BackendMgr* const manager = [] {
    KITE_LogMsg_BackendMgr* made = new (storage) KITE_LogMsg_BackendMgr;
    // Registered like an ACE singleton, so the backends go after every log stream that ACE
    // destroys. Made while ACE starts or ends, the backends stay until the process ends.
    if (!ACE_Object_Manager::starting_up() && !ACE_Object_Manager::shutting_down())
      ACE_Object_Manager::at_exit(made, &KITE_LogMsg_BackendMgr::shut_down, nullptr, kSource);
    return made;
  }();
  return manager;
}

KITE_LogMsg_BackendMgr::KITE_LogMsg_BackendMgr()
    : wurzel_(nullptr), shut_down_(false), progname_("<unknown>"), mainpid_(getpid()) {
  // KITE_LOG_TO, read here and only here, names the destinations; standard error by default.
  for (auto& backend : KITE_LogMsg_LogTo::backends(std::getenv("KITE_LOG_TO")))
    addBackend(backend.release());
}

KITE_LogMsg_BackendMgr::~KITE_LogMsg_BackendMgr() = default;

void KITE_LogMsg_BackendMgr::shut_down(void* manager, void*) {
  KITE_LogMsg_BackendMgr* self = static_cast<KITE_LogMsg_BackendMgr*>(manager);
  delete_all(self->detach("shut_down", true));
}

void KITE_LogMsg_BackendMgr::delete_all(KITE_LogMsg_Backend* head) {
  while (head) {
    KITE_LogMsg_Backend* following = head->next_;
    delete head;
    head = following;
  }
}

// Takes the whole list out under the lock; deleting it afterwards, outside the lock, lets a
// backend's destructor log: its line meets the list without it.
KITE_LogMsg_Backend* KITE_LogMsg_BackendMgr::detach(const char* operation, bool for_good) {
  ACE_Guard<ACE_Thread_Mutex> guard(mutex_);
  if (!guard.locked()) throw MutexFail(kSource, __LINE__, operation);
  if (for_good) shut_down_ = true;
  KITE_LogMsg_Backend* detached = wurzel_;
  wurzel_ = nullptr;
  return detached;
}

void KITE_LogMsg_BackendMgr::addBackend(KITE_LogMsg_Backend* backend) {
  if (!backend) return;
  {
    ACE_Guard<ACE_Thread_Mutex> guard(mutex_);
    if (!guard.locked()) throw MutexFail(kSource, __LINE__, "addBackend");
    if (!shut_down_) {
      backend->next_ = wurzel_;
      wurzel_ = backend;
      return;
    }
  }
  delete backend;
}

void KITE_LogMsg_BackendMgr::clear() {
  delete_all(detach("clear"));
}

void KITE_LogMsg_BackendMgr::write(int priority, const char* buffer, int len) {
  if (len <= 0 || !passes(priority)) return;
  ACE_Guard<ACE_Thread_Mutex> guard(mutex_);
  if (!guard.locked()) throw MutexFail(kSource, __LINE__, "write");
  if (shut_down_) {
    KITE_LogMsg_Bstderr::put(buffer, len);
    return;
  }
  for (KITE_LogMsg_Backend* backend = wurzel_; backend; backend = backend->next_)
    if (backend->passes(priority)) backend->write(priority, buffer, len);
}

void KITE_LogMsg_BackendMgr::init(int, char** argv) {
  if (argv && argv[0]) progname_.store(argv[0]);
}

int KITE_LogMsg_BackendMgr::getMainPid() {
  return mainpid_;
}

const char* KITE_LogMsg_BackendMgr::progname() {
  return progname_.load();
}

void KITE_LogMsg_BackendMgr::abort() {
  static const char kKillFailed[] = "KILL Failed\n";
  if (kill(mainpid_, SIGABRT) != 0)
    write(KITE_LogMsg_Priorities::CRIT, kKillFailed, sizeof kKillFailed - 1);
}

ACE_BEGIN_VERSIONED_NAMESPACE_DECL
template <>
KITE_LogMsg_BackendMgr*
ACE_Singleton<KITE_LogMsg_BackendMgr, ACE_Recursive_Thread_Mutex>::instance() {
  return KITE_LogMsg_BackendMgr::instance();
}
ACE_END_VERSIONED_NAMESPACE_DECL
