// SPDX-License-Identifier: MIT
// How a debug channel decides from the environment, as one table for both tracegate
// variants: each test executable links one variant and runs the table against it.
#ifndef KITE_TESTS_CHANNEL_SWITCH_CASES_H
#define KITE_TESTS_CHANNEL_SWITCH_CASES_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <string>

namespace kite_test {

inline void set_variable(const char* name, const std::optional<std::string>& value) {
  if (value)
    setenv(name, value->c_str(), 1);
  else
    unsetenv(name);
}

// The variables the table sets; a test that runs it unsets them before and after.
inline const char* const kChannelVariables[] = {"DBG_ALL", "DBG_parse", "DBG_"};

// Builds a Channel for every case, with the environment set as the case says.
template <class Channel>
void expect_channel_switch_cases() {
  static const struct {
    std::optional<std::string> all;   // DBG_ALL
    std::optional<std::string> own;   // DBG_parse
    std::optional<std::string> bare;  // DBG_, which a null name must not read
    const char* name;
    bool on;
    int level;
  } cases[] = {
      {"3", std::nullopt, std::nullopt, "parse", true, 3},
      {"3", "5", std::nullopt, "parse", true, 3},
      {"3", "0", std::nullopt, "parse", true, 3},
      {"-2", std::nullopt, std::nullopt, "parse", true, -2},
      {"0", "2", std::nullopt, "parse", true, 2},
      {"yes", "2", std::nullopt, "parse", true, 2},
      {std::nullopt, "yes", std::nullopt, "parse", false, 0},
      {std::nullopt, "1abc", std::nullopt, "parse", true, 1},
      {std::nullopt, "-2", std::nullopt, "parse", true, -2},
      {std::nullopt, "4294967295", std::nullopt, "parse", false, 0},
      {std::nullopt, "0x5", std::nullopt, "parse", false, 0},
      {"", "", std::nullopt, "parse", false, 0},
      {std::nullopt, std::nullopt, "5", nullptr, false, 0},
      {"4", std::nullopt, "5", nullptr, true, 4},
  };
  for (const auto& c : cases) {
    set_variable("DBG_ALL", c.all);
    set_variable("DBG_parse", c.own);
    set_variable("DBG_", c.bare);
    const Channel channel(c.name);
    const std::string what =
        "DBG_ALL=" + c.all.value_or("<absent>") + " DBG_parse=" + c.own.value_or("<absent>") +
        " DBG_=" + c.bare.value_or("<absent>") + " name=" + (c.name ? c.name : "<null>");
    EXPECT_EQ(channel.is_on(), c.on) << what;
    EXPECT_EQ(channel.level(), c.level) << what;
  }
  for (const char* name : kChannelVariables) unsetenv(name);
}

}  // namespace kite_test

#endif
