// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Bsyslog.h"

#include <atomic>

#include "errorhandling/KITE_LogMsg_Sys.h"

namespace {

// The identity this kit last gave openlog(3): like the C library's own, one per process.
std::atomic<const char*> opened_identity{nullptr};

}  // namespace

KITE_LogMsg_Bsyslog::KITE_LogMsg_Bsyslog(const char* identity, int facility)
    : identity_(identity ? identity : ""),
      facility_(facility),
      open_error_(KITE_LogMsg_Sys::socket_error("/dev/log")) {}

KITE_LogMsg_Bsyslog::~KITE_LogMsg_Bsyslog() {
  // The C library keeps the pointer: it must not outlive the text.
  const char* own = identity_.c_str();
  if (!identity_.empty() && opened_identity.compare_exchange_strong(own, nullptr)) closelog();
}

const char* KITE_LogMsg_Bsyslog::identity() const {
  return identity_.empty() ? KITE_LogMsg_Sys::identity() : identity_.c_str();
}

void KITE_LogMsg_Bsyslog::write(int priority, const char* buffer, int len) {
  if (!passes(priority)) return;
  if (buffer[len - 1] == '\n') --len;
  const char* wanted = identity();
  if (opened_identity.exchange(wanted) != wanted) openlog(wanted, 0, facility_);
  syslog(facility_ | KITE_LogMsg_Sys::level(priority), "%.*s", len, buffer);
}
