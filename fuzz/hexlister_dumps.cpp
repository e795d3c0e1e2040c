// SPDX-License-Identifier: MIT
// Fuzzes both dumps with any bytes at any start offset against a plain rendering of the
// same layout: a line per 16 addresses, filler for an unaligned start, and the escapes of
// the character dump.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "nibbler/Hexlister.h"
#include "tests/support/fuzz_check.h"

namespace {

std::string byte_as_hex(octet_t b) {
  char text[4];
  std::snprintf(text, sizeof text, " %02x", b);
  return text;
}

std::string byte_as_character(octet_t b) {
  if (b == '\t') return "\\t";
  if (b == '\r') return "\\r";
  if (b == '\n') return "\\n";
  if (b >= 0x20 && b < 0x7f) return std::string(1, static_cast<char>(b));
  char text[8];
  std::snprintf(text, sizeof text, "\\%o", b);
  return text;
}

std::string reference(const std::vector<octet_t>& bytes, uint64_t startoff, const char* separator,
                      std::string (*render)(octet_t)) {
  std::string out;
  char address[32];
  if (startoff % 16 != 0) {
    std::snprintf(address, sizeof address, "%08llx%s",
                  static_cast<unsigned long long>(startoff / 16 * 16), separator);
    out += address + std::string(3 * (startoff % 16), ' ');
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint64_t off = startoff + i;
    if (off % 16 == 0) {
      std::snprintf(address, sizeof address, "\n%08llx%s", static_cast<unsigned long long>(off),
                    separator);
      out += address;
    }
    out += render(bytes[i]);
  }
  return out + "\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const off_t startoff = in.ConsumeIntegral<off_t>();
  const std::vector<octet_t> bytes = in.ConsumeRemainingBytes<octet_t>();
  const uint64_t first = static_cast<uint64_t>(startoff);

  std::ostringstream hex, ascii;
  Hexlister::dump_hex(hex, bytes.data(), bytes.size(), startoff);
  Hexlister::dump_ascii(ascii, bytes.data(), bytes.size(), startoff);
  kite_test::fuzz_check(hex.str() == reference(bytes, first, ":", byte_as_hex), "hexadecimal dump");
  kite_test::fuzz_check(ascii.str() == reference(bytes, first, ": ", byte_as_character),
                        "character dump");
  return 0;
}
