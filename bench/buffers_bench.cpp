// SPDX-License-Identifier: MIT
// Message buffers against the plain allocator they are built on, each in batches that
// alternate with its reference (see same_run.h). Goals, as the counter `cost` (the kit's
// time over the reference's):
//   AllocFillRelease        <= 3    new KITE_Message_Block(1024) (smdbf), copy 80 bytes,
//                                   release; against malloc(1024), memcpy 80 bytes, free
//   PooledAllocFillRelease  <= 1.5  the same with the block from pdbf
//   CloneFourBlockChain     <= 1.45 clone and release a chain of four full 1024-byte
//                                   blocks; against malloc, memcpy and free of the four
//   EighthPooledFactory     <= 1.3  generate and release a block of the eighth pooled
//                                   factory the program uses; against its first, pdbf
//   DuplicateRelease        <= 2.5  duplicate and release a message block, after the
//                                   process started a thread; against malloc(1024) + free
// MutexCreateDestroy and MutexLockUnlock show what a block whose factory has count hooks
// pays for its mutex; AceMutexCreateDestroy what an ACE_Thread_Mutex would cost there.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include "KITE/KITE_Message_Block.h"
#include "KITE/KITE_Pooled_Data_Block_Factory.h"
#include "KITE/KITE_Refcount_Mutex.h"
#include "bench/same_run.h"

namespace {

using kite_bench::alternate;

constexpr unsigned int kBlock = 1024;
constexpr unsigned int kFill = 80;
constexpr int kChain = 4;
constexpr int kBatch = 10000;
const std::vector<char> kBytes(kBlock, 'x');

// kBatch times body().
template <class Body>
auto batch(Body body) {
  return [body] {
    for (int i = 0; i < kBatch; ++i) body();
  };
}

void malloc_fill_free() {
  void* p = std::malloc(kBlock);
  benchmark::DoNotOptimize(p);
  std::memcpy(p, kBytes.data(), kFill);
  benchmark::ClobberMemory();
  std::free(p);
}

void fill_and_release(KITE_Message_Block* m) {
  m->copy(kBytes.data(), kFill);
  benchmark::DoNotOptimize(m->rd_ptr());
  benchmark::ClobberMemory();
  m->release();
}

void AllocFillRelease(benchmark::State& state) {
  alternate(state, kBatch, batch([] { fill_and_release(new KITE_Message_Block(kBlock)); }),
            batch(malloc_fill_free));
}
BENCHMARK(AllocFillRelease)->UseManualTime();

void PooledAllocFillRelease(benchmark::State& state) {
  alternate(state, kBatch,
            batch([] { fill_and_release(new KITE_Message_Block(pdbf.generate(kBlock), false)); }),
            batch(malloc_fill_free));
}
BENCHMARK(PooledAllocFillRelease)->UseManualTime();

void CloneFourBlockChain(benchmark::State& state) {
  KITE_Message_Block* m = new KITE_Message_Block(kBlock);
  for (int i = 0; i < kChain; ++i) {
    if (i != 0) m->expand();
    m->copy(kBytes.data(), kBlock);
  }
  alternate(state, kBatch, batch([m] {
              KITE_Message_Block* c = m->clone();
              benchmark::DoNotOptimize(c);
              c->release();
            }),
            batch([] {
              void* blocks[kChain];
              for (void*& p : blocks) {
                p = std::malloc(kBlock);
                std::memcpy(p, kBytes.data(), kBlock);
              }
              benchmark::DoNotOptimize(blocks);
              benchmark::ClobberMemory();
              for (void* p : blocks) std::free(p);
            }));
  m->release();
}
BENCHMARK(CloneFourBlockChain)->UseManualTime();

// A block of f's capacity taken and given back; the call names the class so that both
// factories compared take the inline path.
void generate_release(KITE_Pooled_Data_Block_Factory* f) {
  KITE_Data_Block* b = f->KITE_Pooled_Data_Block_Factory::generate(kBlock);
  benchmark::DoNotOptimize(b);
  b->release();
}

// Seven factories besides pdbf, each in use; the last is the program's eighth.
void EighthPooledFactory(benchmark::State& state) {
  std::vector<std::unique_ptr<KITE_Pooled_Data_Block_Factory>> own;
  for (int i = 0; i < 7; ++i) {
    own.push_back(std::make_unique<KITE_Pooled_Data_Block_Factory>(
        kBlock, 1024, KITE_Data_Block_Factory::kNoHooks));
    generate_release(own.back().get());
  }
  KITE_Pooled_Data_Block_Factory* eighth = own.back().get();
  alternate(state, kBatch, batch([eighth] { generate_release(eighth); }),
            batch([] { generate_release(&pdbf); }));
}
BENCHMARK(EighthPooledFactory)->UseManualTime();

// Makes every later benchmark run in a process that has started a thread.
void StartThread(benchmark::State& state) {
  for (auto _ : state) std::thread([] {}).join();
}
BENCHMARK(StartThread)->Iterations(1);

void DuplicateRelease(benchmark::State& state) {
  KITE_Message_Block* m = new KITE_Message_Block(kBlock);
  m->copy(kBytes.data(), kFill);
  alternate(state, kBatch, batch([m] {
              KITE_Message_Block* d = m->duplicate();
              benchmark::DoNotOptimize(d);
              d->release();
            }),
            batch([] {
              void* p = std::malloc(kBlock);
              benchmark::DoNotOptimize(p);
              std::free(p);
            }));
  m->release();
}
BENCHMARK(DuplicateRelease)->UseManualTime();

template <class Mutex>
void MutexCreateDestroy(benchmark::State& state) {
  for (auto _ : state) {
    Mutex m;
    benchmark::DoNotOptimize(m);
  }
}
// The data block's own mutex, as it makes and ends one.
struct BlockMutex {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  ~BlockMutex() { pthread_mutex_destroy(&mutex); }
};
BENCHMARK(MutexCreateDestroy<BlockMutex>)->Name("MutexCreateDestroy");
BENCHMARK(MutexCreateDestroy<ACE_Thread_Mutex>)->Name("AceMutexCreateDestroy");

void MutexLockUnlock(benchmark::State& state) {
  BlockMutex block;
  KITE_Refcount_Mutex m(block.mutex);
  for (auto _ : state) {
    ACE_Guard<KITE_Refcount_Mutex> guard(m);
    benchmark::DoNotOptimize(guard.locked());
  }
}
BENCHMARK(MutexLockUnlock);

}  // namespace

BENCHMARK_MAIN();
