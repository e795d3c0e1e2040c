// SPDX-License-Identifier: MIT
// Runs build/bin/sliceload and compares what it prints and its exit status.
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nibbler/Hexlister.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

const std::string usage = "Aufruf: sliceload file [--offset off] [--size s]\n";
const std::string prompt = "bitoffset len ?\n";
const std::string hex_banner = "-------------------- Hexdump --------------------------\n";
const std::string ascii_banner = "-------------------- Asciidump ------------------------\n";

kite_test::ProgramResult sliceload(std::vector<std::string> args, const std::string& input = "") {
  kite_test::ProgramRun run;
  run.path = SLICELOAD;
  run.args = std::move(args);
  run.input = input;
  return kite_test::run_program(run);
}

// What the program prints before its first answer; the dumps themselves are checked
// against their worked examples in the library's tests.
std::string dumps(const std::string& bytes, off_t offset) {
  std::ostringstream out;
  const auto* start = reinterpret_cast<const octet_t*>(bytes.data());
  out << hex_banner;
  Hexlister::dump_hex(out, start, bytes.size(), offset);
  out << ascii_banner;
  Hexlister::dump_ascii(out, start, bytes.size(), offset);
  return out.str();
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

std::string repeat(const std::string& s, int n) {
  std::string r;
  while (n-- > 0) r += s;
  return r;
}

class Sliceload : public testing::Test {
 protected:
  Sliceload() : page_(4096, '\0') {
    page_.replace(0, 3, "\xa5\x3c\x0f");
    page_.replace(16, 5, "hello");
    page_file_ = dir_.file("page", page_ + "tail");
  }

  kite_test::TempDir dir_;
  std::string page_;
  std::string page_file_;
};

}  // namespace

TEST_F(Sliceload, DumpsTheFirstPageAndAnswersQueries) {
  const auto r = sliceload({page_file_}, "4 8\n0 16\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, dumps(page_, 0) + "offset=4 len=8\n53\noffset=0 len=16\na53c\n");
  EXPECT_TRUE(starts_with(
      r.out, hex_banner + "\n00000000: a5 3c 0f 00 00 00 00 00 00 00 00 00 00 00 00 00\n"));
  EXPECT_NE(r.out.find(ascii_banner + "\n00000000: \\245<\\17\\0"), std::string::npos);
  EXPECT_NE(r.out.find("\n00000ff0: 00 00"), std::string::npos);
  EXPECT_EQ(r.err, repeat(prompt, 3));
}

TEST_F(Sliceload, UnalignedWindowStartsWithItsAddress) {
  std::string two_pages(8192, '\0');
  for (size_t i = 0; i < two_pages.size(); ++i) two_pages[i] = static_cast<char>('a' + i % 26);
  const std::string file = dir_.file("two", two_pages);

  const auto r = sliceload({file, "--offset", "0x1012", "--size", "0x20"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, dumps(two_pages.substr(0x1012, 0x20), 0x1012));
  EXPECT_TRUE(starts_with(r.out, hex_banner + "00001010:       67 68 69 6a"));
  EXPECT_NE(r.out.find(ascii_banner + "00001010:       ghi"), std::string::npos);

  const auto aligned = sliceload({file, "--offset", "0x1010", "--size", "0x20"});
  EXPECT_EQ(aligned.out, dumps(two_pages.substr(0x1010, 0x20), 0x1010));
  EXPECT_TRUE(starts_with(aligned.out, hex_banner + "\n00001010: 65 66"));
  EXPECT_NE(aligned.out.find(ascii_banner + "\n00001010: efg"), std::string::npos);
}

TEST_F(Sliceload, LaterOptionsOverrideEarlierOnesAndOthersAreIgnored) {
  const auto r =
      sliceload({page_file_, "--size", "1", "extra", "--size", "020", "--offset", ""}, "3 6\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, dumps(page_.substr(0, 16), 0) + "offset=3 len=6\na\n");
}

TEST_F(Sliceload, FailuresPrintTheirMessageAndExitWith1) {
  const std::string missing = dir_.path("missing");
  const std::string short_file = dir_.file("short", "0123456789");
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const Case cases[] = {
      {{}, usage},
      {{page_file_, "--offset"}, "--offset: offset expected \n" + usage},
      {{page_file_, "--offset", "12x"}, "illegal char detected in offset \n" + usage},
      {{page_file_, "--size"}, "--size: size expected \n" + usage},
      {{page_file_, "--size", "0x1g"}, "illegal char detected in size \n" + usage},
      {{missing}, "SliceLoad::load: Can't open " + missing + ": No such file or directory\n"},
      {{short_file}, "SliceLoad::load: read only 10 bytes after offset 0\n"},
      {{page_file_, "--size", "-1"}, "SliceLoad::load: read only 4096 bytes after offset 0\n"},
      {{page_file_, "--offset", "-1"},
       "SliceLoad::load: lseek(" + page_file_ + ",fffff000):Invalid argument\n"},
      // A device that ignores the seek refuses a negative offset all the same.
      {{"/dev/zero", "--offset", "-20", "--size", "8"},
       "SliceLoad::load: lseek(/dev/zero,fffff000):Invalid argument\n"},
  };
  for (const Case& c : cases) {
    const auto r = sliceload(c.args, "0 4\n");
    EXPECT_EQ(r.exit_code, 1) << c.err;
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "") << c.err;
  }
}

TEST_F(Sliceload, QueryBeyondTheSegmentIsReportedAndTheNextOneAnswered) {
  const auto r = sliceload({page_file_, "--size", "3"},
                           "20 8\n18446744073709551615 8\n0 18446744073709551615\n0 4\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, dumps(page_.substr(0, 3), 0) +
                       "offset=20 len=8\n"
                       "offset=18446744073709551615 len=8\n"
                       "offset=0 len=18446744073709551615\n"
                       "offset=0 len=4\na\n");
  EXPECT_EQ(r.err, prompt + "Nibbler::getbits: maxoff=4>seg.size=3\n" + prompt +
                       "Nibbler::getbits: maxoff=2305843009213693953>seg.size=3\n" + prompt +
                       "Nibbler::getbits: maxoff=2305843009213693952>seg.size=3\n" +
                       repeat(prompt, 2));
}

TEST_F(Sliceload, InputEndingWithoutNewlineIsAnsweredOnce) {
  const auto r = sliceload({page_file_, "--size", "2"}, "4 8\n3 6");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, dumps(page_.substr(0, 2), 0) + "offset=4 len=8\n53\noffset=3 len=6\na\n");
  EXPECT_EQ(r.err, repeat(prompt, 3));
}

TEST_F(Sliceload, TextThatIsNoNumberEndsTheQueries) {
  const auto letter = sliceload({page_file_, "--size", "2"}, "x 4 8\n");
  EXPECT_EQ(letter.exit_code, 0);
  EXPECT_EQ(letter.out, dumps(page_.substr(0, 2), 0));
  EXPECT_EQ(letter.err, prompt);

  const auto later = sliceload({page_file_, "--size", "2"}, "0 4 end 0 8\n");
  EXPECT_EQ(later.exit_code, 0);
  EXPECT_EQ(later.out, dumps(page_.substr(0, 2), 0) + "offset=0 len=4\na\n");
}

TEST_F(Sliceload, OffsetsBeyondFourGiBShowTheirRealAddress) {
  const off_t six_gib = off_t(6) << 30;
  const std::string file =
      dir_.file_at("sparse", "\xa5\x3c\x0f sparse", six_gib + 0x10, six_gib + 0x1000);
  const auto r = sliceload({file, "--offset", "0x180000010", "--size", "10"}, "0 16\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, hex_banner + "\n180000010: a5 3c 0f 20 73 70 61 72 73 65\n" + ascii_banner +
                       "\n180000010: \\245<\\17 sparse\noffset=0 len=16\na53c\n");

  const auto beyond = sliceload({file, "--offset", "0x180001000", "--size", "1"});
  EXPECT_EQ(beyond.exit_code, 1);
  EXPECT_EQ(beyond.err, "SliceLoad::load: read only 0 bytes after offset 180001000\n");
}
