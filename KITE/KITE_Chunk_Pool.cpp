// SPDX-License-Identifier: MIT
#include "KITE/KITE_Chunk_Pool.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

__thread KITE_Chunk_Pool::Slot kite_chunk_slots[KITE_Chunk_Pool::kDirect + 1];
__thread KITE_Chunk_Pool::Later kite_chunk_later;

namespace {

using Chunk = KITE_Chunk_Pool::Chunk;
using Slot = KITE_Chunk_Pool::Slot;
using Later = KITE_Chunk_Pool::Later;

constexpr uintptr_t kTagMask = KITE_Chunk_Pool::kTagMask;
constexpr unsigned kDirect = KITE_Chunk_Pool::kDirect;
constexpr uint64_t kIndexMask = (uint64_t(1) << 32) - 1;

// One per thread and pool: where other threads send back the chunks the thread made.
// It lives as long as its thread or any chunk made under it, whichever is longer.
struct alignas(64) Home {
  Home(uint64_t pool, unsigned int perthread) : id(pool), limit(perthread) {}

  std::atomic<Chunk*> returned{nullptr};  // kClosed once the thread ended
  std::atomic<unsigned> waiting{0};       // an upper bound of the chunks in `returned`
  std::atomic<unsigned> refs{1};          // the thread, and every chunk made under it
  const uint64_t id;
  const unsigned limit;
};

static_assert(alignof(Home) > kTagMask, "a home's address leaves the tag's bits free");

// A marker no chunk can have.
// NOLINTNEXTLINE(performance-no-int-to-ptr)
Chunk* const kClosed = reinterpret_cast<Chunk*>(uintptr_t(1));

size_t index_of(uint64_t id) {
  return static_cast<size_t>(id & kIndexMask);
}

Home* home_of(uintptr_t tag) {
  return reinterpret_cast<Home*>(tag & ~kTagMask);  // NOLINT(performance-no-int-to-ptr)
}

uintptr_t tag_of(Home* h) {
  const size_t index = index_of(h->id);
  return reinterpret_cast<uintptr_t>(h) | (index < kDirect ? index : kDirect);
}

enum Thread_State { kFresh, kHooked, kEnded };

thread_local Thread_State tls_state = kFresh;

// --- places: indices into every thread's slots, one per live pool

std::mutex g_places_mutex;
size_t* g_free_places = nullptr;  // indices given back, under the mutex
size_t g_free_count = 0;
size_t g_free_capacity = 0;
size_t g_next_place = 0;
std::atomic<uint64_t> g_serial{0};

// The lowest index given back, or the next one never handed out: the places in use stay
// few, and the first ones are reached directly.
size_t take_place() {
  std::lock_guard<std::mutex> lock(g_places_mutex);
  if (g_free_count == 0) return g_next_place++;
  size_t* lowest = g_free_places;
  for (size_t i = 1; i < g_free_count; ++i) {
    if (g_free_places[i] < *lowest) lowest = &g_free_places[i];
  }
  const size_t index = *lowest;
  *lowest = g_free_places[--g_free_count];
  return index;
}

void give_back_place(size_t index) {
  std::lock_guard<std::mutex> lock(g_places_mutex);
  if (g_free_count == g_free_capacity) {
    const size_t capacity = g_free_capacity == 0 ? 16 : 2 * g_free_capacity;
    void* grown = std::realloc(g_free_places, capacity * sizeof(size_t));
    if (grown == nullptr) return;  // the place stays unused: lost, nothing else
    g_free_places = static_cast<size_t*>(grown);
    g_free_capacity = capacity;
  }
  g_free_places[g_free_count++] = index;
}

// --- chunks

// A new chunk bound to home h (null: to no pool).
Chunk* allocate(size_t size, Home* h) {
  Chunk* c = static_cast<Chunk*>(::operator new(sizeof(Chunk) + size, std::nothrow));
  if (c == nullptr) return nullptr;
  c->home = h == nullptr ? kDirect : tag_of(h);
  if (h != nullptr) h->refs.fetch_add(1, std::memory_order_relaxed);
  return c;
}

void unref(Home* h) {
  if (h->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  h->~Home();
  std::free(h);
}

void discard(Chunk* c) {
  Home* h = home_of(c->home);
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
    for (unsigned i = 0; i < kDirect; ++i) close(kite_chunk_slots[i]);
    Later& later = kite_chunk_later;
    for (size_t i = 0; i < later.size; ++i) close(later.slots[i]);
    std::free(later.slots);
    later = Later();
  }
};

// The calling thread's slot for the place index, made when it has none yet; null without
// memory for it. The first slot a thread makes arranges for its slots to be closed when it
// ends.
Slot* place(size_t index) {
  if (tls_state == kFresh) {
    static thread_local Thread_End end;
    tls_state = kHooked;
  }
  if (index < kDirect) return &kite_chunk_slots[index];
  Later& later = kite_chunk_later;
  const size_t at = index - kDirect;
  if (at < later.size) return &later.slots[at];
  size_t size = later.size < 8 ? 8 : 2 * later.size;
  if (size <= at) size = at + 1;
  void* grown = std::realloc(later.slots, size * sizeof(Slot));
  if (grown == nullptr) return nullptr;
  later.slots = static_cast<Slot*>(grown);
  for (size_t i = later.size; i < size; ++i) later.slots[i] = Slot();
  later.size = size;
  return &later.slots[at];
}

// Makes s serve the pool id, closing what it served before (a destroyed pool's).
void open(Slot& s, uint64_t id, unsigned limit) {
  if (s.id != 0) close(s);
  s.id = id;
  s.limit = limit;
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

}  // namespace

KITE_Chunk_Pool::Slot* KITE_Chunk_Pool::slot(size_t index) {
  if (index < kDirect) return &kite_chunk_slots[index];
  const Later& later = kite_chunk_later;
  return index - kDirect < later.size ? &later.slots[index - kDirect] : nullptr;
}

void* KITE_Chunk_Pool::get_later(uint64_t id) {
  Slot* s = slot(index_of(id));
  if (s == nullptr || s->id != id || s->cache == nullptr) return nullptr;
  Chunk* c = s->cache;
  s->cache = c->link;
  --s->cached;
  return c + 1;
}

KITE_Chunk_Pool::~KITE_Chunk_Pool() {
  const uint64_t id = id_.load(std::memory_order_relaxed);
  if (id == 0) return;
  Slot* s = slot(index_of(id));
  if (tls_state != kEnded && s != nullptr && s->id == id) close(*s);
  give_back_place(index_of(id));
}

uint64_t KITE_Chunk_Pool::id() const {
  uint64_t id = id_.load(std::memory_order_acquire);
  if (id != 0) return id;
  const size_t index = take_place();
  const uint64_t serial = g_serial.fetch_add(1, std::memory_order_relaxed) + 1;
  const uint64_t mine = serial << kIndexBits | index;
  if (id_.compare_exchange_strong(id, mine, std::memory_order_acq_rel)) return mine;
  give_back_place(index);
  return id;  // another thread assigned it first
}

void* KITE_Chunk_Pool::get_slow(bool* fresh) {
  *fresh = true;
  const uint64_t id = this->id();
  Slot* s = tls_state == kEnded ? nullptr : place(index_of(id));
  if (s == nullptr) return get_unpooled(size_);
  if (s->id != id) open(*s, id, perthread_);
  if (s->home == 0) {
    // Bookkeeping, not a chunk: from the C allocator, on a line of its own.
    void* memory = std::aligned_alloc(alignof(Home), sizeof(Home));
    if (memory == nullptr) return get_unpooled(size_);
    s->home = tag_of(new (memory) Home(id, perthread_));
  }
  take_back(*s);
  if (s->cache != nullptr) return get(fresh);
  Chunk* c = allocate(size_, home_of(s->home));
  return c == nullptr ? nullptr : c + 1;
}

void* KITE_Chunk_Pool::get_unpooled(size_t n) {
  Chunk* c = allocate(n, nullptr);
  return c == nullptr ? nullptr : c + 1;
}

// A chunk of a later place, or not the thread's own, or its cache is full: cached, batched
// on its way home, or freed.
void KITE_Chunk_Pool::put_slow(Chunk* c) {
  Home* h = home_of(c->home);
  Slot* s = h == nullptr || tls_state == kEnded ? nullptr : place(index_of(h->id));
  if (s != nullptr && s->home == c->home) {
    if (s->cached >= s->limit) {
      discard(c);
      return;
    }
    c->link = s->cache;
    s->cache = c;
    ++s->cached;
    return;
  }
  if (h == nullptr) {
    discard(c);
    return;
  }
  // Another thread's chunk. Where the place serves another pool (one of the two was
  // destroyed), or the thread is ending, it goes home alone.
  if (s == nullptr || (s->id != h->id && s->id != 0)) {
    c->link = nullptr;
    send(h, c, c, 1);
    return;
  }
  if (s->id != h->id) open(*s, h->id, h->limit);
  if (s->batch_home != c->home) {
    flush(*s);
    s->batch_home = c->home;
    s->batch_last = c;
  }
  c->link = s->batch_first;
  s->batch_first = c;
  if (++s->batched == kBatch) flush(*s);
}

unsigned int KITE_Chunk_Pool::cached() const {
  const uint64_t id = id_.load(std::memory_order_relaxed);
  const Slot* s = slot(index_of(id));
  if (id == 0 || s == nullptr || s->id != id) return 0;
  const Home* h = home_of(s->home);
  return s->cached + (h == nullptr ? 0 : h->waiting.load(std::memory_order_relaxed));
}
