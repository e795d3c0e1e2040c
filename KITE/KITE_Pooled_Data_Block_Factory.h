// SPDX-License-Identifier: MIT
/// \file
/// KITE_Pooled_Data_Block_Factory: a data-block factory that keeps released blocks of one
/// capacity for the next generate() instead of freeing them. The message assembler takes
/// its line blocks from `pdbf` unless told otherwise.
///
///     one chunk:  [ header | block record | room for a message block record | buffer ]
///                    16          96                     80                  capacity
///
/// Record and buffer are allocated together and stay together: a block of the factory's
/// capacity goes back into its pool (KITE_Chunk_Pool) at its last release, and generate()
/// takes it again with its record, setting only count, fill level and link anew. The room
/// lets a message block on the block (KITE_Message_Block::wrap()) live in the same chunk and
/// go back with it. Blocks of other capacities are laid out alike, allocated for the one
/// block and freed at its last release.
///
/// Threads: each thread keeps its own cache of every pooled factory, so neither generate()
/// nor the release takes a lock. A block released on another thread than the one that made
/// it goes back to its maker in batches; the maker takes them back when its cache runs dry.
/// Memory: each block is one chunk of capacity + kChunkShare (192) bytes; how many a thread
/// keeps at most is KITE_Chunk_Pool's bound, with perthread as given here (pdbf: 2064 chunks
/// of 1216 bytes, 2.5 MB a thread). A thread only comes near it after a thousand of its
/// blocks were out at once (a deep queue to another thread, which the default is sized for:
/// blocks beyond the bound are freed and made anew, at the plain allocator's price).
///
/// Counting: whoever makes the factory states whether it has count hooks
/// (KITE_Data_Block_Factory): pdbf has none, so its blocks count atomically and go straight
/// back to the pool; a factory made with hooks, derived ones included, takes the mutex and
/// recycle().
///
/// Ownership: a pooled factory outlives every block it made.
#ifndef KITE_POOLED_DATA_BLOCK_FACTORY_H
#define KITE_POOLED_DATA_BLOCK_FACTORY_H

#include "BOLT/export.h"
#include "KITE/KITE_Chunk_Pool.h"
#include "KITE/KITE_Data_Block.h"

/// Keeps released blocks of one capacity, each in one chunk with its record, for the next
/// generate(); the file's description gives the layout, the threads and the memory bound.
class KITE_EXPORT KITE_Pooled_Data_Block_Factory : public KITE_Data_Block_Factory {
 public:
  /// pdbf's capacity, the message assembler's message size.
  static constexpr unsigned int DEFAULT_CAPACITY = 1024;
  /// What a chunk holds besides the buffer.
  static constexpr size_t kChunkShare =
      KITE_Chunk_Pool::kHeader + KITE_Data_Block::kRecordShare + KITE_Data_Block::kRoomShare;

  /// Pools blocks of the given capacity, at most perthread of them in a thread's cache.
  constexpr explicit KITE_Pooled_Data_Block_Factory(unsigned int capacity = DEFAULT_CAPACITY,
                                                    unsigned int perthread = 1024,
                                                    Hooks hooks = kCallHooks)
      : KITE_Data_Block_Factory(hooks), capacity_(capacity), pool_(kShares + capacity, perthread) {}

  /// Capacity 0 gives a valid block with a null buffer. Throws NoMoreDynamicMemory.
  inline KITE_Data_Block* generate(unsigned int size) override;
  /// Gives the chunk back; only blocks of a factory with hooks come here.
  void recycle(KITE_Data_Block* block) override;

  /// The capacity of the blocks pooled.
  unsigned int capacity() const { return capacity_; }
  /// The most blocks a thread keeps in its cache.
  unsigned int perthread() const { return pool_.perthread(); }
  /// Blocks the calling thread keeps: its cache and those other threads returned to it.
  unsigned int cached() const { return pool_.cached(); }

 private:
  /// Record and room; the buffer follows.
  static constexpr size_t kShares = KITE_Data_Block::kRecordShare + KITE_Data_Block::kRoomShare;

  /// generate() without a cached chunk at hand.
  KITE_Data_Block* generate_new(unsigned int size);

  unsigned int capacity_;
  KITE_Chunk_Pool pool_;
};

static_assert(KITE_Pooled_Data_Block_Factory::kChunkShare == 192,
              "the header's memory figures count 192 bytes a chunk besides the buffer");

// Inline, so that a caller who knows the exact type takes a cached block without a call. A
// cached chunk still holds the record it held at its last release, made by this factory over
// this chunk's buffer.
inline KITE_Data_Block* KITE_Pooled_Data_Block_Factory::generate(unsigned int size) {
  void* chunk = size == capacity_ ? pool_.get_cached() : nullptr;
  return chunk == nullptr ? generate_new(size) : renew(static_cast<KITE_Data_Block*>(chunk));
}

/// The default factory of the message assembler: 1024-byte blocks, no hooks; lives for the
/// whole process.
extern KITE_EXPORT KITE_Pooled_Data_Block_Factory pdbf;

#endif
