// SPDX-License-Identifier: MIT
/// \file
/// The message of the kit's exceptions (NoMoreDynamicMemory, MutexFail, BufferOverflow, the
/// segment tool's Error): a fixed array of 128 characters, filled once at construction, so
/// that throwing needs no allocation and NoMoreDynamicMemory can be thrown exactly when
/// memory ran out. A longer text is cut to 127 characters; the array is always terminated.
#ifndef BOLT_ERRMSG_H
#define BOLT_ERRMSG_H

#include <cstdarg>
#include <cstdio>

/// Memory segments and what the kit's exceptions share; header-only.
namespace BOLT {

/// The message array of an exception.
typedef char Errmsg[128];

/// Formats into errmsg as vsnprintf does, cut to 127 characters; allocates nothing.
__attribute__((format(printf, 2, 0))) inline void fill_errmsg(Errmsg& errmsg, const char* format,
                                                              va_list args) {
  errmsg[0] = '\0';
  std::vsnprintf(errmsg, sizeof errmsg, format, args);
}

/// Formats into errmsg as snprintf does, cut to 127 characters; allocates nothing.
__attribute__((format(printf, 2, 3))) inline void fill_errmsg(Errmsg& errmsg, const char* format,
                                                              ...) {
  va_list args;
  va_start(args, format);
  fill_errmsg(errmsg, format, args);
  va_end(args);
}

}  // namespace BOLT

#endif
