// SPDX-License-Identifier: MIT
/// \file
/// Hexlister prints a byte range 16 bytes a line, each line headed by the address of its
/// first byte: dump_hex as two-digit hexadecimal numbers, dump_ascii as characters with
/// escapes.
///
///     (empty line when startoff is a multiple of 16)
///     00000010:       41 42 43 0a ff        <- startoff 0x12: two filler groups first
///     00000010:       ABC\n\377
///
/// Addresses are startoff plus the position in the range, so a caller that passes a file
/// offset sees file positions. The bytes are only read. Both functions leave str in
/// decimal with field width 0 and fill character '0'.
#ifndef NIBBLER_HEXLISTER_H
#define NIBBLER_HEXLISTER_H

#include <sys/types.h>

#include <cstddef>
#include <ostream>

#include "BOLT/export.h"
#include "nibbler/octet.h"

/// The two dumps of a byte range.
namespace Hexlister {

/// The anz bytes from start on as hexadecimal, the first one at address startoff. A byte
/// is a space and two lower-case hexadecimal digits; the address separator is ':'.
KITE_EXPORT void dump_hex(std::ostream& str, const octet_t* start, size_t anz, off_t startoff);

/// The anz bytes from start on as characters, the first one at address startoff. Printable
/// ASCII as itself; tab, carriage return and line feed as \\t, \\r, \\n; any other byte as a
/// backslash and its octal value (\\0, \\33, \\377). The address separator is ": ".
/// Classification never depends on the process's locale.
KITE_EXPORT void dump_ascii(std::ostream& str, const octet_t* start, size_t anz, off_t startoff);

}  // namespace Hexlister

#endif
