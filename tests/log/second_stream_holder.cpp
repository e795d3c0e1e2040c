// SPDX-License-Identifier: MIT
// Must not compile: a stream holder with another lock than the kit's would be a second set
// of per-thread streams. Compiled by a test that expects the compiler to refuse it.
#include <ace/Thread_Mutex.h>

#include "errorhandling/KITE_LogMsg_Stream.h"

int main() {
  ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Thread_Mutex>::instance()->error("second set");
}
