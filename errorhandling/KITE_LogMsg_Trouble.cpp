// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Trouble.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

#include "errorhandling/KITE_LogMsg_Bstderr.h"

KITE_LogMsg_Trouble::KITE_LogMsg_Trouble(std::string subject)
    : subject_(std::move(subject)), in_streak_(false), failures_(0) {}

void KITE_LogMsg_Trouble::failed(const char* what, int error, const char* then) {
  failures_.fetch_add(1, std::memory_order_relaxed);
  if (in_streak_) return;
  in_streak_ = true;
  char text[256];
  notice("%s: %s: %s; %s", subject_.c_str(), what, strerror_r(error, text, sizeof text), then);
}

void KITE_LogMsg_Trouble::notice(const char* format, ...) {
  static const char kLead[] = "kite log: ";
  char line[512];
  std::memcpy(line, kLead, sizeof kLead - 1);
  const size_t room = sizeof line - sizeof kLead;  // leaves a place for the newline
  va_list args;
  va_start(args, format);
  int count = std::vsnprintf(line + sizeof kLead - 1, room + 1, format, args);
  va_end(args);
  size_t length = sizeof kLead - 1 + (count < 0 ? 0 : std::min(static_cast<size_t>(count), room));
  line[length++] = '\n';
  KITE_LogMsg_Bstderr::put(line, static_cast<int>(length));
}
