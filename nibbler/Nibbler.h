// SPDX-License-Identifier: MIT
#ifndef NIBBLER_NIBBLER_H
#define NIBBLER_NIBBLER_H

#include <sys/types.h>

#include <cstddef>

#include "BOLT/export.h"
#include "BOLT/mseg.h"
#include "nibbler/Error.h"
#include "nibbler/octet.h"

/// Nibbler reads bit fields of any position and length out of a memory segment.
///
/// Bits are numbered from the start of the segment, most significant bit of each byte
/// first; a field may cross any number of byte boundaries:
///
///     byte      0                 1
///     bit    0 1 2 3 4 5 6 7 | 8 9 10 ...
///
/// A field comes back right-aligned in 32 bits, its first bit the most significant; of a
/// field longer than 32 bits the last 32 are returned. The Nibbler binds the segment by
/// reference, owns neither it nor its bytes, and must not outlive them. No allocation.
class KITE_EXPORT Nibbler {
 public:
  /// Reads the bytes of seg, which it binds by reference.
  explicit Nibbler(BOLT::Mseg& seg) : seg_(seg) {}

  /// The len bits that start at bit bitoff. Throws Error when the field does not end
  /// within the segment, whatever the size of bitoff and len; nothing outside the segment
  /// is read then. A len of 0 yields 0 (bitoff still has to lie within the segment).
  u_int32_t getbits(unsigned long bitoff, size_t len);

 private:
  const BOLT::Mseg& seg_;
};

/// The len bits of b that start at bit off (bit 0 is 0x80), right-aligned. Meant for
/// off + len <= 8; beyond that it yields the bits from off to the end of the byte.
KITE_EXPORT u_int32_t getbitsimbyte(size_t off, size_t len, octet_t b);

#endif
