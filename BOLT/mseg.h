// SPDX-License-Identifier: MIT
// BOLT::Mseg names a contiguous range of bytes by its first byte, its end and its size.
//
//   basis                                ende
//     |<------------- size_ ------------->|
//
// A segment owns nothing: copying it gives a second name for the same bytes, and the
// bytes outlive it or not as their owner decides. It is the base of the data block
// and, on its own, describes the window of a file the segment bit tool has loaded.
#ifndef BOLT_MSEG_H
#define BOLT_MSEG_H

#include <cstddef>

namespace BOLT {

class Mseg {
 public:
  typedef long PageNo_t;

  Mseg() : basis(nullptr), ende(nullptr), size_(0) {}
  Mseg(char* anfang, unsigned int lang) { setto(anfang, lang); }

  // Re-points the segment at another range.
  void init(char* anfang, unsigned int lang) { setto(anfang, lang); }

  const void* begin() const { return basis; }
  // One past the last byte.
  const void* end() const { return ende; }
  size_t size() const { return size_; }

 protected:
  void setto(char* anfang, unsigned int lang) {
    basis = anfang;
    ende = anfang + lang;
    size_ = lang;
  }

  void* basis;
  void* ende;
  size_t size_;
};

}  // namespace BOLT

#endif
