// SPDX-License-Identifier: MIT
#include "KITE/KITE_Pooled_Data_Block_Factory.h"

#include <new>

KITE_Pooled_Data_Block_Factory pdbf;

// A cached chunk still holds the record it held at its recycle, made by this factory over
// this chunk's buffer; only the count, the fill level and the link need setting again.
KITE_Data_Block* KITE_Pooled_Data_Block_Factory::generate(unsigned int size) {
  bool fresh = true;
  void* chunk =
      size == capacity_ ? pool_.get(&fresh) : KITE_Chunk_Pool::get_unpooled(kRecord + size);
  if (chunk == nullptr) throw NoMoreDynamicMemory(__FILE_NAME__, __LINE__, "generate");
  if (fresh) {
    char* buffer = size == 0 ? nullptr : static_cast<char*>(chunk) + kRecord;
    return new (chunk) KITE_Data_Block(this, buffer, size, false);
  }
  KITE_Data_Block* block = static_cast<KITE_Data_Block*>(chunk);
  block->cur_size_ = 0;
  block->reference_count_.store(1, std::memory_order_relaxed);
  block->next = nullptr;
  return block;
}

// The record starts its chunk, pooled or not. Pooled records stay made while cached;
// their destructor has nothing to do (the mutex of a released block is free and holds no
// resource), so a cached chunk is freed without it.
void KITE_Pooled_Data_Block_Factory::recycle(KITE_Data_Block* block) {
  if (block->size() != capacity_) block->~KITE_Data_Block();
  KITE_Chunk_Pool::put(block);
}
