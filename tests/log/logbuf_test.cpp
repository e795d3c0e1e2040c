// SPDX-License-Identifier: MIT
// The log buffer: what reaches the sink at each sync, and when.
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "errorhandling/KITE_ERRLOG_Logbuf.h"
#include "gtest/gtest.h"

namespace {

class RecordingSink : public KITE_ERRLOG::LogSink<char> {
 public:
  void log_write(const char* s, int n) override {
    if (throw_next) {
      throw_next = false;
      throw std::runtime_error("sink broke");
    }
    calls.emplace_back(s, static_cast<size_t>(n));
  }
  std::vector<std::string> calls;
  bool throw_next = false;
};

typedef std::vector<std::string> Calls;

TEST(Logbuf, EachSyncDeliversEverythingGatheredOnceAndEmptySyncsDeliverNothing) {
  RecordingSink sink;
  KITE_ERRLOG::Logbuf<char> buf(&sink);
  std::ostream os(&buf);
  os << "abc" << std::flush << std::flush;
  os << "a\nb\n" << std::flush;
  os << "c" << std::flush;
  EXPECT_EQ(sink.calls, (Calls{"abc", "a\nb\n", "c"}));
}

TEST(Logbuf, CharactersAndStringsArriveInTheOrderWritten) {
  RecordingSink sink;
  KITE_ERRLOG::Logbuf<char> buf(&sink);
  std::ostream os(&buf);
  os.put('x');
  os << "yz";
  os.put('!');
  os.write("\0w", 2);
  os << std::flush;
  EXPECT_EQ(sink.calls, Calls{std::string("xyz!\0w", 6)});
}

TEST(Logbuf, DestructionDeliversTextNeverFlushed) {
  RecordingSink sink;
  {
    KITE_ERRLOG::logbuf_init<char> holder(&sink);
    std::ostream os(holder.buf_ptr());
    os << "unflushed";
  }
  EXPECT_EQ(sink.calls, Calls{"unflushed"});
}

TEST(Logbuf, WithoutASinkTextWaitsForOne) {
  RecordingSink sink;
  KITE_ERRLOG::Logbuf<char> buf;
  std::ostream os(&buf);
  os << "kept" << std::flush;
  EXPECT_EQ(buf.pubsync(), 0);
  buf.setSink(&sink);
  os << "+more" << std::flush;
  EXPECT_EQ(sink.calls, Calls{"kept+more"});
}

TEST(Logbuf, TextASinkThrewOnIsDeliveredAgainAtTheNextSync) {
  RecordingSink sink;
  KITE_ERRLOG::Logbuf<char> buf(&sink);
  std::ostream os(&buf);
  os << "first";
  sink.throw_next = true;
  EXPECT_THROW(buf.pubsync(), std::runtime_error);
  os << "+second";
  EXPECT_EQ(buf.pubsync(), 0);
  EXPECT_EQ(sink.calls, Calls{"first+second"});
}

}  // namespace
