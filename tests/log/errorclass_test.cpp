// SPDX-License-Identifier: MIT
#include "errorhandling/errorclass.h"

#include <string>

#include "gtest/gtest.h"

namespace {

TEST(ErrorClass, MessagesNameTheSourcePosition) {
  EXPECT_STREQ(NoMoreDynamicMemory("block.cpp", 42, "allocate").what(),
               "No more Memory at block.cpp:42 in allocate");
  EXPECT_STREQ(MutexFail("KITE_LogMsg_BackendMgr", 7, "write").what(),
               "Mutex failed at KITE_LogMsg_BackendMgr:7 in write");
}

TEST(ErrorClass, LongMessagesAreCutTo127Characters) {
  const std::string name(200, 'f');
  const std::string full = "No more Memory at " + name + ":1 in g";
  NoMoreDynamicMemory e(name.c_str(), 1, "g");
  EXPECT_EQ(std::string(e.what()), full.substr(0, 127));
  const std::exception& base = MutexFail(name.c_str(), 1, "g");
  EXPECT_EQ(std::string(base.what()).size(), 127u);
}

}  // namespace
