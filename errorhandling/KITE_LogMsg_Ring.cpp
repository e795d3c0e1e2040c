// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Ring.h"

namespace {

constexpr size_t kAlign = alignof(KITE_LogMsg_Ring::Record);
static_assert(sizeof(KITE_LogMsg_Ring::Record) % kAlign == 0, "records follow each other");

}  // namespace

KITE_LogMsg_Ring::KITE_LogMsg_Ring(size_t bytes)
    : capacity_(bytes / kAlign * kAlign), bytes_(new char[capacity_]) {}

size_t KITE_LogMsg_Ring::size_for(int len, int file_len) {
  const size_t bytes = sizeof(Record) + static_cast<size_t>(len) +
                       (file_len < 0 ? 0 : static_cast<size_t>(file_len) + 1);
  return (bytes + kAlign - 1) / kAlign * kAlign;
}

KITE_LogMsg_Ring::Record* KITE_LogMsg_Ring::push(size_t size) {
  size_t at;
  if (wrapped_ ? tail_ + size <= head_ : tail_ + size <= capacity_) {
    at = tail_;
  } else if (!wrapped_ && size <= head_) {
    end_ = tail_;
    wrapped_ = true;
    at = 0;
  } else {
    return nullptr;
  }
  tail_ = at + size;
  ++count_;
  Record* record = reinterpret_cast<Record*>(&bytes_[at]);
  record->size = static_cast<unsigned>(size);
  return record;
}

void KITE_LogMsg_Ring::pop() {
  head_ += front()->size;
  if (--count_ == 0) {
    clear();
  } else if (wrapped_ && head_ == end_) {
    head_ = 0;
    wrapped_ = false;
  }
}

void KITE_LogMsg_Ring::clear() {
  head_ = tail_ = end_ = count_ = 0;
  wrapped_ = false;
}
