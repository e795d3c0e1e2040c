// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "KITE/KITE_Data_Block.h"
#include "counting_factory.h"
#include "errorhandling/errorclass.h"
#include "failing_new.h"

namespace {

struct OverflowCase {
  unsigned int capacity;
  size_t filled;
  size_t wanted;
  const char* text;
};

TEST(DataBlock, GrowBeyondTheFreeSpaceReportsAndChangesNothing) {
  const OverflowCase cases[] = {
      {0, 0, 1, "BufferOverflow: 1 wanted 0 free"},
      {1024, 1024, 1, "BufferOverflow: 1 wanted 0 free"},
      {10, 6, 10, "BufferOverflow: 10 wanted 4 free"},
      {10, 6, size_t(5) << 32, "BufferOverflow: 21474836480 wanted 4 free"},
  };
  for (const OverflowCase& c : cases) {
    KITE_Data_Block* b = KITE_Data_Block::alloc(c.capacity);
    b->grow(c.filled);  // exact fill and grow(0) succeed
    try {
      b->grow(c.wanted);
      ADD_FAILURE() << c.text;
    } catch (const BufferOverflow& e) {
      EXPECT_STREQ(e.what(), c.text);
      EXPECT_EQ(e.wanted(), c.wanted);
      EXPECT_EQ(e.free(), c.capacity - c.filled);
    }
    EXPECT_EQ(b->length(), c.filled);
    b->release();
  }
  EXPECT_STREQ(BufferOverflow(SIZE_MAX, SIZE_MAX).what(),
               "BufferOverflow: 18446744073709551615 wanted 18446744073709551615 free");
}

TEST(DataBlock, ZeroCapacityBlockHasNoBuffer) {
  KITE_Data_Block* b = KITE_Data_Block::alloc(0);
  EXPECT_EQ(b->begin(), nullptr);
  EXPECT_EQ(b->size(), 0u);
  EXPECT_EQ(b->freespace(), 0u);
  b->release();
}

TEST(DataBlock, CloneIsExactlyAsLargeAsTheUsedBytes) {
  CountingFactory f;
  KITE_Data_Block* b = f.generate(1024);
  b->grow(5);
  memcpy(const_cast<void*>(b->begin()), "hello", 5);

  KITE_Data_Block* c = b->clone();
  EXPECT_EQ(c->size(), 5u);
  EXPECT_EQ(c->length(), 5u);
  EXPECT_NE(c->begin(), b->begin());
  EXPECT_EQ(std::string(static_cast<const char*>(c->begin()), 5), "hello");
  c->release();
  EXPECT_EQ(f.recycled, 0) << "a clone comes from smdbf, not from the source's factory";

  KITE_Data_Block* empty = f.generate(64);
  KITE_Data_Block* ec = empty->clone();
  EXPECT_EQ(ec->size(), 0u);
  EXPECT_EQ(ec->begin(), nullptr);
  ec->release();
  empty->release();
  b->release();
}

TEST(DataBlock, LastOfTwoReleasesRecyclesOnce) {
  CountingFactory f;
  KITE_Data_Block* b = f.generate(16);
  EXPECT_EQ(b->duplicate(), b);
  EXPECT_EQ(f.duplicates, 1);
  b->release();
  EXPECT_EQ(f.releases, 1);
  EXPECT_EQ(f.recycled, 0);
  b->release();
  EXPECT_EQ(f.releases, 1) << "informrelease is not called on the last release";
  EXPECT_EQ(f.recycled, 1);
  EXPECT_EQ(f.foreign_recycles, 0);
}

TEST(DataBlock, ReleaseNeverFollowsNext) {
  CountingFactory f;
  KITE_Data_Block* a = f.generate(8);
  KITE_Data_Block* b = f.generate(8);
  a->next = b;
  a->release();
  EXPECT_TRUE(f.alive(b));
  EXPECT_EQ(f.recycled, 1);
  b->release();
}

TEST(DataBlock, MissingRecordThrowsNoMoreDynamicMemoryNamingCreate) {
  CountingFactory f;
  fail_next_nothrow_new = true;
  try {
    f.create_record();
    ADD_FAILURE() << "create did not throw";
  } catch (const NoMoreDynamicMemory& e) {
    EXPECT_THAT(e.what(), ::testing::MatchesRegex("No more Memory at KITE_Data_Block.cpp:[0-9]+ "
                                                  "in create"));
  }
}

}  // namespace
