// SPDX-License-Identifier: MIT
#include "utility/env_adapter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const kVar = "KITE_SWITCHES_TEST_VAR";

// Puts the variable into the state a row describes: a text, or absent.
void set_var(const std::optional<std::string>& value) {
  if (value)
    setenv(kVar, value->c_str(), 1);
  else
    unsetenv(kVar);
}

std::vector<std::string> entries(const string_list_parser::value_list& list) {
  std::vector<std::string> out;
  for (size_t i = 0; i < list.size(); ++i) out.push_back(list[i]);
  return out;
}

struct FlagRow {
  std::optional<std::string> value;
  bool on;
};

TEST(FlagSwitch, OnlyEmptyTextAndExactZeroAreOff) {
  const FlagRow rows[] = {
      {std::nullopt, false}, {"", false},     {"0", false},  {"00", true}, {"1", true},
      {"no", true},          {"false", true}, {"off", true}, {" 0", true}, {"0 ", true},
  };
  for (const auto& row : rows) {
    set_var(row.value);
    env_flag flag(kVar);
    EXPECT_EQ(flag.is_on(), row.on) << "text \"" << row.value.value_or("<absent>") << "\"";
  }
  unsetenv(kVar);
}

struct LevelRow {
  std::optional<std::string> value;
  unsigned long level;
};

TEST(LevelSwitch, ReadsLikeStrtoulWithThirtyTwoBits) {
  const LevelRow rows[] = {
      {std::nullopt, 0},
      {"", 0},
      {"0", 0},
      {"0000", 0},
      {std::string(49, '3'), 0},
      {"abcd7", 0},
      {"-1", 0},
      {"4294967295", 0},
      {"-2", 4294967294UL},
      {"1", 1},
      {"1abcd", 1},
      {"2", 2},
      {" 7", 7},
      {"+7", 7},
      {"010", 10},
      {"0x1F", 0},
      // Beyond 32 bits, though within the 64-bit range of the platform's unsigned long.
      {"4294967296", 0},
      {"18446744073709551614", 0},
      {"4294967294", 4294967294UL},
      {"-4294967295", 1},
      {"-0", 0},
      {"\t\n 12 apples", 12},
      {"- 5", 0},
      {"yes", 0},
  };
  for (const auto& row : rows) {
    set_var(row.value);
    env_level level(kVar);
    const std::string text = row.value.value_or("<absent>");
    EXPECT_EQ(level.level(), row.level) << "text \"" << text << "\"";
    EXPECT_EQ(level.is_on(), row.level != 0) << "text \"" << text << "\"";
  }
  unsetenv(kVar);
}

TEST(LevelSwitch, IsOnAskedFirstGivesTheSameAnswer) {
  set_var("3");
  env_level level(kVar);
  EXPECT_TRUE(level.is_on());
  EXPECT_EQ(level.level(), 3u);
  unsetenv(kVar);
}

struct ListRow {
  std::optional<std::string> value;
  std::vector<std::string> all;
  std::vector<std::string> pruned;
  bool dropped;
};

TEST(ListSwitch, SplitsIntoDelimiterCountPlusOneFields) {
  const ListRow rows[] = {
      {std::nullopt, {}, {}, false},
      {"", {}, {}, false},
      {"abc", {"abc"}, {"abc"}, false},
      {"a:b", {"a", "b"}, {"a", "b"}, false},
      {"a::b", {"a", "", "b"}, {"a", "b"}, true},
      {":a", {"", "a"}, {"a"}, true},
      {"a:", {"a", ""}, {"a"}, true},
      {":", {"", ""}, {}, true},
      {"a::b::", {"a", "", "b", "", ""}, {"a", "b"}, true},
      {" : ", {" ", " "}, {" ", " "}, false},
  };
  for (const auto& row : rows) {
    set_var(row.value);
    env_list list(kVar);
    const std::string text = row.value.value_or("<absent>");
    EXPECT_EQ(entries(list.splitValues(':')), row.all) << "text \"" << text << "\"";
    bool dropped = !row.dropped;
    EXPECT_EQ(entries(list.splitAndPruneValues(dropped, ':')), row.pruned)
        << "text \"" << text << "\"";
    EXPECT_EQ(dropped, row.dropped) << "text \"" << text << "\"";
  }
  unsetenv(kVar);
}

TEST(ListSwitch, ReturnsEveryFieldBeyondTheInitialCapacity) {
  std::string text;
  std::vector<std::string> expected;
  for (int i = 0; i < 40; ++i) {
    expected.push_back("entry" + std::to_string(i));
    text += (i ? ":" : "") + expected.back();
  }
  set_var(text);
  env_list list(kVar);
  EXPECT_EQ(entries(list.splitValues(':')), expected);
  bool dropped = true;
  EXPECT_EQ(entries(list.splitAndPruneValues(dropped, ':')), expected);
  EXPECT_FALSE(dropped);
  unsetenv(kVar);
}

TEST(ListSwitch, DelimiterThatDoesNotOccurGivesTheWholeText) {
  set_var("x:y,z");
  env_list list(kVar);
  EXPECT_EQ(entries(list.splitValues(';')), std::vector<std::string>{"x:y,z"});
  EXPECT_EQ(entries(list.splitValues(',')), (std::vector<std::string>{"x:y", "z"}));
  unsetenv(kVar);
}

TEST(AnySwitch, NullNameReadsLikeAnAbsentVariable) {
  env_flag flag(nullptr);
  env_level level(nullptr);
  env_list list(nullptr);
  EXPECT_EQ(flag.get_str(), "");
  EXPECT_FALSE(flag.is_on());
  EXPECT_EQ(level.level(), 0u);
  EXPECT_FALSE(level.is_on());
  bool dropped = true;
  EXPECT_EQ(list.splitAndPruneValues(dropped, ':').size(), 0u);
  EXPECT_FALSE(dropped);
}

TEST(AnySwitch, AnswersFromTheTextReadAtConstruction) {
  set_var("5");
  env_flag flag(kVar);
  env_level level(kVar);
  env_list list(kVar);
  env_level queried_early(kVar);
  EXPECT_EQ(queried_early.level(), 5u);

  unsetenv(kVar);
  EXPECT_EQ(flag.get_str(), "5");
  EXPECT_TRUE(flag.is_on());
  EXPECT_EQ(level.level(), 5u);
  EXPECT_EQ(entries(list.splitValues(':')), std::vector<std::string>{"5"});

  set_var("0");
  EXPECT_TRUE(flag.is_on());
  EXPECT_EQ(queried_early.level(), 5u);
  EXPECT_FALSE(env_flag(kVar).is_on());
  unsetenv(kVar);
}

}  // namespace
