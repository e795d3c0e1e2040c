// KITE_Refcount_Guard: how data blocks and message blocks make and take the
// ACE_Thread_Mutex that guards their reference counts. Internal to KITE/.
//
// Counts move on every duplicate and release, and every block makes a mutex, so two
// shortcuts skip ACE's out-of-line wrappers; on Linux, the kit's platform, each has the
// same effect as the ACE call it replaces:
// - attributes(): one attribute object with default values, built once and only read
//   (ACE writes to given attributes only for process-shared or typed mutexes), so ACE
//   does not build and destroy a fresh one for every mutex;
// - lock() and unlock() call pthread on the mutex's own handle, which is what
//   ACE_OS::mutex_lock and ACE_OS::mutex_unlock do behind two more calls each.
#ifndef KITE_REFCOUNT_GUARD_H
#define KITE_REFCOUNT_GUARD_H

#include <ace/Thread_Mutex.h>
#include <pthread.h>

// Holds the mutex for its scope when locked() says so.
class KITE_Refcount_Guard {
 public:
  explicit KITE_Refcount_Guard(ACE_Thread_Mutex& m) : mutex_(m), locked_(lock(m) == 0) {}
  ~KITE_Refcount_Guard() {
    if (locked_) unlock(mutex_);
  }
  KITE_Refcount_Guard(const KITE_Refcount_Guard&) = delete;
  KITE_Refcount_Guard& operator=(const KITE_Refcount_Guard&) = delete;

  bool locked() const { return locked_; }

  // Default attributes for every reference-count mutex: ACE_Thread_Mutex(nullptr, attributes()).
  static ACE_mutexattr_t* attributes();
  // 0 when the mutex is held.
  static int lock(ACE_Thread_Mutex& m) { return pthread_mutex_lock(&m.lock()); }
  static void unlock(ACE_Thread_Mutex& m) { pthread_mutex_unlock(&m.lock()); }

 private:
  ACE_Thread_Mutex& mutex_;
  bool locked_;
};

#endif
