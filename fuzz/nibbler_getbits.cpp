// SPDX-License-Identifier: MIT
// Fuzzes Nibbler::getbits on random segments with random fields: every answer must match
// reading the field bit by bit, and every field that does not end within the segment
// must throw with its byte count, without a byte outside the segment being read.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <fuzzer/FuzzedDataProvider.h>

#include "nibbler/Nibbler.h"
#include "tests/support/fuzz_check.h"

namespace {

u_int32_t bit_by_bit(const unsigned char* bytes, unsigned long bitoff, size_t len) {
  u_int32_t ret = 0;
  for (size_t i = 0; i < len; ++i) {
    const unsigned long bit = bitoff + i;
    ret = (ret << 1) | ((bytes[bit / 8] >> (7 - bit % 8)) & 1);
  }
  return ret;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const size_t segsize = in.ConsumeIntegralInRange<size_t>(0, 64);
  // A heap block of exactly the segment's size: AddressSanitizer reports any read past it.
  std::unique_ptr<unsigned char[]> bytes(new unsigned char[segsize]);
  for (size_t i = 0; i < segsize; ++i) bytes[i] = in.ConsumeIntegral<unsigned char>();
  BOLT::Mseg seg(reinterpret_cast<char*>(bytes.get()), segsize);
  Nibbler nibbler(seg);

  const unsigned long nbits = 8 * segsize;
  while (in.remaining_bytes() > 0) {
    unsigned long bitoff;
    size_t len;
    if (in.ConsumeBool()) {
      bitoff = in.ConsumeIntegral<unsigned long>();
      len = in.ConsumeIntegral<size_t>();
    } else {
      bitoff = in.ConsumeIntegralInRange<unsigned long>(0, nbits + 16);
      len = in.ConsumeIntegralInRange<size_t>(0, nbits + 16);
    }
    const unsigned __int128 end = static_cast<unsigned __int128>(bitoff) + len;
    if (end <= nbits) {
      kite_test::fuzz_check(nibbler.getbits(bitoff, len) == bit_by_bit(bytes.get(), bitoff, len),
                            "wrong value");
      continue;
    }
    char expected[128];
    std::snprintf(expected, sizeof expected, "Nibbler::getbits: maxoff=%lu>seg.size=%d",
                  static_cast<unsigned long>((end + 7) / 8), static_cast<int>(segsize));
    try {
      nibbler.getbits(bitoff, len);
      kite_test::fuzz_check(false, "field past the end answered");
    } catch (const Error& e) {
      kite_test::fuzz_check(std::strcmp(e.what(), expected) == 0, "wrong message");
    }
  }
  return 0;
}
