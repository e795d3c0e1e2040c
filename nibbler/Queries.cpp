// SPDX-License-Identifier: MIT
#include "nibbler/Queries.h"

#include <cstddef>

void answer_queries(Nibbler& nibbler, std::istream& in, std::ostream& out, std::ostream& err) {
  const char prompt[] = "bitoffset len ?";
  unsigned long o;
  size_t l;
  err << prompt << std::endl;
  while (out && in >> o >> l) {
    out << std::dec << "offset=" << o << " len=" << l << std::endl;
    try {
      const u_int32_t value = nibbler.getbits(o, l);
      // The stream stays in hexadecimal until the next "offset=" line.
      out << std::hex << value << std::endl;
    } catch (const Error& e) {
      err << e.what() << std::endl;
    }
    err << prompt << std::endl;
  }
}
