// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include "BOLT/mseg.h"

TEST(Mseg, DefaultSegmentIsEmpty) {
  BOLT::Mseg s;
  EXPECT_EQ(s.begin(), nullptr);
  EXPECT_EQ(s.end(), nullptr);
  EXPECT_EQ(s.size(), 0u);
}

TEST(Mseg, NamesItsRangeAndCanBeRepointed) {
  char bytes[32];
  BOLT::Mseg s(bytes, 16);
  EXPECT_EQ(s.begin(), bytes);
  EXPECT_EQ(s.end(), bytes + 16);
  EXPECT_EQ(s.size(), 16u);

  BOLT::Mseg copy = s;  // a second name for the same bytes
  s.init(bytes + 20, 0);
  EXPECT_EQ(s.begin(), bytes + 20);
  EXPECT_EQ(s.end(), bytes + 20);
  EXPECT_EQ(s.size(), 0u);
  EXPECT_EQ(copy.begin(), bytes);
  EXPECT_EQ(copy.size(), 16u);
}
