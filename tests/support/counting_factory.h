// SPDX-License-Identifier: MIT
// A data-block factory for tests: counts every call, knows which of its blocks are alive,
// and fills new buffers with a pattern so bytes the kit writes can be told apart.
#ifndef KITE_TESTS_COUNTING_FACTORY_H
#define KITE_TESTS_COUNTING_FACTORY_H

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "KITE/KITE_Data_Block.h"

namespace kite_test {

class CountingFactory : public KITE_Data_Block_Factory {
 public:
  static constexpr unsigned char kPattern = 0xAA;

  ~CountingFactory() {
    for (KITE_Data_Block* b : live_) dispose(b);  // blocks a failed test left behind
  }

  KITE_Data_Block* generate(unsigned int size) override {
    char* buffer = size == 0 ? nullptr : static_cast<char*>(malloc(size));
    if (buffer != nullptr) memset(buffer, kPattern, size);
    KITE_Data_Block* block = create(buffer, size, false);
    std::lock_guard<std::mutex> lock(mutex_);
    live_.insert(block);
    return block;
  }

  void recycle(KITE_Data_Block* block) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (live_.erase(block) != 1) {
        ++foreign_recycles;  // already gone: disposing again would free twice
        return;
      }
    }
    ++recycled;
    dispose(block);
  }
  void informduplicate(KITE_Data_Block*) override { ++duplicates; }
  void informrelease(KITE_Data_Block*) override { ++releases; }

  bool alive(const KITE_Data_Block* block) {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.count(const_cast<KITE_Data_Block*>(block)) == 1;
  }
  // Gives create() access to tests of its failure.
  KITE_Data_Block* create_record() { return create(nullptr, 0, false); }

  std::atomic<int> recycled{0}, duplicates{0}, releases{0};
  // Recycles of blocks that were not alive: a second recycle of the same block.
  std::atomic<int> foreign_recycles{0};

 private:
  void dispose(KITE_Data_Block* block) {
    free(const_cast<void*>(block->begin()));
    destroy(block);
  }

  std::mutex mutex_;
  std::set<KITE_Data_Block*> live_;
};

}  // namespace kite_test

#endif
