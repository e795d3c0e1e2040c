// SPDX-License-Identifier: MIT
#ifndef NIBBLER_SLICELOAD_H
#define NIBBLER_SLICELOAD_H

#include <sys/types.h>

#include <cstddef>

#include "BOLT/export.h"
#include "BOLT/mseg.h"
#include "nibbler/Error.h"

/// SliceLoad reads one page of a file into a buffer of its own and describes a window of
/// that page as a memory segment.
///
///     file:    ... | page at fileoffset_ (4096 bytes)                     | ...
///                    |<- segoffset_ ->|<---- size ---->|
///     puffer:        [0 .............. seg_.begin()     seg_ end ........ 4096 ... 8192)
///
/// The object owns its buffer inline; seg() names bytes inside it and stays valid as long
/// as the object lives. A later load overwrites the buffer, so a segment taken earlier then
/// shows the new bytes. Only a successful load replaces the segment. Not locked: one thread
/// uses an object at a time.
class KITE_EXPORT SliceLoad {
 public:
  /// The buffer is zeroed and the segment empty.
  SliceLoad();
  /// A copy holds its own copy of the buffer (8 KiB), and its segment names the same window
  /// of that copy, so it stays valid when the original goes.
  SliceLoad(const SliceLoad& other);
  /// Copies as the copy constructor does.
  SliceLoad& operator=(const SliceLoad& other);

  /// Loads the page of filename that holds byte off and makes seg() the size bytes that
  /// start at off. The window must lie within that page: off mod 4096 + size <= 4096.
  /// An offset of 0 never seeks, so pipes and other non-seekable files load from their
  /// start. Throws Systemerror when open, lseek or read fails, Error when the file holds
  /// too few bytes.
  void load(const char* filename, off_t off, size_t size);

  /// The window of the last successful load.
  BOLT::Mseg& seg() { return seg_; }
  /// Where the last load started reading: off rounded down to a page.
  off_t fileoffset() const { return fileoffset_; }
  /// Where the requested byte lies in the buffer.
  off_t segoffset() const { return segoffset_; }

 private:
  char puffer[8192];
  off_t fileoffset_;
  off_t segoffset_;
  BOLT::Mseg seg_;
};

#endif
