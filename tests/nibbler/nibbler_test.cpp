// SPDX-License-Identifier: MIT
#include "nibbler/Nibbler.h"

#include <climits>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Segments over heap copies of exactly their size, so that a read past the end shows up
// under AddressSanitizer.
struct Bytes {
  explicit Bytes(std::vector<unsigned char> b)
      : data(std::move(b)), seg(reinterpret_cast<char*>(data.data()), data.size()) {}
  std::vector<unsigned char> data;
  BOLT::Mseg seg;
};

std::string message_of(Nibbler& n, unsigned long bitoff, size_t len) {
  try {
    n.getbits(bitoff, len);
  } catch (const Error& e) {
    return e.what();
  }
  return "no Error";
}

struct Row {
  unsigned long bitoff;
  size_t len;
  u_int32_t result;
};

}  // namespace

TEST(Nibbler, WorkedExampleOnA53C0F) {
  Bytes b({0xa5, 0x3c, 0x0f});
  Nibbler n(b.seg);
  const Row rows[] = {{0, 4, 0xA},  {1, 1, 0x0},  {7, 2, 0x2},     {3, 6, 0xA},
                      {4, 8, 0x53}, {12, 4, 0xC}, {0, 16, 0xA53C}, {4, 20, 0x53C0F},
                      {16, 8, 0xF}, {0, 0, 0x0},  {23, 1, 0x1},    {0, 24, 0xA53C0F}};
  for (const Row& r : rows)
    EXPECT_EQ(n.getbits(r.bitoff, r.len), r.result) << "bitoff " << r.bitoff << " len " << r.len;
  EXPECT_EQ(message_of(n, 20, 8), "Nibbler::getbits: maxoff=4>seg.size=3");
}

TEST(Nibbler, LongFieldsKeepTheirLast32Bits) {
  Bytes b({0x01, 0x02, 0x03, 0x04, 0x05});
  Nibbler n(b.seg);
  EXPECT_EQ(n.getbits(0, 40), 0x02030405u);
  EXPECT_EQ(n.getbits(0, 33), 0x02040608u);  // bits 1 to 32: 01 02 03 04 shifted up one
  EXPECT_EQ(n.getbits(7, 33), 0x02030405u);
}

TEST(Nibbler, EveryFieldMatchesBitByBitReading) {
  Bytes b({0xde, 0xad, 0xbe, 0xef, 0x01, 0x23, 0x45, 0x67, 0x89});
  Nibbler n(b.seg);
  const size_t nbits = 8 * b.data.size();
  for (unsigned long bitoff = 0; bitoff <= nbits; ++bitoff) {
    u_int32_t expected = 0;
    for (size_t len = 0; bitoff + len <= nbits; ++len) {
      ASSERT_EQ(n.getbits(bitoff, len), expected) << "bitoff " << bitoff << " len " << len;
      const size_t bit = bitoff + len;
      if (bit < nbits) expected = (expected << 1) | ((b.data[bit / 8] >> (7 - bit % 8)) & 1);
    }
  }
  EXPECT_EQ(n.getbits(36, 32), 0x12345678u);
}

TEST(Nibbler, FieldsPastTheEndThrowWhateverTheirSize) {
  Bytes b({0xa5, 0x3c, 0x0f});
  Nibbler n(b.seg);
  EXPECT_EQ(message_of(n, 20, 5), "Nibbler::getbits: maxoff=4>seg.size=3");
  EXPECT_EQ(message_of(n, 24, 1), "Nibbler::getbits: maxoff=4>seg.size=3");
  EXPECT_EQ(message_of(n, 0, 25), "Nibbler::getbits: maxoff=4>seg.size=3");
  // Offsets and lengths near the top of their types must not wrap into the segment.
  EXPECT_EQ(message_of(n, ULONG_MAX, 8), "Nibbler::getbits: maxoff=2305843009213693953>seg.size=3");
  EXPECT_EQ(message_of(n, 0, SIZE_MAX), "Nibbler::getbits: maxoff=2305843009213693952>seg.size=3");
  EXPECT_EQ(message_of(n, ULONG_MAX, SIZE_MAX),
            "Nibbler::getbits: maxoff=4611686018427387904>seg.size=3");
  EXPECT_EQ(message_of(n, ULONG_MAX - 6, 7),
            "Nibbler::getbits: maxoff=2305843009213693952>seg.size=3");
}

TEST(Nibbler, EmptySegmentAnswersOnlyTheEmptyFieldAtZero) {
  BOLT::Mseg empty;
  Nibbler n(empty);
  EXPECT_EQ(n.getbits(0, 0), 0u);
  EXPECT_EQ(message_of(n, 0, 1), "Nibbler::getbits: maxoff=1>seg.size=0");
  EXPECT_EQ(message_of(n, 1, 0), "Nibbler::getbits: maxoff=1>seg.size=0");
}

TEST(Nibbler, GetbitsimbyteTakesBitsFromTheTop) {
  struct ByteRow {
    size_t off, len;
    octet_t b;
    u_int32_t result;
  };
  const ByteRow rows[] = {{0, 8, 0xa5, 0xa5}, {7, 1, 0xa5, 1},    {7, 1, 0xa4, 0},
                          {0, 1, 0x80, 1},    {1, 3, 0xa5, 0x2},  {4, 4, 0x3c, 0xc},
                          {2, 0, 0xff, 0},    {3, 5, 0xff, 0x1f}, {0, 4, 0x0f, 0}};
  for (const ByteRow& r : rows)
    EXPECT_EQ(getbitsimbyte(r.off, r.len, r.b), r.result)
        << "off " << r.off << " len " << r.len << " byte " << int(r.b);
}
