// SPDX-License-Identifier: MIT
#include "KITE/KITE_Chunk_Pool.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

__thread KITE_Chunk_Pool::Table kite_chunk_table;

KITE_Chunk_Pool::Home KITE_Chunk_Pool::kNobody{};

namespace {

using Chunk = KITE_Chunk_Pool::Chunk;
using Home = KITE_Chunk_Pool::Home;
using Table = KITE_Chunk_Pool::Table;

Home* const kNoHome = &KITE_Chunk_Pool::kNobody;

// A marker no chunk address can be.
// NOLINTNEXTLINE(performance-no-int-to-ptr)
Chunk* const kClosed = reinterpret_cast<Chunk*>(uintptr_t(1));

enum Thread_State { kFresh, kHooked, kEnded };

thread_local Thread_State tls_state = kFresh;

// --- places: indices into every thread's table, one per live pool

std::mutex g_places_mutex;
size_t* g_free_places = nullptr;  // a stack of indices given back, under the mutex
size_t g_free_count = 0;
size_t g_free_capacity = 0;
size_t g_next_place = 0;
std::atomic<uint64_t> g_serial{0};

// An index given back before, or the next one never handed out.
size_t take_place() {
  std::lock_guard<std::mutex> lock(g_places_mutex);
  return g_free_count != 0 ? g_free_places[--g_free_count] : g_next_place++;
}

void give_back_place(size_t index) {
  std::lock_guard<std::mutex> lock(g_places_mutex);
  if (g_free_count == g_free_capacity) {
    const size_t capacity = g_free_capacity == 0 ? 16 : 2 * g_free_capacity;
    void* grown = std::realloc(g_free_places, capacity * sizeof(size_t));
    if (grown == nullptr) return;  // the index stays unused: a place lost, nothing else
    g_free_places = static_cast<size_t*>(grown);
    g_free_capacity = capacity;
  }
  g_free_places[g_free_count++] = index;
}

// --- chunks

const void* me() {
  return &kite_chunk_table;
}

// A new chunk bound to home h (kNoHome: to no pool).
Chunk* allocate(size_t size, Home* h) {
  Chunk* c = static_cast<Chunk*>(::operator new(sizeof(Chunk) + size, std::nothrow));
  if (c == nullptr) return nullptr;
  c->home = h;
  if (h != kNoHome) h->refs.fetch_add(1, std::memory_order_relaxed);
  return c;
}

void unref(Home* h) {
  if (h->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  h->~Home();
  std::free(h);
}

void discard(Chunk* c) {
  Home* h = c->home;
  ::operator delete(c);
  if (h != kNoHome) unref(h);
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

void flush(Home& mine) {
  if (mine.batched == 0) return;
  send(mine.batch_home, mine.batch_first, mine.batch_last, mine.batched);
  mine.batch_home = nullptr;
  mine.batch_first = mine.batch_last = nullptr;
  mine.batched = 0;
}

// Sends the batch home, closes the home to returns and frees its cache; the home itself
// goes with its last chunk.
void close(Home* h) {
  flush(*h);
  h->owner.store(nullptr, std::memory_order_relaxed);
  discard_list(h->returned.exchange(kClosed, std::memory_order_acquire));
  discard_list(h->cache);
  h->cache = nullptr;
  h->cached = 0;
  unref(h);
}

struct Thread_End {
  ~Thread_End() {
    tls_state = kEnded;
    Table& t = kite_chunk_table;
    for (size_t i = 0; i < t.size; ++i) {
      if (t.homes[i] != kNoHome) close(t.homes[i]);
    }
    std::free(static_cast<void*>(t.homes));
    t = Table();
  }
};

// The calling thread's place for index, the table grown to hold it; null without memory.
Home** place(size_t index) {
  Table& t = kite_chunk_table;
  if (index < t.size) return &t.homes[index];
  size_t size = t.size < 8 ? 8 : 2 * t.size;
  if (size <= index) size = index + 1;
  Home** homes = static_cast<Home**>(std::malloc(size * sizeof(Home*)));
  if (homes == nullptr) return nullptr;
  if (t.size != 0) std::memcpy(static_cast<void*>(homes), t.homes, t.size * sizeof(Home*));
  for (size_t i = t.size; i < size; ++i) homes[i] = kNoHome;
  if (tls_state == kFresh) {
    static thread_local Thread_End end;
    tls_state = kHooked;
  }
  std::free(static_cast<void*>(t.homes));
  t.homes = homes;
  t.size = size;
  return &homes[index];
}

// The calling thread's home for the pool id, made when it has none (closing what served a
// destroyed pool in its place); null without memory or after the thread's end.
Home* home_for(uint64_t id, size_t index, unsigned limit) {
  if (tls_state == kEnded) return nullptr;
  Home** at = place(index);
  if (at == nullptr) return nullptr;
  if ((*at)->pool == id) return *at;
  // Bookkeeping, not a chunk: from the C allocator, on a line of its own.
  void* memory = std::aligned_alloc(alignof(Home), sizeof(Home));
  if (memory == nullptr) return nullptr;
  if (*at != kNoHome) close(*at);
  Home* h = new (memory) Home{};
  h->owner.store(me(), std::memory_order_relaxed);
  h->limit = limit;
  h->pool = id;
  h->refs.store(1, std::memory_order_relaxed);
  *at = h;
  return h;
}

// Moves what other threads returned into the (empty) cache, up to the limit.
void take_back(Home& h) {
  if (h.returned.load(std::memory_order_relaxed) == nullptr) return;
  Chunk* c = h.returned.exchange(nullptr, std::memory_order_acquire);
  unsigned taken = 0;
  while (c != nullptr) {
    Chunk* following = c->link;
    ++taken;
    if (h.cached < h.limit) {
      c->link = h.cache;
      h.cache = c;
      ++h.cached;
    } else {
      discard(c);
    }
    c = following;
  }
  h.waiting.fetch_sub(taken, std::memory_order_relaxed);
}

}  // namespace

KITE_Chunk_Pool::~KITE_Chunk_Pool() {
  const uint64_t id = id_.load(std::memory_order_relaxed);
  if (id == 0) return;
  const size_t index = id & kIndexMask;
  Table& t = kite_chunk_table;
  if (tls_state != kEnded && index < t.size && t.homes[index]->pool == id) {
    close(t.homes[index]);
    t.homes[index] = kNoHome;
  }
  give_back_place(index);
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

void* KITE_Chunk_Pool::get(bool* fresh) {
  void* chunk = get_cached();
  if (chunk == nullptr) return get_slow(fresh);
  *fresh = false;
  return chunk;
}

void* KITE_Chunk_Pool::get_slow(bool* fresh) {
  *fresh = true;
  const uint64_t id = this->id();
  Home* h = home_for(id, id & kIndexMask, perthread_);
  if (h == nullptr) return get_unpooled(size_);
  take_back(*h);
  if (h->cache != nullptr) return get(fresh);
  Chunk* c = allocate(size_, h);
  return c == nullptr ? nullptr : c + 1;
}

void* KITE_Chunk_Pool::get_unpooled(size_t n) {
  Chunk* c = allocate(n, kNoHome);
  return c == nullptr ? nullptr : c + 1;
}

// Not the thread's own chunk, or its cache is full: batched on the way home, or freed.
void KITE_Chunk_Pool::put_slow(Chunk* c) {
  Home* h = c->home;
  if (h == kNoHome || h->owner.load(std::memory_order_relaxed) == me()) {
    discard(c);
    return;
  }
  // The calling thread's home for the chunk's pool gathers the batch. Where its place
  // serves another pool (one of the two was destroyed), or the thread is ending, the chunk
  // goes home alone.
  const size_t index = h->pool & kIndexMask;
  const Table& t = kite_chunk_table;
  const bool taken = index < t.size && t.homes[index] != kNoHome && t.homes[index]->pool != h->pool;
  Home* mine = taken ? nullptr : home_for(h->pool, index, h->limit);
  if (mine == nullptr) {
    c->link = nullptr;
    send(h, c, c, 1);
    return;
  }
  if (mine->batch_home != h) {
    flush(*mine);
    mine->batch_home = h;
    mine->batch_last = c;
  }
  c->link = mine->batch_first;
  mine->batch_first = c;
  if (++mine->batched == kBatch) flush(*mine);
}

unsigned int KITE_Chunk_Pool::cached() const {
  const uint64_t id = id_.load(std::memory_order_relaxed);
  const Table& t = kite_chunk_table;
  const size_t index = id & kIndexMask;
  if (id == 0 || index >= t.size || t.homes[index]->pool != id) return 0;
  const Home* h = t.homes[index];
  return h->cached + h->waiting.load(std::memory_order_relaxed);
}
