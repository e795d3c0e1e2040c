// SPDX-License-Identifier: MIT
// The pooled data-block factory on one thread: what it caches, its bound, and a cache for
// every factory. Cross-thread release is in threads_test.cpp.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "KITE/KITE_Message_Block.h"
#include "KITE/KITE_Pooled_Data_Block_Factory.h"
#include "support/failing_new.h"
#include "support/threads.h"

namespace {

TEST(PooledFactory, ReleasedBlockComesBackEmptyAndUnlinked) {
  KITE_Pooled_Data_Block_Factory f(64, 4);
  KITE_Data_Block* b = f.generate(64);
  const void* buffer = b->begin();
  b->grow(10);
  b->next = b;
  b->duplicate();
  b->release();
  b->release();
  KITE_Data_Block* again = f.generate(64);
  EXPECT_EQ(again, b);
  EXPECT_EQ(again->begin(), buffer);
  EXPECT_EQ(again->size(), 64u);
  EXPECT_EQ(again->length(), 0u);
  EXPECT_EQ(again->next, nullptr);
  again->release();  // a count of 1 again: this release recycles it
  EXPECT_EQ(f.cached(), 1u);
}

TEST(PooledFactory, OnlyItsCapacityIsCached) {
  struct {
    unsigned int size;
    bool has_buffer;
    unsigned int cached;
  } cases[] = {{64, true, 1}, {100, true, 0}, {0, false, 0}};
  for (const auto& c : cases) {
    KITE_Pooled_Data_Block_Factory f(64, 4);
    KITE_Data_Block* b = f.generate(c.size);
    EXPECT_EQ(b->size(), c.size);
    EXPECT_EQ(b->begin() != nullptr, c.has_buffer) << c.size;
    b->grow(c.size);  // the whole capacity is usable
    b->release();
    EXPECT_EQ(f.cached(), c.cached) << c.size;
  }
}

TEST(PooledFactory, ThreadCacheHoldsAtMostPerthreadBlocks) {
  kite_test::on_new_thread([] {
    KITE_Pooled_Data_Block_Factory f(64, 4);
    std::vector<KITE_Data_Block*> blocks;
    for (int i = 0; i < 10; ++i) blocks.push_back(f.generate(64));
    for (KITE_Data_Block* b : blocks) b->release();
    EXPECT_EQ(f.cached(), 4u);
    const long before = kite_test::nothrow_new_calls;
    for (KITE_Data_Block*& b : blocks) b = f.generate(64);
    EXPECT_EQ(kite_test::nothrow_new_calls - before, 6) << "four came from the cache";
    for (KITE_Data_Block* b : blocks) b->release();
  });
}

TEST(PooledFactory, MissingMemoryThrowsNoMoreDynamicMemory) {
  kite_test::on_new_thread([] {
    KITE_Pooled_Data_Block_Factory f(64, 4);
    for (unsigned int size : {64u, 100u}) {
      kite_test::fail_nothrow_new_after(0);
      EXPECT_THROW(f.generate(size), NoMoreDynamicMemory) << size;
    }
  });
}

// Every pooled factory has a cache of its own in each thread, however many a program makes
// (the kit's own pools among them); a destroyed factory's place serves a later one, which
// finds none of its predecessor's blocks there.
TEST(PooledFactory, EveryFactoryKeepsItsOwnCache) {
  constexpr int kFactories = 40;
  std::vector<std::unique_ptr<KITE_Pooled_Data_Block_Factory>> factories;
  for (int i = 0; i < kFactories; ++i) {
    factories.push_back(std::make_unique<KITE_Pooled_Data_Block_Factory>(64 + 16 * i, 4));
    KITE_Data_Block* b = factories.back()->generate(64 + 16 * i);
    b->grow(b->size());
    b->release();
  }
  for (int i = 0; i < kFactories; ++i) EXPECT_EQ(factories[i]->cached(), 1u) << i;
  factories.clear();
  KITE_Pooled_Data_Block_Factory later(48, 4);
  EXPECT_EQ(later.cached(), 0u);
  KITE_Data_Block* b = later.generate(48);
  EXPECT_EQ(b->size(), 48u);
  b->grow(48);
  b->release();
  EXPECT_EQ(later.cached(), 1u);
}

TEST(MessageBlockRecords, AReleasedRecordIsReusedOnItsThread) {
  KITE_Message_Block* m = new KITE_Message_Block(8);
  m->release();
  KITE_Message_Block* again = new KITE_Message_Block(8);
  EXPECT_EQ(again, m);
  again->release();
}

}  // namespace
