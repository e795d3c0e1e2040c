// SPDX-License-Identifier: MIT
// KITE_Refcount_Mutex: takes the lock of a data block's reference count, for blocks whose
// factory has count hooks, so that ACE_Guard can hold it like any ACE lock. Internal to
// KITE/ (not installed).
//
// The block holds a plain non-recursive thread mutex with default attributes, the mutex
// ACE_Thread_Mutex wraps on Linux, set up by static initialisation: every block has one, and
// constructing and destroying an ACE_Thread_Mutex costs more than allocating the block.
// This adapter locks it without ACE's out-of-line wrappers.
//
// It cannot fail visibly: a lock or unlock that the system refuses (a corrupted mutex; a
// default mutex reports nothing else) ends the process through the log stream's cond_fail.
// So acquire() always returns 0, a guard on it always holds it, and no caller tests.
#ifndef KITE_REFCOUNT_MUTEX_H
#define KITE_REFCOUNT_MUTEX_H

#include <pthread.h>

class KITE_Refcount_Mutex {
 public:
  explicit KITE_Refcount_Mutex(pthread_mutex_t& mutex) : mutex_(mutex) {}
  KITE_Refcount_Mutex(const KITE_Refcount_Mutex&) = delete;
  KITE_Refcount_Mutex& operator=(const KITE_Refcount_Mutex&) = delete;

  int acquire() {
    const int error = pthread_mutex_lock(&mutex_);
    if (error != 0) failed("lock", error);
    return 0;
  }
  int release() {
    const int error = pthread_mutex_unlock(&mutex_);
    if (error != 0) failed("unlock", error);
    return 0;
  }

 private:
  // The fatal report; what is "lock" or "unlock", error the system's code.
  [[noreturn]] static void failed(const char* what, int error);

  pthread_mutex_t& mutex_;
};

#endif
