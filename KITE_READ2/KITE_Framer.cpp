// SPDX-License-Identifier: MIT
#include "KITE_READ2/KITE_Framer.h"

#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Singleton.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <typeinfo>

#include "errorhandling/KITE_LogMsg_Stream.h"
#include "errorhandling/errorclass.h"
#include "errorhandling/tracegate.h"

namespace KITE {
namespace {

tracegate debug("KITE_Framer");

// The channel's print tests the switch itself; testing it here first spares the call on
// every character while tracing is off.
#define KITE_FRAMER_TRACE(...)                   \
  do {                                           \
    if (debug.is_on()) debug.print(__VA_ARGS__); \
  } while (0)

const unsigned int kMessageSize = 1024;

bool is_line_end(char ch) {
  return ch == '\n' || ch == '\r';
}

// Offset of the first LF or CR among the n characters at p, or n.
size_t line_end_offset(const char* p, size_t n) {
  const void* lf = std::memchr(p, '\n', n);
  if (lf != nullptr) n = static_cast<size_t>(static_cast<const char*>(lf) - p);
  const void* cr = std::memchr(p, '\r', n);
  if (cr != nullptr) n = static_cast<size_t>(static_cast<const char*>(cr) - p);
  return n;
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
// message and the 1025th character overflows whatever it is.
void Message_Assembler::CollectMessageState::consume(char ch) {
  KITE_FRAMER_TRACE("CollectMessageState: <- %c", ch);
  // Only after a failed allocation is there no block here.
  if (sm_->currentblock() == nullptr) sm_->allocateMessageBlock();
  char* at;
  try {
    at = sm_->currentblock()->wr_ptr(1u);
  } catch (const BufferOverflow&) {
    if (!is_line_end(ch)) sm_->changeState(sm_->getDiscardLineState(), ch);
    sm_->dropMessageBlock();
    throw;
  }
  *at = ch;
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
  ACE_TSS_Singleton<KITE_LogMsg_Stream, ACE_Recursive_Thread_Mutex>::instance()->error(
      "SendMessageState: Transition not defined ");
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

Message_Assembler::StateMashine::StateMashine(Message_Observer* processor) : StateMashine() {
  processor_ = processor;
}

Message_Assembler::StateMashine::StateMashine()
    : processor_(nullptr),
      currentblock_(nullptr),
      currentstate_(nullptr),
      collectmsg_state_(nullptr),
      sendmsg_state_(nullptr),
      discardline_state_(nullptr) {}

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

void Message_Assembler::StateMashine::allocateMessageBlock() {
  if (currentblock_ != nullptr) return;
  currentblock_ = new (std::nothrow) KITE_Message_Block(kMessageSize);
  if (currentblock_ == nullptr)
    throw NoMoreDynamicMemory(__FILE_NAME__, __LINE__, "allocateMessageBlock");
}

// The slot is cleared before the call: the observer owns the block from then on, also when
// it throws or feeds this assembler again.
void Message_Assembler::StateMashine::sendMessageBlock() {
  KITE_Message_Block* block = currentblock_;
  currentblock_ = nullptr;
  processor_->process(block);
}

void Message_Assembler::StateMashine::dropMessageBlock() {
  if (currentblock_ != nullptr) currentblock_->release();
  currentblock_ = nullptr;
  allocateMessageBlock();
}

Message_Assembler::State* Message_Assembler::StateMashine::getCollectMessageState() {
  if (collectmsg_state_ == nullptr)
    collectmsg_state_ = make_state<CollectMessageState>(this, __LINE__, "getCollectMessageState");
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

// Taken only when the current state is exactly the base collect state (a derived state
// must see every character) and the channel is off: that state would then store each of
// these characters with wr_ptr(1) and nothing else, which is what the one copy does. Line
// ends and the character that finds the block full go through consume().
size_t Message_Assembler::StateMashine::collectRun(const char* p, size_t n) {
  if (debug.is_on() || currentblock_ == nullptr ||
      typeid(*currentstate_) != typeid(CollectMessageState))
    return 0;
  const size_t room = currentblock_->size() - currentblock_->wr_rel();
  const size_t run = line_end_offset(p, std::min(n, room));
  if (run != 0) currentblock_->copy(p, static_cast<unsigned int>(run));
  return run;
}

// --- assembler

Message_Assembler::Message_Assembler(Message_Observer* processor)
    : statemashine_(new (std::nothrow) StateMashine(processor)) {
  if (statemashine_ == nullptr)
    throw NoMoreDynamicMemory(__FILE_NAME__, __LINE__, "Message_Assembler");
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

void Message_Assembler::input(const char* buffer, int len) {
  if (len <= 0) return;
  const char* p = buffer;
  const char* const end = buffer + len;
  while (p != end) {
    p += statemashine_->collectRun(p, static_cast<size_t>(end - p));
    if (p != end) statemashine_->consume(*p++);
  }
}

#undef KITE_FRAMER_TRACE

}  // namespace KITE
