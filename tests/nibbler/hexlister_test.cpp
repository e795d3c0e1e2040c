// SPDX-License-Identifier: MIT
#include "nibbler/Hexlister.h"

#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

typedef void (*Dump)(std::ostream&, const octet_t*, size_t, off_t);

std::string dumped(Dump dump, const std::string& bytes, off_t startoff) {
  std::ostringstream str;
  dump(str, reinterpret_cast<const octet_t*>(bytes.data()), bytes.size(), startoff);
  return str.str();
}

const std::string hello("Hello, World!\r\n\0\x01\x7f\x1b\x80", 20);

}  // namespace

TEST(Hexlister, UnalignedStartFillsTheFirstLine) {
  const std::string bytes("ABC\n\xff");
  EXPECT_EQ(dumped(Hexlister::dump_hex, bytes, 0x12), "00000010:       41 42 43 0a ff\n");
  EXPECT_EQ(dumped(Hexlister::dump_ascii, bytes, 0x12), "00000010:       ABC\\n\\377\n");
}

TEST(Hexlister, AlignedStartBeginsWithAnEmptyLine) {
  EXPECT_EQ(dumped(Hexlister::dump_hex, hello, 0),
            "\n"
            "00000000: 48 65 6c 6c 6f 2c 20 57 6f 72 6c 64 21 0d 0a 00\n"
            "00000010: 01 7f 1b 80\n");
  EXPECT_EQ(dumped(Hexlister::dump_ascii, hello, 0),
            "\n"
            "00000000: Hello, World!\\r\\n\\0\n"
            "00000010: \\1\\177\\33\\200\n");
}

TEST(Hexlister, EmptyRanges) {
  EXPECT_EQ(dumped(Hexlister::dump_hex, "", 0x20), "\n");
  EXPECT_EQ(dumped(Hexlister::dump_ascii, "", 0x20), "\n");
  EXPECT_EQ(dumped(Hexlister::dump_hex, "", 0x23), "00000020:         \n");
  EXPECT_EQ(dumped(Hexlister::dump_ascii, "", 0x23), "00000020:          \n");
}

TEST(Hexlister, StartAtOffset15) {
  EXPECT_EQ(dumped(Hexlister::dump_hex, "xy", 15),
            "00000000:" + std::string(45, ' ') + " 78\n00000010: 79\n");
  EXPECT_EQ(dumped(Hexlister::dump_ascii, "xy", 15),
            "00000000: " + std::string(45, ' ') + "x\n00000010: y\n");
}

TEST(Hexlister, SixteenBytesMakeOneFullLine) {
  const std::string sixteen = "0123456789abcdef";
  EXPECT_EQ(dumped(Hexlister::dump_ascii, sixteen, 0), "\n00000000: 0123456789abcdef\n");
  EXPECT_EQ(dumped(Hexlister::dump_ascii, sixteen + " ", 0),
            "\n00000000: 0123456789abcdef\n00000010:  \n");
  EXPECT_EQ(dumped(Hexlister::dump_hex, sixteen + " ", 0),
            "\n00000000: 30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66\n00000010: 20\n");
}

TEST(Hexlister, EscapesEverythingOutsidePrintableAscii) {
  const std::string bytes("\t\r\n\x0b\x1f ~\x7f\x80\xfe", 10);
  EXPECT_EQ(dumped(Hexlister::dump_ascii, bytes, 0),
            "\n00000000: \\t\\r\\n\\13\\37 ~\\177\\200\\376\n");
}

TEST(Hexlister, AddressesAreFileOffsets) {
  EXPECT_EQ(dumped(Hexlister::dump_hex, "ab", 0x1ff0), "\n00001ff0: 61 62\n");
  // Beyond 4 GiB the address keeps all its digits.
  EXPECT_EQ(dumped(Hexlister::dump_hex, "ab", 0x18000001f),
            "180000010:" + std::string(45, ' ') + " 61\n180000020: 62\n");
}

TEST(Hexlister, LeavesTheStreamInDecimalWithoutWidth) {
  std::ostringstream str;
  const octet_t bytes[] = {0x80};
  Hexlister::dump_ascii(str, bytes, 1, 0);
  str << 255 << '|' << 7;
  EXPECT_EQ(str.str(), "\n00000000: \\200\n255|7");
}
