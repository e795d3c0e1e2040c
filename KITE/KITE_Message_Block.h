// SPDX-License-Identifier: MIT
/// \file
/// KITE_Message_Block: a reference-counted handle on a chain of data blocks, with one
/// current block and a read and a write position inside it.
///
///     first_ -> [data block] -next-> [data block] -next-> [data block] -next-> null
///                                          ^ db, the current block
///
/// Positions are offsets into the current block's buffer:
///
///     base()         rd_ptr()         wr_ptr()        end()            base() + size()
///       |---------------|----------------|---------------|-----------------|
///       |<- rd_rel() -->|<-remaining()-->|               |<-freespace()--->|
///       |<----------- wr_rel() --------->|               |
///       |<------------------ length() ------------------>|
///
/// length() is the current block's fill level, a high-water mark: moving the write
/// position back does not lower it. A single write never splits over two blocks: on
/// BufferOverflow nothing has changed, and the writer calls expand() and tries the whole
/// piece again.
///
/// Ownership: the message block holds one reference on every data block of its chain and
/// releases each once when its own last holder calls release(). The chain's links live in
/// the data blocks, so message blocks that share blocks (duplicate, duplicate_chain) share
/// the chain's shape: extend only a chain nobody else holds (clone it first otherwise).
/// The list links next()/prev() belong to the caller and are never followed here.
///
/// Locking: _refcount is atomic; nothing runs under a message block's count, unlike a data
/// block's, whose factory hooks need its mutex. Positions, chain and bytes are unlocked: one
/// thread uses a message block at a time. Duplicates may live in other threads and read the
/// shared bytes; nobody writes shared blocks.
///
/// Records: where a record goes at its end is decided when it is made, and a release is one
/// decrement and one call:
///
///     made by                                  its record               at its last release
///     a constructor (also a derived class's)   own (per-thread cache)   delete
///     duplicate(), clone() through this        own, exactly this class  the chain's release,
///       class's CloneManagementData(), wrap()                           then the record back
///     wrap() of a pooled block, one holder     in that block's chunk    the chain's release
///
/// Own records of this class come from a per-thread cache (KITE_Chunk_Pool, 1024 a thread;
/// the bound is that pool's); derived records, of other sizes, are allocated plainly. A record
/// in its block's chunk (KITE_Pooled_Data_Block_Factory) costs no allocation: the release of
/// its chain gives the chunk back with it, at once, or when the last other holder of that
/// block releases it. That is how the message assembler's lines from pdbf go round: block and
/// record taken together and given back together, to the thread that made them.
#ifndef KITE_MESSAGE_BLOCK_H
#define KITE_MESSAGE_BLOCK_H

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

#include "BOLT/export.h"
#include "KITE/KITE_Chunk_Pool.h"
#include "KITE/KITE_Data_Block.h"
#include "KITE/KITE_Exceptions.h"

// What a derived message block hands itself to through CallVisitor(); its members are
// left to the users of that hook.
class KITE_MessageVisitor;

/// A reference-counted handle on a chain of data blocks, with one current block and a read
/// and a write position inside it; the file's description gives the positions, the
/// ownership, the locking and where records come from and go.
class KITE_EXPORT KITE_Message_Block {
 public:
  /// One empty block of capacity len; expand() appends blocks of the same capacity.
  /// Throws NoMoreDynamicMemory.
  explicit KITE_Message_Block(unsigned int len);
  /// Wraps the chain starting at edb and takes over one reference on each of its blocks.
  /// The write position starts at edb's fill level. A null edb gives a message without a
  /// chain. The flag is ignored.
  KITE_Message_Block(KITE_Data_Block* edb, bool)
      : db(edb),
        first_(edb),
        block_size_(edb == nullptr ? 0 : edb->size()),
        rd_ptr_(0),
        wr_ptr_(edb == nullptr ? 0 : edb->length()),
        _refcount(1),
        record_(kDelete),
        next_(nullptr),
        prev_(nullptr) {}

  KITE_Message_Block(const KITE_Message_Block&) = delete;
  KITE_Message_Block& operator=(const KITE_Message_Block&) = delete;

  /// Drops a holder; the last one ends the message block and releases its chain.
  /// The last holder's load or decrement acquires what every other holder did to the block
  /// before its own release, so the end comes after all of it. A count of 1 is the caller's
  /// own reference: nobody else can change it. Where the record goes, its maker decided
  /// (record_, see the header comment): a record in a chunk goes with its chain, an own one
  /// through dispose().
  void release() {
    if (_refcount.load(std::memory_order_acquire) != 1 &&
        _refcount.fetch_sub(1, std::memory_order_acq_rel) != 1)
      return;
    if (record_ == kRoom) {
      release_chain();  // nothing to free: the record goes with its first block
    } else {
      dispose();
    }
  }
  /// Adds a holder and returns this; never null.
  KITE_Message_Block* add_ref();

  /// What new KITE_Message_Block(block, false) gives, with the record in block's chunk when
  /// block has room for it (KITE_Data_Block::room(): a block of a pooled factory without
  /// hooks, with one holder). Null, the block released, when there is no memory for a record
  /// of its own. block must not be null.
  static inline KITE_Message_Block* wrap(KITE_Data_Block* block);
  /// wrap(pdbf.generate(pdbf.capacity())): a message block on one empty block of pdbf's, in
  /// its chunk. Throws NoMoreDynamicMemory, as generate() does.
  static KITE_Message_Block* ready_block();
  /// pdbf.cached(): the chunks the calling thread keeps for the blocks of ready_block().
  static unsigned int ready_cached();

  /// Own records of this class come from a per-thread cache; see the header comment.
  /// Throws std::bad_alloc when there is no memory for the record.
  static void* operator new(size_t size) {
    void* p = record(size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  /// The same, null when there is no memory for the record.
  static void* operator new(size_t size, const std::nothrow_t&) noexcept { return record(size); }
  /// Gives the record back to the cache, or frees it.
  static void operator delete(void* p) noexcept { KITE_Chunk_Pool::put(p); }
  /// The same, for a constructor that threw after the nothrow new.
  static void operator delete(void* p, const std::nothrow_t&) noexcept { KITE_Chunk_Pool::put(p); }

  /// A new message block on the same data blocks, positions at the start and the fill
  /// level of the current block. Costs one record and one atomic increment per data block
  /// (the mutex and the hook for a block whose factory has hooks); no bytes are copied. Both
  /// see later writes to the shared bytes.
  KITE_Message_Block* duplicate() const;
  /// Adds a reference to every block of the chain and returns the first one, ready for
  /// the wrapping constructor.
  KITE_Data_Block* duplicate_chain();
  /// A new message block on copies of every data block, each exactly as large as its
  /// data; the last copy is current, positions at its start and end. Costs an allocation
  /// and a copy of every used byte; the result shares nothing with this one.
  /// Throws NoMoreDynamicMemory.
  KITE_Message_Block* clone() const;

  /// \name Positions and contents
  /// Everything here needs a current block (see begin()/advance()).
  ///@{

  /// Read and write position to 0; the fill level stays.
  void reset() { rd_ptr_ = wr_ptr_ = 0; }

  /// The current block's first byte.
  char* base() const { return buffer(db); }
  /// The current block's fill level, as an address.
  char* end() const { return base() + db->length(); }
  /// The first block's first byte; null without a chain.
  char* first_base() const { return first_ == nullptr ? nullptr : buffer(first_); }

  /// The read address.
  char* rd_ptr() const { return base() + rd_ptr_; }
  /// Moves the read position to p. Unchecked: readers keep the read position within what
  /// was written.
  void rd_ptr(char* p) { rd_ptr_ = offset(p); }
  /// Returns the read address, then advances the read position by n (unchecked).
  char* rd_ptr(unsigned int n);

  /// The write address.
  char* wr_ptr() const { return base() + wr_ptr_; }
  /// Moves the write position to p, raising the fill level when p lies beyond it, and
  /// returns p. Throws BufferOverflow, changing nothing, when p is outside the block.
  char* wr_ptr(char* p);
  /// Reserves n bytes: returns the write address and advances the write position by n.
  /// Throws BufferOverflow, changing nothing, when they do not fit.
  char* wr_ptr(unsigned int n) {
    char* old = wr_ptr();
    move_wr(wr_ptr_ + n);
    return old;
  }
  /// Rounds the write address up to a multiple of 2^potenz2, zero-filling the gap, and
  /// returns it. When the gap does not fit (or potenz2 is not an exponent from 0 to 63)
  /// nothing changes and the unaligned address comes back: compare to find out.
  char* wrptr_align(short potenz2);
  /// Appends n bytes of buf at the write position; returns n. Throws BufferOverflow,
  /// having written nothing, when they do not fit.
  int copy(const char* buf, unsigned int n) {
    char* to = wr_ptr(n);
    if (n != 0) memcpy(to, buf, n);
    return static_cast<int>(n);
  }

  /// The current block's capacity.
  size_t size() const { return db->size(); }
  /// The current block's fill level.
  size_t length() const { return db->length(); }
  /// The current block's bytes behind its fill level.
  size_t freespace() const { return db->freespace(); }
  /// The read position.
  size_t rd_rel() const { return rd_ptr_; }
  /// The write position.
  size_t wr_rel() const { return wr_ptr_; }
  /// Bytes between read and write position; 0 when a reader has gone past the write
  /// position.
  size_t remaining() const { return rd_ptr_ < wr_ptr_ ? wr_ptr_ - rd_ptr_ : 0; }

  ///@}

  /// The fill levels of every block of the chain, summed.
  size_t total_length() const;
  /// The capacities of every block of the chain, summed.
  size_t total_size() const;

  /// Appends a new empty block of the message's block size behind the current block and
  /// makes it current, positions 0. Blocks that followed the current one stay in the
  /// chain behind the new one. Without a current block (after a walk, or with no chain)
  /// the block goes to the end of the chain. Throws NoMoreDynamicMemory, changing nothing.
  void expand();
  /// The same with a given block (a single block, not part of another chain), taking over
  /// one reference on it. Positions are 0 even when the block holds data.
  void addblock(KITE_Data_Block* block);
  /// True when the chain has more than one block.
  bool IsFragmented() const { return first_ != nullptr && first_->next != nullptr; }

  /// \name Walking the chain
  /// for (m->begin(); !m->is_done(); m->advance()) read length() bytes from rd_ptr(). A
  /// finished walk leaves no current block; call begin() again before using positions or
  /// contents.
  ///@{

  /// Makes the first block current, read position 0, write position at its fill level.
  void begin();
  /// True when the walk has passed the last block: no block is current.
  bool is_done() const { return db == nullptr; }
  /// True when the current block is the chain's last.
  bool is_last() const { return db != nullptr && db->next == nullptr; }
  /// Makes the following block current, positions as begin() sets them.
  void advance();

  ///@}

  /// The caller's next link.
  KITE_Message_Block* next() const { return next_; }
  /// Sets the caller's next link.
  void next(KITE_Message_Block* m) { next_ = m; }
  /// The caller's previous link.
  KITE_Message_Block* prev() const { return prev_; }
  /// Sets the caller's previous link.
  void prev(KITE_Message_Block* m) { prev_ = m; }

  /// Hook for derived message blocks; the base does nothing. KITE_MessageVisitor is only
  /// declared here: its members are left to the users of that hook.
  virtual void CallVisitor(KITE_MessageVisitor* visitor);

 protected:
  /// Ends only through release(). Releases every data block of the chain once.
  virtual ~KITE_Message_Block() { release_chain(); }
  /// A record without a chain; duplicate() and clone() fill it in.
  KITE_Message_Block();
  /// The empty record duplicate() and clone() fill in. A derived message block returns
  /// one of its own type with its own bookkeeping copied. Without memory the process ends
  /// through the log stream's cond_fail.
  virtual KITE_Message_Block* CloneManagementData() const;

  /// Read position 0, write position at the current block's fill level.
  void reset_current() {
    rd_ptr_ = 0;
    wr_ptr_ = db->length();
  }
  /// The chain's first block; null without a chain.
  KITE_Data_Block* firstblock() { return first_; }
  /// The current block; null when there is none.
  KITE_Data_Block* curblock() { return db; }

 private:
  /// The end of an own record: delete, or for a kExact record the same without the virtual
  /// call. Out of line, which keeps the release inlined into callers small.
  void dispose();
  /// wrap() with a record of its own.
  static KITE_Message_Block* wrap_own(KITE_Data_Block* block);
  void release_chain() {
    for (KITE_Data_Block* b = first_; b != nullptr;) {
      KITE_Data_Block* following = b->next;  // b may be gone after its release
      b->release();
      b = following;
    }
  }

  /// A record from the cache; derived records, of other sizes, are allocated plainly.
  static void* record(size_t size) {
    bool fresh;
    return size == sizeof(KITE_Message_Block) ? records_.get(&fresh)
                                              : KITE_Chunk_Pool::get_unpooled(size);
  }
  static KITE_Chunk_Pool records_;

  /// The buffer is the factory's and writable; the segment only hands it out as const.
  static char* buffer(const KITE_Data_Block* b) {
    return static_cast<char*>(const_cast<void*>(b->begin()));
  }
  /// Offset of p from base(); wraps to a huge value for p below base().
  size_t offset(const char* p) const;
  /// Write position to pos, raising the fill level to it if needed; throws BufferOverflow,
  /// changing nothing, when pos lies beyond the capacity (it then asks for more than
  /// freespace()).
  void move_wr(size_t pos) {
    if (pos > db->length()) db->grow(pos - db->length());
    wr_ptr_ = pos;
  }
  /// Links block behind the current block (at the chain's end without one), makes it
  /// current, positions 0.
  KITE_NO_EXPORT void link(KITE_Data_Block* block);

  KITE_Data_Block* db;
  KITE_Data_Block* first_;
  size_t block_size_;
  size_t rd_ptr_;
  size_t wr_ptr_;
  std::atomic<unsigned int> _refcount;
  /// Where the record goes at the end (see the header comment): its maker says so.
  enum Record : unsigned char {
    kDelete,  ///< any class: the virtual destructor and operator delete
    kExact,   ///< exactly this class, made by the kit itself: the same without a virtual call
    kRoom,    ///< exactly this class, in its first block's chunk: the chain's release alone
  };
  Record record_;

 protected:
  KITE_Message_Block* next_;  ///< The caller's list link, next().
  KITE_Message_Block* prev_;  ///< The caller's list link, prev().
};

static_assert(sizeof(KITE_Message_Block) <= KITE_Data_Block::kRoomShare,
              "a pooled chunk's room holds a message block record");

// Inline only the record in the room, as the message assembler makes its lines from pdbf.
inline KITE_Message_Block* KITE_Message_Block::wrap(KITE_Data_Block* block) {
  void* room = block->room();
  if (room == nullptr) return wrap_own(block);
  KITE_Message_Block* m = static_cast<KITE_Message_Block*>(room);
  if (block->room_made_) {
    // The record released there before: chain, block size and kind are still this block's.
    m->db = block;
    m->rd_ptr_ = 0;
    m->wr_ptr_ = block->length();
    m->_refcount.store(1, std::memory_order_relaxed);
    m->next_ = m->prev_ = nullptr;
    return m;
  }
  m = ::new (room) KITE_Message_Block(block, false);
  m->record_ = kRoom;
  block->room_made_ = true;
  return m;
}

#endif
