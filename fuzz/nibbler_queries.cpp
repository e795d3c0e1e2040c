// SPDX-License-Identifier: MIT
// Fuzzes the query protocol of sliceload with arbitrary text on a random segment, and
// dumps the segment at a random address. Each query must be echoed once and answered
// either on the output or with a message on the error stream.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "nibbler/Hexlister.h"
#include "nibbler/Queries.h"
#include "tests/support/fuzz_check.h"

namespace {

size_t lines_holding(const std::string& text, const std::string& word) {
  size_t n = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.find(word) != std::string::npos) ++n;
  return n;
}

// Lines a dump of anz bytes from startoff must have: one per 16-byte row it touches,
// and the empty first line of an aligned start.
size_t dump_lines(size_t anz, uint64_t startoff) {
  const bool aligned = startoff % 16 == 0;
  size_t rows = 0;
  if (anz > 0)
    rows = (startoff + anz - 1) / 16 - startoff / 16 + 1;
  else if (!aligned)
    rows = 1;
  return rows + (aligned ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<char> bytes = in.ConsumeBytes<char>(in.ConsumeIntegralInRange<size_t>(0, 48));
  const off_t startoff = in.ConsumeIntegralInRange<off_t>(0, off_t(1) << 40);
  const std::string text = in.ConsumeRemainingBytesAsString();

  BOLT::Mseg seg(bytes.data(), bytes.size());
  const auto* start = reinterpret_cast<const octet_t*>(bytes.data());
  for (auto dump : {Hexlister::dump_hex, Hexlister::dump_ascii}) {
    std::ostringstream out;
    dump(out, start, bytes.size(), startoff);
    const std::string s = out.str();
    kite_test::fuzz_check(
        size_t(std::count(s.begin(), s.end(), '\n')) == dump_lines(bytes.size(), startoff),
        "dump has the wrong number of lines");
  }

  Nibbler nibbler(seg);
  std::istringstream input(text);
  std::ostringstream out, err;
  answer_queries(nibbler, input, out, err);
  const std::string answered = out.str(), complained = err.str();
  const size_t queries = lines_holding(answered, "offset=");
  const size_t answers = size_t(std::count(answered.begin(), answered.end(), '\n')) - queries;
  const size_t refused = lines_holding(complained, "Nibbler::getbits: maxoff=");
  kite_test::fuzz_check(lines_holding(complained, "bitoffset len ?") == queries + 1,
                        "one prompt per query");
  kite_test::fuzz_check(answers + refused == queries, "a query went unanswered");
  return 0;
}
