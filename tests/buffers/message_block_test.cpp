// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "KITE/KITE_Message_Block.h"
#include "support/counting_factory.h"
#include "support/failing_new.h"
#include "support/threads.h"

namespace {

std::string overflow_text(KITE_Message_Block* m, const std::string& bytes) {
  try {
    m->copy(bytes.data(), static_cast<unsigned int>(bytes.size()));
  } catch (const BufferOverflow& e) {
    return e.what();
  }
  return "no overflow";
}

// Each block's bytes, in chain order; leaves the message without a current block.
std::vector<std::string> walk(KITE_Message_Block* m) {
  std::vector<std::string> blocks;
  std::vector<bool> last;
  for (m->begin(); !m->is_done(); m->advance()) {
    blocks.emplace_back(m->rd_ptr(), m->length());
    last.push_back(m->is_last());
  }
  std::vector<bool> expected(blocks.size(), false);
  if (!expected.empty()) expected.back() = true;
  EXPECT_EQ(last, expected) << "is_last() holds on the final block only";
  return blocks;
}

// A message on a fresh chain of blocks from f, one per text, each full.
KITE_Message_Block* counted_chain(kite_test::CountingFactory& f,
                                  const std::vector<std::string>& texts) {
  KITE_Message_Block* m = nullptr;
  for (const std::string& t : texts) {
    KITE_Data_Block* b = f.generate(static_cast<unsigned int>(t.size()));
    if (m == nullptr) {
      m = new KITE_Message_Block(b, false);
    } else {
      m->addblock(b);
    }
    m->copy(t.data(), static_cast<unsigned int>(t.size()));
  }
  return m;
}

TEST(MessageBlock, FullBlockTakesTheNextByteOnlyAfterExpand) {
  KITE_Message_Block* m = new KITE_Message_Block(1024);
  EXPECT_EQ(m->copy(std::string(1024, 'a').data(), 1024), 1024);
  EXPECT_EQ(overflow_text(m, "b"), "BufferOverflow: 1 wanted 0 free");
  EXPECT_EQ(m->length(), 1024u);
  EXPECT_EQ(m->wr_rel(), 1024u);
  EXPECT_FALSE(m->IsFragmented());

  m->expand();
  EXPECT_EQ(m->copy("b", 1), 1);
  EXPECT_TRUE(m->IsFragmented());
  EXPECT_EQ(m->length(), 1u);
  EXPECT_EQ(m->total_length(), 1025u);
  EXPECT_EQ(m->total_size(), 2048u);
  EXPECT_EQ(*m->base(), 'b');
  EXPECT_EQ(*m->first_base(), 'a');
  m->release();
}

TEST(MessageBlock, ZeroCapacityMessageRefusesEveryByte) {
  KITE_Message_Block* m = new KITE_Message_Block(0);
  EXPECT_EQ(m->copy("", 0), 0);
  EXPECT_EQ(overflow_text(m, "x"), "BufferOverflow: 1 wanted 0 free");
  m->expand();
  EXPECT_EQ(overflow_text(m, "x"), "BufferOverflow: 1 wanted 0 free");
  EXPECT_EQ(m->total_size(), 0u);
  m->release();
}

TEST(MessageBlock, WalkVisitsEveryBlockOnceInChainOrder) {
  KITE_Message_Block* m = new KITE_Message_Block(4);
  m->copy("abcd", 4);
  m->expand();
  m->copy("efgh", 4);
  m->expand();
  m->copy("ij", 2);
  EXPECT_EQ(walk(m), (std::vector<std::string>{"abcd", "efgh", "ij"}));
  EXPECT_TRUE(m->is_done());
  EXPECT_FALSE(m->is_last());
  m->release();
}

TEST(MessageBlock, WritePositionMovesBackWithoutLoweringTheLength) {
  KITE_Message_Block* m = new KITE_Message_Block(16);
  m->copy("0123456789", 10);
  EXPECT_EQ(m->wr_ptr(m->base() + 4), m->base() + 4);
  EXPECT_EQ(m->wr_rel(), 4u);
  EXPECT_EQ(m->length(), 10u);
  EXPECT_EQ(m->freespace(), 6u);
  m->copy("xy", 2);
  EXPECT_EQ(std::string(m->base(), m->length()), "0123xy6789");

  EXPECT_EQ(m->wr_ptr(m->base() + 12), m->base() + 12);  // beyond the fill level: grows
  EXPECT_EQ(m->length(), 12u);
  m->release();
}

TEST(MessageBlock, WriteAddressOutsideTheBlockChangesNothing) {
  KITE_Message_Block* m = new KITE_Message_Block(16);
  m->copy("abc", 3);
  auto beyond = [&](uint64_t distance) {
    return reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(m->base()) + distance);
  };
  for (uint64_t distance : {uint64_t(17), uint64_t(1) << 33}) {
    try {
      m->wr_ptr(beyond(distance));
      ADD_FAILURE() << "no overflow at distance " << distance;
    } catch (const BufferOverflow& e) {
      EXPECT_EQ(e.wanted(), distance - 3);
      EXPECT_EQ(e.free(), 13u);
    }
    EXPECT_EQ(m->wr_rel(), 3u);
    EXPECT_EQ(m->length(), 3u);
  }
  m->release();
}

// The counting factory fills its buffers with a pattern, so the zeros alignment writes
// show, and malloc aligns them, so one written byte puts the write address at 1 more
// than a multiple of 4.
TEST(MessageBlock, AlignmentZeroFillsTheGapOnlyWhenItFits) {
  struct {
    unsigned int room;  // free bytes behind the write address
    size_t moved;       // how far wrptr_align(2) moves the write address
    std::string bytes;  // the room's first bytes afterwards
  } cases[] = {{8, 3, std::string("\0\0\0\xAA", 4)}, {2, 0, "\xAA\xAA"}};
  kite_test::CountingFactory f;
  for (const auto& c : cases) {
    KITE_Message_Block* m = new KITE_Message_Block(f.generate(1 + c.room), false);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(m->base()) % 4, 0u);
    m->copy(".", 1);
    char* old = m->wr_ptr();
    for (short potenz2 : {0, 64, -1}) EXPECT_EQ(m->wrptr_align(potenz2), old) << potenz2;
    EXPECT_EQ(m->wrptr_align(2), old + c.moved);
    EXPECT_EQ(m->wr_ptr(), old + c.moved);
    EXPECT_EQ(m->length(), 1 + c.moved);
    EXPECT_EQ(std::string(old, c.bytes.size()), c.bytes);
    m->release();
  }
}

TEST(MessageBlock, RemainingIsWhatLiesBetweenReadAndWritePosition) {
  KITE_Message_Block* m = new KITE_Message_Block(32);
  m->copy("0123456789", 10);
  EXPECT_EQ(m->remaining(), 10u);
  EXPECT_EQ(m->rd_ptr(3), m->base());
  EXPECT_EQ(m->rd_rel(), 3u);
  EXPECT_EQ(m->remaining(), 7u);
  m->rd_ptr(m->base() + 12);
  EXPECT_EQ(m->remaining(), 0u) << "a reader past the write position has nothing left";
  m->reset();
  EXPECT_EQ(m->rd_rel() + m->wr_rel() + m->remaining(), 0u);
  EXPECT_EQ(m->length(), 10u);
  m->release();
}

TEST(MessageBlock, DuplicateSharesBytesAndEitherReleaseOrderFreesOnce) {
  for (bool source_first : {true, false}) {
    kite_test::CountingFactory f;
    KITE_Message_Block* m = counted_chain(f, {"abc", "defg", "hi"});
    m->rd_ptr(1u);
    KITE_Message_Block* d = m->duplicate();
    EXPECT_EQ(d->base(), m->base());
    EXPECT_EQ(d->rd_rel(), 0u);
    EXPECT_EQ(d->wr_rel(), 2u);
    EXPECT_EQ(d->next(), nullptr);
    EXPECT_EQ(walk(d), (std::vector<std::string>{"abc", "defg", "hi"}));
    EXPECT_EQ(f.duplicates, 3);

    (source_first ? m : d)->release();
    EXPECT_EQ(f.recycled, 0);
    EXPECT_EQ(f.releases, 3);
    (source_first ? d : m)->release();
    EXPECT_EQ(f.recycled, 3);
    EXPECT_EQ(f.foreign_recycles, 0);
  }
}

TEST(MessageBlock, DuplicateChainBuildsASecondHolder) {
  kite_test::CountingFactory f;
  KITE_Message_Block* m = counted_chain(f, {"ab", "cd"});
  KITE_Message_Block* second = new KITE_Message_Block(m->duplicate_chain(), false);
  EXPECT_EQ(second->wr_rel(), 2u);
  EXPECT_EQ(second->total_length(), 4u);
  m->release();
  EXPECT_EQ(f.recycled, 0);
  second->release();
  EXPECT_EQ(f.recycled, 2);
}

TEST(MessageBlock, CloneCopiesEveryBlockAtItsLengthAndSharesNothing) {
  kite_test::CountingFactory f;
  KITE_Message_Block* m = counted_chain(f, {"abc", "defg"});
  m->expand();  // an empty third block
  KITE_Message_Block* c = m->clone();
  EXPECT_EQ(c->total_length(), 7u);
  EXPECT_EQ(c->total_size(), 7u);
  EXPECT_EQ(c->length(), 0u) << "the last, empty block is current";

  c->expand();
  c->copy("zz", 2);
  c->begin();
  c->rd_ptr()[0] = 'X';
  EXPECT_EQ(walk(m), (std::vector<std::string>{"abc", "defg", ""}));
  EXPECT_EQ(walk(c), (std::vector<std::string>{"Xbc", "defg", "", "zz"}));
  c->release();
  EXPECT_EQ(f.recycled, 0);
  m->release();
  EXPECT_EQ(f.recycled, 2);
}

TEST(MessageBlock, ReleaseFreesTheChainOnlyAtTheLastHolder) {
  kite_test::CountingFactory f;
  KITE_Message_Block* m = counted_chain(f, {"a", "b", "c"});
  EXPECT_EQ(m->add_ref(), m);
  m->release();
  EXPECT_EQ(f.recycled, 0);
  m->release();
  EXPECT_EQ(f.recycled, 3);
  EXPECT_EQ(f.releases, 0);
}

TEST(MessageBlock, ExpandInsideTheChainKeepsTheBlocksBehind) {
  kite_test::CountingFactory f;
  KITE_Message_Block* m = counted_chain(f, {"a", "b", "c"});
  m->begin();
  m->expand();
  m->copy("n", 1);
  EXPECT_EQ(walk(m), (std::vector<std::string>{"a", "n", "b", "c"}));
  m->expand();  // after a walk: at the end
  EXPECT_TRUE(m->is_last());
  m->copy("e", 1);
  EXPECT_EQ(m->total_length(), 5u);
  m->release();
  EXPECT_EQ(f.recycled, 3);
}

TEST(MessageBlock, WrappingNullGivesAMessageWithoutChain) {
  KITE_Message_Block* m = new KITE_Message_Block(nullptr, false);
  EXPECT_TRUE(m->is_done());
  EXPECT_FALSE(m->IsFragmented());
  EXPECT_EQ(m->first_base(), nullptr);
  EXPECT_EQ(m->total_size(), 0u);
  KITE_Message_Block* c = m->clone();
  EXPECT_TRUE(c->is_done());
  c->expand();  // the first block of the chain
  EXPECT_EQ(c->size(), 0u);
  EXPECT_TRUE(c->is_last());
  c->release();
  m->release();
}

// A derived message block: its own record type for duplicates and clones, and a count
// of destructions.
class Tracked : public KITE_Message_Block {
 public:
  Tracked(unsigned int len, int* ended) : KITE_Message_Block(len), ended_(ended) {}

 protected:
  explicit Tracked(int* ended) : ended_(ended) {}
  ~Tracked() override { ++*ended_; }
  KITE_Message_Block* CloneManagementData() const override { return new Tracked(ended_); }

 private:
  int* ended_;
};

TEST(MessageBlock, DerivedRecordsCarryTheirTypeThroughDuplicateAndClone) {
  int ended = 0;
  KITE_Message_Block* m = new Tracked(8, &ended);
  m->copy("abc", 3);
  KITE_Message_Block* d = m->duplicate();
  KITE_Message_Block* c = m->clone();
  EXPECT_NE(dynamic_cast<Tracked*>(d), nullptr);
  EXPECT_NE(dynamic_cast<Tracked*>(c), nullptr);
  for (KITE_Message_Block* x : {m, d, c}) x->release();
  EXPECT_EQ(ended, 3);
}

// On a new thread, whose record cache is empty, the allocations come in a known order: the
// message record, then each data block's record. The one that fails must leave nothing
// behind (the leak check of the sanitizer build sees it): neither the buffer smdbf took for
// it nor the record or the copies made before it.
TEST(MessageBlock, MissingMemoryGivesBackWhatWasMade) {
  KITE_Message_Block* source = new KITE_Message_Block(4);
  source->copy("abcd", 4);
  source->expand();
  source->copy("ef", 2);
  const struct {
    const char* what;
    int succeeding;  // allocations before the one that fails
    std::function<void()> make;
  } cases[] = {
      {"KITE_Message_Block(len)", 1, [] { new KITE_Message_Block(8); }},
      {"clone of two blocks", 2, [source] { source->clone(); }},
  };
  for (const auto& c : cases) {
    kite_test::on_new_thread([&] {
      kite_test::fail_nothrow_new_after(c.succeeding);
      EXPECT_THROW(c.make(), NoMoreDynamicMemory) << c.what;
      kite_test::fail_nothrow_new_after(-1);
    });
  }
  source->release();
}

TEST(MessageBlockDeathTest, MissingRecordEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  KITE_Message_Block* m = new KITE_Message_Block(8);
  EXPECT_DEATH(
      {
        kite_test::fail_nothrow_new_after(0);
        m->duplicate();
      },
      "KITE_Message_Block.cpp[0-9]+:KITE_Message_Block::CloneManagementData \\(\\): No More "
      "Memory");
  m->release();
}

}  // namespace
