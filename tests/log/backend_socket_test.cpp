// SPDX-License-Identifier: MIT
// The syslog and journal backends against receivers bound over /dev/log and the journal's
// socket in a private mount namespace, and what they do where nothing listens.
#include <syslog.h>

#include <cstring>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "gtest/gtest.h"
#include "log/socket_probe.h"

namespace {

using kite_test::DatagramReceiver;
using kite_test::ProgramResult;

using kite_test::kBound;
using kite_test::kClosed;
using kite_test::kDevLog;
using kite_test::kJournal;
using kite_test::kNone;
using kite_test::Receiver;
using kite_test::run_probe;

// "text <p>" for every priority p, each followed by end.
std::string every(const std::string& text, int p, const std::string& end = "") {
  return text + " " + std::to_string(p) + end;
}

typedef std::tuple<int, std::string, std::string> SyslogMessage;

// (priority value, identity, text) of a datagram that syslog(3) sent:
// "<PRI>Mmm dd hh:mm:ss identity: text".
SyslogMessage syslog_message(const std::string& datagram) {
  static const std::regex header(
      "<([0-9]+)>[A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} ([^:]*): ([^]*)");
  std::smatch match;
  if (std::regex_match(datagram, match, header)) return {std::stoi(match[1]), match[2], match[3]};
  return {-1, "", datagram};
}

std::vector<SyslogMessage> syslog_messages(DatagramReceiver& r) {
  std::vector<SyslogMessage> messages;
  for (const std::string& datagram : r.datagrams()) messages.push_back(syslog_message(datagram));
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
    std::vector<std::string> steps = row.setup;
    steps.insert(steps.end(), {"every", "s"});
    const ProgramResult result = run_probe(kDevLog, receiver, kBound, steps, row.log_to);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<SyslogMessage> expected;
    for (int p = 0; p <= 7; ++p)
      expected.emplace_back(row.facility | p, row.identity, every("s", p));
    EXPECT_EQ(syslog_messages(receiver), expected) << row.identity;
  }
}

using kite_test::Entry;
using kite_test::journal_entry;

// Ten entries at most: the receiver is read after the probe ends, and a local datagram
// socket queues no more unread datagrams than that (net.unix.max_dgram_qlen).
TEST(JournalBackend, EachLineIsOneEntryWithItsFields) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  DatagramReceiver receiver;
  const ProgramResult result = run_probe(kJournal, receiver, kBound,
                                         {"tid", "every", "j", "info", "b.cpp", "7", "2", "log",
                                          "3", "first\nsecond", "thread", "4", "other"},
                                         "journal");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.err, "");
  std::string main_tid, other_tid;
  std::istringstream(result.out) >> main_tid >> main_tid >> other_tid >> other_tid;
  EXPECT_NE(main_tid, other_tid);

  auto entry = [](const std::string& message, int priority, const std::string& tid) {
    return Entry{{"MESSAGE", message},
                 {"PRIORITY", std::to_string(priority)},
                 {"SYSLOG_IDENTIFIER", "log_backend_probe"},
                 {"TID", tid}};
  };
  std::vector<Entry> expected;
  for (int p = 0; p <= 7; ++p) expected.push_back(entry(every("j", p), p, main_tid));
  // After info(), the place and error number it recorded, on that thread's lines only.
  expected.push_back(entry("first\nsecond", 3, main_tid));
  expected.back().insert({{"CODE_FILE", "b.cpp"}, {"CODE_LINE", "7"}, {"ERRNO", "2"}});
  expected.push_back(entry("other", 4, other_tid));
  std::vector<Entry> received;
  for (const std::string& datagram : receiver.datagrams())
    received.push_back(journal_entry(datagram));
  EXPECT_EQ(received, expected);
}

// A backend applies its own limit also when called directly (by a backend that wraps it,
// say), not only when the manager skips it.
TEST(SocketBackends, ApplyTheirOwnLimitWhenCalledDirectly) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  const std::vector<std::string> steps = {"limit",    "4",      "direct", "5",
                                          "hidden\n", "direct", "4",      "shown\n"};
  struct Row {
    const char* socket;
    std::vector<std::string> backend;
  };
  const Row rows[] = {{kDevLog, {"syslog", "-", std::to_string(LOG_USER)}},
                      {kJournal, {"journal"}}};
  for (const Row& row : rows) {
    DatagramReceiver receiver;
    std::vector<std::string> all = row.backend;
    all.insert(all.end(), steps.begin(), steps.end());
    const ProgramResult result = run_probe(row.socket, receiver, kBound, all);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    std::vector<std::string> received;
    for (const std::string& datagram : receiver.datagrams())
      received.push_back(row.socket == kDevLog ? std::get<2>(syslog_message(datagram))
                                               : journal_entry(datagram)["MESSAGE"]);
    EXPECT_EQ(received, std::vector<std::string>{"shown"}) << row.socket;
  }
}

// No line is lost where nothing listens: each goes to standard error, after one line that
// says why.
TEST(SocketBackends, WithoutReceiverLinesGoToStandardErrorAfterOneNotice) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  const std::string refused = std::strerror(ECONNREFUSED), missing = std::strerror(ENOENT);
  const std::string replaced = "; standard error takes its place";
  struct Row {
    const char* socket;
    Receiver receiver;
    const char* log_to;
    std::vector<std::string> steps;
    std::string notice;
    std::string received;  // the start of what the receiver still got
  };
  const Row rows[] = {
      {kDevLog,
       kNone,
       "syslog",
       {},
       "KITE_LOG_TO: syslog: nothing listens at /dev/log: " + missing + replaced,
       ""},
      {kJournal,
       kNone,
       "journal",
       {},
       "KITE_LOG_TO: journal: nothing listens at " + std::string(kJournal) + ": " + missing +
           replaced,
       ""},
      {kJournal,
       kNone,
       nullptr,
       {"journal"},
       "journal: nothing listens at its socket: " + missing + "; lines go to standard error",
       ""},
      {kJournal,
       kClosed,
       nullptr,
       {"journal"},
       "journal: nothing listens at its socket: " + refused + "; lines go to standard error",
       ""},
      {kJournal,
       kBound,
       nullptr,
       {"journal", "log", "6", "before", "umount", kJournal},
       "journal: sending failed: " + refused +
           "; lines go to standard error until the journal takes one again",
       "MESSAGE=before\n"},
  };
  for (const Row& row : rows) {
    DatagramReceiver receiver;
    std::vector<std::string> steps = row.steps;
    steps.insert(steps.end(), {"every", "x"});
    const ProgramResult result = run_probe(row.socket, receiver, row.receiver, steps, row.log_to);
    EXPECT_EQ(result.exit_code, 0);
    std::string expected = "kite log: " + row.notice + "\n";
    for (int p = 0; p <= 7; ++p) expected += every("x", p, "\n");
    EXPECT_EQ(result.err, expected) << row.notice;
    const std::vector<std::string> got = receiver.datagrams();
    EXPECT_EQ(got.empty() ? "" : got[0].substr(0, row.received.size()), row.received);
  }
}

// The journal's socket removed mid-run, as a restart of the journal does: each line goes to
// standard error, after one notice, until the journal is back; then the lines go there again.
// Added in code, the backend is written by the logging thread; from KITE_LOG_TO, by the
// writer thread (the probe waits for it before it changes the socket).
TEST(JournalBackend, SocketRemovedMidRunGivesStandardErrorUntilTheJournalIsBack) {
  KITE_SKIP_WITHOUT_PRIVATE_MOUNTS();
  for (const char* log_to : {static_cast<const char*>(nullptr), "journal"}) {
    DatagramReceiver receiver;
    std::vector<std::string> steps = {
        "log",  "6",      "before",        "flush",  "5000", "remove", kJournal,
        "log",  "6",      "away 1",        "log",    "3",    "away 2", "flush",
        "5000", "rebind", receiver.path(), kJournal, "log",  "6",      "back"};
    if (!log_to) steps.insert(steps.begin(), "journal");
    const ProgramResult result = run_probe(kJournal, receiver, kBound, steps, log_to);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err,
              "kite log: journal: sending failed: " + std::string(std::strerror(ENOENT)) +
                  "; lines go to standard error until the journal takes one again\n"
                  "away 1\naway 2\n")
        << (log_to ? log_to : "in code");
    std::vector<std::string> messages;
    for (const std::string& datagram : receiver.datagrams())
      messages.push_back(journal_entry(datagram)["MESSAGE"]);
    EXPECT_EQ(messages, (std::vector<std::string>{"before", "back"}));
  }
}

}  // namespace
