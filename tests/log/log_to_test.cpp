// SPDX-License-Identifier: MIT
// The switch KITE_LOG_TO, read when a process's backend manager is made, and what reaches
// the line-oriented destinations (standard error, under the journal's stream or not, and
// files): every record ends, every physical line carries its level, the kit's own notices
// too; each case in a process of its own.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"
#include "support/file_lines.h"
#include "support/run_program.h"
#include "support/temp_dir.h"

namespace {

using kite_test::ProgramResult;
using kite_test::ProgramRun;

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
  return text;
}

// What standard error is for the probe: the test's pipe ("plain"); the journal's stream
// ("journal": JOURNAL_STREAM names the pipe's device and inode); JOURNAL_STREAM naming
// another inode ("other") or malformed ("malformed"); closed ("closed").
const char kStandardError[] =
    "names=$(stat -L -c %d:%i /dev/stderr)\n"
    "unset JOURNAL_STREAM\n"
    "case $1 in\n"
    "  journal) export JOURNAL_STREAM=$names ;;\n"
    "  other) export JOURNAL_STREAM=${names%:*}:1 ;;\n"
    "  malformed) export JOURNAL_STREAM=$names:x ;;\n"
    "  closed) exec 2>&- ;;\n"
    "esac\n"
    "shift\n"
    "exec /usr/bin/timeout 20 \"$@\"\n";

// Runs the probe with steps and KITE_LOG_TO (unset when nullopt). A probe that hangs is
// ended after 20 s and exits with 124.
ProgramResult run_probe(const std::vector<std::string>& steps,
                        const std::optional<std::string>& log_to,
                        const char* standard_error = "plain") {
  ProgramRun run;
  run.path = "/bin/sh";
  run.args = {"-c", kStandardError, "sh", standard_error, LOG_BACKEND_PROBE};
  run.args.insert(run.args.end(), steps.begin(), steps.end());
  run.env["KITE_LOG_TO"] = log_to;
  return kite_test::run_program(run);
}

// Good entries are used; each unknown or unusable one gets a line that names it, and
// standard error (once) takes its place. One file under several spellings is written once.
// $D is a private directory.
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
      {"file=$D/a.log:file=$D//a.log:file=$D/./a.log:file=$D/hard.log", {}, false, true},
      {"bogus", {"\"bogus\""}, true, false},
      {"file=$D/no/a.log", {"file=$D/no/a.log: cannot open"}, true, false},
      {"file=$D/a.log:sys log:file=:stderr", {"\"sys log\"", "file=: cannot open"}, true, true},
  };
  for (const Row& row : rows) {
    kite_test::TempDir dir;
    dir.file("a.log", "");
    ASSERT_EQ(link(dir.path("a.log").c_str(), dir.path("hard.log").c_str()), 0);
    const std::optional<std::string> setting =
        row.setting ? std::optional(replaced(*row.setting, "$D", dir.path())) : std::nullopt;
    const ProgramResult result = run_probe({"log", "3", "hello"}, setting);
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
    EXPECT_EQ(kite_test::texts(dir.read("a.log")),
              row.to_file ? std::vector<std::string>{"hello\n"} : std::vector<std::string>{})
        << name;
  }
}

// KITE_LOG_TO's files get stamped lines: the local time with the offset of the time zone in
// force, the program's identity and the id of the process that writes, a forked child's own.
TEST(LogTo, FileLinesCarryLocalTimeIdentityProcessAndLevel) {
  const struct {
    const char* zone;
    long offset;
  } rows[] = {{"UTC0", 0}, {"<+0530>-5:30", 19800}, {"<-03>3", -10800}};
  for (const auto& row : rows) {
    kite_test::TempDir dir;
    ProgramRun probe;
    probe.path = LOG_BACKEND_PROBE;
    probe.args = {"pid",      "log",  "6",
                  "starting", "init", "/opt/bin/served",
                  "log",      "4",    "disk almost full",
                  "fork",     "3",    "from the child"};
    probe.env["KITE_LOG_TO"] = "file=" + dir.path("a.log");
    probe.env["TZ"] = row.zone;
    // ThreadSanitizer lets a child of a process with threads start one only when told so.
    probe.env["TSAN_OPTIONS"] = "die_after_fork=0";
    const long long before = kite_test::microseconds_now();
    const ProgramResult result = kite_test::run_program(probe);
    const long long after = kite_test::microseconds_now();
    ASSERT_EQ(result.exit_code, 0) << result.err;
    long pid = 0, child = 0;
    ASSERT_EQ(std::sscanf(result.out.c_str(), "pid %ld\nchild %ld\n", &pid, &child), 2);

    const std::vector<kite_test::FileLine> lines = kite_test::file_lines(dir.read("a.log"));
    ASSERT_EQ(lines.size(), 3u) << row.zone;
    const std::tuple<std::string, long, std::string, std::string> expected[] = {
        {"log_backend_probe", pid, "info", "starting"},
        {"served", pid, "warning", "disk almost full"},
        {"served", child, "err", "from the child"}};
    for (size_t n = 0; n < 3; ++n) {
      EXPECT_EQ(std::tie(lines[n].identity, lines[n].pid, lines[n].level, lines[n].text),
                expected[n]);
      long long at = 0;
      long offset = 0;
      ASSERT_TRUE(kite_test::stamp_time(lines[n].stamp, at, offset)) << lines[n].stamp;
      EXPECT_EQ(offset, row.offset) << lines[n].stamp;
      EXPECT_GE(at, before) << lines[n].stamp;
      EXPECT_LE(at, after) << lines[n].stamp;
    }
  }
}

// A FIFO, with or without a reader, could make every line wait (and open() waits for a
// reader): the entry is unusable and standard error takes its place at once.
TEST(LogTo, AFileThatCouldBlockIsReplacedByStandardError) {
  for (const bool reader : {false, true}) {
    kite_test::TempDir dir;
    const std::string fifo = dir.path("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int read_end = reader ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
    const ProgramResult result = run_probe({"log", "3", "hello"}, "file=" + fifo);
    if (read_end >= 0) close(read_end);
    EXPECT_EQ(result.exit_code, 0) << (reader ? "with reader" : "without reader");
    EXPECT_EQ(result.err, "kite log: KITE_LOG_TO: file=" + fifo +
                              ": cannot open the file: writing to it could block the program; "
                              "standard error takes its place\nhello\n");
  }
}

// A program started with descriptor 2 closed: the log file must not become its standard
// error, or every line to standard error lands in the file as well.
TEST(LogTo, AProgramStartedWithoutStandardErrorWritesItsFileOnce) {
  kite_test::TempDir dir;
  const ProgramResult result =
      run_probe({"log", "3", "hello"}, "file=" + dir.path("a.log") + ":stderr", "closed");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(kite_test::texts(dir.read("a.log")), std::vector<std::string>{"hello\n"});
}

// The notice about a path too long to open keeps its reason, whatever it has to leave out.
TEST(LogTo, ANoticeAboutALongPathKeepsItsReason) {
  const std::string path = "/tmp/" + std::string(5000, 'n') + "/a.log";
  struct Row {
    std::vector<std::string> steps;
    std::optional<std::string> log_to;
    std::string start;
    std::string end;
  };
  const Row rows[] = {
      {{"log", "3", "hello"},
       "file=" + path,
       "kite log: KITE_LOG_TO: file=/tmp/nnn",
       "File name too long; standard error takes its place"},
      {{"file", path, "log", "3", "hello"},
       std::nullopt,
       "kite log: file /tmp/nnn",
       "File name too long; lines are lost until it opens again"},
  };
  for (const Row& row : rows) {
    const ProgramResult result = run_probe(row.steps, row.log_to);
    EXPECT_EQ(result.exit_code, 0);
    const std::string notice = result.err.substr(0, result.err.find('\n'));
    EXPECT_EQ(notice.rfind(row.start, 0), 0u) << notice;
    EXPECT_GE(notice.size(), row.end.size());
    EXPECT_EQ(notice.substr(notice.size() - std::min(notice.size(), row.end.size())), row.end);
    EXPECT_LE(notice.size(), 511u);
  }
}

// "<N>" before each line when standard error is the stream JOURNAL_STREAM names, as device
// and inode; the line unchanged anywhere else.
TEST(StderrBackend, PrefixesTheLevelOnlyWhenStandardErrorIsTheJournalStream) {
  struct Row {
    const char* standard_error;
    bool prefixed;
  };
  const Row rows[] = {{"journal", true}, {"other", false}, {"malformed", false}, {"plain", false}};
  for (const Row& row : rows) {
    const ProgramResult result = run_probe({"every", "p"}, std::nullopt, row.standard_error);
    std::string expected;
    for (int p = 0; p <= 7; ++p)
      expected +=
          (row.prefixed ? "<" + std::to_string(p) + ">" : "") + "p " + std::to_string(p) + "\n";
    EXPECT_EQ(result.err, expected) << row.standard_error;
    EXPECT_EQ(result.exit_code, 0);
  }
}

// A line cut at 254 characters has no newline of its own; the destinations that store
// lines end it, so the next line starts a record of its own.
TEST(LineDestinations, ACutLineStillEndsItsRecord) {
  const std::string cut(254, 'L');
  struct Row {
    const char* standard_error;
    const char* destination;  // KITE_LOG_TO
    std::string err;
    std::vector<std::string> file;
  };
  const Row rows[] = {
      {"plain", "stderr", cut + "\nafter\n", {}},
      {"journal", "stderr", "<3>" + cut + "\n<3>after\n", {}},
      {"plain", "file=$D/a.log", "", {cut + "\n", "after\n"}},
  };
  for (const Row& row : rows) {
    kite_test::TempDir dir;
    const ProgramResult result =
        run_probe({"log", "3", std::string(400, 'L'), "log", "3", "after"},
                  replaced(row.destination, "$D", dir.path()), row.standard_error);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, row.err) << row.destination << " " << row.standard_error;
    EXPECT_EQ(kite_test::texts(dir.read("a.log")), row.file) << row.destination;
  }
}

std::string lines(const std::string& line, int count) {
  std::string text;
  for (int n = 0; n < count; ++n) text += line;
  return text;
}

// The journal takes a "<N>" at the start of any physical line as that line's level: a
// message's text must not give a line of it another level than the message's own.
TEST(StderrBackend, UnderTheJournalEveryPhysicalLineCarriesItsMessagesLevel) {
  struct Row {
    const char* priority;
    std::string text;
    std::string err;
  };
  const Row rows[] = {
      {"7", "user said: hi\n<0>forged", "<7>user said: hi\n<7><0>forged\n"},
      {"4", "a\n\nb", "<4>a\n<4>\n<4>b\n"},
      {"3", std::string(100, 'x') + "\n" + std::string(300, 'y'),
       "<3>" + std::string(100, 'x') + "\n<3>" + std::string(153, 'y') + "\n"},
      {"6", lines("a\n", 39) + "a", lines("<6>a\n", 40)},  // more than one write takes
  };
  for (const Row& row : rows) {
    const ProgramResult result = run_probe({"log", row.priority, row.text}, "stderr", "journal");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, row.err);
  }
}

// The kit's own notices are warnings and errors; under the journal's stream they say so,
// instead of being filed at the journal's default level.
TEST(StderrBackend, UnderTheJournalTheKitsNoticesCarryTheirLevel) {
  kite_test::TempDir dir;
  const std::string missing = dir.path("no/a.log");
  struct Row {
    std::vector<std::string> steps;
    std::optional<std::string> log_to;
    std::string err;
  };
  const Row rows[] = {
      {{"log", "6", "hello"},
       "bogus",
       "<4>kite log: KITE_LOG_TO: unknown destination \"bogus\" (known: stderr, syslog, journal, "
       "file=<path>); standard error takes its place\n<6>hello\n"},
      {{"file", missing, "log", "6", "hello"},
       std::nullopt,
       "<3>kite log: file " + missing +
           ": cannot open it: No such file or directory; lines are lost until it opens again\n"},
  };
  for (const Row& row : rows) {
    const ProgramResult result = run_probe(row.steps, row.log_to, "journal");
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, row.err);
  }
}

}  // namespace
