// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Trouble.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "errorhandling/KITE_LogMsg_Backend.h"
#include "errorhandling/KITE_LogMsg_Bstderr.h"

namespace {

const char kLead[] = "kite log: ";
const size_t kLeadLength = sizeof kLead - 1;
// Characters of the text after the lead; with the lead and the newline, 512 at most.
const size_t kTextMax = 511 - kLeadLength;
// What an overlong text keeps of its end: the reason and what follows it.
const size_t kTailKept = kTextMax / 2;
const char kElided[] = "...";

}  // namespace

KITE_LogMsg_Trouble::KITE_LogMsg_Trouble(std::string subject)
    : subject_(std::move(subject)), in_streak_(false), failures_(0) {}

void KITE_LogMsg_Trouble::failed(const char* what, int error, const char* then) {
  failures_.fetch_add(1, std::memory_order_relaxed);
  if (in_streak_) return;
  in_streak_ = true;
  char text[256];
  notice(KITE_LogMsg_Priorities::ERROR, "%s: %s: %s; %s", subject_.c_str(), what,
         reason(error, text, sizeof text), then);
}

const char* KITE_LogMsg_Trouble::reason(int error, char* text, size_t size) {
  if (error == EWOULDBLOCK) return "writing to it could block the program";
  return strerror_r(error, text, size);
}

void KITE_LogMsg_Trouble::notice(int priority, const char* format, ...) {
  char line[kLeadLength + kTextMax + 1];
  std::memcpy(line, kLead, kLeadLength);
  char* const text = line + kLeadLength;
  va_list args, again;
  va_start(args, format);
  va_copy(again, args);
  const int count = std::vsnprintf(text, kTextMax + 1, format, args);
  size_t length = count < 0 ? 0 : static_cast<size_t>(count);
  if (length > kTextMax) {
    // Rare (a path of thousands of characters): the whole text, to keep its end.
    std::string whole(length + 1, '\0');
    std::vsnprintf(&whole[0], whole.size(), format, again);
    const size_t head = kTextMax - (sizeof kElided - 1) - kTailKept;
    std::memcpy(text + head, kElided, sizeof kElided - 1);
    std::memcpy(text + kTextMax - kTailKept, whole.data() + length - kTailKept, kTailKept);
    length = kTextMax;
  }
  va_end(again);
  va_end(args);
  text[length++] = '\n';
  KITE_LogMsg_Bstderr().write(priority, line, static_cast<int>(kLeadLength + length));
}
