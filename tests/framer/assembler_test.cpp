// SPDX-License-Identifier: MIT
// The message assembler seen through a recording observer: line ends, chunking, the block
// size, over-long lines and their recovery with input() and feed(), re-entrant input,
// derived machines, factories, tracing.
//
// The suite holds with the channel "KITE_Framer" off and on: AssemblerWithTrace runs it
// again in a child process with "DBG_KITE_Framer" set.
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KITE_READ2/KITE_Framer.h"
#include "errorhandling/tracegate.h"
#include "support/counting_factory.h"
#include "support/failing_new.h"
#include "support/handover.h"
#include "support/recording_backend.h"
#include "support/run_program.h"
#include "support/threads.h"

namespace {

using kite_test::LogCapture;
using kite_test::LogLine;

constexpr size_t kSize = KITE::Message_Assembler::MESSAGE_SIZE;

class Recorder : public KITE::Message_Observer {
 public:
  void process(KITE_Message_Block* mb) override {
    messages.emplace_back(mb->rd_ptr(), mb->length());
    // What every delivered block looks like: one data block, read position 0, write
    // position at its end, capacity MESSAGE_SIZE.
    EXPECT_EQ(mb->rd_ptr(), mb->base());
    EXPECT_EQ(mb->wr_ptr(), mb->end());
    EXPECT_EQ(mb->size(), kSize);
    EXPECT_FALSE(mb->IsFragmented());
    mb->release();
  }

  std::vector<std::string> messages;
};

void feed(KITE::Message_Assembler& assembler, const std::string& text) {
  assembler.input(text.data(), static_cast<int>(text.size()));
}

typedef std::vector<std::string> Messages;

// The text fed in chunks of chunk characters; chunk 0 feeds it whole.
Messages assemble(const std::string& text, size_t chunk = 0) {
  Recorder recorder;
  KITE::Message_Assembler assembler(&recorder);
  if (chunk == 0) chunk = text.size();
  for (size_t at = 0; at < text.size(); at += chunk) feed(assembler, text.substr(at, chunk));
  return recorder.messages;
}

// Lines reported at ERROR; trace lines (LDEBUG) may be there too when the channel is on.
std::vector<std::string> errors(const LogCapture& capture) {
  std::vector<std::string> texts;
  for (const LogLine& line : capture.lines())
    if (line.priority == KITE_LogMsg_Stream::ERROR) texts.push_back(line.text);
  return texts;
}

TEST(Assembler, DeliversEachLineWithItsLineEnd) {
  Recorder recorder;
  KITE::Message_Assembler assembler(&recorder);
  feed(assembler, "ab\ncd");
  EXPECT_EQ(recorder.messages, Messages{"ab\n"});
  feed(assembler, "\n");
  EXPECT_EQ(recorder.messages, (Messages{"ab\n", "cd\n"}));
}

TEST(Assembler, CarriageReturnAndLineFeedEachEndAMessage) {
  EXPECT_EQ(assemble("x\r\n"), (Messages{"x\r", "\n"}));
  EXPECT_EQ(assemble("\n"), Messages{"\n"});
  EXPECT_EQ(assemble("\r\r"), (Messages{"\r", "\r"}));
}

TEST(Assembler, StoresEveryOtherCharacterUnchanged) {
  const std::string line("a\0b\x7f\x80\xff\t\n", 8);
  EXPECT_EQ(assemble(line), Messages{line});
}

// Every byte value at every place of a line, fed as a chunk of its own (so that the line's
// end is also the chunk's): it ends a message exactly when it is LF or CR.
TEST(Assembler, EveryByteEndsAMessageExactlyWhenItIsALineEnd) {
  constexpr size_t kLength = 150;
  Recorder recorder;
  Messages expected;
  {
    KITE::Message_Assembler assembler(&recorder);
    for (int byte = 0; byte < 256; ++byte) {
      for (size_t at = 0; at + 1 < kLength; ++at) {
        std::string line(kLength - 1, 'x');
        line[at] = static_cast<char>(byte);
        line += '\n';
        feed(assembler, line);
        if (byte == '\n' || byte == '\r') {
          expected.push_back(line.substr(0, at + 1));
          expected.push_back(line.substr(at + 1));
        } else {
          expected.push_back(line);
        }
      }
    }
  }
  EXPECT_EQ(recorder.messages, expected);
}

TEST(Assembler, EmptyAndNegativeChunksChangeNothing) {
  Recorder recorder;
  KITE::Message_Assembler assembler(&recorder);
  feed(assembler, "a");
  assembler.input("\n", 0);
  assembler.input("\n", -1);
  assembler.input(nullptr, 0);
  feed(assembler, "b\n");
  EXPECT_EQ(recorder.messages, Messages{"ab\n"});
}

TEST(Assembler, ChunkBoundariesMakeNoDifference) {
  const std::string text = "first line\nsecond\r\n\nx" + std::string(700, 'y') + "\r" +
                           std::string(kSize - 1, 'z') + "\nlast, unfinished";
  const Messages whole = assemble(text);
  ASSERT_EQ(whole.size(), 6u);
  EXPECT_EQ(assemble(text, 1), whole);
  EXPECT_EQ(assemble(text, 7), whole);
  for (size_t cut = 0; cut <= text.size(); cut += 13) {
    Recorder recorder;
    KITE::Message_Assembler assembler(&recorder);
    feed(assembler, text.substr(0, cut));
    feed(assembler, text.substr(cut));
    EXPECT_EQ(recorder.messages, whole) << "cut at " << cut;
  }
}

TEST(Assembler, DeliversAMessageOfExactlyTheBlockSize) {
  const std::string line = std::string(kSize - 1, 'a') + "\n";
  EXPECT_EQ(assemble(line + line), (Messages{line, line}));
}

// Feeds text, expecting the over-long line's exception from it.
void expect_overflow(KITE::Message_Assembler& assembler, const std::string& text) {
  try {
    feed(assembler, text);
    ADD_FAILURE() << "no BufferOverflow";
  } catch (const BufferOverflow& e) {
    EXPECT_STREQ(e.what(), "BufferOverflow: 1 wanted 0 free");
  }
}

TEST(Assembler, OverLongLineRaisesOnceAndIsDiscardedUpToItsLineEnd) {
  Recorder recorder;
  KITE::Message_Assembler assembler(&recorder);
  feed(assembler, "ok\n");
  // The rest of the chunk after the 1025th character is not consumed: "lost\n" is never seen.
  expect_overflow(assembler, std::string(kSize + 1, 'a') + "lost\n");
  EXPECT_EQ(recorder.messages, Messages{"ok\n"});
  // Everything up to and including the next line end belongs to the dropped line.
  feed(assembler, std::string(3000, 'b'));
  feed(assembler, "still the long line\rnext\n");
  EXPECT_EQ(recorder.messages, (Messages{"ok\n", "next\n"}));
}

TEST(Assembler, OverflowingLineEndEndsTheDroppedLine) {
  for (const char* end : {"\n", "\r"}) {
    Recorder recorder;
    KITE::Message_Assembler assembler(&recorder);
    expect_overflow(assembler, std::string(kSize, 'a') + end + "lost\n");
    feed(assembler, "next\n");
    EXPECT_EQ(recorder.messages, Messages{"next\n"}) << "line end " << int(*end);
  }
}

TEST(Assembler, OverLongLineFedOneCharacterAtATime) {
  Recorder recorder;
  KITE::Message_Assembler assembler(&recorder);
  const std::string text = std::string(kSize + 76, 'a') + "\nnext\n";
  int overflows = 0;
  for (char ch : text) {
    try {
      assembler.input(&ch, 1);
    } catch (const BufferOverflow&) {
      ++overflows;
    }
  }
  EXPECT_EQ(overflows, 1);
  EXPECT_EQ(recorder.messages, Messages{"next\n"});
}

// Feeds the same assembler again from inside process().
class Reentrant : public Recorder {
 public:
  void process(KITE_Message_Block* mb) override {
    Recorder::process(mb);
    assembler->input("zz", 2);
  }
  KITE::Message_Assembler* assembler = nullptr;
};

TEST(Assembler, InputFromInsideTheObserverIsReportedAndDropped) {
  LogCapture capture;
  Reentrant observer;
  KITE::Message_Assembler assembler(&observer);
  observer.assembler = &assembler;
  feed(assembler, "a\nb\n");
  EXPECT_EQ(observer.messages, (Messages{"a\n", "b\n"}));
  EXPECT_EQ(errors(capture),
            std::vector<std::string>(4, "SendMessageState: Transition not defined \n"));
}

class Throwing : public Recorder {
 public:
  void process(KITE_Message_Block* mb) override {
    Recorder::process(mb);
    if (messages.size() == 1) throw std::runtime_error("observer failed");
  }
};

TEST(Assembler, ObserverExceptionLeavesTheAssemblerUsable) {
  Throwing observer;
  KITE::Message_Assembler assembler(&observer);
  EXPECT_THROW(feed(assembler, "a\nlost\n"), std::runtime_error);
  feed(assembler, "c\n");
  EXPECT_EQ(observer.messages, (Messages{"a\n", "c\n"}));
}

// A machine whose collect state records every character before storing it.
class RecordingCollect : public KITE::Message_Assembler::CollectMessageState {
 public:
  RecordingCollect(KITE::Message_Assembler::StateMashine* sm, std::string* seen)
      : CollectMessageState(sm), seen_(seen) {}
  void consume(char ch) override {
    *seen_ += ch;
    CollectMessageState::consume(ch);
  }

 private:
  std::string* seen_;
};

class RecordingMachine : public KITE::Message_Assembler::StateMashine {
 public:
  RecordingMachine(KITE::Message_Observer* observer, std::string* seen)
      : StateMashine(observer), seen_(seen) {}
  KITE::Message_Assembler::State* getCollectMessageState() override {
    if (collectmsg_state_ == nullptr) collectmsg_state_ = new RecordingCollect(this, seen_);
    return collectmsg_state_;
  }

 private:
  std::string* seen_;
};

class RecordingAssembler : public KITE::Message_Assembler {
 public:
  RecordingAssembler(KITE::Message_Observer* observer, std::string* seen) {
    statemashine_ = new RecordingMachine(observer, seen);
    statemashine_->init();
  }
};

TEST(Assembler, DerivedStateSeesEveryCharacter) {
  Recorder recorder;
  std::string seen;
  RecordingAssembler assembler(&recorder, &seen);
  const std::string text = "hello\r\nworld, a longer line without its end";
  feed(assembler, text);
  EXPECT_EQ(seen, text);
  EXPECT_EQ(recorder.messages, (Messages{"hello\r", "\n"}));
}

// --- feed(): over-long lines dropped without an exception

// The plain assembler, or one whose machine takes the per-character path (its collect state
// records what it sees in *seen).
std::unique_ptr<KITE::Message_Assembler> make_assembler(bool derived,
                                                        KITE::Message_Observer* observer,
                                                        std::string* seen) {
  if (derived) return std::make_unique<RecordingAssembler>(observer, seen);
  return std::make_unique<KITE::Message_Assembler>(observer);
}

struct FeedCase {
  const char* what;
  std::string text;
  Messages messages;
  int dropped;
};

std::vector<FeedCase> feed_cases() {
  const std::string too_long(kSize + 1, 'a');
  const std::string full(kSize - 1, 'f');
  return {
      {"a line of the block size", full + "\nb\n", {full + "\n", "b\n"}, 0},
      {"an over-long line between good ones",
       "ok\n" + too_long + "still\nnext\n",
       {"ok\n", "next\n"},
       1},
      {"two over-long lines", too_long + "\r" + too_long + "\nx\n", {"x\n"}, 2},
      {"the overflowing character ends the line",
       std::string(kSize, 'a') + "\nnext\n",
       {"next\n"},
       1},
      {"an over-long line without its end yet", "ok\n" + too_long, {"ok\n"}, 1},
  };
}

// Feeds text in chunks of chunk characters and adds up what feed() reports.
int feed_in_chunks(KITE::Message_Assembler& assembler, const std::string& text, size_t chunk) {
  int dropped = 0;
  for (size_t at = 0; at < text.size(); at += chunk) {
    const std::string piece = text.substr(at, chunk);
    dropped += assembler.feed(piece.data(), static_cast<int>(piece.size()));
  }
  return dropped;
}

// The plain machine drops lines in its bulk path, a derived one in its collect state; either
// way the machine tells feed() by its status.
TEST(Assembler, FeedDropsEachOverLongLineOnceAndDeliversEveryGoodOne) {
  for (const FeedCase& c : feed_cases()) {
    for (bool derived : {false, true}) {
      for (size_t chunk : {c.text.size(), size_t(1), size_t(100)}) {
        Recorder recorder;
        std::string seen;
        const auto assembler = make_assembler(derived, &recorder, &seen);
        EXPECT_EQ(feed_in_chunks(*assembler, c.text, chunk), c.dropped)
            << c.what << ", derived " << derived << ", chunk " << chunk;
        EXPECT_EQ(recorder.messages, c.messages)
            << c.what << ", derived " << derived << ", chunk " << chunk;
      }
    }
  }
}

// Throws BufferOverflow at its first message, as if it had written past a block of its own.
class OverflowingObserver : public Recorder {
 public:
  void process(KITE_Message_Block* mb) override {
    Recorder::process(mb);
    if (messages.size() == 1) throw BufferOverflow(0, 1);
  }
};

// The observer's exception leaves feed() as it is, also when an over-long line was dropped
// earlier in the same chunk; nothing after it is delivered, and the next chunk goes on.
TEST(Assembler, FeedPassesOnABufferOverflowOfTheObserver) {
  const struct {
    const char* what;
    std::string text;
    std::string first;  // the message the observer throws at
  } cases[] = {
      {"a chunk of good lines", "x\ny\nz\n", "x\n"},
      {"the line after an over-long one", std::string(kSize + 1, 'A') + "y\nx\nz\n", "x\n"},
  };
  for (const auto& c : cases) {
    for (bool derived : {false, true}) {
      OverflowingObserver observer;
      std::string seen;
      const auto assembler = make_assembler(derived, &observer, &seen);
      EXPECT_THROW(assembler->feed(c.text.data(), static_cast<int>(c.text.size())), BufferOverflow)
          << c.what << ", derived " << derived;
      EXPECT_EQ(observer.messages, Messages{c.first}) << c.what << ", derived " << derived;
      EXPECT_EQ(assembler->feed("z\n", 2), 0) << c.what << ", derived " << derived;
      EXPECT_EQ(observer.messages, (Messages{c.first, "z\n"})) << c.what << ", derived " << derived;
    }
  }
}

// --- where the blocks come from

TEST(Assembler, LineBlocksComeFromTheGivenFactory) {
  kite_test::CountingFactory counting;
  for (KITE_Data_Block_Factory* factory :
       std::vector<KITE_Data_Block_Factory*>{&pdbf, &smdbf, &counting}) {
    Recorder recorder;
    {
      KITE::Message_Assembler assembler(&recorder, factory);
      feed(assembler, "one\ntwo\nthree");
    }
    EXPECT_EQ(recorder.messages, (Messages{"one\n", "two\n"}));
  }
  EXPECT_EQ(counting.recycled, 3) << "two delivered and released, one freed with the assembler";
  EXPECT_EQ(counting.foreign_recycles, 0);
}

// Blocks that the observer keeps (the delivered one, or a second holder on its bytes) keep
// their line while the assembler goes on with thousands more, whatever its blocks are
// recycled through.
TEST(Assembler, BlocksTheObserverKeepsKeepTheirLines) {
  const struct {
    const char* how;
    KITE_Message_Block* (*keep)(KITE_Message_Block*);
  } cases[] = {
      {"itself", [](KITE_Message_Block* mb) { return mb; }},
      {"add_ref",
       [](KITE_Message_Block* mb) {
         mb->add_ref();
         mb->release();
         return mb;
       }},
      {"duplicate",
       [](KITE_Message_Block* mb) {
         KITE_Message_Block* d = mb->duplicate();
         mb->release();
         return d;
       }},
  };
  constexpr int kLines = 3000;
  for (const auto& c : cases) {
    class Keeper : public KITE::Message_Observer {
     public:
      explicit Keeper(KITE_Message_Block* (*keep)(KITE_Message_Block*)) : keep_(keep) {}
      // Keeps the even lines; lets the odd ones go at once.
      void process(KITE_Message_Block* mb) override {
        KITE_Message_Block* k = keep_(mb);
        if (delivered++ % 2 == 0) {
          kept.push_back(k);
        } else {
          k->release();
        }
      }
      std::vector<KITE_Message_Block*> kept;
      size_t delivered = 0;

     private:
      KITE_Message_Block* (*keep_)(KITE_Message_Block*);
    } keeper(c.keep);
    {
      KITE::Message_Assembler assembler(&keeper);
      for (int i = 0; i < kLines; ++i) feed(assembler, "line " + std::to_string(i) + "\n");
    }
    ASSERT_EQ(keeper.delivered, static_cast<size_t>(kLines)) << c.how;
    ASSERT_EQ(keeper.kept.size(), static_cast<size_t>(kLines / 2)) << c.how;
    for (size_t i = 0; i < keeper.kept.size(); ++i) {
      KITE_Message_Block* mb = keeper.kept[i];
      EXPECT_EQ(std::string(mb->rd_ptr(), mb->length()), "line " + std::to_string(2 * i) + "\n")
          << c.how;
      mb->release();
    }
  }
}

// A machine that counts the blocks it makes through its own allocateMessageBlock().
class AllocationCounter : public KITE::Message_Assembler::StateMashine {
 public:
  using StateMashine::StateMashine;
  void allocateMessageBlock() override {
    if (currentblock_ == nullptr) ++allocations;
    StateMashine::allocateMessageBlock();
  }
  int allocations = 0;
};

class CountingAssembler : public KITE::Message_Assembler {
 public:
  explicit CountingAssembler(KITE::Message_Observer* observer)
      : machine(new AllocationCounter(observer)) {
    statemashine_ = machine;
    statemashine_->init();
  }
  AllocationCounter* machine;
};

TEST(Assembler, DerivedAllocateMessageBlockMakesEveryBlock) {
  Recorder recorder;
  CountingAssembler assembler(&recorder);
  const std::string text = "a\nb\n" + std::string(kSize + 1, 'x') + "\nc";
  EXPECT_EQ(assembler.feed(text.data(), static_cast<int>(text.size())), 1);
  EXPECT_EQ(recorder.messages, (Messages{"a\n", "b\n"}));
  EXPECT_EQ(assembler.machine->allocations, 4) << "the first, one per line, one for the dropped";
}

// On a new thread, with empty caches and the channel off (tracing allocates as well), the
// assembler's allocations come in a known order: the machine, the collect state, then with
// pdbf the data block's chunk (which holds the message block's record too), with smdbf the
// data block's record and the message block's. Each failure reports where it happened and
// leaves nothing behind (the leak check of the sanitizer build sees it).
TEST(Assembler, MissingMemoryInTheConstructorLeavesNothingBehind) {
  if (tracegate("KITE_Framer").is_on()) GTEST_SKIP() << "the trace allocates too";
  const struct {
    KITE_Data_Block_Factory* factory;
    int succeeding;
    const char* where;
  } cases[] = {
      {&pdbf, 0, "KITE_Framer.cpp:[0-9]+ in Message_Assembler"},
      {&pdbf, 1, "KITE_Framer.cpp:[0-9]+ in getCollectMessageState"},
      {&pdbf, 2, "KITE_Pooled_Data_Block_Factory.cpp:[0-9]+ in generate"},
      {&smdbf, 2, "KITE_Data_Block.cpp:[0-9]+ in create"},
      {&smdbf, 3, "KITE_Framer.cpp:[0-9]+ in allocateMessageBlock"},
  };
  for (const auto& c : cases) {
    kite_test::on_new_thread([&] {
      Recorder recorder;
      kite_test::fail_nothrow_new_after(c.succeeding);
      try {
        KITE::Message_Assembler assembler(&recorder, c.factory);
        ADD_FAILURE() << "no exception: " << c.where;
      } catch (const NoMoreDynamicMemory& e) {
        EXPECT_TRUE(std::regex_search(e.what(), std::regex(c.where))) << e.what();
      }
      kite_test::fail_nothrow_new_after(-1);
    });
  }
}

// A factory that runs out of memory once, on request.
class RunningOut : public kite_test::CountingFactory {
 public:
  KITE_Data_Block* generate(unsigned int size) override {
    if (run_out) {
      run_out = false;
      throw NoMoreDynamicMemory(__FILE__, __LINE__, "generate");
    }
    return kite_test::CountingFactory::generate(size);
  }
  bool run_out = false;
};

// When the block after a delivery cannot be made, the exception leaves the rest of the
// chunk unread, and the next input starts a new block.
TEST(Assembler, MissingMemoryAfterADeliveryLeavesTheAssemblerUsable) {
  Recorder recorder;
  RunningOut factory;
  KITE::Message_Assembler assembler(&recorder, &factory);
  factory.run_out = true;
  EXPECT_THROW(feed(assembler, "a\nunread\n"), NoMoreDynamicMemory);
  feed(assembler, "c\n");
  EXPECT_EQ(recorder.messages, (Messages{"a\n", "c\n"}));
}

// The trace of the channel "KITE_Framer", whichever way the environment switched it.
TEST(Assembler, TracesEveryCharacterWhileTheChannelIsOn) {
  const bool on = tracegate("KITE_Framer").is_on();
  LogCapture capture;
  Recorder recorder;
  {
    KITE::Message_Assembler assembler(&recorder);
    feed(assembler, "a\xe9\n");
  }
  std::vector<LogLine> expected;
  if (on) {
    for (const char* text : {"Enter State CollectMessageState\n", "StateMachine::Consume('a'=97)\n",
                             "CollectMessageState: <- a\n", "StateMachine::Consume('\xe9'=-23)\n",
                             "CollectMessageState: <- \xe9\n", "StateMachine::Consume('\n'=10)\n",
                             "CollectMessageState: <- \n\n", "Enter State SendMessageState\n",
                             "Enter State CollectMessageState\n"})
      expected.emplace_back(KITE_LogMsg_Stream::LDEBUG, text);
  }
  EXPECT_EQ(capture.lines(), expected);
  EXPECT_EQ(recorder.messages, Messages{"a\xe9\n"});
}

// The whole suite again, in a child with the channel switched on.
TEST(AssemblerWithTrace, SuiteHoldsWithTheChannelOn) {
  if (std::getenv("DBG_KITE_Framer") != nullptr) GTEST_SKIP() << "already the child";
  kite_test::ProgramRun run;
  run.path = "/proc/self/exe";
  run.args = {"--gtest_filter=Assembler.*"};
  run.env = {{"DBG_KITE_Framer", "1"}, {"DBG_ALL", std::nullopt}};
  const kite_test::ProgramResult result = kite_test::run_program(run);
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_NE(result.out.find("[  PASSED  ]"), std::string::npos) << result.out;
  EXPECT_NE(result.err.find("Enter State CollectMessageState"), std::string::npos);
}

// Lines handed to another thread, which releases them: every one arrives whole, and the
// blocks go back to the assembler's thread.
TEST(AssemblerThreads, LinesReleasedOnAnotherThreadArriveWhole) {
  constexpr int kLines = 5000;
  kite_test::Handover<KITE_Message_Block> handover;
  class Passer : public KITE::Message_Observer {
   public:
    explicit Passer(kite_test::Handover<KITE_Message_Block>* to) : to_(to) {}
    void process(KITE_Message_Block* mb) override { to_->put(mb); }

   private:
    kite_test::Handover<KITE_Message_Block>* to_;
  } passer(&handover);
  int whole = 0;
  unsigned cached = 0;
  kite_test::on_two_threads([&](int id) {
    if (id == 0) {
      KITE::Message_Assembler assembler(&passer);
      const std::string line = "a line of text\n";
      for (int i = 0; i < kLines; ++i) feed(assembler, line);
      cached = pdbf.cached();
      return;
    }
    for (int i = 0; i < kLines; ++i) {
      KITE_Message_Block* mb = handover.take();
      whole += std::string(mb->rd_ptr(), mb->length()) == "a line of text\n";
      mb->release();
    }
  });
  EXPECT_EQ(whole, kLines);
  EXPECT_LE(cached, 2 * pdbf.perthread());
}

}  // namespace
