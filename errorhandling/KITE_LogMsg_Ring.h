// SPDX-License-Identifier: MIT
// KITE_LogMsg_Ring: the bytes that hold the lines queued for the writer thread, oldest first.
// Internal to kite::log; the writer (KITE_LogMsg_Writer) locks around every call.
//
//   not wrapped:  [ free | head_: oldest ... newest | tail_: free ]
//   wrapped:      [ newer ... newest | tail_: free | head_: oldest ... | end_: unused ]
//
// A record is a Record followed by the line's bytes and, for a line with an origin, the file
// name and its zero; it is 8-byte aligned and never split: one that does not fit before the
// end of the buffer starts again at its beginning, and the bytes left at the end stay unused
// until the oldest records before them are gone. Cost: push and pop are a few additions; the
// caller copies the line in.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_RING_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_RING_H

#include <cstddef>
#include <memory>

#include "errorhandling/KITE_LogMsg_Backend.h"

class KITE_LogMsg_Ring {
 public:
  struct Record {
    void* target;  // whose line; the ring does not look at it
    KITE_LogMsg_Stamp stamp;
    int priority;
    int len;
    int line;       // of the origin
    int errnum;     // of the origin
    int file_len;   // of the origin's file name; -1 for a line without origin
    unsigned size;  // of the whole record, in bytes

    char* text() { return reinterpret_cast<char*>(this + 1); }
    char* file() { return text() + len; }
  };

  explicit KITE_LogMsg_Ring(size_t bytes);

  // The bytes a record of a line of len characters takes, with a file name of file_len
  // characters (-1: none).
  static size_t size_for(int len, int file_len);

  // A place for a record of size bytes after the newest one, its size set; null when it does
  // not fit now.
  Record* push(size_t size);
  // The oldest record; null when there is none.
  Record* front() { return count_ ? reinterpret_cast<Record*>(&bytes_[head_]) : nullptr; }
  void pop();
  void clear();

  // Bytes taken by records.
  size_t used() const { return wrapped_ ? end_ - head_ + tail_ : tail_ - head_; }
  size_t capacity() const { return capacity_; }

 private:
  const size_t capacity_;
  const std::unique_ptr<char[]> bytes_;
  size_t head_ = 0, tail_ = 0, end_ = 0;
  size_t count_ = 0;
  bool wrapped_ = false;
};

#endif
