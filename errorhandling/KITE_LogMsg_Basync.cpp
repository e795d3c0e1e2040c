// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Basync.h"

#include "errorhandling/KITE_LogMsg_Trouble.h"
#include "errorhandling/KITE_LogMsg_Writer.h"

// The queue's size in lines, as the header states it, rests on this.
static_assert(sizeof(KITE_LogMsg_Ring::Record) == 64, "a queued line takes 64 bytes more");

KITE_LogMsg_Basync::KITE_LogMsg_Basync(KITE_LogMsg_Backend* backend)
    : target_(new KITE_LogMsg_Target(backend)) {
  KITE_LogMsg_Writer::instance().adopt(target_);
}

KITE_LogMsg_Basync::~KITE_LogMsg_Basync() {
  const KITE_LogMsg_Writer::Released released =
      KITE_LogMsg_Writer::instance().release(target_, END_WAIT_MS);
  if (!released.delivered) {
    KITE_LogMsg_Trouble::notice(
        KITE_LogMsg_Priorities::ERROR,
        "%lu lines lost: the destination stalled and did not take them within %d ms at the end",
        released.lost, END_WAIT_MS);
    return;  // the writer may still be in the backend's write(): it deletes both
  }
  if (released.lost) {
    char text[128];
    target_->backend->write(KITE_LogMsg_Priorities::WARNING, text,
                            KITE_LogMsg_Writer::lost_warning(text, released.lost));
  }
  delete target_->backend;
  delete target_;
}

void KITE_LogMsg_Basync::write(int priority, const char* buffer, int len) {
  if (len <= 0 || !passes(priority) || !target_->backend->passes(priority)) return;
  KITE_LogMsg_Writer::instance().put(target_, priority, buffer, len);
}

KITE_LogMsg_Backend* KITE_LogMsg_Basync::backend() const {
  return target_->backend;
}
