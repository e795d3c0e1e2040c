// SPDX-License-Identifier: MIT
// The switch KITE_LOG_TO, read when a process's backend manager is made, and the level
// prefix of the standard-error backend under the journal's stream; each case in a process
// of its own.
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

using kite_test::ProgramResult;
using kite_test::ProgramRun;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  return text;
}

// Good entries are used; each unknown or unusable one gets a line that names it, and
// standard error (once) takes its place. $D is a private directory.
TEST(LogTo, ChoosesTheDestinationsAndReplacesBadEntriesByStandardError) {
  struct Row {
    std::optional<std::string> setting;
    std::vector<std::string> bad;  // the entries named in notices, in order
    bool to_stderr;
    bool to_file;  // $D/a.log
  };
  const Row rows[] = {
      {std::nullopt, {}, true, false},
      {"", {}, true, false},
      {"::", {}, true, false},
      {"stderr", {}, true, false},
      {"file=$D/a.log", {}, false, true},
      {"stderr:file=$D/a.log::file=$D/a.log:stderr", {}, true, true},
      {"bogus", {"\"bogus\""}, true, false},
      {"file=$D/no/a.log", {"file=$D/no/a.log: cannot open"}, true, false},
      {"file=$D/a.log:sys log:file=:stderr", {"\"sys log\"", "file=: cannot open"}, true, true},
  };
  for (const Row& row : rows) {
    kite_test::TempDir dir;
    ProgramRun probe;
    probe.path = LOG_BACKEND_PROBE;
    probe.args = {"log", "3", "hello"};
    probe.env["KITE_LOG_TO"] =
        row.setting ? std::optional(replaced(*row.setting, "$D", dir.path())) : std::nullopt;
    const ProgramResult result = kite_test::run_program(probe);
    const std::string name = row.setting.value_or("(unset)");
    EXPECT_EQ(result.exit_code, 0) << name;

    std::istringstream err(result.err);
    for (const std::string& bad : row.bad) {
      std::string notice;
      std::getline(err, notice);
      EXPECT_EQ(notice.rfind("kite log: KITE_LOG_TO: ", 0), 0u) << name << ": " << notice;
      EXPECT_NE(notice.find(replaced(bad, "$D", dir.path())), std::string::npos)
          << name << ": " << notice;
    }
    std::string rest(std::istreambuf_iterator<char>(err), {});
    EXPECT_EQ(rest, row.to_stderr ? "hello\n" : "") << name;
    EXPECT_EQ(dir.read("a.log"), row.to_file ? "hello\n" : "") << name;
  }
}

// "<N>" before each line when standard error is the stream JOURNAL_STREAM names, as device
// and inode; the line unchanged anywhere else.
TEST(StderrBackend, PrefixesTheLevelOnlyWhenStandardErrorIsTheJournalStream) {
  const char* const script =
      "names=$(stat -L -c %d:%i /dev/stderr)\n"
      "case $1 in\n"
      "  same) export JOURNAL_STREAM=$names ;;\n"
      "  other) export JOURNAL_STREAM=${names%:*}:1 ;;\n"
      "  malformed) export JOURNAL_STREAM=$names:x ;;\n"
      "  unset) unset JOURNAL_STREAM ;;\n"
      "esac\n"
      "shift\n"
      "exec \"$@\" every p\n";
  struct Row {
    const char* journal_stream;
    bool prefixed;
  };
  const Row rows[] = {{"same", true}, {"other", false}, {"malformed", false}, {"unset", false}};
  for (const Row& row : rows) {
    ProgramRun run;
    run.path = "/bin/sh";
    run.args = {"-c", script, "sh", row.journal_stream, LOG_BACKEND_PROBE};
    run.env["KITE_LOG_TO"] = std::nullopt;
    const ProgramResult result = kite_test::run_program(run);
    std::string expected;
    for (int p = 0; p <= 7; ++p)
      expected +=
          (row.prefixed ? "<" + std::to_string(p) + ">" : "") + "p " + std::to_string(p) + "\n";
    EXPECT_EQ(result.err, expected) << row.journal_stream;
    EXPECT_EQ(result.exit_code, 0);
  }
}

}  // namespace
