// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_BackendMgr.h"

#include <signal.h>
#include <unistd.h>

#include "ace/Guard_T.h"
#include "errorhandling/KITE_LogMsg_Bstderr.h"

namespace {

// The source name that MutexFail reports.
const char kSource[] = "KITE_LogMsg_BackendMgr";

// KITE_LogMsg_Stream::CRIT; the manager knows priorities only as numbers.
const int kCrit = 2;

}  // namespace

KITE_LogMsg_BackendMgr::KITE_LogMsg_BackendMgr()
    : wurzel_(nullptr), progname_("<unknown>"), mainpid_(getpid()) {
  addBackend(new KITE_LogMsg_Bstderr);
}

// Runs at exit, after every log stream that ACE destroys; no other thread may log now.
KITE_LogMsg_BackendMgr::~KITE_LogMsg_BackendMgr() {
  delete_all(wurzel_);
}

void KITE_LogMsg_BackendMgr::delete_all(KITE_LogMsg_Backend* head) {
  while (head) {
    KITE_LogMsg_Backend* following = head->next_;
    delete head;
    head = following;
  }
}

void KITE_LogMsg_BackendMgr::addBackend(KITE_LogMsg_Backend* backend) {
  if (!backend) return;
  ACE_Guard<ACE_Thread_Mutex> guard(mutex_);
  if (!guard.locked()) throw MutexFail(kSource, __LINE__, "addBackend");
  backend->next_ = wurzel_;
  wurzel_ = backend;
}

void KITE_LogMsg_BackendMgr::clear() {
  KITE_LogMsg_Backend* detached;
  {
    ACE_Guard<ACE_Thread_Mutex> guard(mutex_);
    if (!guard.locked()) throw MutexFail(kSource, __LINE__, "clear");
    detached = wurzel_;
    wurzel_ = nullptr;
  }
  // Outside the lock: no line can reach the detached backends any more.
  delete_all(detached);
}

void KITE_LogMsg_BackendMgr::write(int priority, const char* buffer, int len) {
  if (!passes(priority)) return;
  ACE_Guard<ACE_Thread_Mutex> guard(mutex_);
  if (!guard.locked()) throw MutexFail(kSource, __LINE__, "write");
  for (KITE_LogMsg_Backend* backend = wurzel_; backend; backend = backend->next_)
    backend->write(priority, buffer, len);
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
  if (kill(mainpid_, SIGABRT) != 0) write(kCrit, kKillFailed, sizeof kKillFailed - 1);
}
