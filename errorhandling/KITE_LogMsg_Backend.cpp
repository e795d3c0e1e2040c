// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Backend.h"

#include <pthread.h>
#include <unistd.h>

#include "errorhandling/KITE_LogMsg_BackendMgr.h"

namespace {

thread_local const KITE_LogMsg_Origin* current_origin = nullptr;
thread_local const KITE_LogMsg_Stamp* current_stamp = nullptr;
thread_local pid_t cached_thread_id = 0;

// A forked child runs on the thread that called fork(), under a new id.
void forget_thread_id() {
  cached_thread_id = 0;
}

// Registered as the library is loaded, never on the way of a line: a first line that met a
// fork half-way would leave the child a static whose making never ends. Until then (a line
// from another library's static initialiser) the id is looked up each time.
const bool thread_id_forgotten_at_fork = pthread_atfork(nullptr, nullptr, &forget_thread_id) == 0;

}  // namespace

const KITE_LogMsg_Origin* KITE_LogMsg_Origin::current() {
  return current_origin;
}

KITE_LogMsg_Origin::Scope::Scope(const KITE_LogMsg_Origin* origin) : outer_(current_origin) {
  current_origin = origin;
}

KITE_LogMsg_Origin::Scope::~Scope() {
  current_origin = outer_;
}

KITE_LogMsg_Stamp KITE_LogMsg_Stamp::current() {
  if (current_stamp) return *current_stamp;
  KITE_LogMsg_Stamp now;
  clock_gettime(CLOCK_REALTIME, &now.time);
  now.tid = thread_id();
  now.progname = KITE_LogMsg_BackendMgr::instance()->progname();
  return now;
}

pid_t KITE_LogMsg_Stamp::thread_id() {
  if (cached_thread_id != 0) return cached_thread_id;
  const pid_t id = gettid();
  if (thread_id_forgotten_at_fork) cached_thread_id = id;
  return id;
}

KITE_LogMsg_Stamp::Scope::Scope(const KITE_LogMsg_Stamp* stamp) : outer_(current_stamp) {
  current_stamp = stamp;
}

KITE_LogMsg_Stamp::Scope::~Scope() {
  current_stamp = outer_;
}

KITE_LogMsg_Backend::KITE_LogMsg_Backend() : logupto_(MAXPRIO), next_(nullptr) {}

KITE_LogMsg_Backend::~KITE_LogMsg_Backend() = default;
