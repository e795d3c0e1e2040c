// SPDX-License-Identifier: MIT
// KITE_Pooled_Data_Block_Factory: a data-block factory that keeps released blocks of one
// capacity for the next generate() instead of freeing them. The message assembler takes
// its line blocks from `pdbf` unless told otherwise.
//
//   one chunk:  [ block record | buffer of capacity bytes ]
//
// Record and buffer are allocated together and stay together, and a cached chunk keeps its
// record: recycle() caches the block, generate() resets its count, fill level and link.
// Blocks of other capacities are allocated for the one block and freed at its recycle.
//
// Threads: each thread keeps its own cache (KITE_Chunk_Pool), so neither generate() nor
// recycle() takes a lock. A block released on another thread than the one that made it
// goes back to its maker in batches; the maker takes them back when its cache runs dry.
//
// Memory bound, per thread: at most perthread blocks in its cache, at most perthread more
// that other threads released and it has not taken back, and at most 16 blocks of other
// threads on their way home; each block is capacity + 112 bytes. With the defaults (1024
// bytes, 1024 blocks) that is 2064 blocks, 2.3 MB; a thread only comes near it after a
// thousand of its blocks were out at once (a deep queue to another thread, which the
// default is sized for: blocks beyond the bound are freed and made anew, at the plain
// allocator's price). A thread's cached blocks are freed when it ends.
//
// Counting: the factory has no count hooks, so its blocks count with atomic operations
// only, and a block of its capacity goes back into the cache at its last release without a
// call to recycle(); a subclass gets the mutex and the virtual calls (see KITE_Data_Block.h).
// Further pooled factories take places among the seven of KITE_Chunk_Pool.
//
// Ownership: a pooled factory outlives every block it made (recycle() runs on it).
#ifndef KITE_POOLED_DATA_BLOCK_FACTORY_H
#define KITE_POOLED_DATA_BLOCK_FACTORY_H

#include "KITE/KITE_Chunk_Pool.h"
#include "KITE/KITE_Data_Block.h"

class KITE_Pooled_Data_Block_Factory : public KITE_Data_Block_Factory {
 public:
  // pdbf's capacity, the message assembler's message size.
  static constexpr unsigned int DEFAULT_CAPACITY = 1024;

  // Pools blocks of the given capacity, at most perthread of them in a thread's cache.
  constexpr explicit KITE_Pooled_Data_Block_Factory(unsigned int capacity = DEFAULT_CAPACITY,
                                                    unsigned int perthread = 1024)
      : capacity_(capacity), pool_(kRecord + capacity, perthread) {}

  // Capacity 0 gives a valid block with a null buffer. Throws NoMoreDynamicMemory.
  inline KITE_Data_Block* generate(unsigned int size) override;
  void recycle(KITE_Data_Block* block) override;

  unsigned int capacity() const { return capacity_; }
  unsigned int perthread() const { return pool_.perthread(); }
  // Blocks the calling thread keeps: its cache and those other threads returned to it.
  unsigned int cached() const { return pool_.cached(); }

 private:
  // The record's share of a chunk; the buffer follows it, aligned as new aligns.
  static constexpr size_t kRecord = (sizeof(KITE_Data_Block) + 15) & ~size_t(15);

  // A record kept in a cached chunk, made ready again.
  static KITE_Data_Block* reuse(void* chunk) {
    KITE_Data_Block* block = static_cast<KITE_Data_Block*>(chunk);
    block->cur_size_ = 0;
    block->reference_count_.store(1, std::memory_order_relaxed);
    block->next = nullptr;
    return block;
  }
  // generate() without a cached chunk at hand.
  KITE_Data_Block* generate_new(unsigned int size);

  unsigned int capacity_;
  KITE_Chunk_Pool pool_;
};

// Inline, so that a caller who knows the exact type (the message assembler does) takes a
// cached block without a call. A cached chunk still holds the record it held at its
// recycle, made by this factory over this chunk's buffer; only the count, the fill level
// and the link need setting again.
inline KITE_Data_Block* KITE_Pooled_Data_Block_Factory::generate(unsigned int size) {
  void* chunk = size == capacity_ ? pool_.get_cached() : nullptr;
  return chunk == nullptr ? generate_new(size) : reuse(chunk);
}

// The default factory of the message assembler: 1024-byte blocks; lives for the whole
// process.
extern KITE_Pooled_Data_Block_Factory pdbf;

#endif
