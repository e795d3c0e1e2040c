// SPDX-License-Identifier: MIT
// KITE_Chunk_Pool: per-thread caches of equal-sized memory chunks, for the records and
// buffers the message kit makes and ends by the million (pooled data blocks, message-block
// records).
//
//   thread A: get() --> [cache of A] <-- put() on A of a chunk A made
//                           ^
//                           | taken back by A when its cache runs dry
//                     [returned to A] <-- batches of 16 put() on other threads
//
// Every chunk remembers the thread that made it (its home). A chunk put on its home thread
// goes into that thread's cache (last in, first out, so the next get() finds it in the CPU
// cache); a chunk put on another thread is gathered there and handed back to its home in
// batches, so a producer thread that passes its chunks to a consumer gets them back instead
// of allocating new ones.
//
// Memory bound, per thread and pool: at most perthread chunks in its cache, at most
// perthread more that other threads returned to it and it has not taken back yet, and at
// most 16 chunks of other threads on their way home. A put beyond that frees the chunk. A
// thread's chunks are freed when it ends; chunks that outlive their home thread are freed
// when they are put. Chunks are allocated with operator new (nothrow).
//
// Locking: none on the thread's own path. Handing a batch home is one compare-and-swap on
// the home's list (plus a count of what waits there); taking the list back is one exchange.
// Only allocating or freeing a chunk touches the home's reference count.
//
// Chunks that hold on to something: a pool may name a function that lets go of what a chunk
// holds. It runs on every chunk of the pool that is freed after a put() (at its thread's
// end, beyond a bound, on its way to a home that ended), never on a chunk a caller holds.
//
// Limits: a process pools through at most 7 pools at once (a destroyed pool gives its place
// back), four of them the kit's own (pdbf's blocks, the records of data and of message
// blocks, ready message blocks); further pools hand out plain chunks that put() frees (see
// homed()). A pool must outlive the uses its owner makes of it; chunks may outlive the pool.
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
  // perthread of them. Nothing is allocated before the first get(). dispose, unless null,
  // lets go of what a chunk put back holds before the chunk is freed (see above).
  constexpr KITE_Chunk_Pool(size_t size, unsigned int perthread,
                            void (*dispose)(void* chunk) = nullptr)
      : size_(size), perthread_(perthread), dispose_(dispose), id_(0) {}
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
  void* get_cached();
  // A chunk of n bytes that is never cached, for sizes the pool does not serve; null when
  // memory runs out. put() frees it.
  static void* get_unpooled(size_t n);
  // Gives a chunk of any pool, or of get_unpooled(), back; any thread may put any chunk.
  static void put(void* chunk);
  // Whether put() keeps the chunk for its pool; false for a plain chunk (get_unpooled(), or
  // get() of a pool without a place), which put() frees at once without dispose.
  static bool homed(const void* chunk) {
    return (static_cast<const Chunk*>(chunk)[-1].home & ~kIndexMask) != 0;
  }

  size_t size() const { return size_; }
  unsigned int perthread() const { return perthread_; }
  // Chunks the calling thread keeps for this pool: its cache and those returned to it.
  unsigned int cached() const;

  // --- internals, here for the inline fast paths

  // In front of every chunk, 16 bytes so that the payload keeps new's alignment.
  struct alignas(16) Chunk {
    // Where the chunk goes home: the address of its home (16-aligned) with the home's slot
    // index in the low bits; only the index for a chunk no pool serves.
    uintptr_t home;
    Chunk* link;
  };

  // A thread's state for one pool, in a table of 8 indexed by the pool's slot index.
  struct Slot {
    uint64_t id;     // of the pool it serves; 0 for none
    uintptr_t home;  // tagged as in Chunk; 0 until the thread first allocates
    Chunk* cache;
    unsigned int cached;
    unsigned int limit;
    // Chunks of one other thread, gathered to go home together.
    uintptr_t batch_home;
    Chunk* batch_first;
    Chunk* batch_last;
    unsigned int batched;
  };

  static constexpr unsigned int kIndexBits = 3;
  static constexpr uintptr_t kIndexMask = (uintptr_t(1) << kIndexBits) - 1;

 private:
  uint64_t id() const;
  void* get_slow(bool* fresh);
  static void put_slow(Chunk* c);

  size_t size_;
  unsigned int perthread_;
  void (*dispose_)(void*);
  // Assigned on first use: a serial number above the index of the pool's slot.
  mutable std::atomic<uint64_t> id_;
};

// Plain data (no constructor), so that reaching it costs no initialisation check.
extern __thread KITE_Chunk_Pool::Slot kite_chunk_slots[KITE_Chunk_Pool::kIndexMask + 1];

// A slot with a cache has an id, so an unassigned pool (id 0) never finds a chunk here.
inline void* KITE_Chunk_Pool::get_cached() {
  const uint64_t id = id_.load(std::memory_order_relaxed);
  Slot& s = kite_chunk_slots[id & kIndexMask];
  Chunk* c = s.cache;
  if (s.id != id || c == nullptr) return nullptr;
  s.cache = c->link;
  --s.cached;
  return c + 1;
}

inline void* KITE_Chunk_Pool::get(bool* fresh) {
  void* chunk = get_cached();
  if (chunk == nullptr) return get_slow(fresh);
  *fresh = false;
  return chunk;
}

inline void KITE_Chunk_Pool::put(void* chunk) {
  Chunk* c = static_cast<Chunk*>(chunk) - 1;
  Slot& s = kite_chunk_slots[c->home & kIndexMask];
  if (s.home != c->home || s.cached >= s.limit) return put_slow(c);
  c->link = s.cache;
  s.cache = c;
  ++s.cached;
}

#endif
