// SPDX-License-Identifier: MIT
// sliceload: loads a window of a file, dumps it in hexadecimal and as characters, and
// answers bit-field queries read from standard input (see nibbler/Queries.h).
//
//   sliceload file [--offset off] [--size s]
//
// Values take a C prefix (0x hexadecimal, 0 octal). Dumps and answers go to standard
// output; prompts, usage and error texts to standard error. Exit status 0 when the query
// input ends, 1 for a usage error or a failed load.
#include <sys/types.h>

#include <cstdlib>
#include <cstring>
#include <iostream>

#include "nibbler/Hexlister.h"
#include "nibbler/Nibbler.h"
#include "nibbler/Queries.h"
#include "nibbler/SliceLoad.h"
#include "programs/exit_status.h"
#include "programs/help_version.h"

namespace {

SliceLoad slice;

const char kUsage[] = "Aufruf: sliceload file [--offset off] [--size s]";

[[noreturn]] void Usage() {
  std::cerr << kUsage << std::endl;
  std::exit(1);
}

// The value that follows option argv[i], converted like strtol in base 0.
long option_value(int argc, char** argv, int i, const char* missing, const char* illegal) {
  if (i + 1 >= argc) {
    std::cerr << missing << std::endl;
    Usage();
  }
  char* end;
  const long value = std::strtol(argv[i + 1], &end, 0);
  if (*end != '\0') {
    std::cerr << illegal << std::endl;
    Usage();
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  if (kite_program::answer_help_or_version(
          argc, argv, "sliceload", kUsage,
          "Dumps a window of a file in hexadecimal and as characters, then answers bit-field "
          "queries from standard input."))
    return kite_program::checked_exit_status(0);
  if (argc < 2) Usage();
  const char* filename = argv[1];
  off_t offset = 0;
  size_t size = 4096;
  for (int i = 2; i < argc; ++i) {
    if (std::strcmp(argv[i], "--offset") == 0) {
      offset = option_value(argc, argv, i, "--offset: offset expected ",
                            "illegal char detected in offset ");
      ++i;
    } else if (std::strcmp(argv[i], "--size") == 0) {
      // A negative size wraps round to a huge one, which the load refuses.
      size = static_cast<size_t>(
          option_value(argc, argv, i, "--size: size expected ", "illegal char detected in size "));
      ++i;
    }
  }

  try {
    slice.load(filename, offset, size);
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return 1;
  }
  BOLT::Mseg& seg = slice.seg();
  const octet_t* start = static_cast<const octet_t*>(seg.begin());
  std::cout << "-------------------- Hexdump --------------------------\n";
  Hexlister::dump_hex(std::cout, start, seg.size(), offset);
  std::cout << "-------------------- Asciidump ------------------------\n";
  Hexlister::dump_ascii(std::cout, start, seg.size(), offset);

  // Answers would be lost where the dumps were.
  if (std::cout) {
    Nibbler nibbler(seg);
    answer_queries(nibbler, std::cin, std::cout, std::cerr);
  }
  return kite_program::checked_exit_status(0);
}
