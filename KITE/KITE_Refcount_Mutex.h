// SPDX-License-Identifier: MIT
// KITE_Refcount_Mutex: the lock of a data block's or message block's reference count.
// Internal to KITE/; taken through ACE_Guard like any ACE lock.
//
// A non-recursive thread mutex with default attributes, the mutex ACE_Thread_Mutex wraps
// on Linux, but set up by static initialisation and locked without ACE's out-of-line
// wrappers. Every block makes one, and constructing and destroying an ACE_Thread_Mutex
// costs more than allocating the block itself.
#ifndef KITE_REFCOUNT_MUTEX_H
#define KITE_REFCOUNT_MUTEX_H

#include <pthread.h>

class KITE_Refcount_Mutex {
 public:
  KITE_Refcount_Mutex() = default;
  ~KITE_Refcount_Mutex() { pthread_mutex_destroy(&mutex_); }
  KITE_Refcount_Mutex(const KITE_Refcount_Mutex&) = delete;
  KITE_Refcount_Mutex& operator=(const KITE_Refcount_Mutex&) = delete;

  // 0 when the mutex is now held; -1 when it could not be taken.
  int acquire() { return pthread_mutex_lock(&mutex_) == 0 ? 0 : -1; }
  int release() { return pthread_mutex_unlock(&mutex_) == 0 ? 0 : -1; }

 private:
  pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
};

#endif
