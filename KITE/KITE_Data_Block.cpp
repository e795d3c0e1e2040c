// SPDX-License-Identifier: MIT
#include "KITE/KITE_Data_Block.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include <ace/Guard_T.h>

#include "errorhandling/errorclass.h"

KITE_Simple_Malloc_Data_Block_Factory smdbf;

KITE_Data_Block::KITE_Data_Block(KITE_Data_Block_Factory* dbf, char* buffer, unsigned int size,
                                 bool withcontent)
    : BOLT::Mseg(buffer, size),
      dbf_(dbf),
      cur_size_(withcontent ? size : 0),
      reference_count_(1),
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

KITE_Data_Block* KITE_Data_Block::duplicate() {
  ACE_Guard<KITE_Refcount_Mutex> guard(refcountmutex_);
  if (!guard.locked()) return nullptr;
  ++reference_count_;
  dbf_->informduplicate(this);
  return this;
}

void KITE_Data_Block::release() {
  refcountmutex_.acquire();
  if (--reference_count_ == 0) {
    // Nobody else holds the block, so nobody can take the mutex after us.
    refcountmutex_.release();
    dbf_->recycle(this);
    return;
  }
  dbf_->informrelease(this);
  refcountmutex_.release();
}

void KITE_Data_Block::grow(size_t n) {
  if (n > freespace()) throw BufferOverflow(freespace(), n);
  cur_size_ += n;
}

KITE_Data_Block* KITE_Data_Block_Factory::create(char* buffer, unsigned int size,
                                                 bool withcontent) {
  KITE_Data_Block* block = new (std::nothrow) KITE_Data_Block(this, buffer, size, withcontent);
  if (block == nullptr) throw NoMoreDynamicMemory(__FILE_NAME__, __LINE__, "create");
  return block;
}

void KITE_Data_Block_Factory::destroy(KITE_Data_Block* block) {
  delete block;
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
