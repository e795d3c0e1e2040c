// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Stamp.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "errorhandling/KITE_LogMsg_Sys.h"

namespace {

const char* const kLevelNames[] = {"emerg",   "alert",  "crit", "err",
                                   "warning", "notice", "info", "debug"};

// Appends value in decimal, zero-padded to width digits.
void append_padded(std::string& out, long value, size_t width) {
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const size_t length = static_cast<size_t>(end - digits);
  if (length < width) out.append(width - length, '0');
  out.append(digits, length);
}

}  // namespace

KITE_LogMsg_Stamp::KITE_LogMsg_Stamp()
    : made_(false), second_(0), date_time_{}, date_time_length_(0), offset_{} {}

void KITE_LogMsg_Stamp::make_second(time_t second) {
  tm local = {};
  localtime_r(&second, &local);
  date_time_length_ = std::strftime(date_time_, sizeof date_time_, "%Y-%m-%dT%H:%M:%S", &local);
  const long minutes = std::labs(local.tm_gmtoff) / 60;
  std::snprintf(offset_, sizeof offset_, "%c%02ld:%02ld", local.tm_gmtoff < 0 ? '-' : '+',
                minutes / 60 % 100, minutes % 60);
  second_ = second;
  made_ = true;
}

const std::string& KITE_LogMsg_Stamp::head(int priority) {
  const timespec now = KITE_LogMsg_Sys::line_time();
  if (!made_ || now.tv_sec != second_) make_second(now.tv_sec);
  head_.assign(date_time_, date_time_length_).append(1, '.');
  append_padded(head_, now.tv_nsec / 1000, 6);
  head_.append(offset_).append(1, ' ').append(KITE_LogMsg_Sys::identity()).append(1, '[');
  append_padded(head_, KITE_LogMsg_Sys::process_id(), 1);
  head_.append("] ").append(kLevelNames[KITE_LogMsg_Sys::level(priority)]).append(": ");
  return head_;
}
