// SPDX-License-Identifier: MIT
// Fuzzes the log stream's printf-style path with formats made of directives, @-tokens and
// text: whatever the tokens, the arguments are read exactly as the C library reads the
// same format with the tokens left as text. Every argument is a marker "<n>", so the order
// of the markers in the line shows which directive read which argument.
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "tests/support/fuzz_check.h"
#include "tests/support/recording_backend.h"

namespace {

// Each piece reads at most one argument; %b and %B read a marker's address as a number,
// which takes its place all the same. The last pieces make directives with their parts in
// and out of glibc's order ("%5h.@"). No "$": a format that mixes argument positions with
// plain directives is undefined, and glibc reads wrong arguments on it by itself.
const char* const kPieces[] = {
    "%s", "%5s", "%-7s",  "%.2s",  "%%",      "%m",   "%b",   "%#B",   "%",       "%5", "%-",
    "%@", "%5@", "@PROG", "@FILE", "@LINE",   "@PID", "@TID", "@TIME", "@ERRSTR", "@",  "@FI",
    "x",  " ",   "\n",    "%%m",   "%%@FILE", "h",    "l",    ".",     "5",       "0",  "'",
};
const size_t kPieceCount = sizeof kPieces / sizeof kPieces[0];
const int kMaxPieces = 24;

const char* const kMarkers[kMaxPieces] = {
    "<0>",  "<1>",  "<2>",  "<3>",  "<4>",  "<5>",  "<6>",  "<7>",  "<8>",  "<9>",  "<10>", "<11>",
    "<12>", "<13>", "<14>", "<15>", "<16>", "<17>", "<18>", "<19>", "<20>", "<21>", "<22>", "<23>"};

#define KITE_FUZZ_MARKERS                                                                    \
  kMarkers[0], kMarkers[1], kMarkers[2], kMarkers[3], kMarkers[4], kMarkers[5], kMarkers[6], \
      kMarkers[7], kMarkers[8], kMarkers[9], kMarkers[10], kMarkers[11], kMarkers[12],       \
      kMarkers[13], kMarkers[14], kMarkers[15], kMarkers[16], kMarkers[17], kMarkers[18],    \
      kMarkers[19], kMarkers[20], kMarkers[21], kMarkers[22], kMarkers[23]

ssize_t log_with(const char* format, ...) {
  va_list argp;
  va_start(argp, format);
  const ssize_t count = kite_test::log_stream()->log(format, KITE_LogMsg_Stream::ERROR, argp);
  va_end(argp);
  return count;
}

std::string reference_with(const char* format, ...) {
  va_list argp;
  va_start(argp, format);
  char text[4096];
  const int count = std::vsnprintf(text, sizeof text, format, argp);
  va_end(argp);
  return count < 0 ? std::string() : std::string(text);
}

std::vector<std::string> markers(const std::string& text) {
  static const std::regex marker("<[0-9]+>");
  std::vector<std::string> found;
  for (std::sregex_iterator it(text.begin(), text.end(), marker), end; it != end; ++it)
    found.push_back(it->str());
  return found;
}

}  // namespace

// The sanitizer's own check of printf formats does not know %b and stops on it; the C
// library, which formats them, is what is under test.
extern "C" const char* __asan_default_options() {
  return "check_printf=0";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::string format;
  for (int i = 0; i < kMaxPieces && in.remaining_bytes() > 0; ++i)
    format += kPieces[in.ConsumeIntegralInRange<size_t>(0, kPieceCount - 1)];

  kite_test::LogCapture capture;
  // Replacements with directives of their own, which must read nothing.
  kite_test::log_stream()->info("f%s%b%", 7, 0, 2);
  const ssize_t count = log_with(format.c_str(), KITE_FUZZ_MARKERS);
  const std::string reference = reference_with(format.c_str(), KITE_FUZZ_MARKERS);
  const std::vector<kite_test::LogLine> lines = capture.lines();
  if (count < 0) return 0;  // the C library refused the format (a trailing '%')
  kite_test::fuzz_check(lines.size() == 1, "one call did not give one line");

  const std::vector<std::string> expected = markers(reference);
  const std::vector<std::string> got = markers(lines[0].text);
  kite_test::fuzz_check(
      got.size() <= expected.size() && std::equal(got.begin(), got.end(), expected.begin()),
      "a directive read another argument than without the tokens");
  // Only a line cut at 254 characters may have lost markers at its end.
  if (count <= 254) kite_test::fuzz_check(got == expected, "markers lost");
  return 0;
}
