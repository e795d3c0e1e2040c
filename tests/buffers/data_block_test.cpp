// SPDX-License-Identifier: MIT
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "KITE/KITE_Data_Block.h"
#include "KITE/KITE_Pooled_Data_Block_Factory.h"
#include "KITE/KITE_Refcount_Mutex.h"
#include "errorhandling/errorclass.h"
#include "support/counting_factory.h"
#include "support/failing_new.h"
#include "support/threads.h"

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
  kite_test::CountingFactory f;
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
  kite_test::CountingFactory f;
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
  kite_test::CountingFactory f;
  KITE_Data_Block* a = f.generate(8);
  KITE_Data_Block* b = f.generate(8);
  a->next = b;
  a->release();
  EXPECT_TRUE(f.alive(b));
  EXPECT_EQ(f.recycled, 1);
  b->release();
}

// The record fails after the buffer was taken: both smdbf and a factory of its own give
// the buffer back (the sanitizer build sees a leak otherwise) and report "create".
TEST(DataBlock, MissingRecordThrowsNoMoreDynamicMemoryNamingCreate) {
  kite_test::CountingFactory f;
  for (const auto& make : std::vector<std::function<void()>>{[&] { f.create_record(); },
                                                             [] { KITE_Data_Block::alloc(16); }}) {
    kite_test::on_new_thread([&] {  // whose cache of records is empty
      kite_test::fail_nothrow_new_after(0);
      try {
        make();
        ADD_FAILURE() << "create did not throw";
      } catch (const NoMoreDynamicMemory& e) {
        EXPECT_THAT(e.what(), ::testing::MatchesRegex(
                                  "No more Memory at KITE_Data_Block.cpp:[0-9]+ in create"));
      }
    });
  }
}

// Hooks that throw on request.
class ThrowingHooks final : public kite_test::CountingFactory {
 public:
  void informduplicate(KITE_Data_Block* b) override {
    if (throw_in_duplicate) throw std::runtime_error("duplicate hook");
    kite_test::CountingFactory::informduplicate(b);
  }
  void informrelease(KITE_Data_Block* b) override {
    if (throw_in_release) throw std::runtime_error("release hook");
    kite_test::CountingFactory::informrelease(b);
  }
  bool throw_in_duplicate = false;
  bool throw_in_release = false;
};

TEST(DataBlock, ThrowingReleaseHookLeavesTheLockFreeAndTheReferenceDropped) {
  auto* f = new ThrowingHooks;  // left alive if the block hangs: the hung thread uses it
  KITE_Data_Block* b = f->generate(8);
  b->duplicate();
  b->duplicate();
  f->throw_in_release = true;
  EXPECT_THROW(b->release(), std::runtime_error);
  f->throw_in_release = false;
  ASSERT_TRUE(kite_test::finishes_within(std::chrono::seconds(5), [b] { b->release(); }))
      << "the release after a throwing hook hangs on the block's lock";
  EXPECT_EQ(f->recycled, 0);
  b->release();
  EXPECT_EQ(f->recycled, 1) << "the throwing release counted as one";
  delete f;
}

TEST(DataBlock, ThrowingDuplicateHookAddsNoHolder) {
  ThrowingHooks f;
  KITE_Data_Block* b = f.generate(8);
  f.throw_in_duplicate = true;
  EXPECT_THROW(b->duplicate(), std::runtime_error);
  b->release();
  EXPECT_EQ(f.recycled, 1);
}

// smdbf's and pdbf's types count without hooks; a subclass that adds hooks must see them
// called, for made and for cached blocks alike.
template <class Factory>
class Hooked : public Factory {
 public:
  void informduplicate(KITE_Data_Block*) override { ++duplicates; }
  void informrelease(KITE_Data_Block*) override { ++releases; }
  int duplicates = 0, releases = 0;
};

template <class Factory>
void expect_hooks_called() {
  Hooked<Factory> f;
  for (int round = 0; round < 2; ++round) {
    KITE_Data_Block* b = f.generate(1024);
    b->duplicate();
    b->release();
    b->release();
  }
  EXPECT_EQ(f.duplicates, 2) << typeid(Factory).name();
  EXPECT_EQ(f.releases, 2) << typeid(Factory).name();
}

TEST(DataBlock, HooksOfSubclassesOfTheHookLessFactoriesAreCalled) {
  expect_hooks_called<KITE_Simple_Malloc_Data_Block_Factory>();
  expect_hooks_called<KITE_Pooled_Data_Block_Factory>();
}

// Whoever makes a factory states whether it has hooks: the kit's own objects have none,
// every other factory counts with them unless made with kNoHooks, whose hooks are then never
// called (its promise that they are the empty ones).
class PromisedNoHooks : public KITE_Simple_Malloc_Data_Block_Factory {
 public:
  PromisedNoHooks() : KITE_Simple_Malloc_Data_Block_Factory(kNoHooks) {}
  void informduplicate(KITE_Data_Block*) override { ++calls; }
  void informrelease(KITE_Data_Block*) override { ++calls; }
  int calls = 0;
};

TEST(DataBlock, AFactoryCountsWithHooksUnlessMadeWithout) {
  EXPECT_EQ(smdbf.hooks(), KITE_Data_Block_Factory::kNoHooks);
  EXPECT_EQ(pdbf.hooks(), KITE_Data_Block_Factory::kNoHooks);
  EXPECT_EQ(KITE_Simple_Malloc_Data_Block_Factory().hooks(), KITE_Data_Block_Factory::kCallHooks);
  EXPECT_EQ(KITE_Pooled_Data_Block_Factory().hooks(), KITE_Data_Block_Factory::kCallHooks);
  EXPECT_EQ(kite_test::CountingFactory().hooks(), KITE_Data_Block_Factory::kCallHooks);
  PromisedNoHooks f;
  KITE_Data_Block* b = f.generate(8);
  b->duplicate();
  b->release();
  b->release();
  EXPECT_EQ(f.calls, 0);
}

// The lock cannot fail visibly: a refused lock (here a corrupted mutex) ends the process
// with a fatal report instead of letting duplicate() return null or release() go on.
#if defined(__SANITIZE_THREAD__)
#define KITE_TEST_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KITE_TEST_UNDER_TSAN 1
#endif
#endif

TEST(DataBlockDeathTest, RefusedCountLockEndsTheProcess) {
#ifdef KITE_TEST_UNDER_TSAN
  GTEST_SKIP() << "ThreadSanitizer ends the process at the corrupted mutex before the kit can";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        pthread_mutex_t corrupted;
        std::memset(&corrupted, 0xff, sizeof corrupted);
        KITE_Refcount_Mutex(corrupted).acquire();
      },
      "reference count mutex: lock failed: Invalid argument");
}

}  // namespace
