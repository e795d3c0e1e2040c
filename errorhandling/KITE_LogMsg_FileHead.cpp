// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_FileHead.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "errorhandling/KITE_LogMsg_Backend.h"
#include "errorhandling/KITE_LogMsg_Sys.h"

namespace {

// syslog's names of the priorities 0 to 7, as its files show them. Constant: a line may be
// written while the program's statics are still being made.
constexpr std::string_view kLevelNames[] = {
    "emerg: ", "alert: ", "crit: ", "err: ", "warning: ", "notice: ", "info: ", "debug: "};

}  // namespace

KITE_LogMsg_FileHead::KITE_LogMsg_FileHead()
    : made_(false),
      second_(0),
      identity_(nullptr),
      pid_(0),
      microseconds_at_(0),
      fixed_length_(0) {}

void KITE_LogMsg_FileHead::make_fixed(time_t second, const char* identity, pid_t pid) {
  tm local = {};
  localtime_r(&second, &local);
  char date_time[32];
  const size_t length = std::strftime(date_time, sizeof date_time, "%Y-%m-%dT%H:%M:%S", &local);
  const long minutes = std::labs(local.tm_gmtoff) / 60;
  char offset[8];
  std::snprintf(offset, sizeof offset, "%c%02ld:%02ld", local.tm_gmtoff < 0 ? '-' : '+',
                minutes / 60 % 100, minutes % 60);
  char process[16];
  char* process_end = std::to_chars(process, process + sizeof process, pid).ptr;
  head_.assign(date_time, length).append(".000000");
  microseconds_at_ = length + 1;
  head_.append(offset).append(1, ' ').append(identity).append(1, '[');
  head_.append(process, process_end).append("] ");
  fixed_length_ = head_.size();
  made_ = true;
  second_ = second;
  identity_ = identity;
  pid_ = pid;
}

const std::string& KITE_LogMsg_FileHead::head(int priority) {
  const timespec now = KITE_LogMsg_Stamp::current().time;
  const char* identity = KITE_LogMsg_Sys::identity();
  const pid_t pid = KITE_LogMsg_Sys::process_id();
  if (!made_ || now.tv_sec != second_ || identity != identity_ || pid != pid_)
    make_fixed(now.tv_sec, identity, pid);
  long microseconds = now.tv_nsec / 1000;
  for (size_t digit = microseconds_at_ + 6; digit-- > microseconds_at_; microseconds /= 10)
    head_[digit] = static_cast<char>('0' + microseconds % 10);
  head_.resize(fixed_length_);
  return head_.append(kLevelNames[KITE_LogMsg_Sys::level(priority)]);
}
