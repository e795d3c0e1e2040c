// SPDX-License-Identifier: MIT
// The byte type of the segment bit tool's interfaces.
#ifndef NIBBLER_OCTET_H
#define NIBBLER_OCTET_H

#include <cstdint>

typedef std::uint8_t octet_t;

#endif
