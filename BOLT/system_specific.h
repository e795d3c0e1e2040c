// SPDX-License-Identifier: MIT
/// \file
/// Page geometry shared by the memory segment and the segment loader.
#ifndef BOLT_SYSTEM_SPECIFIC_H
#define BOLT_SYSTEM_SPECIFIC_H

#include <sys/types.h>

/// Base-2 logarithm of the page size: a page is 4096 bytes.
const int LPAGESIZE = 12;
/// Mask of an address's offset within its page.
const off_t OFFSETMASK = 0xfff;

#endif
