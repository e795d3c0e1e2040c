// SPDX-License-Identifier: MIT
// Message buffers against the plain allocator they are built on. Goals, as ratios:
//   AllocFillRelease      <= 6 x MallocFree
//   DuplicateRelease      <= 5 x MallocFree
//   CloneFourBlockChain   <= 1.5 x MallocCopyFreeFourBlocks
// MutexCreateDestroy and MutexLockUnlock show what every counted block pays on top of its
// allocations for its reference-count mutex; AceMutexCreateDestroy what an ACE_Thread_Mutex
// would cost there instead.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include "KITE/KITE_Message_Block.h"
#include "KITE/KITE_Refcount_Mutex.h"

namespace {

constexpr unsigned int kBlock = 1024;
constexpr int kChain = 4;
const std::vector<char> kBytes(kBlock, 'x');

void MallocFree(benchmark::State& state) {
  for (auto _ : state) {
    void* p = malloc(kBlock);
    benchmark::DoNotOptimize(p);
    free(p);
  }
}
BENCHMARK(MallocFree);

// What a clone of the chain below does with plain calls: allocate and fill every block,
// then free them all.
void MallocCopyFreeFourBlocks(benchmark::State& state) {
  void* blocks[kChain];
  for (auto _ : state) {
    for (void*& p : blocks) {
      p = malloc(kBlock);
      memcpy(p, kBytes.data(), kBlock);
    }
    benchmark::DoNotOptimize(blocks);
    benchmark::ClobberMemory();
    for (void* p : blocks) free(p);
  }
}
BENCHMARK(MallocCopyFreeFourBlocks);

template <class Mutex>
void MutexCreateDestroy(benchmark::State& state) {
  for (auto _ : state) {
    Mutex m;
    benchmark::DoNotOptimize(m);
  }
}
BENCHMARK(MutexCreateDestroy<KITE_Refcount_Mutex>)->Name("MutexCreateDestroy");
BENCHMARK(MutexCreateDestroy<ACE_Thread_Mutex>)->Name("AceMutexCreateDestroy");

void MutexLockUnlock(benchmark::State& state) {
  KITE_Refcount_Mutex m;
  for (auto _ : state) {
    ACE_Guard<KITE_Refcount_Mutex> guard(m);
    benchmark::DoNotOptimize(guard.locked());
  }
}
BENCHMARK(MutexLockUnlock);

void AllocFillRelease(benchmark::State& state) {
  for (auto _ : state) {
    KITE_Message_Block* m = new KITE_Message_Block(kBlock);
    m->copy(kBytes.data(), 80);
    benchmark::DoNotOptimize(m->rd_ptr());
    m->release();
  }
}
BENCHMARK(AllocFillRelease);

void DuplicateRelease(benchmark::State& state) {
  KITE_Message_Block* m = new KITE_Message_Block(kBlock);
  m->copy(kBytes.data(), 80);
  for (auto _ : state) {
    KITE_Message_Block* d = m->duplicate();
    benchmark::DoNotOptimize(d);
    d->release();
  }
  m->release();
}
BENCHMARK(DuplicateRelease);

void CloneFourBlockChain(benchmark::State& state) {
  KITE_Message_Block* m = new KITE_Message_Block(kBlock);
  for (int i = 0; i < kChain; ++i) {
    if (i != 0) m->expand();
    m->copy(kBytes.data(), kBlock);
  }
  for (auto _ : state) {
    KITE_Message_Block* c = m->clone();
    benchmark::DoNotOptimize(c);
    c->release();
  }
  m->release();
}
BENCHMARK(CloneFourBlockChain);

}  // namespace

BENCHMARK_MAIN();
