// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "KITE/KITE_Message_Block.h"
#include "counting_factory.h"

namespace {

constexpr int kRounds = 20000;

// Runs body(0) and body(1) on two threads that start together.
void on_two_threads(const std::function<void(int)>& body) {
  std::atomic<int> ready{0};
  auto run = [&](int id) {
    ++ready;
    while (ready < 2) std::this_thread::yield();
    body(id);
  };
  std::thread a(run, 0), b(run, 1);
  a.join();
  b.join();
}

TEST(BufferThreads, SharedDataBlocksCountRightAndRecycleOnce) {
  CountingFactory f;
  std::vector<KITE_Data_Block*> blocks;
  for (int i = 0; i < 4; ++i) blocks.push_back(f.generate(32));
  on_two_threads([&](int) {
    for (int i = 0; i < kRounds; ++i) {
      for (KITE_Data_Block* b : blocks) ASSERT_EQ(b->duplicate(), b);
      for (KITE_Data_Block* b : blocks) b->release();
    }
  });
  EXPECT_EQ(f.duplicates, 2 * kRounds * 4);
  EXPECT_EQ(f.releases, 2 * kRounds * 4);
  EXPECT_EQ(f.recycled, 0);
  for (KITE_Data_Block* b : blocks) b->release();
  EXPECT_EQ(f.recycled, 4);
  EXPECT_EQ(f.foreign_recycles, 0);
}

TEST(BufferThreads, SharedMessageBlockSurvivesConcurrentHolders) {
  CountingFactory f;
  KITE_Message_Block* m = new KITE_Message_Block(f.generate(16), false);
  m->copy("shared", 6);
  m->addblock(f.generate(16));
  on_two_threads([&](int id) {
    for (int i = 0; i < kRounds; ++i) {
      if (id == 0) {
        KITE_Message_Block* d = m->duplicate();
        ASSERT_EQ(d->first_base()[0], 's');
        d->release();
      } else {
        ASSERT_EQ(m->add_ref(), m);
        m->release();
      }
    }
  });
  EXPECT_EQ(f.duplicates, 2 * kRounds);
  EXPECT_EQ(f.recycled, 0);
  m->release();
  EXPECT_EQ(f.recycled, 2);
  EXPECT_EQ(f.foreign_recycles, 0);
}

TEST(BufferThreads, RacingLastReleasesRecycleEveryBlockOnce) {
  CountingFactory f;
  constexpr int kMessages = 2000;
  std::vector<KITE_Message_Block*> sources, duplicates;
  for (int i = 0; i < kMessages; ++i) {
    KITE_Message_Block* m = new KITE_Message_Block(f.generate(8), false);
    m->addblock(f.generate(8));
    sources.push_back(m);
    duplicates.push_back(m->duplicate());
  }
  on_two_threads([&](int id) {
    for (KITE_Message_Block* m : id == 0 ? sources : duplicates) m->release();
  });
  EXPECT_EQ(f.recycled, 2 * kMessages);
  EXPECT_EQ(f.releases, 2 * kMessages);
  EXPECT_EQ(f.foreign_recycles, 0);
}

}  // namespace
