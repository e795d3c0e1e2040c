// SPDX-License-Identifier: MIT
// The message assembler against the bound of line splitting: a memchr splitter that copies
// each line into a buffer of the assembler's message size and calls an observer through a
// pointer. Both cut a 64 MiB text into lines of 20, 80 or 500 bytes (line end included),
// fed in 64 KiB chunks, in batches of 2 MiB that alternate between the two (see
// same_run.h). Goals, as the counter `share` (the assembler's bytes per second as a share
// of the splitter's):
//   Framer/20 >= 0.9       Framer/80 >= 1         Framer/500 >= 1
//   FramerAfterThread/80 >= 1 (the same, run after the process started a thread)
//   Handoff/80 >= 0.6      every line handed to a second thread that releases it, against
//                          the splitter handing that thread malloc'd copies it frees
//   PooledVsPlain/n >= 1   the same handoff, pdbf against smdbf blocks: never below the
//                          plain allocator
//   TwoAssemblers/80: `speedup` >= 1.9, two assemblers on two threads against one
// FramerSmdbf and FramerPerCharacter show what the pooled factory and the bulk path save.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "KITE_READ2/KITE_Framer.h"
#include "bench/same_run.h"
#include "tests/support/per_character_assembler.h"

namespace {

using kite_bench::alternate;
using kite_bench::Clock;

constexpr size_t kText = 64u << 20;
constexpr size_t kChunk = 64u << 10;
constexpr size_t kBatch = 2u << 20;
constexpr size_t kLine = KITE::Message_Assembler::MESSAGE_SIZE;

// kText bytes of lines of line_length bytes each, made once per length.
const std::vector<char>& text(size_t line_length) {
  static std::map<size_t, std::vector<char>> texts;
  std::vector<char>& t = texts[line_length];
  if (t.empty()) {
    t.resize(kText);
    for (size_t i = 0; i < kText; ++i) {
      const size_t column = i % line_length;
      t[i] = column + 1 == line_length ? '\n' : static_cast<char>('a' + column % 26);
    }
  }
  return t;
}

// Feeds the next batch of the text, chunk by chunk, wrapping round at its end.
template <class Framer>
void feed_batch(Framer& framer, const std::vector<char>& text, size_t& at) {
  for (size_t fed = 0; fed < kBatch; fed += kChunk) {
    framer.input(text.data() + at, static_cast<int>(kChunk));
    at = (at + kChunk) % text.size();
  }
}

// --- the bound

class LineSink {
 public:
  virtual void line(const char* text, size_t length) = 0;

 protected:
  ~LineSink() = default;
};

class LineSplitter {
 public:
  explicit LineSplitter(LineSink* sink) : sink_(sink) {}

  void input(const char* p, int n) {
    const char* const end = p + n;
    while (p != end) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* stop = lf != nullptr ? lf + 1 : end;
      size_t length = static_cast<size_t>(stop - p);
      if (length > kLine - used_) length = kLine - used_;
      std::memcpy(line_ + used_, p, length);
      used_ += length;
      p = stop;
      if (lf != nullptr) {
        sink_->line(line_, used_);
        used_ = 0;
      }
    }
  }

 private:
  LineSink* sink_;
  char line_[kLine];
  size_t used_ = 0;
};

class CountingSink : public LineSink {
 public:
  void line(const char* text, size_t length) override {
    ++lines;
    last = text[length - 1];
  }
  size_t lines = 0;
  char last = 0;
};

class Releaser : public KITE::Message_Observer {
 public:
  void process(KITE_Message_Block* mb) override {
    ++messages;
    mb->release();
  }
  size_t messages = 0;
};

// An Assembler against the splitter, on the same batches of the text.
template <class Assembler>
void framer_against_splitter(benchmark::State& state, KITE_Data_Block_Factory* factory) {
  const std::vector<char>& t = text(static_cast<size_t>(state.range(0)));
  Releaser releaser;
  Assembler assembler(&releaser, factory);
  CountingSink counting;
  LineSink* sink = &counting;
  benchmark::DoNotOptimize(sink);  // a call through an opaque pointer, as the assembler makes
  LineSplitter splitter(sink);
  size_t kit_at = 0;
  size_t reference_at = 0;
  alternate(
      state, kBatch, [&] { feed_batch(assembler, t, kit_at); },
      [&] { feed_batch(splitter, t, reference_at); });
  if (releaser.messages != counting.lines) state.SkipWithError("line counts differ");
}

// The per-character assembler of the tests, made with a factory like the plain one.
class PerCharacter : public kite_test::PerCharacterAssembler {
 public:
  PerCharacter(KITE::Message_Observer* observer, KITE_Data_Block_Factory*)
      : PerCharacterAssembler(observer) {}
};

void Framer(benchmark::State& state) {
  framer_against_splitter<KITE::Message_Assembler>(state, &pdbf);
}
void FramerSmdbf(benchmark::State& state) {
  framer_against_splitter<KITE::Message_Assembler>(state, &smdbf);
}
void FramerPerCharacter(benchmark::State& state) {
  framer_against_splitter<PerCharacter>(state, &pdbf);
}

// Makes every later benchmark run in a process that has started a thread.
void StartThread(benchmark::State& state) {
  for (auto _ : state) std::thread([] {}).join();
}

// --- handing lines to a second thread

// One producer, one consumer, which disposes of what it takes. Items go over in batches of
// 64 through a ring of 16 under a mutex, at most about a thousand on their way; both sides
// block rather than spin, so that the two threads do not take the processor from each
// other on a busy machine.
class Relay {
 public:
  enum Kind { kBlock, kCopy };

  Relay() : consumer_([this] { consume(); }) {}
  ~Relay() {
    push(nullptr, kBlock);
    drain();
    consumer_.join();
  }

  void push(void* item, Kind kind) {
    filling_.items[filling_.size++] = {item, kind};
    if (filling_.size == kBatch) send();
  }
  // Returns once the consumer has disposed of everything pushed.
  void drain() {
    send();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return tail_ == head_; });
  }

 private:
  struct Item {
    void* item;
    Kind kind;
  };
  static constexpr size_t kBatch = 64;
  static constexpr size_t kDepth = 16;
  struct Batch {
    Item items[kBatch];
    size_t size = 0;
  };

  void send() {
    if (filling_.size == 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return head_ - tail_ < kDepth; });
    ring_[head_++ % kDepth] = filling_;
    filling_.size = 0;
    changed_.notify_all();
  }

  void consume() {
    for (bool stop = false; !stop;) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return tail_ != head_; });
      const Batch& batch = ring_[tail_ % kDepth];
      lock.unlock();  // the producer leaves this slot alone until tail_ passes it
      for (size_t i = 0; i < batch.size; ++i) {
        const Item& item = batch.items[i];
        if (item.item == nullptr) {
          stop = true;
        } else if (item.kind == kBlock) {
          static_cast<KITE_Message_Block*>(item.item)->release();
        } else {
          std::free(item.item);
        }
      }
      lock.lock();
      ++tail_;
      changed_.notify_all();
    }
  }

  Batch filling_;  // the producer's
  Batch ring_[kDepth];
  size_t head_ = 0, tail_ = 0;  // batches sent and disposed of, under mutex_
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread consumer_;
};

class BlockPasser : public KITE::Message_Observer {
 public:
  explicit BlockPasser(Relay* to) : to_(to) {}
  void process(KITE_Message_Block* mb) override { to_->push(mb, Relay::kBlock); }

 private:
  Relay* to_;
};

class CopyPasser : public LineSink {
 public:
  explicit CopyPasser(Relay* to) : to_(to) {}
  void line(const char* text, size_t length) override {
    void* copy = std::malloc(length);
    std::memcpy(copy, text, length);
    to_->push(copy, Relay::kCopy);
  }

 private:
  Relay* to_;
};

// Each side feeds a batch of the text in turn and waits until the relay's thread has
// released all it was handed.
template <class Kit, class Reference>
void handoff_against(benchmark::State& state, Relay& to, Kit& kit, Reference& reference) {
  const std::vector<char>& t = text(static_cast<size_t>(state.range(0)));
  size_t kit_at = 0;
  size_t reference_at = 0;
  alternate(
      state, kBatch,
      [&] {
        feed_batch(kit, t, kit_at);
        to.drain();
      },
      [&] {
        feed_batch(reference, t, reference_at);
        to.drain();
      },
      Clock::kWall);
}

void Handoff(benchmark::State& state) {
  Relay to;
  BlockPasser blocks(&to);
  KITE::Message_Assembler assembler(&blocks);
  CopyPasser copies(&to);
  LineSplitter splitter(&copies);
  handoff_against(state, to, assembler, splitter);
}

void PooledVsPlain(benchmark::State& state) {
  Relay to;
  BlockPasser blocks(&to);
  KITE::Message_Assembler pooled(&blocks, &pdbf);
  KITE::Message_Assembler plain(&blocks, &smdbf);
  handoff_against(state, to, pooled, plain);
}

// --- two assemblers on two threads

// A thread with an assembler of its own that feeds one batch each time it is started.
class Worker {
 public:
  explicit Worker(const std::vector<char>& text) : text_(text), thread_([this] { run(); }) {}
  ~Worker() {
    signal(kStop);
    thread_.join();
  }
  void start() { signal(kRun); }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return order_ == kIdle; });
  }

 private:
  enum Order { kIdle, kRun, kStop };

  void signal(Order order) {
    std::lock_guard<std::mutex> lock(mutex_);
    order_ = order;
    start_.notify_one();
  }
  void run() {
    Releaser releaser;
    KITE::Message_Assembler assembler(&releaser);
    size_t at = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        start_.wait(lock, [this] { return order_ != kIdle; });
        if (order_ == kStop) return;
      }
      feed_batch(assembler, text_, at);
      std::lock_guard<std::mutex> lock(mutex_);
      order_ = kIdle;
      done_.notify_one();
    }
  }

  const std::vector<char>& text_;
  std::mutex mutex_;
  std::condition_variable start_, done_;
  Order order_ = kIdle;
  std::thread thread_;
};

void TwoAssemblers(benchmark::State& state) {
  const std::vector<char>& t = text(static_cast<size_t>(state.range(0)));
  Releaser releaser;
  KITE::Message_Assembler assembler(&releaser);
  Worker worker(t);
  size_t at = 0;
  alternate(
      state, kBatch,
      [&] {
        worker.start();
        feed_batch(assembler, t, at);
        worker.wait();
      },
      [&] { feed_batch(assembler, t, at); }, Clock::kWall);
  // Twice the work in the kit's time.
  state.counters["speedup"] = 2 * state.counters["share"];
}

void lengths(benchmark::internal::Benchmark* b) {
  b->Arg(20)->Arg(80)->Arg(500)->UseManualTime()->Unit(benchmark::kMillisecond);
}
void eighty(benchmark::internal::Benchmark* b) {
  b->Arg(80)->UseManualTime()->Unit(benchmark::kMillisecond);
}

BENCHMARK(Framer)->Apply(lengths);
BENCHMARK(FramerSmdbf)->Apply(eighty);
BENCHMARK(FramerPerCharacter)->Apply(eighty);
BENCHMARK(StartThread)->Iterations(1);
BENCHMARK(Framer)->Name("FramerAfterThread")->Apply(eighty);
BENCHMARK(Handoff)->Apply(lengths);
BENCHMARK(PooledVsPlain)->Apply(lengths);
BENCHMARK(TwoAssemblers)->Apply(eighty);

}  // namespace

BENCHMARK_MAIN();
