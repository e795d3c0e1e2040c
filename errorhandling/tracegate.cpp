// SPDX-License-Identifier: MIT
#include "errorhandling/tracegate.h"

#include <cstring>
#include <memory>
#include <new>

#include "errorhandling/KITE_LogMsg_Stream.h"
#include "utility/env_adapter.h"

namespace {

// Joined component formats up to this size are built on the stack.
const size_t kFormatOnStack = 512;

KITE_LogMsg_Stream* log_stream() {
  return ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>::instance();
}

void fail_on_null(const char* format) {
  if (format == nullptr) log_stream()->cond_fail(true, "tracegate::print got NULL msg");
}

}  // namespace

tracegate::tracegate(const char* name) {
  const debug_channel_switches switches = read_debug_channel_switches(name);
  _dbg = switches.on;
  _level = switches.level;
  if (switches.time_stamps) log_stream()->time_output_on();
}

tracegate::~tracegate() {}

void tracegate::print(const char* format_str, ...) {
  if (!_dbg) return;
  fail_on_null(format_str);
  va_list argp;
  va_start(argp, format_str);
  vprint(format_str, argp);
  va_end(argp);
}

void tracegate::vprint(const char* format_str, va_list argp) {
  log_stream()->log(format_str, KITE_LogMsg_Stream::LDEBUG, argp);
}

tracegate::component::component(tracegate* pe, const char* name)
    : m_pe(pe), m_name(name != nullptr ? name : "") {
  if (pe == nullptr)
    log_stream()->cond_fail(true, "tracegate::component::component: no tracegate pointer given");
  m_pe->print("%s: enter\n", m_name);
}

// A destructor must not throw: a failing log line (MutexFail) is dropped here.
tracegate::component::~component() {
  try {
    m_pe->print("%s: leave\n", m_name);
  } catch (...) {
  }
}

void tracegate::component::print(const char* msg, ...) {
  if (!m_pe->is_on()) return;
  fail_on_null(msg);
  // The name becomes part of the format, so each of its '%' is doubled to print as itself.
  size_t percents = 0;
  for (const char* p = m_name; (p = std::strchr(p, '%')) != nullptr; ++p) ++percents;
  const size_t name_length = std::strlen(m_name);
  const size_t msg_length = std::strlen(msg);
  const size_t size = name_length + percents + 2 + msg_length + 1;

  char on_stack[kFormatOnStack];
  std::unique_ptr<char[]> on_heap;
  char* format = on_stack;
  if (size > sizeof on_stack) {
    on_heap.reset(new (std::nothrow) char[size]);
    format = on_heap.get();
    if (format == nullptr)
      log_stream()->cond_fail(true, "%s:%d: alloca failed", __FILE_NAME__, __LINE__);
  }
  char* out = format;
  for (const char* p = m_name; *p; ++p) {
    *out++ = *p;
    if (*p == '%') *out++ = '%';
  }
  *out++ = ':';
  *out++ = ' ';
  std::memcpy(out, msg, msg_length + 1);

  va_list argp;
  va_start(argp, msg);
  m_pe->vprint(format, argp);
  va_end(argp);
}
