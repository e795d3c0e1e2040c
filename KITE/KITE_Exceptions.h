// SPDX-License-Identifier: MIT
#ifndef KITE_EXCEPTIONS_H
#define KITE_EXCEPTIONS_H

#include <cstddef>
#include <exception>

#include "BOLT/errmsg.h"
#include "BOLT/export.h"

/// A data block was asked to hold more bytes than it has room for.
///
/// Thrown by KITE_Data_Block::grow and passed on by the message block's writers. The
/// block it came from is unchanged; the usual remedy is to chain a new block and try
/// the whole piece again. The text is fixed at construction, e.g.
/// "BufferOverflow: 1 wanted 0 free".
class KITE_EXPORT BufferOverflow : public std::exception {
 public:
  /// The room the block had and the bytes asked for; allocates nothing.
  // size_t rather than unsigned int: a write address far beyond a block asks for more
  // than 4 GiB, and that request must be reported as it was, not wrapped.
  BufferOverflow(size_t free, size_t wanted) : free_(free), wanted_(wanted) {
    BOLT::fill_errmsg(errmsg_, "BufferOverflow: %zu wanted %zu free", wanted, free);
  }

  /// "BufferOverflow: <wanted> wanted <free> free".
  const char* what() const noexcept override { return errmsg_; }

  /// The bytes the block had room for.
  size_t free() const { return free_; }
  /// The bytes asked for.
  size_t wanted() const { return wanted_; }

 private:
  size_t free_;
  size_t wanted_;
  BOLT::Errmsg errmsg_;
};

#endif
