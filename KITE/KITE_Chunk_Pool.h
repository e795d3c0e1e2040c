// SPDX-License-Identifier: MIT
/// \file
/// KITE_Chunk_Pool: per-thread caches of equal-sized memory chunks, for the records and
/// buffers the message kit makes and ends by the million (pooled data blocks, the records of
/// data and message blocks).
///
///     thread A: get() --> [A's cache for this pool] <-- put() on A of a chunk A made
///                                ^
///                                | taken back by A when its cache runs dry
///                          [returned to A] <-- batches of 16 put() on other threads
///
/// Every chunk remembers its home: the thread that made it, for this pool. A chunk put on its
/// home thread goes into that thread's cache (last in, first out, so the next get() finds it
/// in the CPU cache); a chunk put on another thread is gathered there with others of the same
/// home and handed back in batches, so a producer thread that passes its chunks to a consumer
/// gets them back instead of allocating new ones.
///
/// Each pool has its own place in every thread, as folly's ThreadLocal gives each instance its
/// own slot: a program may have any number of pools, each with a cache of its own. The first
/// 15 places a program uses (the kit's own pools take up to 3: pdbf and the records of data
/// and message blocks) are reached directly in the thread's storage; later ones through a
/// table that grows as needed, and getting or putting their chunks takes a call. A destroyed
/// pool's place goes to the next pool made.
///
/// Memory bound, per thread and pool: at most perthread chunks in its cache, at most perthread
/// more that other threads returned to it and it has not taken back yet, and at most kBatch
/// (16) chunks of other threads on their way home: 2 * perthread + 16 chunks of size() +
/// kHeader (16) bytes. A put beyond that frees the chunk. A thread's cache and what was
/// returned to it are freed when it ends; a chunk whose home ended is freed when it reaches
/// its home: at once when put there, else when the batch it waits in on another thread is
/// sent (full, or at that thread's end). The users of the kit's pools (KITE_Data_Block.h,
/// KITE_Message_Block.h, KITE_Pooled_Data_Block_Factory.h) point here for the bound.
///
/// Locking: none on the thread's own path. Handing a batch home is one compare-and-swap on
/// the home's list (plus a count of what waits there); taking the list back is one exchange.
/// Only making a home, allocating or freeing a chunk touches the home's reference count.
///
/// Limits: a pool must outlive the uses its owner makes of it; chunks may outlive the pool.
/// Chunks are allocated with operator new (nothrow).
///
/// Cost: get() and put() on the home thread are a few loads and stores; a miss costs one
/// allocation.
#ifndef KITE_CHUNK_POOL_H
#define KITE_CHUNK_POOL_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "BOLT/export.h"

/// Per-thread caches of chunks of one size: a pool with a place of its own in every thread.
/// The file's description gives the memory bound, the locking, the limits and the cost.
class KITE_EXPORT KITE_Chunk_Pool {
 public:
  /// Chunks of `size` usable bytes, aligned to 16; the calling thread keeps at most
  /// perthread of them. Nothing is allocated before the first get().
  constexpr KITE_Chunk_Pool(size_t size, unsigned int perthread)
      : size_(size), perthread_(perthread), id_(0) {}
  /// Frees the calling thread's cache of this pool; other threads free theirs when they end.
  ~KITE_Chunk_Pool();

  KITE_Chunk_Pool(const KITE_Chunk_Pool&) = delete;
  KITE_Chunk_Pool& operator=(const KITE_Chunk_Pool&) = delete;

  /// A chunk of size() bytes, from the calling thread's cache when it has one; null when
  /// memory runs out. `*fresh` tells whether the chunk is new or was put before (and still
  /// holds what it held then).
  inline void* get(bool* fresh);
  /// A chunk from the calling thread's cache, or null when it has none: the fast part of
  /// get(), for callers that treat a cached chunk apart.
  inline void* get_cached();
  /// A chunk of n bytes that is never cached, for sizes the pool does not serve; null when
  /// memory runs out. put() frees it.
  static void* get_unpooled(size_t n);
  /// Gives a chunk of any pool, or of get_unpooled(), back; any thread may put any chunk.
  static inline void put(void* chunk);

  /// The usable bytes of a chunk.
  size_t size() const { return size_; }
  /// The most chunks a thread keeps in its cache.
  unsigned int perthread() const { return perthread_; }
  /// Chunks the calling thread keeps for this pool: its cache and those returned to it.
  unsigned int cached() const;

  /// \name Internals, here for the inline fast paths
  ///@{

  /// Places reached directly; kDirect tags a chunk of a later place, or of no pool.
  static constexpr unsigned int kDirect = 15;
  /// The low bits of a tagged home that hold the index of a place.
  static constexpr uintptr_t kTagMask = 15;

  /// In front of every chunk, 16 bytes so that the payload keeps new's alignment.
  struct alignas(16) Chunk {
    /// Where the chunk goes home: the address of its home (a struct of the source) with the
    /// index of its place in the low bits, or kDirect for a later place; only kDirect for a
    /// chunk no pool serves.
    uintptr_t home;
    /// The next chunk of the cache or batch it lies in.
    Chunk* link;
  };
  /// The bytes of a Chunk in front of every chunk's payload.
  static constexpr size_t kHeader = 16;
  /// Chunks of another thread gathered before they are sent home.
  static constexpr unsigned int kBatch = 16;

  /// A thread's state for one pool, in its place.
  struct Slot {
    uint64_t id;          ///< of the pool it serves; 0 for none
    uintptr_t home;       ///< tagged as in Chunk; 0 until the thread first allocates
    Chunk* cache;         ///< the cached chunks, last put first
    unsigned int cached;  ///< chunks in cache
    unsigned int limit;   ///< the most chunks cache holds: the pool's perthread
    /// Chunks of one other thread, gathered to go home together: their home, tagged.
    uintptr_t batch_home;
    Chunk* batch_first;    ///< the batch's first chunk
    Chunk* batch_last;     ///< the batch's last chunk
    unsigned int batched;  ///< chunks in the batch
  };

  /// A thread's places from kDirect on.
  struct Later {
    Slot* slots;  ///< the table, null until the thread first reaches a later place
    size_t size;  ///< slots in the table
  };

  ///@}

 private:
  /// An id is a serial number (never 0) above the index of the pool's place.
  static constexpr int kIndexBits = 32;
  static constexpr uint64_t kIndexMask = (uint64_t(1) << kIndexBits) - 1;

  /// The calling thread's slot for the place index, null when it has none.
  KITE_NO_EXPORT static Slot* slot(size_t index);
  /// get_cached() of a pool in a later place.
  static void* get_later(uint64_t id);
  KITE_NO_EXPORT uint64_t id() const;
  void* get_slow(bool* fresh);
  static void put_slow(Chunk* c);

  size_t size_;
  unsigned int perthread_;
  /// Assigned on first use.
  mutable std::atomic<uint64_t> id_;
};

static_assert(sizeof(KITE_Chunk_Pool::Chunk) == KITE_Chunk_Pool::kHeader &&
                  KITE_Chunk_Pool::kHeader == 16 && KITE_Chunk_Pool::kBatch == 16,
              "the memory bound above counts 16 bytes of header a chunk and batches of 16");

/// The calling thread's slots of the places reached directly. Plain data (no constructor), so
/// that reaching them costs no initialisation check. The slot after the direct ones stays
/// empty: chunks tagged kDirect find no home there.
extern KITE_EXPORT __thread KITE_Chunk_Pool::Slot kite_chunk_slots[KITE_Chunk_Pool::kDirect + 1];
/// The calling thread's places from kDirect on; plain data as well.
extern KITE_EXPORT __thread KITE_Chunk_Pool::Later kite_chunk_later;

// A slot with a cache has an id, so an unassigned pool (id 0) never finds a chunk here.
inline void* KITE_Chunk_Pool::get_cached() {
  const uint64_t id = id_.load(std::memory_order_relaxed);
  const size_t index = id & kIndexMask;
  if (index >= kDirect) return get_later(id);
  Slot& s = kite_chunk_slots[index];
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
  Slot& s = kite_chunk_slots[c->home & kTagMask];
  if (s.home != c->home || s.cached >= s.limit) return put_slow(c);
  c->link = s.cache;
  s.cache = c;
  ++s.cached;
}

#endif
