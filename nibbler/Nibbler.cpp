// SPDX-License-Identifier: MIT
#include "nibbler/Nibbler.h"

u_int32_t getbitsimbyte(size_t off, size_t len, octet_t b) {
  if (off >= 8) return 0;
  const size_t lm = len < 8 - off ? len : 8 - off;
  const size_t shift = 8 - off - lm;
  const unsigned mask = ((1u << lm) - 1) << shift;
  return (b & mask) >> shift;
}

u_int32_t Nibbler::getbits(unsigned long bitoff, size_t len) {
  const unsigned long byteoff = bitoff / 8;
  const size_t bitrest = bitoff % 8;
  // Bytes up to and including the last one the field touches: (bitoff + len + 7) / 8,
  // summed in parts so that no huge bitoff or len can wrap it round.
  const unsigned long maxoff = byteoff + len / 8 + (bitrest + len % 8 + 7) / 8;
  if (maxoff > seg_.size())
    throw Error("Nibbler::getbits: maxoff=%lu>seg.size=%d", maxoff, static_cast<int>(seg_.size()));
  if (len == 0) return 0;

  const octet_t* fb = static_cast<const octet_t*>(seg_.begin()) + byteoff;
  size_t readbits = len < 8 - bitrest ? len : 8 - bitrest;
  u_int32_t ret = getbitsimbyte(bitrest, readbits, *fb);
  while (readbits < len) {
    ++fb;
    const size_t rest = len - readbits;
    if (rest > 8) {
      ret = (ret << 8) | *fb;
      readbits += 8;
    } else {
      ret = (ret << rest) | getbitsimbyte(0, rest, *fb);
      readbits += rest;
    }
  }
  return ret;
}
