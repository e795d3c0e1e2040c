// SPDX-License-Identifier: MIT
// Hands pointers from one thread to another through a ring of 8 slots, so that at most 8
// are on their way at any time.
#ifndef KITE_TESTS_HANDOVER_H
#define KITE_TESTS_HANDOVER_H

#include <atomic>
#include <cstddef>
#include <thread>

namespace kite_test {

template <class T>
class Handover {
 public:
  // One thread puts, one other takes.
  void put(T* item) {
    const size_t at = head_.load(std::memory_order_relaxed);
    while (at - tail_.load(std::memory_order_acquire) == kSlots) std::this_thread::yield();
    slots_[at % kSlots] = item;
    head_.store(at + 1, std::memory_order_release);
  }
  T* take() {
    const size_t at = tail_.load(std::memory_order_relaxed);
    while (head_.load(std::memory_order_acquire) == at) std::this_thread::yield();
    T* item = slots_[at % kSlots];
    tail_.store(at + 1, std::memory_order_release);
    return item;
  }

 private:
  static constexpr size_t kSlots = 8;
  T* slots_[kSlots];
  std::atomic<size_t> head_{0}, tail_{0};
};

}  // namespace kite_test

#endif
