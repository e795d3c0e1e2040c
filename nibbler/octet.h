// SPDX-License-Identifier: MIT
/// \file
/// The byte type of the segment bit tool's interfaces.
#ifndef NIBBLER_OCTET_H
#define NIBBLER_OCTET_H

#include <cstdint>

/// A byte, as the segment bit tool reads it.
typedef std::uint8_t octet_t;

#endif
