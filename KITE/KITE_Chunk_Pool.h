// SPDX-License-Identifier: MIT
// KITE_Chunk_Pool: per-thread caches of equal-sized memory chunks, for the records and
// buffers the message kit makes and ends by the million (pooled data blocks, the records of
// data and message blocks).
//
//   thread A: get() --> [A's cache for this pool] <-- put() on A of a chunk A made
//                              ^
//                              | taken back by A when its cache runs dry
//                        [returned to A] <-- batches of 16 put() on other threads
//
// Every chunk remembers its home: the thread that made it, for this pool. A chunk put on its
// home thread goes into that thread's cache (last in, first out, so the next get() finds it
// in the CPU cache); a chunk put on another thread is gathered there with others of the same
// home and handed back in batches, so a producer thread that passes its chunks to a consumer
// gets them back instead of allocating new ones.
//
// Each pool has its own place in every thread, as folly's ThreadLocal gives each instance its
// own slot: a program may have any number of pools, each cached alike. A destroyed pool's
// place goes to the next pool made.
//
// Memory bound, per thread and pool: at most perthread chunks in its cache, at most perthread
// more that other threads returned to it and it has not taken back yet, and at most kBatch
// (16) chunks of other threads on their way home: 2 * perthread + 16 chunks of size() +
// kHeader (16) bytes. A put beyond that frees the chunk. A thread's cache and what was
// returned to it are freed when it ends; a chunk whose home ended is freed when it reaches
// its home: at once when put there, else when the batch it waits in on another thread is
// sent (full, or at that thread's end). The users of the kit's pools (KITE_Data_Block.h,
// KITE_Message_Block.h, KITE_Pooled_Data_Block_Factory.h) point here for the bound.
//
// Locking: none on the thread's own path. Handing a batch home is one compare-and-swap on
// the home's list (plus a count of what waits there); taking the list back is one exchange.
// Only making a home, allocating or freeing a chunk touches the home's reference count.
//
// Limits: a pool must outlive the uses its owner makes of it; chunks may outlive the pool.
// Chunks are allocated with operator new (nothrow).
//
// Cost: get() and put() on the home thread are a few loads and stores; a miss costs one
// allocation.
#ifndef KITE_CHUNK_POOL_H
#define KITE_CHUNK_POOL_H

#include <atomic>
#include <cstddef>
#include <cstdint>

class KITE_Chunk_Pool {
 public:
  // Chunks of `size` usable bytes, aligned to 16; the calling thread keeps at most
  // perthread of them. Nothing is allocated before the first get().
  constexpr KITE_Chunk_Pool(size_t size, unsigned int perthread)
      : size_(size), perthread_(perthread), id_(0) {}
  // Frees the calling thread's cache of this pool; other threads free theirs when they end.
  ~KITE_Chunk_Pool();

  KITE_Chunk_Pool(const KITE_Chunk_Pool&) = delete;
  KITE_Chunk_Pool& operator=(const KITE_Chunk_Pool&) = delete;

  // A chunk of size() bytes, from the calling thread's cache when it has one; null when
  // memory runs out. *fresh tells whether the chunk is new or was put before (and still
  // holds what it held then).
  void* get(bool* fresh);
  // A chunk from the calling thread's cache, or null when it has none: the fast part of
  // get(), for callers that treat a cached chunk apart.
  inline void* get_cached();
  // A chunk of n bytes that is never cached, for sizes the pool does not serve; null when
  // memory runs out. put() frees it.
  static void* get_unpooled(size_t n);
  // Gives a chunk of any pool, or of get_unpooled(), back; any thread may put any chunk.
  static inline void put(void* chunk);

  size_t size() const { return size_; }
  unsigned int perthread() const { return perthread_; }
  // Chunks the calling thread keeps for this pool: its cache and those returned to it.
  unsigned int cached() const;

  // --- internals, here for the inline fast paths

  struct Home;

  // In front of every chunk, 16 bytes so that the payload keeps new's alignment.
  struct alignas(16) Chunk {
    Home* home;  // kNobody for a chunk no pool serves
    Chunk* link;
  };
  static constexpr size_t kHeader = 16;
  static constexpr unsigned int kBatch = 16;

  // A thread's state for one pool: its cache, touched by that thread alone, and the list
  // other threads return its chunks to. It lives as long as its thread or any chunk made
  // under it, whichever is longer.
  struct Home {
    // The thread's own part.
    std::atomic<const void*> owner;  // the thread's table (its identity); null once it ended
    Chunk* cache;
    unsigned int cached;
    unsigned int limit;
    uint64_t pool;  // the id of the pool served
    // Chunks of one other home, gathered to go there together.
    Home* batch_home;
    Chunk* batch_first;
    Chunk* batch_last;
    unsigned int batched;
    // What other threads touch, on a line of its own.
    alignas(64) std::atomic<Chunk*> returned;  // kClosed once the thread ended
    std::atomic<unsigned int> waiting;         // an upper bound of the chunks in `returned`
    std::atomic<unsigned int> refs;            // the thread, and every chunk made under it
  };

  // A thread's homes, by the index of the pool they serve; never-used places hold kNobody.
  struct Table {
    Home** homes;
    size_t size;
  };

  // The home of chunks no pool serves and of places no pool took: nobody owns it, so every
  // put of such a chunk takes the slow path, and no pool's id matches it.
  static Home kNobody;

 private:
  // An id is a serial number (never 0) above the index of the pool's place.
  static constexpr int kIndexBits = 32;
  static constexpr uint64_t kIndexMask = (uint64_t(1) << kIndexBits) - 1;

  uint64_t id() const;
  void* get_slow(bool* fresh);
  static void put_slow(Chunk* c);

  size_t size_;
  unsigned int perthread_;
  // Assigned on first use.
  mutable std::atomic<uint64_t> id_;
};

static_assert(sizeof(KITE_Chunk_Pool::Chunk) == KITE_Chunk_Pool::kHeader,
              "the memory bound counts 16 bytes of header per chunk");

// Plain data (no constructor), so that reaching it costs no initialisation check.
extern __thread KITE_Chunk_Pool::Table kite_chunk_table;

inline void* KITE_Chunk_Pool::get_cached() {
  const uint64_t id = id_.load(std::memory_order_relaxed);
  const Table& t = kite_chunk_table;
  const size_t index = id & kIndexMask;
  if (index >= t.size) return nullptr;
  Home* h = t.homes[index];
  Chunk* c = h->cache;
  if (h->pool != id || c == nullptr) return nullptr;
  h->cache = c->link;
  --h->cached;
  return c + 1;
}

inline void KITE_Chunk_Pool::put(void* chunk) {
  Chunk* c = static_cast<Chunk*>(chunk) - 1;
  Home* h = c->home;
  if (h->owner.load(std::memory_order_relaxed) != &kite_chunk_table || h->cached >= h->limit)
    return put_slow(c);
  c->link = h->cache;
  h->cache = c;
  ++h->cached;
}

#endif
