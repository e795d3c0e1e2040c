// SPDX-License-Identifier: MIT
// The syslog and journal backends against receivers bound over /dev/log and the journal's
// socket in a private mount namespace, and what they do where nothing listens.
#include <syslog.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"
#include "support/private_mounts.h"

namespace {

using kite_test::DatagramReceiver;
using kite_test::ProgramResult;
using kite_test::ProgramRun;

// Scripts for run_with_private_mounts; $1 is the receiver's socket, which the "No" ones leave
// unbound.
const char kDevLog[] =
    "mount -t tmpfs -o size=64k,mode=0755 kite-dev /dev\n"
    ": > /dev/log\n"
    "mount --bind \"$1\" /dev/log\n"
    "shift\n"
    "exec \"$@\"\n";
const char kNoDevLog[] = "mount -t tmpfs -o size=64k,mode=0755 kite-dev /dev\nshift\nexec \"$@\"\n";
const char kJournal[] =
    "mount -t tmpfs -o size=64k,mode=0755 kite-run /run\n"
    "mkdir -p /run/systemd/journal\n"
    ": > /run/systemd/journal/socket\n"
    "mount --bind \"$1\" /run/systemd/journal/socket\n"
    "shift\n"
    "exec \"$@\"\n";
const char kNoJournal[] =
    "mount -t tmpfs -o size=64k,mode=0755 kite-run /run\nshift\nexec \"$@\"\n";

ProgramResult run_probe(const char* script, const DatagramReceiver& receiver,
                        std::vector<std::string> steps, const char* log_to = nullptr) {
  ProgramRun probe;
  probe.path = LOG_BACKEND_PROBE;
  probe.args = std::move(steps);
  probe.env["KITE_LOG_TO"] = log_to ? std::optional<std::string>(log_to) : std::nullopt;
  return kite_test::run_with_private_mounts(script, {receiver.path()}, probe);
}

// "text <p>" for every priority p, each ending with end.
std::vector<std::string> every(const std::string& text, const std::string& end = "") {
  std::vector<std::string> lines;
  for (int p = 0; p <= 7; ++p) lines.push_back(text + " " + std::to_string(p) + end);
  return lines;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

// ---------------------------------------------------------------------------------------------
// Syslog

// (priority value, identity, text) of each datagram as syslog(3) sends it:
// "<PRI>Mmm dd hh:mm:ss identity: text".
std::vector<std::tuple<int, std::string, std::string>> syslog_messages(DatagramReceiver& r) {
  const std::regex header(
      "<([0-9]+)>[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} ([^:]*): ([^]*)");
  std::vector<std::tuple<int, std::string, std::string>> messages;
  for (const std::string& datagram : r.datagrams()) {
    std::smatch match;
    if (std::regex_match(datagram, match, header))
      messages.emplace_back(std::stoi(match[1]), match[2], match[3]);
    else
      messages.emplace_back(-1, "", datagram);
  }
  return messages;
}

TEST(SyslogBackend, EveryPriorityArrivesWithFacilityIdentityAndTextWithoutNewline) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  struct Row {
    const char* log_to;
    std::vector<std::string> setup;
    int facility;
    std::string identity;
  };
  const Row rows[] = {
      {"syslog", {}, LOG_USER, "log_backend_probe"},
      {nullptr, {"syslog", "kite-test", std::to_string(LOG_LOCAL3)}, LOG_LOCAL3, "kite-test"},
      {nullptr,
       {"syslog", "-", std::to_string(LOG_DAEMON), "init", "/opt/bin/served"},
       LOG_DAEMON,
       "served"},
  };
  for (const Row& row : rows) {
    DatagramReceiver receiver;
    ASSERT_TRUE(receiver.bound());
    std::vector<std::string> steps = row.setup;
    steps.insert(steps.end(), {"every", "s"});
    const ProgramResult result = run_probe(kDevLog, receiver, steps, row.log_to);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<std::tuple<int, std::string, std::string>> expected;
    for (int p = 0; p <= 7; ++p)
      expected.emplace_back(row.facility | p, row.identity, every("s")[p]);
    EXPECT_EQ(syslog_messages(receiver), expected) << row.identity;
  }
}

// ---------------------------------------------------------------------------------------------
// Journal

typedef std::map<std::string, std::string> Entry;

// One entry of the journal's native protocol: fields "NAME=value\n", or, for a value that may
// hold newlines, "NAME\n", the value's length as 64-bit little-endian, the value, "\n".
Entry journal_entry(const std::string& datagram) {
  Entry fields;
  for (size_t at = 0; at < datagram.size();) {
    const size_t end = datagram.find_first_of("=\n", at);
    if (end == std::string::npos) break;
    const std::string name = datagram.substr(at, end - at);
    if (datagram[end] == '=') {
      const size_t newline = datagram.find('\n', end);
      fields[name] = datagram.substr(end + 1, newline - end - 1);
      at = newline + 1;
    } else {
      uint64_t length = 0;
      for (int byte = 7; byte >= 0; --byte)
        length = length << 8 | static_cast<unsigned char>(datagram[end + 1 + byte]);
      fields[name] = datagram.substr(end + 9, length);
      if (datagram[end + 9 + length] != '\n') fields["(malformed)"] = name;
      at = end + 9 + length + 1;
    }
  }
  return fields;
}

TEST(JournalBackend, EachLineIsOneEntryWithItsFields) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  DatagramReceiver receiver;
  ASSERT_TRUE(receiver.bound());
  const ProgramResult result = run_probe(
      kJournal, receiver,
      {"tid", "every", "j", "log", "3", "first\nsecond", "thread", "4", "other"}, "journal");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  std::string main_tid, other_tid;
  std::istringstream(result.out) >> main_tid >> main_tid >> other_tid >> other_tid;

  auto entry = [](const std::string& message, int priority, const std::string& tid) {
    return Entry{{"MESSAGE", message},
                 {"PRIORITY", std::to_string(priority)},
                 {"SYSLOG_IDENTIFIER", "log_backend_probe"},
                 {"TID", tid}};
  };
  std::vector<Entry> expected;
  for (int p = 0; p <= 7; ++p) expected.push_back(entry(every("j")[p], p, main_tid));
  expected.push_back(entry("first\nsecond", 3, main_tid));
  expected.push_back(entry("other", 4, other_tid));
  std::vector<Entry> received;
  for (const std::string& datagram : receiver.datagrams())
    received.push_back(journal_entry(datagram));
  EXPECT_EQ(received, expected);
  EXPECT_NE(main_tid, other_tid);
}

// ---------------------------------------------------------------------------------------------
// Nobody listening

// No line is lost: each goes to standard error after one line that says why.
TEST(SocketBackends, WithoutReceiverLinesGoToStandardErrorAfterOneNotice) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  const std::string refused = std::strerror(ECONNREFUSED), missing = std::strerror(ENOENT);
  struct Row {
    const char* name;
    const char* script;
    bool receiver_closed;  // a socket file that nobody listens at
    const char* log_to;
    std::vector<std::string> steps;
    std::string notice;
    std::string sent;  // what the receiver still got
  };
  const Row rows[] = {
      {"KITE_LOG_TO=syslog without /dev/log",
       kNoDevLog,
       false,
       "syslog",
       {},
       "KITE_LOG_TO: syslog: nothing listens at /dev/log: " + missing +
           "; standard error takes its place",
       ""},
      {"KITE_LOG_TO=journal without a journal",
       kNoJournal,
       false,
       "journal",
       {},
       "KITE_LOG_TO: journal: nothing listens at /run/systemd/journal/socket: " + missing +
           "; standard error takes its place",
       ""},
      {"journal backend without a journal",
       kNoJournal,
       false,
       nullptr,
       {"journal"},
       "journal: nothing listens at its socket: " + missing + "; lines go to standard error",
       ""},
      {"journal backend, socket refuses",
       kJournal,
       true,
       nullptr,
       {"journal"},
       "journal: nothing listens at its socket: " + refused + "; lines go to standard error",
       ""},
      {"journal gone while running",
       kJournal,
       false,
       nullptr,
       {"journal", "log", "6", "before", "umount", "/run/systemd/journal/socket"},
       "journal: sending failed: " + refused +
           "; lines go to standard error until the journal takes one again",
       "MESSAGE=before"},
  };
  for (const Row& row : rows) {
    DatagramReceiver receiver;
    ASSERT_TRUE(receiver.bound());
    if (row.receiver_closed) receiver.close();
    std::vector<std::string> steps = row.steps;
    steps.insert(steps.end(), {"every", "x"});
    const ProgramResult result = run_probe(row.script, receiver, steps, row.log_to);
    EXPECT_EQ(result.exit_code, 0) << row.name;
    EXPECT_EQ(result.err, "kite log: " + row.notice + "\n" + joined(every("x", "\n"))) << row.name;
    const std::vector<std::string> datagrams = receiver.datagrams();
    EXPECT_EQ(datagrams.empty() ? "" : datagrams[0].substr(0, row.sent.size()), row.sent)
        << row.name;
  }
}

}  // namespace
