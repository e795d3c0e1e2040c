// SPDX-License-Identifier: MIT
#ifndef BOLT_MSEG_H
#define BOLT_MSEG_H

#include <cstddef>

namespace BOLT {

/// BOLT::Mseg names a contiguous range of bytes by its first byte, its end and its size.
///
///     basis                                ende
///       |<------------- size_ ------------->|
///
/// A segment owns nothing: copying it gives a second name for the same bytes, and the
/// bytes outlive it or not as their owner decides. It is the base of the data block
/// and, on its own, describes the window of a file the segment bit tool has loaded.
class Mseg {
 public:
  /// A page number.
  typedef long PageNo_t;

  /// The empty segment: no bytes, null ends.
  Mseg() : basis(nullptr), ende(nullptr), size_(0) {}
  /// The lang bytes from anfang on.
  Mseg(char* anfang, unsigned int lang) { setto(anfang, lang); }

  /// Re-points the segment at another range.
  void init(char* anfang, unsigned int lang) { setto(anfang, lang); }

  /// The first byte.
  const void* begin() const { return basis; }
  /// One past the last byte.
  const void* end() const { return ende; }
  /// The number of bytes.
  size_t size() const { return size_; }

 protected:
  /// Sets all three members at once, so they always describe the same range.
  void setto(char* anfang, unsigned int lang) {
    basis = anfang;
    ende = anfang + lang;
    size_ = lang;
  }

  void* basis;   ///< The first byte.
  void* ende;    ///< One past the last byte.
  size_t size_;  ///< ende - basis.
};

}  // namespace BOLT

#endif
