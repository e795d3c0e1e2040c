// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_BackendMgr.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <new>

#include <ace/Object_Manager.h>

#include "errorhandling/KITE_LogMsg_Basync.h"
#include "errorhandling/KITE_LogMsg_Bstderr.h"
#include "errorhandling/KITE_LogMsg_LogTo.h"
#include "errorhandling/KITE_LogMsg_Stream.h"
#include "errorhandling/KITE_LogMsg_Writer.h"

namespace {

// The source name that MutexFail reports.
const char kSource[] = "KITE_LogMsg_BackendMgr";

// ACE's exit hooks, the clean-up of the log streams at the end of each thread and the writer
// thread call into this module until the process ends: a plugin that carries the kit (or
// loads its shared library) must stay in memory after dlclose().
void stay_loaded() {
  Dl_info module;
  if (dladdr(reinterpret_cast<void*>(&stay_loaded), &module) == 0 || !module.dli_fname) return;
  if (void* handle = dlopen(module.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE))
    dlclose(handle);  // the mark stays
}

}  // namespace

// The manager's mutex, taken through the handle it wraps: the one lock of every line costs
// no call into ACE besides. It notes its holder by the thread pointer, which costs one load.
class KITE_LogMsg_BackendMgr::Locked {
 public:
  Locked(KITE_LogMsg_BackendMgr* manager, const char* operation)
      : mutex_(&manager->mutex_.lock()), owner_(&manager->owner_) {
    if (pthread_mutex_lock(mutex_) != 0) throw MutexFail(kSource, __LINE__, operation);
    owner_->store(__builtin_thread_pointer(), std::memory_order_relaxed);
  }
  ~Locked() {
    owner_->store(nullptr, std::memory_order_relaxed);
    pthread_mutex_unlock(mutex_);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  pthread_mutex_t* const mutex_;
  std::atomic<void*>* const owner_;
};

KITE_LogMsg_BackendMgr* KITE_LogMsg_BackendMgr::instance() {
  // Static storage that nothing destroys: a stream of a thread that still logs while the
  // process exits keeps a valid manager.
  alignas(KITE_LogMsg_BackendMgr) static unsigned char storage[sizeof(KITE_LogMsg_BackendMgr)];
  static KITE_LogMsg_BackendMgr* const manager = [] {
    stay_loaded();
    KITE_LogMsg_BackendMgr* made = new (storage) KITE_LogMsg_BackendMgr;
    // Registered like an ACE singleton, so the backends go after every log stream that ACE
    // destroys. Made while ACE starts or ends, the backends stay until the process ends.
    if (!ACE_Object_Manager::starting_up() && !ACE_Object_Manager::shutting_down())
      ACE_Object_Manager::at_exit(made, &KITE_LogMsg_BackendMgr::shut_down, nullptr, kSource);
    pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
    return made;
  }();
  return manager;
}

KITE_LogMsg_BackendMgr::KITE_LogMsg_BackendMgr()
    : owner_(nullptr),
      wurzel_(nullptr),
      shut_down_(false),
      progname_("<unknown>"),
      mainpid_(getpid()) {
  // KITE_LOG_TO, read here and only here, names the destinations; standard error by default.
  // Every destination but standard error may stall, so the writer thread delivers to it.
  for (auto& backend : KITE_LogMsg_LogTo::backends(std::getenv("KITE_LOG_TO"))) {
    KITE_LogMsg_Backend* made = backend.release();
    addBackend(dynamic_cast<KITE_LogMsg_Bstderr*>(made) ? made : new KITE_LogMsg_Basync(made));
  }
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
  const Locked locked(this, operation);
  if (for_good) shut_down_ = true;
  KITE_LogMsg_Backend* detached = wurzel_;
  wurzel_ = nullptr;
  return detached;
}

void KITE_LogMsg_BackendMgr::addBackend(KITE_LogMsg_Backend* backend) {
  if (!backend) return;
  {
    const Locked locked(this, "addBackend");
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
  const Locked locked(this, "write");
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

bool KITE_LogMsg_BackendMgr::flush(int milliseconds) {
  return KITE_LogMsg_Writer::instance().flush(milliseconds);
}

void KITE_LogMsg_BackendMgr::abort() {
  static const char kKillFailed[] = "KILL Failed\n";
  flush(KITE_LogMsg_Basync::END_WAIT_MS);
  if (kill(mainpid_, SIGABRT) != 0)
    write(KITE_LogMsg_Priorities::CRIT, kKillFailed, sizeof kKillFailed - 1);
}

namespace {

// The forking thread holds the manager's mutex: it forks from within a backend's write().
thread_local bool forked_holding = false;

}  // namespace

// A child must find the list whole and the mutex free, so fork() waits for the line being
// written, then for the one being queued. A thread that forks within a backend's write()
// holds the mutex itself: it keeps it, and releases it as it returns, in both processes.
// The forking thread's log stream is made first: made in the child, it would need ACE's
// thread-specific storage, whose lock another thread of the parent may have held.
void KITE_LogMsg_BackendMgr::before_fork() {
  KITE_LogMsg_Stream::instance();
  KITE_LogMsg_BackendMgr* self = instance();
  forked_holding = self->owner_.load(std::memory_order_relaxed) == __builtin_thread_pointer();
  if (!forked_holding) pthread_mutex_lock(&self->mutex_.lock());
  KITE_LogMsg_Writer::before_fork();
}

void KITE_LogMsg_BackendMgr::after_fork_in_parent() {
  KITE_LogMsg_Writer::after_fork_in_parent();
  if (!forked_holding) pthread_mutex_unlock(&instance()->mutex_.lock());
}

void KITE_LogMsg_BackendMgr::after_fork_in_child() {
  KITE_LogMsg_Writer::after_fork_in_child();
  if (!forked_holding) pthread_mutex_unlock(&instance()->mutex_.lock());
}

ACE_BEGIN_VERSIONED_NAMESPACE_DECL
template <>
KITE_LogMsg_BackendMgr*
ACE_Singleton<KITE_LogMsg_BackendMgr, ACE_Recursive_Thread_Mutex>::instance() {
  return KITE_LogMsg_BackendMgr::instance();
}
ACE_END_VERSIONED_NAMESPACE_DECL
