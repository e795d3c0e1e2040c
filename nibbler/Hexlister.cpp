// SPDX-License-Identifier: MIT
#include "nibbler/Hexlister.h"

#include <cstdint>
#include <iomanip>

namespace Hexlister {
namespace {

typedef void (*ByteWriter)(std::ostream& str, octet_t b);

void write_address(std::ostream& str, uint64_t addr, const char* separator) {
  str << std::hex << std::setfill('0') << std::setw(8) << addr << separator;
}

// The frame both dumps share. Each line starts at an address that is a multiple of 16;
// an unaligned start gets three filler spaces for every byte its first line lacks.
// Addresses are counted unsigned, so no startoff can make them overflow.
void dump(std::ostream& str, const octet_t* start, size_t anz, off_t startoff,
          const char* separator, ByteWriter write_byte) {
  const uint64_t first = static_cast<uint64_t>(startoff);
  const uint64_t lead = first & 15;
  if (lead != 0) {
    write_address(str, first - lead, separator);
    for (uint64_t i = 0; i < lead; ++i) str << "   ";
  }
  for (size_t i = 0; i < anz; ++i) {
    const uint64_t off = first + i;
    if ((off & 15) == 0) {
      str << std::endl;
      write_address(str, off, separator);
    }
    write_byte(str, start[i]);
  }
  str << std::dec << std::endl;
}

void hex_byte(std::ostream& str, octet_t b) {
  str << ' ' << std::setw(2) << static_cast<unsigned>(b);
}

void ascii_byte(std::ostream& str, octet_t b) {
  switch (b) {
    case '\t':
      str << "\\t";
      break;
    case '\r':
      str << "\\r";
      break;
    case '\n':
      str << "\\n";
      break;
    default:
      // 0x20 to 0x7e is exactly what isalnum, isgraph and the space cover in the
      // POSIX locale.
      if (b >= 0x20 && b <= 0x7e)
        str << static_cast<char>(b);
      else
        str << '\\' << std::oct << static_cast<unsigned>(b);
  }
}

}  // namespace

void dump_hex(std::ostream& str, const octet_t* start, size_t anz, off_t startoff) {
  dump(str, start, anz, startoff, ":", hex_byte);
}

void dump_ascii(std::ostream& str, const octet_t* start, size_t anz, off_t startoff) {
  dump(str, start, anz, startoff, ": ", ascii_byte);
}

}  // namespace Hexlister
