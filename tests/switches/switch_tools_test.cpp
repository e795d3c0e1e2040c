// SPDX-License-Identifier: MIT
#include "support/run_program.h"

#include <gtest/gtest.h>

#include <csignal>
#include <optional>
#include <string>

namespace {

using kite_test::ProgramResult;
using kite_test::ProgramRun;

// The tools write to the console: a syslog or serialisation switch from outside must not leak in.
ProgramRun tool_run(const char* path, const char* argv0) {
  ProgramRun run;
  run.path = path;
  run.argv0 = argv0;
  run.env["UTILITY_USE_SYSLOG"] = std::nullopt;
  run.env["UTILITY_SERIALIZED_OUTPUT"] = std::nullopt;
  return run;
}

TEST(Gaugeselfcheck, PassesAllTenCasesWhateverTheEnvironmentHeld) {
  const char* const names[] = {"0A", "0B", "0C", "0D", "0E", "0F", "MI", "1A", "1B", "2A"};
  std::string expected;
  for (const char* name : names)
    expected +=
        std::string("gaugeselfcheck[C++]:: Message: thc::test: TESTVAR_") + name + ": SUCCESS\n";

  const std::optional<std::string> starting_values[] = {std::nullopt, "7", "abc", "-1"};
  for (const auto& value : starting_values) {
    ProgramRun run = tool_run(GAUGESELFCHECK, "gaugeselfcheck");
    for (const char* name : names) run.env[std::string("TESTVAR_") + name] = value;
    const ProgramResult result = kite_test::run_program(run);
    EXPECT_EQ(result.out, expected) << "TESTVAR_ values " << value.value_or("<absent>");
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(result.exited());
    EXPECT_EQ(result.exit_code, 0);
  }
}

TEST(Gaugequery, ReportsStateAndLevelOfTheVariable) {
  struct Row {
    std::optional<std::string> value;
    const char* report;
  };
  const Row rows[] = {
      {"5", "ON  with level 5"},
      {std::nullopt, "OFF with level 0"},
      {"", "OFF with level 0"},
      {"yes", "OFF with level 0"},
      {"-2", "ON  with level 4294967294"},
      {"4294967295", "OFF with level 0"},
      {"4294967294", "ON  with level 4294967294"},
  };
  for (const auto& row : rows) {
    ProgramRun run = tool_run(GAUGEQUERY, "gaugequery");
    run.args = {"KITE_GAUGE"};
    run.env["KITE_GAUGE"] = row.value;
    const ProgramResult result = kite_test::run_program(run);
    EXPECT_EQ(result.out, std::string("gaugequery[C++]:: Message: gaugequery: KITE_GAUGE is ") +
                              row.report + "\n")
        << row.value.value_or("<absent>");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
  }
}

TEST(Gaugequery, NamesItselfByTheLastComponentOfArgv0) {
  ProgramRun run = tool_run(GAUGEQUERY, "/opt/tools/gaugequery");
  run.args = {"KITE_GAUGE"};
  run.env["KITE_GAUGE"] = "3";
  const ProgramResult result = kite_test::run_program(run);
  EXPECT_EQ(result.out,
            "gaugequery[C++]:: Message: /opt/tools/gaugequery: KITE_GAUGE is ON  with level 3\n");
}

TEST(Gaugequery, WrongArgumentCountFailsWithUsageAndAborts) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"A", "B"}}) {
    ProgramRun run = tool_run(GAUGEQUERY, "gaugequery");
    run.args = args;
    const ProgramResult result = kite_test::run_program(run);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "gaugequery[C++]:: Failure: usage: gaugequery <envvar_name>\n");
    EXPECT_EQ(result.term_signal, SIGABRT);
  }
}

TEST(Rosterquery, PrintsThePrunedList) {
  struct Row {
    std::optional<std::string> value;
    const char* out;
  };
  const Row rows[] = {
      {"a::b::", "emptyEntriesRemoved is 1\na\nb\n"},
      {std::nullopt, "emptyEntriesRemoved is 0\n"},
      {"", "emptyEntriesRemoved is 0\n"},
      {"x:y", "emptyEntriesRemoved is 0\nx\ny\n"},
      {":", "emptyEntriesRemoved is 1\n"},
      {"/usr/bin::/bin", "emptyEntriesRemoved is 1\n/usr/bin\n/bin\n"},
  };
  for (const auto& row : rows) {
    ProgramRun run = tool_run(ROSTERQUERY, "rosterquery");
    run.args = {"KITE_ROSTER"};
    run.env["KITE_ROSTER"] = row.value;
    const ProgramResult result = kite_test::run_program(run);
    EXPECT_EQ(result.out, row.out) << row.value.value_or("<absent>");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.exit_code, 0);
  }
}

TEST(Rosterquery, WrongArgumentCountPrintsUsageAndExitsWithOne) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"A", "B"}}) {
    ProgramRun run = tool_run(ROSTERQUERY, "rosterquery");
    run.args = args;
    const ProgramResult result = kite_test::run_program(run);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "usage: rosterquery <environment_variable>\n");
    EXPECT_TRUE(result.exited());
    EXPECT_EQ(result.exit_code, 1);
  }
}

}  // namespace
