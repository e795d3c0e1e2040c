// SPDX-License-Identifier: MIT
#include "KITE/KITE_Data_Block.h"

#include "KITE/KITE_Refcount_Mutex.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include <ace/Guard_T.h>

KITE_Simple_Malloc_Data_Block_Factory smdbf(KITE_Data_Block_Factory::kNoHooks);

namespace {

// The records create() makes: a per-thread cache, constant-initialised.
KITE_Chunk_Pool records(sizeof(KITE_Data_Block), 1024);

}  // namespace

KITE_Data_Block::KITE_Data_Block(KITE_Data_Block_Factory* dbf, char* buffer, unsigned int size,
                                 bool withcontent)
    : KITE_Data_Block(dbf, buffer, size, withcontent,
                      dbf->hooks() == KITE_Data_Block_Factory::kCallHooks ? kHooked : kAtomic) {}

KITE_Data_Block::KITE_Data_Block(KITE_Data_Block_Factory* dbf, char* buffer, unsigned int size,
                                 bool withcontent, Release release)
    : BOLT::Mseg(buffer, size),
      dbf_(dbf),
      cur_size_(withcontent ? size : 0),
      reference_count_(1),
      release_(release),
      next(nullptr) {}

KITE_Data_Block* KITE_Data_Block::alloc(unsigned int size) {
  return smdbf.generate(size);
}

KITE_Data_Block* KITE_Data_Block::clone() const {
  KITE_Data_Block* copy = smdbf.generate(static_cast<unsigned int>(cur_size_));
  copy->grow(cur_size_);
  if (cur_size_ != 0) memcpy(copy->basis, basis, cur_size_);
  return copy;
}

KITE_Data_Block* KITE_Data_Block::duplicate_hooked() {
  KITE_Refcount_Mutex lock(refcountmutex_);
  ACE_Guard<KITE_Refcount_Mutex> guard(lock);
  reference_count_.fetch_add(1, std::memory_order_relaxed);
  try {
    dbf_->informduplicate(this);
  } catch (...) {
    reference_count_.fetch_sub(1, std::memory_order_relaxed);
    throw;
  }
  return this;
}

// The hooks see every change under the mutex, the sole holder's release included: another
// holder's release may still be running its hook under it.
void KITE_Data_Block::release_hooked() {
  {
    KITE_Refcount_Mutex lock(refcountmutex_);
    ACE_Guard<KITE_Refcount_Mutex> guard(lock);
    if (reference_count_.fetch_sub(1, std::memory_order_acq_rel) != 1) {
      dbf_->informrelease(this);
      return;
    }
  }
  // The last holder: nobody can take the mutex after us.
  dbf_->recycle(this);
}

void KITE_Data_Block::overflow(size_t wanted) const {
  throw BufferOverflow(freespace(), wanted);
}

KITE_Data_Block* KITE_Data_Block_Factory::create(char* buffer, unsigned int size,
                                                 bool withcontent) {
  bool fresh;
  void* record = records.get(&fresh);
  if (record == nullptr) throw NoMoreDynamicMemory(__FILE_NAME__, __LINE__, "create");
  return new (record) KITE_Data_Block(this, buffer, size, withcontent);
}

KITE_Data_Block* KITE_Data_Block_Factory::create_pooled(void* chunk, char* buffer,
                                                        unsigned int size) {
  return new (chunk)
      KITE_Data_Block(this, buffer, size, false,
                      hooks_ == kCallHooks ? KITE_Data_Block::kHooked : KITE_Data_Block::kPooled);
}

void KITE_Data_Block_Factory::destroy(KITE_Data_Block* block) {
  if (block == nullptr) return;
  block->~KITE_Data_Block();
  KITE_Chunk_Pool::put(block);
}

KITE_Data_Block* KITE_Simple_Malloc_Data_Block_Factory::generate(unsigned int size) {
  char* buffer = nullptr;
  if (size != 0) {
    buffer = static_cast<char*>(malloc(size));
    if (buffer == nullptr) throw NoMoreDynamicMemory(__FILE_NAME__, __LINE__, "generate");
  }
  try {
    return create(buffer, size, false);
  } catch (const NoMoreDynamicMemory&) {
    free(buffer);
    throw;
  }
}

void KITE_Simple_Malloc_Data_Block_Factory::recycle(KITE_Data_Block* block) {
  free(const_cast<void*>(block->begin()));
  destroy(block);
}
