// SPDX-License-Identifier: MIT
// KITE_Data_Block: a buffer of fixed capacity with a fill level and a reference count.
//
//   begin()                      begin() + length()             begin() + size()
//     |<-------- length() -------->|<-------- freespace() -------->|
//     |        bytes in use        |            free               |
//
// Capacity and buffer address never change: a full block is followed by a new block
// (KITE_Message_Block chains them through `next`), so addresses into a block stay valid
// for its whole life. The fill level only rises, by grow().
//
// Ownership: a block belongs to its holders through its reference count. It starts at 1;
// duplicate() adds a holder (cheap, no bytes move), release() drops one, and the last
// release hands record and buffer back to the factory that made the block, which frees
// or keeps both. Constructor and destructor are protected: only factories make and end
// blocks.
//
// Counting: the count is atomic. A block whose factory is exactly smdbf's or the pooled
// factory's type (no count hooks) counts with atomic operations alone, and its sole
// holder's release with none; a block of any other factory, a subclass of those two
// included, changes its count under refcountmutex_, so that the factory's hooks see each
// change while it is held. The mutex cannot fail visibly: a lock or unlock the system
// refuses (a corrupted mutex) ends the process through the log stream's cond_fail, so
// duplicate() never returns null and release() never skips its decrement.
//
// Bytes, fill level and `next` are unlocked: one thread writes a block, and shared blocks
// are only read.
#ifndef KITE_DATA_BLOCK_H
#define KITE_DATA_BLOCK_H

#include <pthread.h>

#include <atomic>
#include <cstddef>

#include "BOLT/mseg.h"
#include "KITE/KITE_Chunk_Pool.h"
#include "KITE/KITE_Exceptions.h"
#include "errorhandling/errorclass.h"

class KITE_Data_Block_Factory;

class KITE_Data_Block : public BOLT::Mseg {
 public:
  // A new empty block of capacity size from smdbf. Throws NoMoreDynamicMemory.
  static KITE_Data_Block* alloc(unsigned int size);

  // A new block from smdbf, exactly as large as this block's used bytes and holding a
  // copy of them (so it has no free space). Costs an allocation and a copy of length()
  // bytes; prefer duplicate() when the bytes are only read. Throws NoMoreDynamicMemory.
  KITE_Data_Block* clone() const;

  // Adds a holder and returns this block; never null. Costs one atomic operation, or the
  // mutex and the factory's hook; nothing is copied.
  KITE_Data_Block* duplicate();

  // Drops a holder. The last release recycles the block: do not touch it afterwards.
  // Never follows `next`.
  inline void release();

  size_t length() const { return cur_size_; }
  size_t freespace() const { return size_ - cur_size_; }

  // Raises the fill level by n bytes; n equal to freespace() fills the block exactly.
  // Throws BufferOverflow and changes nothing when fewer than n bytes are free.
  void grow(size_t n) {
    if (n > freespace()) overflow(n);
    cur_size_ += n;
  }

  KITE_Data_Block(const KITE_Data_Block&) = delete;
  KITE_Data_Block& operator=(const KITE_Data_Block&) = delete;

 protected:
  friend class KITE_Data_Block_Factory;
  friend class KITE_Pooled_Data_Block_Factory;
  // Keeps a ready message block's data block and empties it for its next use.
  friend class KITE_Message_Block;

  // The buffer stays with the caller; withcontent makes the block full from the start.
  KITE_Data_Block(KITE_Data_Block_Factory* dbf, char* buffer, unsigned int size, bool withcontent);
  // Leaves the buffer alone: it belongs to the factory.
  ~KITE_Data_Block() { pthread_mutex_destroy(&refcountmutex_); }

  KITE_Data_Block_Factory* dbf_;
  size_t cur_size_;
  // Guards the count of a block with hooks.
  pthread_mutex_t refcountmutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<int> reference_count_;

 private:
  [[noreturn]] void overflow(size_t wanted) const;
  // release() when there may be other holders, or the block has hooks.
  void release_shared();

  // What the block's factory is, by its exact type.
  enum Kind : unsigned char {
    kHooked,       // may have count hooks: the count changes under the mutex
    kPlain,        // smdbf's or pdbf's type: atomic counting only
    kPooledChunk,  // the same, and the record starts a chunk of pdbf's pool
  };
  Kind kind_;

 public:
  // Following block of a message's chain; linked and walked by KITE_Message_Block.
  KITE_Data_Block* next;
};

// Makes and disposes of data blocks. Implementations override generate() and recycle();
// informduplicate() and informrelease() are optional hooks for bookkeeping.
//
// The hooks run while the block's (non-recursive) mutex is held, so they must not
// duplicate or release that block; recycle() runs after it is released and may destroy
// the block. A hook that throws leaves the mutex free and the count as the operation left
// it: a throwing informrelease() has still dropped the caller's reference (the block lives
// on for its other holders), a throwing informduplicate() has added none (the caller got
// no pointer to release).
class KITE_Data_Block_Factory {
 public:
  // A new block of capacity size, fill level 0, count 1.
  virtual KITE_Data_Block* generate(unsigned int size) = 0;
  // Disposes of a block whose last holder released it: buffer and record.
  virtual void recycle(KITE_Data_Block* block) = 0;
  // After each successful duplicate().
  virtual void informduplicate(KITE_Data_Block*) {}
  // After each release() that leaves the block alive.
  virtual void informrelease(KITE_Data_Block*) {}

 protected:
  // Factories are never deleted through this interface; virtual all the same, so that a
  // factory derived from a derived one is safe to end either way.
  virtual ~KITE_Data_Block_Factory() = default;

  // A new record bound to this factory over buffer (which stays the caller's), from a
  // per-thread cache of records (KITE_Chunk_Pool, 1024 a thread). Throws
  // NoMoreDynamicMemory naming "create" when the record cannot be allocated.
  KITE_Data_Block* create(char* buffer, unsigned int size, bool withcontent);
  // Ends a record made by create(); null is ignored. The buffer is not touched.
  void destroy(KITE_Data_Block* block);
};

// The sole holder's release of a block counted atomically: nobody else can touch the
// count, so no atomic operation is needed, and its load acquires what former holders did
// before their releases. (A block with hooks takes its mutex even then: another holder's
// release may still be running its hook under it.) A pooled chunk goes straight back to its
// pool: all that pdbf's recycle() does with it.
inline void KITE_Data_Block::release() {
  if (kind_ == kHooked || reference_count_.load(std::memory_order_acquire) != 1) {
    release_shared();
  } else if (kind_ == kPooledChunk) {
    KITE_Chunk_Pool::put(this);
  } else {
    dbf_->recycle(this);
  }
}

// Buffers from malloc, given back with free. Stateless, so one object serves every thread
// without a lock.
class KITE_Simple_Malloc_Data_Block_Factory : public KITE_Data_Block_Factory {
 public:
  // Capacity 0 gives a valid block with a null buffer. Throws NoMoreDynamicMemory.
  KITE_Data_Block* generate(unsigned int size) override;
  void recycle(KITE_Data_Block* block) override;
};

// The factory behind KITE_Data_Block::alloc and every clone; lives for the whole process.
extern KITE_Simple_Malloc_Data_Block_Factory smdbf;

#endif
