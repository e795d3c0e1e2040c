// SPDX-License-Identifier: MIT
/// \file
/// KITE_Data_Block: a buffer of fixed capacity with a fill level and a reference count.
///
///     begin()                      begin() + length()             begin() + size()
///       |<-------- length() -------->|<-------- freespace() -------->|
///       |        bytes in use        |            free               |
///
/// Capacity and buffer address never change: a full block is followed by a new block
/// (KITE_Message_Block chains them through `next`), so addresses into a block stay valid
/// for its whole life. The fill level only rises, by grow().
///
/// Ownership: a block belongs to its holders through its reference count. It starts at 1;
/// duplicate() adds a holder (cheap, no bytes move), release() drops one, and the last
/// release gives record and buffer back. How, the factory decides when it makes the block,
/// and the block keeps that decision (its Release), as folly's IOBuf keeps its free function:
///
///     kHooked  count under refcountmutex_, the factory's hooks see every change  -> recycle()
///     kAtomic  count by atomic operations alone                                   -> recycle()
///     kPooled  the same; the record heads a pool chunk with room for one message
///              block record and the buffer, and the chunk goes back to its pool    -> put()
///
/// So a release is one decrement and one call. A factory counts with hooks unless whoever
/// made it stated that it has none (KITE_Data_Block_Factory::kNoHooks): a factory derived
/// from one without hooks gets its own hooks called. The mutex cannot fail visibly: a lock or
/// unlock the system refuses (a corrupted mutex) ends the process through the log stream's
/// cond_fail, so duplicate() never returns null and release() never skips its decrement.
///
/// Bytes, fill level and `next` are unlocked: one thread writes a block, and shared blocks
/// are only read.
#ifndef KITE_DATA_BLOCK_H
#define KITE_DATA_BLOCK_H

#include <pthread.h>

#include <atomic>
#include <cstddef>

#include "BOLT/export.h"
#include "BOLT/mseg.h"
#include "KITE/KITE_Chunk_Pool.h"
#include "KITE/KITE_Exceptions.h"
#include "errorhandling/errorclass.h"

class KITE_Data_Block_Factory;

/// A buffer of fixed capacity with a fill level and a reference count, made by a
/// KITE_Data_Block_Factory; the file's description gives its layout, ownership and release.
class KITE_EXPORT KITE_Data_Block : public BOLT::Mseg {
 public:
  /// How the block counts and goes back (see above); fixed when it is made.
  enum Release : unsigned char {
    kHooked,  ///< count under refcountmutex_, the factory's hooks see every change; recycle()
    kAtomic,  ///< count by atomic operations alone; recycle()
    kPooled,  ///< the same; the record heads a pool chunk, which goes back to its pool: put()
  };

  /// The record's share of a kPooled block's chunk: the record, then room for one message
  /// block record, then the buffer, each share a multiple of 16 bytes.
  static constexpr size_t kRecordShare = 96;
  /// The room's share of a kPooled block's chunk, for one message block record.
  static constexpr size_t kRoomShare = 80;

  /// A new empty block of capacity size from smdbf. Throws NoMoreDynamicMemory.
  static KITE_Data_Block* alloc(unsigned int size);

  /// A new block from smdbf, exactly as large as this block's used bytes and holding a
  /// copy of them (so it has no free space). Costs an allocation and a copy of length()
  /// bytes; prefer duplicate() when the bytes are only read. Throws NoMoreDynamicMemory.
  KITE_Data_Block* clone() const;

  /// Adds a holder and returns this block; never null. Costs one atomic operation, or the
  /// mutex and the factory's hook; nothing is copied.
  KITE_Data_Block* duplicate() {
    if (release_ == kHooked) return duplicate_hooked();
    // A count of 1 is the caller's own reference: nobody else can change it, so a store does;
    // its load acquires what former holders did, for whoever releases last. Otherwise a new
    // holder gets its reference from an existing one, which keeps the block alive, so the
    // increment needs no ordering.
    if (reference_count_.load(std::memory_order_acquire) == 1) {
      reference_count_.store(2, std::memory_order_relaxed);
    } else {
      reference_count_.fetch_add(1, std::memory_order_relaxed);
    }
    return this;
  }

  /// Drops a holder. The last release gives the block back: do not touch it afterwards.
  /// Never follows `next`.
  inline void release();

  /// The fill level: bytes in use from begin() on.
  size_t length() const { return cur_size_; }
  /// The bytes behind the fill level: size() - length().
  size_t freespace() const { return size_ - cur_size_; }

  /// Raises the fill level by n bytes; n equal to freespace() fills the block exactly.
  /// Throws BufferOverflow and changes nothing when fewer than n bytes are free.
  void grow(size_t n) {
    if (n > freespace()) overflow(n);
    cur_size_ += n;
  }

  /// The room for a message block record in a kPooled block's chunk, while the caller is the
  /// block's only holder (a record in the room holds a reference, so none lies there then);
  /// null for other blocks. KITE_Message_Block::wrap() places its record there.
  void* room() {
    if (release_ != kPooled || reference_count_.load(std::memory_order_relaxed) != 1)
      return nullptr;
    return reinterpret_cast<char*>(this) + kRecordShare;
  }

  KITE_Data_Block(const KITE_Data_Block&) = delete;
  KITE_Data_Block& operator=(const KITE_Data_Block&) = delete;

 protected:
  friend class KITE_Data_Block_Factory;
  friend class KITE_Message_Block;

  /// The buffer stays with the caller; withcontent makes the block full from the start.
  /// Counts with dbf's hooks unless dbf stated it has none.
  KITE_Data_Block(KITE_Data_Block_Factory* dbf, char* buffer, unsigned int size, bool withcontent);
  /// The same, counting and going back as release says.
  KITE_Data_Block(KITE_Data_Block_Factory* dbf, char* buffer, unsigned int size, bool withcontent,
                  Release release);
  /// Leaves the buffer alone: it belongs to the factory. Only a kHooked block ever took its
  /// mutex; the others' is still as static initialisation left it and needs no call.
  ~KITE_Data_Block() {
    if (release_ == kHooked) pthread_mutex_destroy(&refcountmutex_);
  }

  KITE_Data_Block_Factory* dbf_;  ///< the factory that made the block
  size_t cur_size_;               ///< the fill level
  /// Guards the count of a kHooked block.
  pthread_mutex_t refcountmutex_ = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<int> reference_count_;  ///< the holders

 private:
  [[noreturn]] void overflow(size_t wanted) const;
  KITE_Data_Block* duplicate_hooked();
  void release_hooked();

  const Release release_;
  // Whether KITE_Message_Block::wrap() made a record in the room; it stays made while the
  // chunk is cached, as this record does, and wrap() then renews only what a holder changes.
  bool room_made_ = false;

 public:
  /// Following block of a message's chain; linked and walked by KITE_Message_Block.
  KITE_Data_Block* next;
};

static_assert(sizeof(KITE_Data_Block) <= KITE_Data_Block::kRecordShare,
              "a pooled chunk's record share holds the record");

/// Makes and disposes of data blocks. Implementations override generate() and recycle();
/// informduplicate() and informrelease() are optional hooks for bookkeeping.
///
/// The hooks run while the block's (non-recursive) mutex is held, so they must not
/// duplicate or release that block; recycle() runs after it is released and may destroy
/// the block. A hook that throws leaves the mutex free and the count as the operation left
/// it: a throwing informrelease() has still dropped the caller's reference (the block lives
/// on for its other holders), a throwing informduplicate() has added none (the caller got
/// no pointer to release).
///
/// Whoever makes a factory states whether it has hooks: kCallHooks (the default, right for
/// every factory) or kNoHooks, a promise that its hooks are the empty ones of this class, so
/// that its blocks count without the mutex and the calls (smdbf and pdbf are made so).
class KITE_EXPORT KITE_Data_Block_Factory {
 public:
  /// Whether the factory's blocks call its hooks; stated when it is made.
  enum Hooks : unsigned char {
    kCallHooks,  ///< the blocks count under their mutex and call the hooks
    kNoHooks,    ///< the hooks are the empty ones of this class: the blocks count atomically
  };

  /// A new block of capacity size, fill level 0, count 1.
  virtual KITE_Data_Block* generate(unsigned int size) = 0;
  /// Disposes of a block whose last holder released it: buffer and record.
  virtual void recycle(KITE_Data_Block* block) = 0;
  /// After each successful duplicate().
  virtual void informduplicate(KITE_Data_Block*) {}
  /// After each release() that leaves the block alive.
  virtual void informrelease(KITE_Data_Block*) {}

  /// What the factory's maker stated.
  Hooks hooks() const { return hooks_; }

 protected:
  /// A factory with hooks.
  constexpr KITE_Data_Block_Factory() : hooks_(kCallHooks) {}
  /// A factory whose maker states whether it has hooks.
  constexpr explicit KITE_Data_Block_Factory(Hooks hooks) : hooks_(hooks) {}
  /// Factories are never deleted through this interface; virtual all the same, so that a
  /// factory derived from a derived one is safe to end either way.
  virtual ~KITE_Data_Block_Factory() = default;

  /// A new record bound to this factory over buffer (which stays the caller's), from a
  /// per-thread cache of records (KITE_Chunk_Pool, 1024 a thread). Throws
  /// NoMoreDynamicMemory naming "create" when the record cannot be allocated.
  KITE_Data_Block* create(char* buffer, unsigned int size, bool withcontent);
  /// Ends a record made by create(); null is ignored. The buffer is not touched.
  void destroy(KITE_Data_Block* block);

  /// For factories that lay out their own chunks of a KITE_Chunk_Pool as kPooled says: a new
  /// empty record at the start of chunk, over buffer; kPooled unless the factory has hooks
  /// (kHooked then: recycle() gives the chunk back).
  KITE_Data_Block* create_pooled(void* chunk, char* buffer, unsigned int size);
  /// A record that a cached chunk kept since its last release, made new again: count 1,
  /// fill level 0, no `next`.
  static KITE_Data_Block* renew(KITE_Data_Block* block) {
    block->cur_size_ = 0;
    block->reference_count_.store(1, std::memory_order_relaxed);
    block->next = nullptr;
    return block;
  }

 private:
  const Hooks hooks_;
};

// A count of 1 is the caller's own reference: nobody else can change it, so the sole
// holder's release needs no atomic operation, and its load acquires what former holders did
// before their releases. Every other decrement releases what its holder did to the block,
// and the one that finds the last reference acquires all of it before the block goes back.
inline void KITE_Data_Block::release() {
  if (release_ == kHooked) return release_hooked();
  if (reference_count_.load(std::memory_order_acquire) != 1 &&
      reference_count_.fetch_sub(1, std::memory_order_acq_rel) != 1)
    return;
  if (release_ == kPooled) {
    KITE_Chunk_Pool::put(this);
  } else {
    dbf_->recycle(this);
  }
}

/// Buffers from malloc, given back with free. Stateless, so one object serves every thread
/// without a lock.
class KITE_EXPORT KITE_Simple_Malloc_Data_Block_Factory : public KITE_Data_Block_Factory {
 public:
  /// A factory with hooks (kCallHooks).
  constexpr KITE_Simple_Malloc_Data_Block_Factory() = default;
  /// A factory whose maker states whether it has hooks.
  constexpr explicit KITE_Simple_Malloc_Data_Block_Factory(Hooks hooks)
      : KITE_Data_Block_Factory(hooks) {}

  /// Capacity 0 gives a valid block with a null buffer. Throws NoMoreDynamicMemory.
  KITE_Data_Block* generate(unsigned int size) override;
  /// Frees the buffer and ends the record.
  void recycle(KITE_Data_Block* block) override;
};

/// The factory behind KITE_Data_Block::alloc and every clone, without hooks; lives for the
/// whole process.
extern KITE_EXPORT KITE_Simple_Malloc_Data_Block_Factory smdbf;

#endif
