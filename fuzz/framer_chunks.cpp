// SPDX-License-Identifier: MIT
// Fuzzes the message assembler with random chunkings of random bytes, each chunk fed with
// input() or feed(): after every chunk the delivered messages, the over-long line's
// exception and feed()'s count must be those of a plain reference splitter. The assembler
// is the plain machine with the pooled factory or smdbf, or a machine whose collect state
// is derived, so the bulk paths and the per-character path meet the same reference.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "KITE_READ2/KITE_Framer.h"
#include "tests/support/fuzz_check.h"
#include "tests/support/per_character_assembler.h"

namespace {

constexpr size_t kMessageSize = KITE::Message_Assembler::MESSAGE_SIZE;

bool is_line_end(char ch) {
  return ch == '\n' || ch == '\r';
}

// One character at a time, by the rules the assembler documents.
class Reference {
 public:
  // Feeds a chunk and returns how many over-long lines it dropped; without resume, the
  // first of them ends the chunk.
  int input(const std::vector<char>& chunk, bool resume) {
    int dropped = 0;
    for (char ch : chunk) {
      if (discarding_) {
        discarding_ = !is_line_end(ch);
        continue;
      }
      if (line_.size() == kMessageSize) {
        line_.clear();
        discarding_ = !is_line_end(ch);
        ++dropped;
        if (!resume) return dropped;
        continue;
      }
      line_ += ch;
      if (is_line_end(ch)) {
        messages.push_back(line_);
        line_.clear();
      }
    }
    return dropped;
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

// Feeds a chunk with input(); returns 1 when it raised the over-long line's exception.
int input(KITE::Message_Assembler& assembler, const std::vector<char>& chunk) {
  try {
    assembler.input(chunk.data(), static_cast<int>(chunk.size()));
  } catch (const BufferOverflow& e) {
    kite_test::fuzz_check(std::strcmp(e.what(), "BufferOverflow: 1 wanted 0 free") == 0,
                          "wrong exception text");
    return 1;
  }
  return 0;
}

void run(KITE::Message_Assembler& assembler, Recorder& recorder, FuzzedDataProvider& in) {
  Reference reference;
  while (in.remaining_bytes() > 0) {
    const bool resume = in.ConsumeBool();
    const std::vector<char> chunk = next_chunk(in);
    const int dropped = resume ? assembler.feed(chunk.data(), static_cast<int>(chunk.size()))
                               : input(assembler, chunk);
    kite_test::fuzz_check(dropped == reference.input(chunk, resume),
                          "over-long lines differ from the reference");
    kite_test::fuzz_check(recorder.messages == reference.messages,
                          "messages differ from the reference");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  Recorder recorder;
  switch (in.ConsumeIntegralInRange(0, 2)) {
    case 0: {
      kite_test::PerCharacterAssembler assembler(&recorder);
      run(assembler, recorder, in);
      break;
    }
    case 1: {
      KITE::Message_Assembler assembler(&recorder, &smdbf);
      run(assembler, recorder, in);
      break;
    }
    default: {
      KITE::Message_Assembler assembler(&recorder, &pdbf);
      run(assembler, recorder, in);
    }
  }
  return 0;
}
