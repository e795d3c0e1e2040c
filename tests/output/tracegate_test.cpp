// SPDX-License-Identifier: MIT
#include "utility/tracegate.h"

#include "support/capture.h"
#include "support/channel_switch_cases.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <optional>
#include <regex>
#include <string>

namespace {

const std::string kDebug = "gaugequery[C++]:: Debug  : ";

class Channel : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("UTILITY_USE_SYSLOG");
    unsetenv("UTILITY_SERIALIZED_OUTPUT");
    for (const char* name : kite_test::kChannelVariables) unsetenv(name);
    // No time stamps unless a test asks, so lines compare exactly.
    setenv("DBG_NO_TIMESTAMPS", "1", 1);
    output::set_executable_name("gaugequery");
    output::time_output_off();
  }
  void TearDown() override {
    for (const char* name : kite_test::kChannelVariables) unsetenv(name);
    unsetenv("DBG_NO_TIMESTAMPS");
    output::time_output_off();
  }
};

TEST_F(Channel, IsOffWithoutVariablesAndPrintsNothing) {
  tracegate channel("parse");
  EXPECT_FALSE(channel.is_on());
  EXPECT_EQ(channel.level(), 0);
  kite_test::OutputCapture capture;
  channel.print("x=%d", 5);
  channel.print(nullptr);
  {
    tracegate::component part(&channel, "parse");
    part.print("x=%d", 5);
    part.print(nullptr);
  }
  EXPECT_EQ(capture.out() + capture.err(), "");
}

TEST_F(Channel, IsDecidedByDbgAllFirstThenByItsOwnVariable) {
  kite_test::expect_channel_switch_cases<tracegate>();
}

TEST_F(Channel, KeepsItsDecisionWhenTheEnvironmentChanges) {
  setenv("DBG_parse", "4", 1);
  tracegate channel("parse");
  unsetenv("DBG_parse");
  setenv("DBG_ALL", "9", 1);
  EXPECT_TRUE(channel.is_on());
  EXPECT_EQ(channel.level(), 4);
  const tracegate copy = channel;
  EXPECT_EQ(copy.level(), 4);
}

TEST_F(Channel, PrintWritesADebugLineThroughTheDefaultComponent) {
  setenv("DBG_parse", "1", 1);
  const tracegate channel("parse");
  kite_test::OutputCapture capture;
  channel.print("x=%d", 5);
  EXPECT_EQ(capture.out(), kDebug + "x=5\n");
  EXPECT_EQ(capture.err(), "");
}

TEST_F(Channel, ComponentPrintsOnlyItsLinesWithItsNamePrefix) {
  setenv("DBG_parse", "1", 1);
  tracegate channel("parse");
  kite_test::OutputCapture capture;
  {
    std::string name = "parse";
    tracegate::component part(&channel, name.c_str());
    name = "changed";
    part.print("x=%d", 5);
    tracegate::component percent(&channel, "50%s");
    percent.print("done");
  }
  EXPECT_EQ(capture.out(), kDebug + "parse: x=5\n" + kDebug + "50%s: done\n");
}

TEST_F(Channel, TextsAreCutAt1023Characters) {
  setenv("DBG_parse", "1", 1);
  tracegate channel("parse");
  tracegate::component part(&channel, "parse");
  const std::string text(2000, 'y');
  kite_test::OutputCapture capture;
  channel.print("%s", text.c_str());
  part.print("%s", text.c_str());
  EXPECT_EQ(capture.out(), kDebug + std::string(1023, 'y') + "\n" + kDebug +
                               "parse: " + std::string(1023, 'y') + "\n");
}

TEST_F(Channel, SwitchesTimeStampsOnUnlessDbgNoTimestampsIsOn) {
  const std::regex stamped("[0-9]{2}:[0-9]{2}:[0-9]{2} gaugequery\\[C\\+\\+\\]:: Message: m\n");
  const std::optional<std::string> values[] = {std::nullopt, "", "0", "1", "yes"};
  for (const auto& value : values) {
    output::time_output_off();
    kite_test::set_variable("DBG_NO_TIMESTAMPS", value);
    tracegate channel("parse");
    kite_test::OutputCapture capture;
    output::message("m");
    const bool expect_stamp = !value || *value == "" || *value == "0";
    EXPECT_EQ(std::regex_match(capture.out(), stamped), expect_stamp)
        << "DBG_NO_TIMESTAMPS=" << value.value_or("<absent>") << ": " << capture.out();
  }
}

using ChannelDeathTest = Channel;

TEST_F(ChannelDeathTest, NullMessageOnAnEnabledChannelAborts) {
  setenv("DBG_parse", "1", 1);
  tracegate channel("parse");
  tracegate::component part(&channel, "parse");
  const char* const none = nullptr;
  EXPECT_EXIT(channel.print(none), ::testing::KilledBySignal(SIGABRT),
              "Failure: tracegate::print got NULL msg\n$");
  EXPECT_EXIT(part.print(none), ::testing::KilledBySignal(SIGABRT),
              "Failure: tracegate::print got NULL msg\n$");
}

TEST_F(ChannelDeathTest, ComponentWithoutAChannelAborts) {
  EXPECT_EXIT(tracegate::component(nullptr, "parse"), ::testing::KilledBySignal(SIGABRT),
              "Failure: tracegate::component::component: no tracegate pointer given\n$");
}

}  // namespace
