// SPDX-License-Identifier: MIT
// An assembler whose machine derives its collect state without changing it, so the plain
// machine's bulk path never applies and every character takes the per-character path.
// The reference for that path in the fuzz target and the framer benchmark.
#ifndef KITE_TESTS_PER_CHARACTER_ASSEMBLER_H
#define KITE_TESTS_PER_CHARACTER_ASSEMBLER_H

#include "KITE_READ2/KITE_Framer.h"

namespace kite_test {

class DerivedCollect : public KITE::Message_Assembler::CollectMessageState {
 public:
  using CollectMessageState::CollectMessageState;
};

class DerivedMachine : public KITE::Message_Assembler::StateMashine {
 public:
  using StateMashine::StateMashine;
  KITE::Message_Assembler::State* getCollectMessageState() override {
    if (collectmsg_state_ == nullptr) collectmsg_state_ = new DerivedCollect(this);
    return collectmsg_state_;
  }
};

class PerCharacterAssembler : public KITE::Message_Assembler {
 public:
  explicit PerCharacterAssembler(KITE::Message_Observer* observer) {
    statemashine_ = new DerivedMachine(observer);
    statemashine_->init();
  }
};

}  // namespace kite_test

#endif
