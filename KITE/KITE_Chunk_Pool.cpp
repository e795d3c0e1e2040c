// SPDX-License-Identifier: MIT
#include "KITE/KITE_Chunk_Pool.h"

#include <cstdlib>
#include <new>

__thread KITE_Chunk_Pool::Slot kite_chunk_slots[KITE_Chunk_Pool::kIndexMask + 1];

namespace {

using Chunk = KITE_Chunk_Pool::Chunk;
using Slot = KITE_Chunk_Pool::Slot;

// A pool's id is a serial number above its slot index. The last index is never opened:
// pools beyond the table get it and pass their chunks through.
constexpr uintptr_t kIndexMask = KITE_Chunk_Pool::kIndexMask;
constexpr unsigned kNoSlot = kIndexMask;
constexpr unsigned kBatch = 16;

// One per thread and pool: where other threads send back the chunks the thread made.
// It lives as long as its thread or any chunk made under it, whichever is longer.
struct alignas(16) Home {
  Home(uint64_t pool, unsigned int perthread, void (*dispose_chunk)(void*))
      : id(pool), limit(perthread), dispose(dispose_chunk) {}

  std::atomic<Chunk*> returned{nullptr};  // kClosed once the thread ended
  std::atomic<unsigned> waiting{0};       // an upper bound of the chunks in `returned`
  std::atomic<unsigned> refs{1};          // the thread, and every chunk made under it
  const uint64_t id;
  const unsigned limit;
  void (*const dispose)(void*);  // the pool's, for chunks freed after a put()
};

// Tagged pointers: an address with the pool's index in its low bits, and a marker no chunk
// can have.
// NOLINTNEXTLINE(performance-no-int-to-ptr)
Chunk* const kClosed = reinterpret_cast<Chunk*>(uintptr_t(1));

unsigned index_of(uint64_t id) {
  return static_cast<unsigned>(id & kIndexMask);
}

Home* home_of(uintptr_t tag) {
  return reinterpret_cast<Home*>(tag & ~kIndexMask);  // NOLINT(performance-no-int-to-ptr)
}

uintptr_t tag_of(Home* h) {
  return reinterpret_cast<uintptr_t>(h) | index_of(h->id);
}

enum Thread_State { kFresh, kHooked, kEnded };

thread_local Thread_State tls_state = kFresh;

std::atomic<unsigned> g_used_indices{0};
std::atomic<uint64_t> g_serial{0};

// A new chunk bound to home h (null: to no pool).
Chunk* allocate(size_t size, Home* h) {
  Chunk* c = static_cast<Chunk*>(::operator new(sizeof(Chunk) + size, std::nothrow));
  if (c == nullptr) return nullptr;
  c->home = h == nullptr ? kNoSlot : tag_of(h);
  if (h != nullptr) h->refs.fetch_add(1, std::memory_order_relaxed);
  return c;
}

void unref(Home* h) {
  if (h->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  h->~Home();
  std::free(h);
}

// A chunk that was put: what it holds goes first.
void discard(Chunk* c) {
  Home* h = home_of(c->home);
  if (h != nullptr && h->dispose != nullptr) h->dispose(c + 1);
  ::operator delete(c);
  if (h != nullptr) unref(h);
}

void discard_list(Chunk* c) {
  while (c != nullptr) {
    Chunk* following = c->link;
    discard(c);
    c = following;
  }
}

// Hands the chain first..last of n chunks made under h back to h; frees them when h has
// ended or holds its limit already.
void send(Home* h, Chunk* first, Chunk* last, unsigned n) {
  if (h->waiting.fetch_add(n, std::memory_order_relaxed) + n <= h->limit) {
    Chunk* head = h->returned.load(std::memory_order_relaxed);
    while (head != kClosed) {
      last->link = head;
      if (h->returned.compare_exchange_weak(head, first, std::memory_order_release,
                                            std::memory_order_relaxed))
        return;
    }
  }
  h->waiting.fetch_sub(n, std::memory_order_relaxed);
  last->link = nullptr;
  discard_list(first);
}

void flush(Slot& s) {
  if (s.batched == 0) return;
  send(home_of(s.batch_home), s.batch_first, s.batch_last, s.batched);
  s.batch_home = 0;
  s.batch_first = s.batch_last = nullptr;
  s.batched = 0;
}

// Sends the batch home, closes the thread's home and frees its cache.
void close(Slot& s) {
  flush(s);
  if (Home* h = home_of(s.home)) {
    discard_list(h->returned.exchange(kClosed, std::memory_order_acquire));
    discard_list(s.cache);
    unref(h);
  }
  s = Slot();
}

struct Thread_End {
  ~Thread_End() {
    tls_state = kEnded;
    for (Slot& s : kite_chunk_slots) close(s);
  }
};

// Makes s serve the pool id, closing what it served before; the first slot a thread opens
// arranges for its slots to be closed when it ends.
void open(Slot& s, uint64_t id, unsigned limit) {
  if (s.id != 0) close(s);
  s.id = id;
  s.limit = limit;
  if (tls_state == kFresh) {
    static thread_local Thread_End end;
    tls_state = kHooked;
  }
}

// Moves what other threads returned into the (empty) cache, up to the limit.
void take_back(Slot& s) {
  Home* h = home_of(s.home);
  if (h->returned.load(std::memory_order_relaxed) == nullptr) return;
  Chunk* c = h->returned.exchange(nullptr, std::memory_order_acquire);
  unsigned taken = 0;
  while (c != nullptr) {
    Chunk* following = c->link;
    ++taken;
    if (s.cached < s.limit) {
      c->link = s.cache;
      s.cache = c;
      ++s.cached;
    } else {
      discard(c);
    }
    c = following;
  }
  h->waiting.fetch_sub(taken, std::memory_order_relaxed);
}

// The lowest free slot index, now taken; kNoSlot when every one is taken.
unsigned take_index() {
  unsigned used = g_used_indices.load(std::memory_order_relaxed);
  for (;;) {
    unsigned index = 0;
    while (index < kNoSlot && (used & (1u << index)) != 0) ++index;
    if (index == kNoSlot) return kNoSlot;
    if (g_used_indices.compare_exchange_weak(used, used | (1u << index), std::memory_order_acquire))
      return index;
  }
}

void give_back_index(unsigned index) {
  if (index != kNoSlot) g_used_indices.fetch_and(~(1u << index), std::memory_order_release);
}

}  // namespace

KITE_Chunk_Pool::~KITE_Chunk_Pool() {
  const uint64_t id = id_.load(std::memory_order_relaxed);
  const unsigned index = index_of(id);
  if (id == 0) return;
  if (tls_state != kEnded && kite_chunk_slots[index].id == id) close(kite_chunk_slots[index]);
  give_back_index(index);
}

uint64_t KITE_Chunk_Pool::id() const {
  uint64_t id = id_.load(std::memory_order_acquire);
  if (id != 0) return id;
  const unsigned index = take_index();
  const uint64_t serial = g_serial.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t mine = serial << kIndexBits | index;
  if (id_.compare_exchange_strong(id, mine, std::memory_order_acq_rel)) return mine;
  give_back_index(index);
  return id;  // another thread assigned it first
}

void* KITE_Chunk_Pool::get_slow(bool* fresh) {
  *fresh = true;
  const uint64_t id = this->id();
  const unsigned index = index_of(id);
  if (index == kNoSlot || tls_state == kEnded) return get_unpooled(size_);
  Slot& s = kite_chunk_slots[index];
  if (s.id != id) open(s, id, perthread_);
  if (s.home == 0) {
    // Bookkeeping, not a chunk: it comes from malloc (which aligns to 16).
    void* memory = std::malloc(sizeof(Home));
    if (memory == nullptr) return get_unpooled(size_);
    s.home = tag_of(new (memory) Home(id, perthread_, dispose_));
  }
  take_back(s);
  if (s.cache != nullptr) return get(fresh);
  Chunk* c = allocate(size_, home_of(s.home));
  return c == nullptr ? nullptr : c + 1;
}

void* KITE_Chunk_Pool::get_unpooled(size_t n) {
  Chunk* c = allocate(n, nullptr);
  return c == nullptr ? nullptr : c + 1;
}

// Not the thread's own chunk, or its cache is full.
void KITE_Chunk_Pool::put_slow(Chunk* c) {
  Home* h = home_of(c->home);
  Slot& s = kite_chunk_slots[c->home & kIndexMask];
  if (h == nullptr || s.home == c->home) {
    discard(c);
    return;
  }
  if (s.id != h->id) {
    // The slot serves another pool, or the thread is ending: no batch here.
    if (s.id != 0 || tls_state == kEnded) {
      c->link = nullptr;
      send(h, c, c, 1);
      return;
    }
    open(s, h->id, h->limit);
  }
  if (s.batch_home != c->home) {
    flush(s);
    s.batch_home = c->home;
    s.batch_last = c;
  }
  c->link = s.batch_first;
  s.batch_first = c;
  if (++s.batched == kBatch) flush(s);
}

unsigned int KITE_Chunk_Pool::cached() const {
  const uint64_t id = id_.load(std::memory_order_relaxed);
  const Slot& s = kite_chunk_slots[index_of(id)];
  if (id == 0 || s.id != id) return 0;
  const Home* h = home_of(s.home);
  return s.cached + (h == nullptr ? 0 : h->waiting.load(std::memory_order_relaxed));
}
