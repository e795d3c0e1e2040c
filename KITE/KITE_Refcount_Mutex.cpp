// SPDX-License-Identifier: MIT
#include "KITE/KITE_Refcount_Mutex.h"

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Singleton.h>

#include <cstdlib>
#include <cstring>

#include "errorhandling/KITE_LogMsg_Stream.h"

void KITE_Refcount_Mutex::failed(const char* what, int error) {
  KITE_LogMsg_Stream::instance()->cond_fail(true, "%s:%d:reference count mutex: %s failed: %s",
                                            __FILE_NAME__, __LINE__, what, std::strerror(error));
  std::abort();  // cond_fail does not return; the compiler is not told so
}
