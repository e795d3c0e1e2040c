// SPDX-License-Identifier: MIT
#include "KITE/KITE_Pooled_Data_Block_Factory.h"

#include <new>

KITE_Pooled_Data_Block_Factory pdbf;

// A chunk of the pool's own that holds a record of exactly this factory's type goes back
// to the pool at its last release without calling recycle() (see KITE_Data_Block).
KITE_Data_Block* KITE_Pooled_Data_Block_Factory::generate_new(unsigned int size) {
  bool fresh = true;
  void* chunk =
      size == capacity_ ? pool_.get(&fresh) : KITE_Chunk_Pool::get_unpooled(kRecord + size);
  if (chunk == nullptr) throw NoMoreDynamicMemory(__FILE_NAME__, __LINE__, "generate");
  if (!fresh) return reuse(chunk);
  char* buffer = size == 0 ? nullptr : static_cast<char*>(chunk) + kRecord;
  KITE_Data_Block* block = new (chunk) KITE_Data_Block(this, buffer, size, false);
  if (size == capacity_ && block->kind_ == KITE_Data_Block::kPlain)
    block->kind_ = KITE_Data_Block::kPooledChunk;
  return block;
}

// The record starts its chunk, pooled or not. Pooled records stay made while cached;
// their destructor has nothing to do (the mutex of a released block is free and holds no
// resource), so a cached chunk is freed without it.
void KITE_Pooled_Data_Block_Factory::recycle(KITE_Data_Block* block) {
  if (block->size() != capacity_) block->~KITE_Data_Block();
  KITE_Chunk_Pool::put(block);
}
