// SPDX-License-Identifier: MIT
// Fuzzes the message assembler with random chunkings of random bytes: after every chunk the
// delivered messages and the over-long line's exception must be those of a plain reference
// splitter. Half of the inputs go to a machine whose collect state is derived, so both the
// bulk path and the per-character path are checked against the same reference.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "KITE_READ2/KITE_Framer.h"
#include "tests/support/per_character_assembler.h"

namespace {

constexpr size_t kMessageSize = 1024;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "framer: %s\n", what);
  std::abort();
}

bool is_line_end(char ch) {
  return ch == '\n' || ch == '\r';
}

// One character at a time, by the rules the assembler documents.
class Reference {
 public:
  // Feeds a chunk; returns whether it overflowed, which ends the chunk.
  bool input(const std::vector<char>& chunk) {
    for (char ch : chunk) {
      if (discarding_) {
        discarding_ = !is_line_end(ch);
        continue;
      }
      if (line_.size() == kMessageSize) {
        line_.clear();
        discarding_ = !is_line_end(ch);
        return true;
      }
      line_ += ch;
      if (is_line_end(ch)) {
        messages.push_back(line_);
        line_.clear();
      }
    }
    return false;
  }

  std::vector<std::string> messages;

 private:
  std::string line_;
  bool discarding_ = false;
};

class Recorder : public KITE::Message_Observer {
 public:
  void process(KITE_Message_Block* mb) override {
    messages.emplace_back(mb->rd_ptr(), mb->length());
    mb->release();
  }
  std::vector<std::string> messages;
};

// A chunk of raw bytes, or a run of one byte (so that over-long lines are common).
std::vector<char> next_chunk(FuzzedDataProvider& in) {
  if (in.ConsumeBool()) {
    const size_t length = in.ConsumeIntegralInRange<size_t>(0, 3 * kMessageSize);
    return std::vector<char>(length, in.ConsumeIntegral<char>());
  }
  return in.ConsumeBytes<char>(in.ConsumeIntegralInRange<size_t>(0, 2 * kMessageSize));
}

void run(KITE::Message_Assembler& assembler, Recorder& recorder, FuzzedDataProvider& in) {
  Reference reference;
  while (in.remaining_bytes() > 0) {
    const std::vector<char> chunk = next_chunk(in);
    bool overflowed = false;
    try {
      assembler.input(chunk.data(), static_cast<int>(chunk.size()));
    } catch (const BufferOverflow& e) {
      check(std::strcmp(e.what(), "BufferOverflow: 1 wanted 0 free") == 0, "wrong exception text");
      overflowed = true;
    }
    check(overflowed == reference.input(chunk), "overflow where the reference has none or v.v.");
    check(recorder.messages == reference.messages, "messages differ from the reference");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Recorder recorder;
  if (in.ConsumeBool()) {
    kite_test::PerCharacterAssembler assembler(&recorder);
    run(assembler, recorder, in);
  } else {
    KITE::Message_Assembler assembler(&recorder);
    run(assembler, recorder, in);
  }
  return 0;
}
