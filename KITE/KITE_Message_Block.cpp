// SPDX-License-Identifier: MIT
#include "KITE/KITE_Message_Block.h"

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Singleton.h>

#include <cstdint>
#include <cstring>
#include <new>

#include "KITE/KITE_Pooled_Data_Block_Factory.h"
#include "errorhandling/KITE_LogMsg_Stream.h"

// Constant-initialised, so records can be made before any dynamic initialisation.
KITE_Chunk_Pool KITE_Message_Block::records_(sizeof(KITE_Message_Block), 1024);

KITE_Message_Block::KITE_Message_Block() : KITE_Message_Block(nullptr, false) {}

KITE_Message_Block::KITE_Message_Block(unsigned int len)
    : KITE_Message_Block(KITE_Data_Block::alloc(len), false) {}

// A new holder gets its reference from an existing one, which keeps the block alive.
KITE_Message_Block* KITE_Message_Block::add_ref() {
  _refcount.fetch_add(1, std::memory_order_relaxed);
  return this;
}

void KITE_Message_Block::dispose() {
  if (record_ == kExact) {
    release_chain();
    operator delete(this);
  } else {
    delete this;
  }
}

KITE_Message_Block* KITE_Message_Block::wrap_own(KITE_Data_Block* block) {
  KITE_Message_Block* m = new (std::nothrow) KITE_Message_Block(block, false);
  if (m == nullptr) {
    block->release();
    return nullptr;
  }
  m->record_ = kExact;
  return m;
}

KITE_Message_Block* KITE_Message_Block::ready_block() {
  return wrap(pdbf.generate(pdbf.capacity()));
}

unsigned int KITE_Message_Block::ready_cached() {
  return pdbf.cached();
}

KITE_Message_Block* KITE_Message_Block::CloneManagementData() const {
  // nothrow, so that a missing record reaches the fatal report instead of escaping as
  // std::bad_alloc.
  KITE_Message_Block* record = new (std::nothrow) KITE_Message_Block();
  // Only a failure reaches for the log stream: looking it up would create one in every
  // thread that duplicates, and cond_fail does nothing for a record that is there.
  if (record == nullptr) {
    KITE_LogMsg_Stream::instance()->cond_fail(
        true, "%s%d:KITE_Message_Block::CloneManagementData (): No More Memory", __FILE_NAME__,
        __LINE__);
  }
  record->record_ = kExact;
  return record;
}

KITE_Message_Block* KITE_Message_Block::duplicate() const {
  KITE_Message_Block* copy = CloneManagementData();
  copy->first_ = first_;
  copy->db = db;
  copy->block_size_ = block_size_;
  if (db != nullptr) copy->reset_current();
  // duplicate() cannot fail: its lock ends the process rather than report a failure.
  for (KITE_Data_Block* b = first_; b != nullptr; b = b->next) b->duplicate();
  return copy;
}

KITE_Data_Block* KITE_Message_Block::duplicate_chain() {
  for (KITE_Data_Block* b = first_; b != nullptr; b = b->next) b->duplicate();
  return first_;
}

KITE_Message_Block* KITE_Message_Block::clone() const {
  KITE_Message_Block* copy = CloneManagementData();
  copy->block_size_ = block_size_;
  try {
    for (const KITE_Data_Block* b = first_; b != nullptr; b = b->next) {
      copy->link(b->clone());
      copy->reset_current();
    }
  } catch (...) {
    copy->release();  // gives back the copies made so far
    throw;
  }
  return copy;
}

size_t KITE_Message_Block::offset(const char* p) const {
  return reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(base());
}

char* KITE_Message_Block::rd_ptr(unsigned int n) {
  char* old = rd_ptr();
  rd_ptr_ += n;
  return old;
}

char* KITE_Message_Block::wr_ptr(char* p) {
  move_wr(offset(p));
  return p;
}

char* KITE_Message_Block::wrptr_align(short potenz2) {
  // uintptr_t has the width of an address by definition, so no width check is needed.
  constexpr int address_bits = sizeof(uintptr_t) * 8;
  char* old = wr_ptr();
  if (potenz2 < 0 || potenz2 >= address_bits) return old;
  uintptr_t mask = (uintptr_t(1) << potenz2) - 1;
  uintptr_t address = reinterpret_cast<uintptr_t>(old);
  size_t gap = ((address + mask) & ~mask) - address;
  // The write position never exceeds the capacity, so the subtraction cannot wrap.
  if (gap == 0 || gap > db->size() - wr_ptr_) return old;
  move_wr(wr_ptr_ + gap);
  memset(old, 0, gap);
  return old + gap;
}

size_t KITE_Message_Block::total_length() const {
  size_t sum = 0;
  for (const KITE_Data_Block* b = first_; b != nullptr; b = b->next) sum += b->length();
  return sum;
}

size_t KITE_Message_Block::total_size() const {
  size_t sum = 0;
  for (const KITE_Data_Block* b = first_; b != nullptr; b = b->next) sum += b->size();
  return sum;
}

void KITE_Message_Block::link(KITE_Data_Block* block) {
  // The link that will point at block: behind the current block, or at the chain's end.
  KITE_Data_Block** slot = &first_;
  if (db != nullptr) {
    slot = &db->next;
  } else {
    while (*slot != nullptr) slot = &(*slot)->next;
  }
  block->next = *slot;
  *slot = block;
  db = block;
  rd_ptr_ = wr_ptr_ = 0;
}

void KITE_Message_Block::expand() {
  link(KITE_Data_Block::alloc(static_cast<unsigned int>(block_size_)));
}

void KITE_Message_Block::addblock(KITE_Data_Block* block) {
  link(block);
}

void KITE_Message_Block::begin() {
  db = first_;
  if (db != nullptr) reset_current();
}

void KITE_Message_Block::advance() {
  if (db == nullptr) return;
  db = db->next;
  if (db != nullptr) reset_current();
}

void KITE_Message_Block::CallVisitor(KITE_MessageVisitor*) {}
