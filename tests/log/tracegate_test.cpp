// SPDX-License-Identifier: MIT
// The debug channel over the log stream: switching by "DBG_ALL" and "DBG_<name>", the time
// stamp request, plain and component lines, and the fatal checks.
#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "errorhandling/tracegate.h"
#include "support/channel_switch_cases.h"
#include "support/recording_backend.h"

// Formats that are not literals are what some cases test.
#pragma GCC diagnostic ignored "-Wformat-security"

// The log stream's time_output_on() does nothing, so whether a channel asked for time stamps
// is not visible in any line. This executable is linked with --wrap for that symbol (see
// CMakeLists.txt): every call from the channel lands here first.
namespace {
int time_requests = 0;
KITE_LogMsg_Stream* time_requester = nullptr;
}  // namespace

extern "C" void __real__ZN18KITE_LogMsg_Stream14time_output_onEv(KITE_LogMsg_Stream* stream);
extern "C" void __wrap__ZN18KITE_LogMsg_Stream14time_output_onEv(KITE_LogMsg_Stream* stream) {
  ++time_requests;
  time_requester = stream;
  __real__ZN18KITE_LogMsg_Stream14time_output_onEv(stream);
}

namespace {

using kite_test::LogCapture;
using kite_test::LogLine;
const int kDebug = KITE_LogMsg_Stream::LDEBUG;

// Every variable the tests touch starts absent and gets its old value back afterwards, so
// switches of the caller's environment do not leak in.
class ChannelEnvironment {
 public:
  ChannelEnvironment() {
    for (const char* name : {"DBG_ALL", "DBG_NO_TIMESTAMPS", "DBG_parse", "DBG_"}) {
      const char* value = std::getenv(name);
      saved_[name] = value ? std::optional<std::string>(value) : std::nullopt;
      unsetenv(name);
    }
  }
  ~ChannelEnvironment() {
    for (const auto& [name, value] : saved_) {
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
    }
  }

 private:
  std::map<std::string, std::optional<std::string>> saved_;
};

class Channel : public testing::Test {
 protected:
  ChannelEnvironment env_;
  LogCapture capture_;
};

TEST_F(Channel, IsOffAndSilentWhenNothingIsSet) {
  tracegate channel("parse");
  EXPECT_FALSE(channel.is_on());
  EXPECT_EQ(channel.level(), 0);
  channel.print("x=%d", 5);
  {
    tracegate::component scope(&channel, "parse");
    scope.print("x=%d", 5);
  }
  EXPECT_TRUE(capture_.lines().empty());
}

TEST_F(Channel, DbgAllWinsWithItsLevelElseTheChannelVariableDecides) {
  kite_test::expect_channel_switch_cases<tracegate>();
}

TEST_F(Channel, SwitchesAreReadOnceAtConstruction) {
  kite_test::set_variable("DBG_parse", "1");
  tracegate channel("parse");
  unsetenv("DBG_parse");
  channel.print("still on");
  const tracegate copy = channel;
  EXPECT_TRUE(copy.is_on());
  EXPECT_EQ(capture_.lines(), std::vector<LogLine>{LogLine(kDebug, "still on\n")});
}

TEST_F(Channel, NoTimestampsFlagDecidesWhetherTimeStampsAreRequested) {
  const struct {
    std::optional<std::string> value;
    int requests;
  } rows[] = {{std::nullopt, 1}, {"", 1}, {"0", 1}, {"1", 0}, {"yes", 0}, {"00", 0}};
  for (const auto& row : rows) {
    kite_test::set_variable("DBG_NO_TIMESTAMPS", row.value);
    const int before = time_requests;
    time_requester = nullptr;
    tracegate channel("parse");
    EXPECT_EQ(time_requests - before, row.requests) << row.value.value_or("<absent>");
    if (row.requests != 0) {
      EXPECT_EQ(time_requester, kite_test::log_stream());
    }
  }
}

TEST_F(Channel, TimeStampsAreRequestedFromTheConstructingThreadsStream) {
  KITE_LogMsg_Stream* thread_stream = nullptr;
  std::thread([&] {
    tracegate channel("parse");
    thread_stream = kite_test::log_stream();
  }).join();
  EXPECT_EQ(time_requester, thread_stream);
  EXPECT_NE(thread_stream, kite_test::log_stream());
}

TEST_F(Channel, PrintWritesOneDebugLineThroughTheLogStream) {
  kite_test::set_variable("DBG_parse", "1");
  tracegate channel("parse");
  channel.print("x=%d %s", 5, "y");
  channel.print("ends\n");
  EXPECT_EQ(capture_.lines(),
            (std::vector<LogLine>{LogLine(kDebug, "x=5 y\n"), LogLine(kDebug, "ends\n")}));
}

TEST_F(Channel, ComponentBracketsItsScopeAndPrefixesItsMessages) {
  kite_test::set_variable("DBG_parse", "1");
  tracegate channel("parse");
  {
    tracegate::component scope(&channel, "parse");
    scope.print("x=%d", 5);
  }
  EXPECT_EQ(capture_.lines(), (std::vector<LogLine>{LogLine(kDebug, "parse: enter\n"),
                                                    LogLine(kDebug, "parse: x=5\n"),
                                                    LogLine(kDebug, "parse: leave\n")}));
}

TEST_F(Channel, ComponentLeavesItsScopeAlsoOnAnException) {
  kite_test::set_variable("DBG_ALL", "1");
  tracegate channel("parse");
  try {
    tracegate::component scope(&channel, "parse");
    throw 1;
  } catch (int) {
  }
  EXPECT_EQ(capture_.texts(), (std::vector<std::string>{"parse: enter\n", "parse: leave\n"}));
}

TEST_F(Channel, PercentInAComponentNamePrintsLiterally) {
  kite_test::set_variable("DBG_parse", "1");
  tracegate channel("parse");
  {
    tracegate::component scope(&channel, "50%d%s%m%");
    scope.print("x=%d", 5);
  }
  EXPECT_EQ(capture_.texts(), (std::vector<std::string>{"50%d%s%m%: enter\n", "50%d%s%m%: x=5\n",
                                                        "50%d%s%m%: leave\n"}));
}

TEST_F(Channel, LongComponentNamesAndMessagesAreCutOnlyByTheLogLine) {
  kite_test::set_variable("DBG_parse", "1");
  tracegate channel("parse");
  const std::string name(100, 'n');
  const std::string message = std::string(900, 'm') + "%d";
  tracegate::component scope(&channel, name.c_str());
  capture_.forget();
  scope.print(message.c_str(), 7);
  ASSERT_EQ(capture_.lines().size(), 1u);
  // The log stream keeps the first 254 characters of a line.
  EXPECT_EQ(capture_.texts()[0], (name + ": " + std::string(900, 'm')).substr(0, 254));
}

// A format far longer than what it prints: the joined text goes beyond the stack buffer.
TEST_F(Channel, LongComponentFormatsKeepEveryConversion) {
  kite_test::set_variable("DBG_parse", "1");
  tracegate channel("parse");
  std::string message;
  for (int i = 0; i < 200; ++i) message += "%1$.0s";
  message += "%1$s|%2$d";
  tracegate::component scope(&channel, "p%q%");
  capture_.forget();
  scope.print(message.c_str(), "arg", 9);
  EXPECT_EQ(capture_.texts(), std::vector<std::string>{"p%q%: arg|9\n"});
}

class ChannelDeathTest : public testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
  ChannelEnvironment env_;
};

TEST_F(ChannelDeathTest, NullFormatEndsTheProcessOnlyWhileOn) {
  const char* null_format = nullptr;
  tracegate off("parse");
  off.print(null_format);
  tracegate::component quiet(&off, "parse");
  quiet.print(null_format);

  kite_test::set_variable("DBG_parse", "1");
  tracegate on("parse");
  EXPECT_DEATH(on.print(null_format), "tracegate::print got NULL msg");
  tracegate::component scope(&on, "parse");
  EXPECT_DEATH(scope.print(null_format), "tracegate::print got NULL msg");
}

TEST_F(ChannelDeathTest, ComponentWithoutAChannelEndsTheProcess) {
  EXPECT_DEATH(tracegate::component(nullptr, "parse"),
               "tracegate::component::component: no tracegate pointer given");
}

}  // namespace
