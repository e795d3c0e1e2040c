// SPDX-License-Identifier: MIT
// Ready message blocks (records in their pdbf block's chunk): what comes back from the cache,
// what a holder keeps out of it, its bound, missing memory, and release on another thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "KITE/KITE_Message_Block.h"
#include "KITE/KITE_Pooled_Data_Block_Factory.h"
#include "support/failing_new.h"
#include "support/handover.h"
#include "support/threads.h"

namespace {

// The per-thread bound the header names.
constexpr unsigned kBound = 1024;

// What a new KITE_Message_Block(pdbf.generate(pdbf.capacity()), false) looks like.
void expect_new(KITE_Message_Block* m) {
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->size(), pdbf.capacity());
  EXPECT_EQ(m->length(), 0u);
  EXPECT_EQ(m->rd_ptr(), m->base());
  EXPECT_EQ(m->wr_ptr(), m->base());
  EXPECT_EQ(m->first_base(), m->base());
  EXPECT_FALSE(m->IsFragmented());
  EXPECT_EQ(m->next(), nullptr);
  EXPECT_EQ(m->prev(), nullptr);
}

// Whatever the last holder did to the record, the next ready block finds it as new.
TEST(ReadyBlocks, AReleasedBlockComesBackWholeAndAsNew) {
  const struct {
    const char* what;
    std::function<void(KITE_Message_Block*)> use;
  } cases[] = {
      {"positions, links, a second holder, a walk",
       [](KITE_Message_Block* m) {
         m->copy("text", 4);
         m->rd_ptr(2u);
         m->next(m);
         m->prev(m);
         m->add_ref();
         m->release();
         m->begin();
         while (!m->is_done()) m->advance();
       }},
      {"a second block",
       [](KITE_Message_Block* m) {
         m->copy("text", 4);
         m->expand();
         m->copy("more", 4);
       }},
  };
  for (const auto& c : cases) {
    kite_test::on_new_thread([&] {
      KITE_Message_Block* m = KITE_Message_Block::ready_block();
      expect_new(m);
      char* const buffer = m->base();
      c.use(m);
      m->release();
      KITE_Message_Block* again = KITE_Message_Block::ready_block();
      EXPECT_EQ(again, m) << c.what;
      EXPECT_EQ(again->base(), buffer) << c.what << ": with its data block";
      expect_new(again);
      again->release();
    });
  }
}

// Whatever a holder keeps of a released ready block stays its own: the next ready block
// shares no byte with it, and both can be written and released afterwards.
TEST(ReadyBlocks, WhatAHolderKeepsIsNotHandedOutAgain) {
  const struct {
    const char* how;
    std::function<KITE_Message_Block*(KITE_Message_Block*)> keep;
  } cases[] = {
      {"add_ref", [](KITE_Message_Block* m) { return m->add_ref(); }},
      {"duplicate", [](KITE_Message_Block* m) { return m->duplicate(); }},
      {"duplicate_chain",
       [](KITE_Message_Block* m) { return new KITE_Message_Block(m->duplicate_chain(), false); }},
      {"expand",
       [](KITE_Message_Block* m) {
         m->expand();
         return m->add_ref();
       }},
      {"clone", [](KITE_Message_Block* m) { return m->clone(); }},
  };
  for (const auto& c : cases) {
    kite_test::on_new_thread([&] {
      KITE_Message_Block* m = KITE_Message_Block::ready_block();
      m->copy("kept", 4);
      KITE_Message_Block* kept = c.keep(m);
      m->release();
      KITE_Message_Block* next = KITE_Message_Block::ready_block();
      expect_new(next);
      next->copy("next", 4);
      EXPECT_NE(next->first_base(), kept->first_base()) << c.how;
      EXPECT_EQ(std::string(kept->first_base(), 4), "kept") << c.how;
      next->release();
      kept->release();
    });
  }
}

// wrap() puts the record where the block's factory decided when it made the block: in the
// chunk of a pooled block without hooks that nobody else holds (no allocation), else in a
// record of its own. Either way the message reads the block, and its release gives the
// block back.
TEST(ReadyBlocks, WrapPlacesTheRecordWhereTheBlockAllows) {
  KITE_Pooled_Data_Block_Factory hooked(64, 4);
  KITE_Pooled_Data_Block_Factory unhooked(64, 4, KITE_Data_Block_Factory::kNoHooks);
  const struct {
    const char* what;
    KITE_Data_Block_Factory* factory;
    bool shared;
    long records;  // allocated for the message block
  } cases[] = {
      {"pooled, no hooks", &unhooked, false, 0},
      {"pdbf", &pdbf, false, 0},
      {"pooled, no hooks, held elsewhere", &unhooked, true, 1},
      {"pooled with hooks", &hooked, false, 1},
      {"smdbf", &smdbf, false, 1},
  };
  for (const auto& c : cases) {
    kite_test::on_new_thread([&] {
      KITE_Data_Block* block = c.factory->generate(64);
      block->grow(3);
      std::memcpy(const_cast<void*>(block->begin()), "abc", 3);
      if (c.shared) block->duplicate();
      const long before = kite_test::nothrow_new_calls;
      KITE_Message_Block* m = KITE_Message_Block::wrap(block);
      EXPECT_EQ(kite_test::nothrow_new_calls - before, c.records) << c.what;
      EXPECT_EQ(std::string(m->rd_ptr(), m->length()), "abc") << c.what;
      m->release();
      if (c.shared) block->release();
    });
  }
  EXPECT_EQ(unhooked.cached(), 0u) << "cached on the threads that made them, freed at their end";
}

// A ready block's record lies in its data block's chunk, so a holder of that data block keeps
// the chunk out of the cache until it releases it too; then block and record come back.
TEST(ReadyBlocks, AChunkComesBackAtItsDataBlocksLastRelease) {
  kite_test::on_new_thread([] {
    KITE_Message_Block* m = KITE_Message_Block::ready_block();
    char* const buffer = m->base();
    KITE_Message_Block* d = m->duplicate();
    m->release();
    EXPECT_EQ(KITE_Message_Block::ready_cached(), 0u);
    KITE_Message_Block* other = KITE_Message_Block::ready_block();
    EXPECT_NE(other->base(), buffer);
    other->release();
    d->release();
    EXPECT_EQ(KITE_Message_Block::ready_cached(), 2u);
    KITE_Message_Block* again = KITE_Message_Block::ready_block();
    EXPECT_EQ(again->base(), buffer) << "the last one back is the first out";
    expect_new(again);
    again->release();
  });
}

TEST(ReadyBlocks, MissingMemoryThrowsNoMoreDynamicMemory) {
  kite_test::on_new_thread([] {
    kite_test::fail_nothrow_new_after(0);
    EXPECT_THROW(KITE_Message_Block::ready_block(), NoMoreDynamicMemory);
    kite_test::fail_nothrow_new_after(-1);
    KITE_Message_Block* m = KITE_Message_Block::ready_block();
    expect_new(m);
    m->release();
  });
}

// Beyond the bound a released ready block is freed, record and data block in one chunk.
TEST(ReadyBlocks, AThreadKeepsAtMostTheBound) {
  kite_test::on_new_thread([] {
    constexpr unsigned kMore = 10;
    std::vector<KITE_Message_Block*> blocks;
    for (unsigned i = 0; i < kBound + kMore; ++i)
      blocks.push_back(KITE_Message_Block::ready_block());
    for (KITE_Message_Block* m : blocks) m->release();
    EXPECT_EQ(KITE_Message_Block::ready_cached(), kBound);
    EXPECT_EQ(pdbf.cached(), kBound);
    const long before = kite_test::nothrow_new_calls;
    for (KITE_Message_Block*& m : blocks) m = KITE_Message_Block::ready_block();
    EXPECT_EQ(kite_test::nothrow_new_calls - before, static_cast<long>(kMore)) << "one chunk each";
    EXPECT_EQ(pdbf.cached(), 0u);
    for (KITE_Message_Block* m : blocks) m->release();
  });
}

// Ready blocks made on one thread and released on the other go back to their maker whole,
// which takes them again: the run allocates a few dozen chunks, and neither thread keeps
// more than its bound.
TEST(ReadyBlocks, ReleasedOnAnotherThreadTheyGoHomeWithinTheBound) {
  constexpr int kRounds = 20000;
  kite_test::Handover<KITE_Message_Block> handover;
  unsigned made_cached = 0, releasing_cached = 0;
  const long before = kite_test::nothrow_new_calls;
  kite_test::on_two_threads([&](int id) {
    for (int i = 0; i < kRounds; ++i) {
      if (id == 0) {
        KITE_Message_Block* m = KITE_Message_Block::ready_block();
        ASSERT_EQ(m->length(), 0u);
        m->copy("x", 1);
        handover.put(m);
        made_cached = std::max(made_cached, KITE_Message_Block::ready_cached());
      } else {
        KITE_Message_Block* m = handover.take();
        ASSERT_EQ(std::string(m->rd_ptr(), m->length()), "x");
        m->release();
        releasing_cached = std::max(releasing_cached, KITE_Message_Block::ready_cached());
      }
    }
  });
  EXPECT_LE(made_cached, 2 * kBound) << "its cache and what came back to it";
  EXPECT_EQ(releasing_cached, 0u) << "the releasing thread made none";
  // A few dozen records and data blocks: about 25 are elsewhere at a time (8 in the
  // handover, one being released, 16 in a batch on their way back). Without reuse it would
  // be 2 * kRounds.
  EXPECT_LE(kite_test::nothrow_new_calls - before, 100);
}

}  // namespace
