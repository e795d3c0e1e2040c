// SPDX-License-Identifier: MIT
// Fuzzes the log stream with streamed text, a format without arguments: whatever the bytes,
// one flush hands exactly one line of at most 254 characters to the backends, at the
// streamed priority, and text without '%' or '@' arrives as it was written (up to a zero
// byte, with a newline added when it lacks one, cut at 254 characters or just before a UTF-8
// character the cut would split).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/fuzz_check.h"
#include "tests/support/recording_backend.h"

namespace {

const size_t kLineMax = 254;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto priority = static_cast<KITE_LogMsg_Stream::Priority>(data[0] % 8);
  const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);

  kite_test::LogCapture capture;
  *kite_test::log_stream() << priority << text << std::flush;
  const std::vector<kite_test::LogLine> lines = capture.lines();

  if (text.empty()) {
    kite_test::fuzz_check(lines.empty(), "a flush with nothing gathered wrote a line");
    return 0;
  }
  kite_test::fuzz_check(lines.size() == 1, "one flush did not give exactly one line");
  const kite_test::LogLine& line = lines[0];
  kite_test::fuzz_check(line.priority == priority, "wrong priority");
  kite_test::fuzz_check(line.len >= 0 && static_cast<size_t>(line.len) <= kLineMax,
                        "line longer than 254");

  const std::string format = text.substr(0, text.find('\0'));
  if (format.find_first_of("%@") == std::string::npos) {
    std::string expected = format;
    if (expected.empty() || expected.back() != '\n') expected += '\n';
    if (expected.size() <= kLineMax) {
      kite_test::fuzz_check(line.text == expected, "plain text changed on its way");
      return 0;
    }
    // A cut drops at most the first three bytes of the character that the limit splits.
    const size_t kept = line.text.size();
    kite_test::fuzz_check(kept + 3 >= kLineMax && expected.compare(0, kept, line.text) == 0,
                          "cut text changed on its way");
    kite_test::fuzz_check(kept == kLineMax || static_cast<unsigned char>(expected[kept]) >= 0xC0,
                          "cut before a byte that starts no character");
  }
  return 0;
}
