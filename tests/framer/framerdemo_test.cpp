// SPDX-License-Identifier: MIT
// Runs build/bin/framerdemo and compares what it prints and its exit status. Every "DBG_"
// variable of the caller's environment is removed, so only the switches a case sets count.
#include <unistd.h>

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/run_program.h"

namespace {

const std::string kText = "Dies ist zu interpretieren\n";

kite_test::ProgramResult framerdemo(
    const std::map<std::string, std::optional<std::string>>& switches,
    const std::vector<std::string>& args = {}) {
  kite_test::ProgramRun run;
  run.path = FRAMERDEMO;
  run.args = args;
  for (char** variable = environ; *variable != nullptr; ++variable) {
    if (std::strncmp(*variable, "DBG_", 4) == 0) {
      const char* equals = std::strchr(*variable, '=');
      run.env[std::string(*variable, equals ? equals - *variable : std::strlen(*variable))] =
          std::nullopt;
    }
  }
  for (const auto& [name, value] : switches) run.env[name] = value;
  return kite_test::run_program(run);
}

// The channel's lines for the demo's text: the collect state's entry, two lines for each
// character (the line feed prints as itself), then the send state and the collect state
// again.
std::string expected_trace() {
  std::string trace = "Enter State CollectMessageState\n";
  for (char ch : kText) {
    trace += std::string("StateMachine::Consume('") + ch + "'=" + std::to_string(int(ch)) + ")\n";
    trace += std::string("CollectMessageState: <- ") + ch + "\n";
  }
  return trace + "Enter State SendMessageState\nEnter State CollectMessageState\n";
}

TEST(Framerdemo, PrintsTheLineAndNothingElse) {
  const auto r = framerdemo({});
  EXPECT_EQ(r.out, kText);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.term_signal, 0);
}

TEST(Framerdemo, IgnoresItsArguments) {
  const auto r = framerdemo({}, {"--help", "-x", "Dies", ""});
  EXPECT_EQ(r.out, kText);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exit_code, 0);
}

TEST(Framerdemo, TracesEveryCharacterWhenItsChannelIsOn) {
  const std::map<std::string, std::optional<std::string>> switched_on[] = {
      {{"DBG_KITE_Framer", "1"}},
      {{"DBG_ALL", "2"}},
      {{"DBG_ALL", "0"}, {"DBG_KITE_Framer", "7"}},
      {{"DBG_ALL", "1"}, {"DBG_NO_TIMESTAMPS", "1"}},
  };
  for (const auto& switches : switched_on) {
    const auto r = framerdemo(switches);
    EXPECT_EQ(r.out, kText);
    EXPECT_EQ(r.err, expected_trace()) << switches.begin()->first;
    EXPECT_EQ(r.exit_code, 0);
  }
}

TEST(Framerdemo, StaysQuietWhenTheSwitchesDoNotTurnItOn) {
  const std::map<std::string, std::optional<std::string>> switched_off[] = {
      {{"DBG_KITE_Framer", "yes"}},
      {{"DBG_KITE_Framer", "0"}},
      {{"DBG_ALL", "on"}},
      {{"DBG_OTHER", "1"}},
  };
  for (const auto& switches : switched_off) {
    const auto r = framerdemo(switches);
    EXPECT_EQ(r.out, kText);
    EXPECT_EQ(r.err, "") << switches.begin()->first;
    EXPECT_EQ(r.exit_code, 0);
  }
}

}  // namespace
