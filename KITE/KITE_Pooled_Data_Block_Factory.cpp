// SPDX-License-Identifier: MIT
#include "KITE/KITE_Pooled_Data_Block_Factory.h"

#include <new>

KITE_Pooled_Data_Block_Factory pdbf(KITE_Pooled_Data_Block_Factory::DEFAULT_CAPACITY, 1024,
                                    KITE_Data_Block_Factory::kNoHooks);

KITE_Data_Block* KITE_Pooled_Data_Block_Factory::generate_new(unsigned int size) {
  bool fresh = true;
  void* chunk =
      size == capacity_ ? pool_.get(&fresh) : KITE_Chunk_Pool::get_unpooled(kShares + size);
  if (chunk == nullptr) throw NoMoreDynamicMemory(__FILE_NAME__, __LINE__, "generate");
  if (!fresh) return renew(static_cast<KITE_Data_Block*>(chunk));
  char* buffer = size == 0 ? nullptr : static_cast<char*>(chunk) + kShares;
  return create_pooled(chunk, buffer, size);
}

// The record starts its chunk, pooled or not. A pooled record stays made while its chunk is
// cached; its destructor has nothing to do (the mutex of a released block is free and holds
// no resource), so a chunk is freed without it.
void KITE_Pooled_Data_Block_Factory::recycle(KITE_Data_Block* block) {
  KITE_Chunk_Pool::put(block);
}
