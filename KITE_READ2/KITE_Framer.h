// SPDX-License-Identifier: MIT
/// \file
/// KITE::Message_Assembler: cuts a character stream into line-terminated messages and hands
/// each finished message to a Message_Observer.
///
///     Message_Assembler::input(chunk, n) -> StateMashine::consume(ch)
///                                        -> current state's consume(ch)
///
///                LF or CR stored                       block handed to the observer
///     collect ------------------------> send (enter) ------------------------------> begin state
///        ^  \                                           (collect: new MESSAGE_SIZE block)
///        |   \ MESSAGE_SIZE + 1st character: the message is dropped
///        |    v
///        +--- discard <- every character up to and including the next LF or CR
///
/// Messages: each is one KITE_Message_Block of MESSAGE_SIZE (1024) bytes that is never
/// extended, so a message holds at most 1024 characters, its line end included. LF and CR
/// each end a message (CR LF gives two); every other character, zero included, is stored as
/// it is. The observer receives the block with read position 0 and length() the message's
/// size, owns it from then on and must release() it. Its data block comes from the factory
/// given to the assembler: the pooled factory pdbf unless another is named (smdbf gives
/// exactly the blocks of KITE_Message_Block(MESSAGE_SIZE)). The message block wraps it
/// (KITE_Message_Block::wrap()): with pdbf its record lies in the data block's chunk, and both
/// go back to the pool together after the line.
///
/// Over-long lines: the 1025th character without a line end drops the message, and the
/// machine discards characters up to and including the next line end; the overflowing
/// character is the first of them, so when it is itself a line end, nothing more is
/// discarded. Assembly then resumes with the next line. The machine tells input() and feed()
/// of the line by its status, not by an exception: input() raises BufferOverflow ("1 wanted 0
/// free") for it and leaves the rest of its chunk unread; feed() goes on with the rest of the
/// chunk and counts the line instead, so a caller that hands over whole chunks loses no good
/// line. Neither catches anything: what the observer throws passes through unchanged.
///
/// Extending: a derived Message_Assembler sets statemashine_ to a machine derived from
/// StateMashine and calls its init(); the machine's state getters, init() and
/// allocateMessageBlock() are virtual. A state consumes characters and may switch the
/// machine with changeState(); enter() runs after the switch, so it may switch again.
///
/// Ownership: the assembler owns its machine; the machine owns the block being filled and
/// the states in its slots (collectmsg_state_, sendmsg_state_, discardline_state_), and
/// frees them when the assembler is destroyed. Observer and factory are not owned.
///
/// Re-entrance: characters that the observer feeds to the same assembler from process() meet
/// the send state: each is reported at ERROR ("SendMessageState: Transition not defined ")
/// and dropped.
///
/// Not locked: one thread at a time calls input() or feed(); the observer runs on that
/// thread, inside the call. A block released on another thread goes back to the thread that
/// made it (pdbf's cache). Tracing goes to the channel "KITE_Framer"
/// ("DBG_KITE_Framer" or "DBG_ALL"): two lines per character, and one per state entered.
///
/// Cost: with tracing off and the machine the one the assembler's constructor made, each line
/// is found and copied in one pass, delivered and replaced by a block from the factory without
/// going through the machine character by character; an over-long line is skipped in one
/// pass. With pdbf and an observer that releases on the same thread, a line costs no
/// allocation, and taking its block and giving it back are a few loads and stores each.
/// Derived machines, derived states and tracing take the per-character path (a derived
/// machine still copies runs without line ends in one go while its collect state is the one
/// StateMashine::getCollectMessageState() made).
#ifndef KITE_READ2_KITE_FRAMER_H
#define KITE_READ2_KITE_FRAMER_H

#include <cstddef>

#include "BOLT/export.h"
#include "KITE/KITE_Exceptions.h"
#include "KITE/KITE_Message_Block.h"
#include "KITE/KITE_Pooled_Data_Block_Factory.h"
#include "errorhandling/errorclass.h"

namespace KITE {

/// Receives each finished message; the block belongs to the observer, which releases it.
class KITE_EXPORT Message_Observer {
 public:
  /// A finished message: read position 0, length() its size. Runs inside the assembler's
  /// input() or feed(); what it throws passes through them.
  virtual void process(KITE_Message_Block* mb) = 0;

 protected:
  /// Observers are not deleted through this interface.
  ~Message_Observer() = default;
};

/// Cuts a character stream into line-terminated messages and hands each finished message to
/// a Message_Observer; the file's description gives the messages, over-long lines, how to
/// extend it, ownership, threads and cost.
class KITE_EXPORT Message_Assembler {
 public:
  /// Capacity of every message block: a message holds at most this many characters, its
  /// line end included.
  static constexpr unsigned int MESSAGE_SIZE = 1024;

  class StateMashine;

  /// A state of the machine; derived states override consume() and, if they act on entry,
  /// enter().
  class KITE_EXPORT State {
   public:
    /// A state of sm, called name.
    State(StateMashine* sm, const char* name) : sm_(sm), name_(name) {}
    /// Takes the next character of the stream while the state is current.
    virtual void consume(char ch) = 0;
    /// ch is the character that caused the transition, 0 at start-up. Does nothing here.
    virtual void enter(char ch);
    virtual ~State();

    /// Informational only.
    const char* name() const { return name_; }

    State(const State&) = delete;
    State& operator=(const State&) = delete;

   protected:
    StateMashine* sm_;  ///< the machine; not owned

   private:
    const char* name_;
  };

  /// Appends each character to the current block; a line end switches to the send state.
  class KITE_EXPORT CollectMessageState : public State {
   public:
    /// The collect state of sm.
    explicit CollectMessageState(StateMashine* sm);
    /// Stores ch in the current block; a line end switches to the send state, a full block
    /// drops the line (StateMashine::dropLine()).
    void consume(char ch) override;
    /// Makes the machine allocate a block unless it has one.
    void enter(char ch) override;
  };

  /// Delivers the block on entry and returns to the begin state at once. Characters that
  /// reach it (fed from inside the observer) are reported and dropped.
  class KITE_EXPORT SendMessageState : public State {
   public:
    /// The send state of sm.
    explicit SendMessageState(StateMashine* sm);
    /// Reports ch at ERROR and drops it.
    void consume(char ch) override;
    /// Hands the block to the observer, then switches to the begin state, also when the
    /// observer throws.
    void enter(char ch) override;
  };

  /// After an over-long line: drops characters up to and including the next line end.
  class KITE_EXPORT DiscardLineState : public State {
   public:
    /// The discard state of sm.
    explicit DiscardLineState(StateMashine* sm);
    /// Drops ch; a line end switches to the begin state.
    void consume(char ch) override;
    /// Traces the entry; nothing else.
    void enter(char ch) override;
  };

  /// The machine: the current state, the block being filled and the states in its slots.
  class KITE_EXPORT StateMashine {
   public:
    /// The current state is set by init(). Message blocks come from factory.
    explicit StateMashine(Message_Observer* processor, KITE_Data_Block_Factory* factory = &pdbf);
    StateMashine(const StateMashine&) = delete;
    StateMashine& operator=(const StateMashine&) = delete;

    /// Traces ch, then hands it to the current state.
    void consume(char ch);
    /// Enters the begin state with 0; for the base machine that allocates the first block.
    virtual void init();
    /// Makes ns current, then calls its enter(ch).
    void changeState(State* ns, char ch);
    /// Makes a message block of MESSAGE_SIZE bytes from the factory current unless there is
    /// one. Throws NoMoreDynamicMemory.
    virtual void allocateMessageBlock();
    /// Hands the current block to the observer, which owns it from then on. The slot is
    /// cleared before the call, so the observer owns the block also when it throws or feeds
    /// this assembler again.
    void sendMessageBlock() {
      KITE_Message_Block* block = currentblock_;
      currentblock_ = nullptr;
      processor_->process(block);
    }
    /// The current block is full and cannot take ch: drops the message and, unless ch is a
    /// line end, discards up to and including the next one. Allocates a fresh block.
    void dropLine(char ch);

    /// \name The cached states, made on first request
    /// They throw NoMoreDynamicMemory.
    ///@{

    /// The collect state, a CollectMessageState.
    virtual State* getCollectMessageState();
    /// The send state, a SendMessageState.
    virtual State* getSendMessageState();
    /// The state that starts each message: the collect state.
    virtual State* getBeginReadingState();
    /// The discard state, a DiscardLineState.
    virtual State* getDiscardLineState();

    ///@}

    /// Frees the block being filled and the states in the slots.
    virtual ~StateMashine();

    /// The block being filled; null between a delivery and the next allocation.
    KITE_Message_Block* currentblock() { return currentblock_; }
    /// The current state.
    State* getCurrentState() { return currentstate_; }

   protected:
    /// For derived machines: no observer and no states yet, blocks from pdbf; the derived
    /// constructor sets what it needs.
    StateMashine();

    Message_Observer* processor_;       ///< not owned
    KITE_Message_Block* currentblock_;  ///< null between a delivery and the next allocation
    State* currentstate_;               ///< the state that consumes the next character
    State* collectmsg_state_;           ///< getCollectMessageState()'s, owned
    State* sendmsg_state_;              ///< getSendMessageState()'s, owned
    State* discardline_state_;          ///< getDiscardLineState()'s, owned
    KITE_Data_Block_Factory* factory_;  ///< not owned

   private:
    friend class Message_Assembler;

    /// How a run of characters ended: at the end of the chunk, or at an over-long line, which
    /// the machine dropped (dropLine()).
    enum class Stop { kEnd, kOverLong };
    /// Feeds the characters from p to end and leaves p behind the last one consumed.
    KITE_NO_EXPORT Stop run(const char*& p, const char* end);
    /// The bulk paths, taken while the per-character path would do nothing else (see the
    /// definitions). Each returns where it stopped.
    KITE_NO_EXPORT const char* runLines(const char* p, const char* end);
    KITE_NO_EXPORT const char* runLinesAvx2(const char* p, const char* end);
    template <size_t (*copy)(char* to, const char* from, size_t n)>
    KITE_NO_EXPORT const char* copyLines(const char* p, const char* end);
    KITE_NO_EXPORT const char* collectRun(const char* p, const char* end);
    KITE_NO_EXPORT void sendPlain();
    KITE_NO_EXPORT void beginPlain();
    /// Makes the current block over a block of the factory's. Throws NoMoreDynamicMemory.
    KITE_NO_EXPORT void newBlock();

    /// Exactly this class, made by Message_Assembler's constructor: the bulk path may stand in
    /// for the per-character one.
    bool plain_;
    /// The collect state getCollectMessageState() of this class made, so exactly
    /// CollectMessageState; null until then.
    State* plain_collect_;
    unsigned long dropped_;  ///< lines dropped by dropLine(), ever
  };

  /// Makes the machine and enters its begin state, which allocates the first block from
  /// factory. Throws NoMoreDynamicMemory.
  explicit Message_Assembler(Message_Observer* processor, KITE_Data_Block_Factory* factory = &pdbf);
  /// Frees the machine, with the block it was filling.
  virtual ~Message_Assembler();

  Message_Assembler(const Message_Assembler&) = delete;
  Message_Assembler& operator=(const Message_Assembler&) = delete;

  /// Feeds the len characters at buffer, in order, to the machine; nothing for len <= 0.
  /// The buffer is not kept. Throws BufferOverflow (see above), NoMoreDynamicMemory, and
  /// whatever the observer throws (the machine is then back in its begin state); the
  /// characters after the one that raised it are not consumed.
  void input(const char* buffer, int len);
  /// The same, except for over-long lines: each is dropped as above without an exception
  /// and the rest of the chunk is fed as well. Returns how many lines it dropped (a line
  /// counts once, in the call that received its 1025th character). Throws
  /// NoMoreDynamicMemory and what the observer throws, as input() does.
  int feed(const char* buffer, int len);

 protected:
  /// For derived assemblers, which set statemashine_ and call its init().
  Message_Assembler();

  StateMashine* statemashine_;  ///< the machine; owned
};

}  // namespace KITE

#endif
