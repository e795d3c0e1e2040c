// SPDX-License-Identifier: MIT
#include "utility/output.h"

#include "support/capture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const std::string kPrefix = "gaugequery[C++]:: ";

// Every test starts from the console, no time stamps and a known executable name; the
// switches are read on the first line a process writes.
class Output : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("UTILITY_USE_SYSLOG");
    unsetenv("UTILITY_SERIALIZED_OUTPUT");
    output::set_executable_name("gaugequery");
    output::set_language("C++");
    output::time_output_off();
  }
  void TearDown() override { output::time_output_off(); }
};

typedef void (output::component::*Member)(const char*, ...);
typedef void (output::component::*CondMember)(bool, const char*, ...);

struct ClassificationRow {
  Member write;
  CondMember cond_write;
  void (*default_write)(const char*, ...);
  void (*default_cond_write)(bool, const char*, ...);
  bool to_stdout;
  const char* label;
};

const ClassificationRow kClassifications[] = {
    {&output::component::debug, &output::component::cond_debug, &output::debug, &output::cond_debug,
     true, "Debug  : "},
    {&output::component::message, &output::component::cond_message, &output::message,
     &output::cond_message, true, "Message: "},
    {&output::component::warn, &output::component::cond_warn, &output::warn, &output::cond_warn,
     false, "Warning: "},
    {&output::component::error, &output::component::cond_error, &output::error, &output::cond_error,
     false, "Error  : "},
};

TEST_F(Output, EachClassificationHasItsStreamAndLabel) {
  output::component net("net");
  for (const auto& row : kClassifications) {
    const std::string named = kPrefix + row.label + "net: x=5\n";
    const std::string unnamed = kPrefix + row.label + "ready\n";
    const std::string expected = named + named + unnamed + unnamed;
    kite_test::OutputCapture capture;
    (net.*row.write)("x=%d", 5);
    (net.*row.cond_write)(true, "x=%d", 5);
    (net.*row.cond_write)(false, "x=%d", 6);
    row.default_write("%s", "ready");
    row.default_cond_write(true, "%s", "ready");
    row.default_cond_write(false, "%s", "not ready");
    EXPECT_EQ(capture.out(), row.to_stdout ? expected : "") << row.label;
    EXPECT_EQ(capture.err(), row.to_stdout ? "" : expected) << row.label;
  }
}

// A program that gave a standard stream a buffer of its own gets the lines there.
TEST_F(Output, AStandardStreamWithABufferOfItsOwnGetsTheLines) {
  std::ostringstream mine;
  std::streambuf* const standard = std::cerr.rdbuf(mine.rdbuf());
  output::warn("w");
  std::cerr.rdbuf(standard);
  EXPECT_EQ(mine.str(), kPrefix + "Warning: w\n");
}

TEST_F(Output, ReportWritesTheTextAloneToStandardError) {
  output::time_output_on();
  output::component net("net");
  kite_test::OutputCapture capture;
  net.report("hello");
  output::report("hello %s", "again");
  EXPECT_EQ(capture.err(), "net: hello\nhello again\n");
  EXPECT_EQ(capture.out(), "");
}

TEST_F(Output, TimeStampIsTheTimeOfDayAndOneSpace) {
  output::time_output_on();
  kite_test::OutputCapture capture;
  output::message("ready");
  output::component("net").warn("x=%d", 5);
  const std::regex out_line(
      "([0-2][0-9]):([0-5][0-9]):([0-6][0-9]) gaugequery\\[C\\+\\+\\]:: "
      "Message: ready\n");
  EXPECT_TRUE(std::regex_match(capture.out(), out_line)) << capture.out();
  const std::regex err_line(
      "[0-9]{2}:[0-9]{2}:[0-9]{2} gaugequery\\[C\\+\\+\\]:: "
      "Warning: net: x=5\n");
  EXPECT_TRUE(std::regex_match(capture.err(), err_line)) << capture.err();
}

TEST_F(Output, TimeOutputOffDropsTheStamp) {
  output::time_output_on();
  output::time_output_off();
  kite_test::OutputCapture capture;
  output::message("ready");
  EXPECT_EQ(capture.out(), kPrefix + "Message: ready\n");
}

TEST_F(Output, LanguageTagFollowsTheLastSetting) {
  kite_test::OutputCapture capture;
  output::set_language("plain");
  output::message("a");
  output::set_language(nullptr);
  output::message("b");
  output_set_language("C");
  output::message("c");
  EXPECT_EQ(capture.out(),
            "gaugequery[plain]:: Message: a\ngaugequery[plain]:: Message: b\n"
            "gaugequery[C]:: Message: c\n");
}

TEST_F(Output, ExecutableNameKeepsTheLastPathComponentUnlessItIsEmpty) {
  struct Row {
    const char* given;
    const char* stored;
  };
  const Row rows[] = {
      {"/opt/tools/gaugequery", "gaugequery"},
      {"tools/", "tools/"},
      {"plain", "plain"},
      {"/", "/"},
      {"a/b/", "a/b/"},
      {"./x", "x"},
  };
  for (const auto& row : rows) {
    output::set_executable_name(row.given);
    output::set_executable_name(nullptr);
    const char* name = output::get_executable_name();
    EXPECT_STREQ(name, row.stored) << row.given;
    free(const_cast<char*>(name));
  }
  output::set_executable_name("/usr/bin/tool");
  kite_test::OutputCapture capture;
  output::message("m");
  EXPECT_EQ(capture.out(), "tool[C++]:: Message: m\n");
}

TEST_F(Output, GetExecutableNameReturnsSeparateCopies) {
  const char* first = output::get_executable_name();
  const char* second = output::get_executable_name();
  EXPECT_NE(first, second);
  EXPECT_STREQ(first, "gaugequery");
  EXPECT_STREQ(second, "gaugequery");
  free(const_cast<char*>(first));
  free(const_cast<char*>(second));
}

TEST_F(Output, OverlongNameAndTagAreCutToThePrefixBuffer) {
  const std::string name(2000, 'n');
  const std::string tag(2000, 't');
  output::set_executable_name(name.c_str());
  output::set_language(tag.c_str());
  kite_test::OutputCapture capture;
  output::message("m");
  // 1023 characters of prefix: the tag keeps half of what the brackets leave, the name the rest.
  EXPECT_EQ(capture.out(),
            std::string(509, 'n') + "[" + std::string(509, 't') + "]:: Message: m\n");

  const std::string long_name(1000, 'n');
  output::set_executable_name(long_name.c_str());
  output::set_language("C++");
  kite_test::OutputCapture short_tag;
  output::message("m");
  EXPECT_EQ(short_tag.out(), long_name + "[C++]:: Message: m\n");
}

TEST_F(Output, TextIsCutAt4095Characters) {
  const std::string text(5000, 'x');
  output::component net("net");
  kite_test::OutputCapture capture;
  output::message("%s", text.c_str());
  net.error("%s", text.c_str());
  EXPECT_EQ(capture.out(), kPrefix + "Message: " + std::string(4095, 'x') + "\n");
  EXPECT_EQ(capture.err(), kPrefix + "Error  : net: " + std::string(4095, 'x') + "\n");
}

TEST_F(Output, NullFormatsDoNothing) {
  const char* const none = nullptr;
  output::component net("net");
  kite_test::OutputCapture capture;
  output::message(none);
  output::report(none);
  net.warn(none);
  net.fail(none);
  net.cond_fail(true, none);
  output::fail(none);
  output::cond_fail(true, none);
  output::cond_fail(false, "not %s", "written");
  net.cond_fail(false, "not %s", "written");
  EXPECT_EQ(capture.out(), "");
  EXPECT_EQ(capture.err(), "");
}

TEST_F(Output, NullTextIsReportedAsAParameterError) {
  output::component net("net");
  kite_test::OutputCapture capture;
  net.general_output_function(output::e_message, nullptr);
  EXPECT_EQ(capture.err(),
            kPrefix + "Warning: net: output::component::general_output_function parameter error\n");
  EXPECT_EQ(capture.out(), "");
}

TEST_F(Output, UnknownClassificationWritesNothing) {
  kite_test::OutputCapture capture;
  output::component::get_default_component().general_output_function(
      static_cast<output::output_classification>(6), "lost");
  EXPECT_EQ(capture.out() + capture.err(), "");
}

TEST_F(Output, DumpHexWritesOneMessagePerLineOfDigitPairs) {
  struct Row {
    std::vector<unsigned char> bytes;
    unsigned width;
    std::vector<std::string> lines;
  };
  const Row rows[] = {
      {{0x00, 0x1F, 0xA0, 0xFF, 0x10}, 2, {"00 1F", "A0 FF", "10"}},
      {{0x00, 0x1F, 0xA0, 0xFF, 0x10}, 5, {"00 1F A0 FF 10"}},
      {{0x00, 0x1F, 0xA0, 0xFF, 0x10}, 9, {"00 1F A0 FF 10"}},
      {{0x0A}, 1, {"0A"}},
      {{}, 3, {}},
      {{0xAB, 0xCD, 0xEF}, 1, {"AB", "CD", "EF"}},
  };
  output::component net("net");
  for (const auto& row : rows) {
    std::string expected_default, expected_named;
    for (const auto& line : row.lines) {
      expected_default += kPrefix + "Message: " + line + "\n";
      expected_named += kPrefix + "Message: net: " + line + "\n";
    }
    kite_test::OutputCapture capture;
    output::dump_hex(row.bytes.data(), static_cast<unsigned>(row.bytes.size()), row.width);
    net.dump_hex(row.bytes.data(), static_cast<unsigned>(row.bytes.size()), row.width);
    EXPECT_EQ(capture.out(), expected_default + expected_named);
    EXPECT_EQ(capture.err(), "");
  }
}

TEST_F(Output, DumpHexLinesBeyond4095CharactersAreCut) {
  const std::vector<unsigned char> bytes(2000, 0x5A);
  kite_test::OutputCapture capture;
  output::dump_hex(bytes.data(), static_cast<unsigned>(bytes.size()), 1500);
  std::string first;
  for (int i = 0; i < 1365; ++i) first += "5A ";
  std::string second;
  for (int i = 0; i < 500; ++i) second += i ? " 5A" : "5A";
  EXPECT_EQ(capture.out(),
            kPrefix + "Message: " + first + "\n" + kPrefix + "Message: " + second + "\n");
}

using OutputDeathTest = Output;

TEST_F(OutputDeathTest, DumpHexWithZeroWidthFailsAndAborts) {
  const unsigned char byte = 1;
  output::component net("net");
  EXPECT_EXIT(net.dump_hex(&byte, 1, 0), ::testing::KilledBySignal(SIGABRT),
              "^gaugequery\\[C\\+\\+\\]:: Failure: net: output::component::dump_hex: got wrong "
              "bytes_per_line value\n$");
  EXPECT_EXIT(output::dump_hex(&byte, 0, 0), ::testing::KilledBySignal(SIGABRT),
              "Failure: output::component::dump_hex: got wrong bytes_per_line value");
}

TEST_F(OutputDeathTest, FailWritesTheFailureLineAndAborts) {
  output::component net("net");
  EXPECT_EXIT(net.fail("boom %d", 7), ::testing::KilledBySignal(SIGABRT),
              "^gaugequery\\[C\\+\\+\\]:: Failure: net: boom 7\n$");
  EXPECT_EXIT(output::cond_fail(true, "usage: %s", "x"), ::testing::KilledBySignal(SIGABRT),
              "^gaugequery\\[C\\+\\+\\]:: Failure: usage: x\n$");
}

}  // namespace
