// SPDX-License-Identifier: MIT
// A plugin that reaches the kit's process-wide objects from its own code, as any module
// that logs does.
#include "support/recording_backend.h"

extern "C" {

KITE_LogMsg_BackendMgr* kite_plugin_backend_manager() {
  return kite_test::backend_manager();
}

KITE_LogMsg_BackendMgr* kite_plugin_ace_backend_manager() {
  return ACE_Singleton<KITE_LogMsg_BackendMgr, ACE_Recursive_Thread_Mutex>::instance();
}

KITE_LogMsg_Stream* kite_plugin_log_stream() {
  return kite_test::log_stream();
}

void kite_plugin_report(const char* text) {
  kite_test::log_stream()->report("%s", text);
}
}
