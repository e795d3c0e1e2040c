// SPDX-License-Identifier: MIT
#include "KITE_READ2/KITE_Framer.h"

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Singleton.h>

#include <algorithm>
#include <cstring>
#include <new>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "errorhandling/KITE_LogMsg_Stream.h"
#include "errorhandling/errorclass.h"
#include "errorhandling/tracegate.h"

namespace KITE {

static_assert(Message_Assembler::MESSAGE_SIZE == KITE_Pooled_Data_Block_Factory::DEFAULT_CAPACITY,
              "pdbf, the assembler's default factory, pools blocks of the message size");

namespace {

tracegate debug("KITE_Framer");

// The channel's print tests the switch itself; testing it here first spares the call on
// every character while tracing is off.
#define KITE_FRAMER_TRACE(...)                   \
  do {                                           \
    if (debug.is_on()) debug.print(__VA_ARGS__); \
  } while (0)

bool is_line_end(char ch) {
  return ch == '\n' || ch == '\r';
}

// Copies the n characters at from to to, up to and including the first LF or CR among
// them; returns how many it copied. Looking and copying in one pass reads the text once.
// Whole groups of 16 or 32 bytes are stored, so bytes behind a line end may be written as
// well: to must have room for n.
size_t copy_to_line_end(char* to, const char* from, size_t n) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + i), v);
    const int ends = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
    if (ends != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(ends))) + 1;
  }
#endif
  for (; i < n; ++i) {
    to[i] = from[i];
    if (is_line_end(from[i])) return i + 1;
  }
  return n;
}

#if defined(__x86_64__)
// For the AVX2 copy: copies the 32 bytes at from to to and marks their line ends (0xFF).
// One lookup by each byte's low four bits gives LF or CR where that is the byte's only chance
// and 0xFF elsewhere, which no byte below 0x80 equals (bytes from 0x80 look up 0), so one
// comparison finds both.
[[gnu::target("avx2")]] inline __m256i copy_32(char* to, const char* from) {
  const __m256i ends_by_low_bits =
      _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, '\n', -1, -1, '\r', -1, -1,  //
                       -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, '\n', -1, -1, '\r', -1, -1);
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), v);
  return _mm256_cmpeq_epi8(v, _mm256_shuffle_epi8(ends_by_low_bits, v));
}

[[gnu::target("avx2")]] inline unsigned mask_32(__m256i ends) {
  return static_cast<unsigned>(_mm256_movemask_epi8(ends));
}

// The same as copy_to_line_end, on processors that have AVX2: the first 32 bytes alone (short
// lines end there), then 64 at a time with one test for both halves.
[[gnu::target("avx2")]] size_t copy_to_line_end_avx2(char* to, const char* from, size_t n) {
  size_t i = 0;
  if (n >= 32) {
    const unsigned ends = mask_32(copy_32(to, from));
    if (ends != 0) return static_cast<size_t>(__builtin_ctz(ends)) + 1;
    i = 32;
  }
  for (; i + 64 <= n; i += 64) {
    const __m256i low = copy_32(to + i, from + i);
    const __m256i high = copy_32(to + i + 32, from + i + 32);
    const __m256i both = _mm256_or_si256(low, high);
    if (_mm256_testz_si256(both, both) == 0) {
      const uint64_t ends = mask_32(low) | uint64_t{mask_32(high)} << 32;
      return i + static_cast<size_t>(__builtin_ctzll(ends)) + 1;
    }
  }
  return i + copy_to_line_end(to + i, from + i, n - i);
}

#endif

#if defined(__x86_64__)
// Whether this processor has AVX2, asked once.
bool has_avx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}
#endif

// The first LF or CR in [p, end), or end.
const char* find_line_end(const char* p, const char* end) {
  const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
  if (lf != nullptr) end = static_cast<const char*>(lf);
  const void* cr = std::memchr(p, '\r', static_cast<size_t>(end - p));
  return cr != nullptr ? static_cast<const char*>(cr) : end;
}

template <class S>
Message_Assembler::State* make_state(Message_Assembler::StateMashine* sm, long line,
                                     const char* function) {
  S* state = new (std::nothrow) S(sm);
  if (state == nullptr) throw NoMoreDynamicMemory(__FILE_NAME__, line, function);
  return state;
}

}  // namespace

// --- states

void Message_Assembler::State::enter(char) {}

Message_Assembler::State::~State() {}

Message_Assembler::CollectMessageState::CollectMessageState(StateMashine* sm)
    : State(sm, "CollectMessage") {}

void Message_Assembler::CollectMessageState::enter(char) {
  KITE_FRAMER_TRACE("Enter State CollectMessageState");
  sm_->allocateMessageBlock();
}

// The character is stored before it is tested for a line end, so a line end is part of its
// message and the 1025th character overflows whatever it is. A full block is an over-long
// line: the machine drops it and tells the caller of input() or feed() (run()); the
// reservation that would raise BufferOverflow is not tried.
void Message_Assembler::CollectMessageState::consume(char ch) {
  KITE_FRAMER_TRACE("CollectMessageState: <- %c", ch);
  // Only after a failed allocation is there no block here.
  if (sm_->currentblock() == nullptr) sm_->allocateMessageBlock();
  KITE_Message_Block* block = sm_->currentblock();
  if (block->wr_rel() >= block->size()) {
    sm_->dropLine(ch);
    return;
  }
  *block->wr_ptr(1u) = ch;
  if (is_line_end(ch)) sm_->changeState(sm_->getSendMessageState(), ch);
}

Message_Assembler::SendMessageState::SendMessageState(StateMashine* sm)
    : State(sm, "SendMessage") {}

// When the observer throws, the machine still goes back to the begin state, so the
// assembler stays usable after the exception has left input().
void Message_Assembler::SendMessageState::enter(char ch) {
  KITE_FRAMER_TRACE("Enter State SendMessageState");
  try {
    sm_->sendMessageBlock();
  } catch (...) {
    sm_->changeState(sm_->getBeginReadingState(), ch);
    throw;
  }
  sm_->changeState(sm_->getBeginReadingState(), ch);
}

void Message_Assembler::SendMessageState::consume(char ch) {
  KITE_FRAMER_TRACE("SendMessageState: <- %c", ch);
  KITE_LogMsg_Stream::instance()->error("SendMessageState: Transition not defined ");
}

Message_Assembler::DiscardLineState::DiscardLineState(StateMashine* sm)
    : State(sm, "DiscardLine") {}

void Message_Assembler::DiscardLineState::enter(char) {
  KITE_FRAMER_TRACE("Enter State DiscardLineState");
}

void Message_Assembler::DiscardLineState::consume(char ch) {
  KITE_FRAMER_TRACE("DiscardLineState: <- %c", ch);
  if (is_line_end(ch)) sm_->changeState(sm_->getBeginReadingState(), ch);
}

// --- machine

Message_Assembler::StateMashine::StateMashine(Message_Observer* processor,
                                              KITE_Data_Block_Factory* factory)
    : StateMashine() {
  processor_ = processor;
  factory_ = factory;
}

Message_Assembler::StateMashine::StateMashine()
    : processor_(nullptr),
      currentblock_(nullptr),
      currentstate_(nullptr),
      collectmsg_state_(nullptr),
      sendmsg_state_(nullptr),
      discardline_state_(nullptr),
      factory_(&pdbf),
      plain_(false),
      plain_collect_(nullptr),
      dropped_(0) {}

Message_Assembler::StateMashine::~StateMashine() {
  if (currentblock_ != nullptr) currentblock_->release();
  delete collectmsg_state_;
  delete sendmsg_state_;
  delete discardline_state_;
}

void Message_Assembler::StateMashine::consume(char ch) {
  KITE_FRAMER_TRACE("StateMachine::Consume('%c'=%d)", ch, ch);
  currentstate_->consume(ch);
}

void Message_Assembler::StateMashine::init() {
  changeState(getBeginReadingState(), 0);
}

void Message_Assembler::StateMashine::changeState(State* ns, char ch) {
  currentstate_ = ns;
  ns->enter(ch);
}

// The record lies in the data block's chunk when the factory's blocks have room for it
// (pooled ones), so that both go back together after the line; the factory is not asked.
inline void Message_Assembler::StateMashine::newBlock() {
  currentblock_ = KITE_Message_Block::wrap(factory_->generate(MESSAGE_SIZE));
  if (currentblock_ == nullptr)
    throw NoMoreDynamicMemory(__FILE_NAME__, __LINE__, "allocateMessageBlock");
}

void Message_Assembler::StateMashine::allocateMessageBlock() {
  if (currentblock_ == nullptr) newBlock();
}

void Message_Assembler::StateMashine::dropLine(char ch) {
  ++dropped_;
  if (!is_line_end(ch)) changeState(getDiscardLineState(), ch);
  if (currentblock_ != nullptr) currentblock_->release();
  currentblock_ = nullptr;
  allocateMessageBlock();
}

Message_Assembler::State* Message_Assembler::StateMashine::getCollectMessageState() {
  if (collectmsg_state_ == nullptr) {
    collectmsg_state_ = make_state<CollectMessageState>(this, __LINE__, "getCollectMessageState");
    plain_collect_ = collectmsg_state_;
  }
  return collectmsg_state_;
}

Message_Assembler::State* Message_Assembler::StateMashine::getSendMessageState() {
  if (sendmsg_state_ == nullptr)
    sendmsg_state_ = make_state<SendMessageState>(this, __LINE__, "getSendMessageState");
  return sendmsg_state_;
}

Message_Assembler::State* Message_Assembler::StateMashine::getBeginReadingState() {
  return getCollectMessageState();
}

Message_Assembler::State* Message_Assembler::StateMashine::getDiscardLineState() {
  if (discardline_state_ == nullptr)
    discardline_state_ = make_state<DiscardLineState>(this, __LINE__, "getDiscardLineState");
  return discardline_state_;
}

// --- bulk paths
//
// The plain machine (made by Message_Assembler's constructor, so exactly StateMashine;
// tracing off) behaves as the table of states says and prints nothing, so the per-character
// path would do exactly what these do in one go: runLines() stores and delivers whole lines
// and skips discarded ones. Only the characters that need a decision of their own (a full
// block, a missing block, the send state while the observer feeds the assembler again) go
// through consume() or dropLine().

Message_Assembler::StateMashine::Stop Message_Assembler::StateMashine::run(const char*& p,
                                                                           const char* end) {
  const bool plain = plain_ && !debug.is_on();
  while (p != end) {
    p = plain ? runLines(p, end) : collectRun(p, end);
    if (p == end) break;
    if (plain && currentstate_ == collectmsg_state_ && currentblock_ != nullptr) {
      dropLine(*p++);  // runLines() stops in the collect state only at a full block
      return Stop::kOverLong;
    }
    // What consume() throws passes on; when it returns, the count tells whether the
    // character dropped a line.
    const unsigned long dropped = dropped_;
    consume(*p++);
    if (dropped_ != dropped) return Stop::kOverLong;
  }
  return Stop::kEnd;
}

// The copy for this processor, chosen once per chunk. The AVX2 loop is compiled for AVX2 as a
// whole, so that its copy is inlined into it.
const char* Message_Assembler::StateMashine::runLines(const char* p, const char* end) {
#if defined(__x86_64__)
  if (has_avx2()) return runLinesAvx2(p, end);
#endif
  return copyLines<copy_to_line_end>(p, end);
}

#if defined(__x86_64__)
[[gnu::target("avx2"), gnu::flatten]] const char* Message_Assembler::StateMashine::runLinesAvx2(
    const char* p, const char* end) {
  return copyLines<copy_to_line_end_avx2>(p, end);
}
#endif

template <size_t (*copy)(char* to, const char* from, size_t n)>
const char* Message_Assembler::StateMashine::copyLines(const char* p, const char* end) {
  while (p != end) {
    if (currentstate_ == discardline_state_) {
      const char* line_end = find_line_end(p, end);
      if (line_end == end) return end;
      p = line_end + 1;
      changeState(getBeginReadingState(), *line_end);
      continue;
    }
    if (currentstate_ != collectmsg_state_ || currentblock_ == nullptr) return p;
    // sendPlain() leaves the collect state current with a new block (or throws), so lines
    // follow each other without a look at the state.
    do {
      KITE_Message_Block* block = currentblock_;
      const size_t room = block->size() - block->wr_rel();
      const size_t limit = std::min(room, static_cast<size_t>(end - p));
      const size_t n = copy(block->wr_ptr(), p, limit);
      block->wr_ptr(static_cast<unsigned int>(n));
      p += n;
      // Short of the limit, the copy stopped behind a line end.
      if (n == limit && (n == 0 || !is_line_end(p[-1]))) return p;
      sendPlain();
    } while (p != end);
  }
  return p;
}

// What changeState(getSendMessageState(), ch) does on the plain machine with the channel
// off: the send state is current while the observer runs, then the collect state with a
// new block, also when the observer throws. The send state is made once, by the first line.
inline void Message_Assembler::StateMashine::sendPlain() {
  currentstate_ = sendmsg_state_ != nullptr ? sendmsg_state_ : StateMashine::getSendMessageState();
  try {
    sendMessageBlock();
  } catch (...) {
    beginPlain();
    throw;
  }
  beginPlain();
}

// The slot is empty: sendMessageBlock() cleared it, and nothing the observer can do on the
// plain machine fills it (input from inside the observer meets the send state).
inline void Message_Assembler::StateMashine::beginPlain() {
  currentstate_ = collectmsg_state_;
  newBlock();
}

// For other machines: while the current state is the collect state this class made (so
// exactly CollectMessageState) and the channel is off, that state would store each character
// up to the next line end with wr_ptr(1) and nothing else, which is what the one copy does.
// The line end and the character that finds the block full go through consume().
const char* Message_Assembler::StateMashine::collectRun(const char* p, const char* end) {
  if (debug.is_on() || currentblock_ == nullptr || currentstate_ != plain_collect_) return p;
  const size_t room = currentblock_->size() - currentblock_->wr_rel();
  const size_t n = std::min(room, static_cast<size_t>(find_line_end(p, end) - p));
  currentblock_->copy(p, static_cast<unsigned int>(n));
  return p + n;
}

// --- assembler

Message_Assembler::Message_Assembler(Message_Observer* processor, KITE_Data_Block_Factory* factory)
    : statemashine_(new (std::nothrow) StateMashine(processor, factory)) {
  if (statemashine_ == nullptr)
    throw NoMoreDynamicMemory(__FILE_NAME__, __LINE__, "Message_Assembler");
  statemashine_->plain_ = true;
  try {
    statemashine_->init();
  } catch (...) {
    delete statemashine_;
    throw;
  }
}

Message_Assembler::Message_Assembler() : statemashine_(nullptr) {}

Message_Assembler::~Message_Assembler() {
  delete statemashine_;
}

// An over-long line stops the machine's run with its status; nothing here catches, so
// whatever the observer throws passes through as it is.
void Message_Assembler::input(const char* buffer, int len) {
  if (len <= 0) return;
  const char* p = buffer;
  if (statemashine_->run(p, buffer + len) == StateMashine::Stop::kOverLong)
    throw BufferOverflow(0, 1);
}

int Message_Assembler::feed(const char* buffer, int len) {
  int dropped = 0;
  const char* const end = buffer + (len > 0 ? len : 0);
  for (const char* p = buffer; p != end;) {
    if (statemashine_->run(p, end) == StateMashine::Stop::kOverLong) ++dropped;
  }
  return dropped;
}

#undef KITE_FRAMER_TRACE

}  // namespace KITE
