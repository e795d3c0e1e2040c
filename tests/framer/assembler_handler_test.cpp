// SPDX-License-Identifier: MIT
// KITE::Assembler_Handler on real sockets and a real reactor: lines split across writes,
// end of file, over-long lines, a reset connection, an observer that throws, and how much
// one readiness reads.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ace/INET_Addr.h>
#include <ace/Reactor.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KITE_READ2/KITE_Assembler_Handler.h"
#include "support/recording_backend.h"

namespace {

using Messages = std::vector<std::string>;

class Recorder : public KITE::Message_Observer {
 public:
  void process(KITE_Message_Block* mb) override {
    messages.emplace_back(mb->rd_ptr(), mb->length());
    mb->release();
    if (throw_after == 0 || messages.size() != throw_after) return;
    if (throw_int) throw 7;
    throw std::runtime_error("observer failed");
  }
  Messages messages;
  size_t throw_after = 0;  // messages before the observer throws; 0: never
  bool throw_int = false;  // throws an int rather than a std::exception
};

// A handler that records what it reports about itself.
class Handler : public KITE::Assembler_Handler {
 public:
  using Assembler_Handler::Assembler_Handler;
  std::vector<int> closings;  // the errors closed() got

 protected:
  void closed(int error) override { closings.push_back(error); }
};

// Runs the reactor until the handler has closed.
void run_until_closed(ACE_Reactor& reactor, Handler& handler) {
  ASSERT_EQ(handler.open(&reactor), 0);
  for (int turn = 0; turn < 1000 && handler.closings.empty(); ++turn) {
    ACE_Time_Value wait(1);
    reactor.handle_events(wait);
  }
}

// Writes each piece to the other end of a socket pair, closes it, and lets a handler read.
struct Pair {
  Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0); }
  void send(const std::vector<std::string>& pieces) {
    for (const std::string& piece : pieces)
      ASSERT_EQ(write(ends[1], piece.data(), piece.size()), ssize_t(piece.size()));
    close(ends[1]);
  }
  int ends[2];
};

TEST(AssemblerHandler, DeliversLinesSplitAcrossWritesAndClosesAtEndOfFile) {
  Pair pair;
  pair.send({"hel", "lo\nwor", "ld\r\n", "no line end"});  // 24 bytes
  Recorder recorder;
  Handler handler(pair.ends[0], &recorder);
  ACE_Reactor reactor;
  run_until_closed(reactor, handler);
  EXPECT_EQ(recorder.messages, (Messages{"hello\n", "world\r", "\n"}));
  EXPECT_EQ(handler.bytes(), 24u);
  EXPECT_EQ(handler.closings, std::vector<int>{0});
  EXPECT_EQ(handler.get_handle(), ACE_INVALID_HANDLE);
}

TEST(AssemblerHandler, ReportsEachOverLongLineOnceAndDeliversTheRest) {
  kite_test::LogCapture capture;
  Pair pair;
  const std::string too_long(KITE::Message_Assembler::MESSAGE_SIZE + 1, 'x');
  pair.send({"ok\n" + too_long + "\n" + too_long + "\nnext\n"});
  Recorder recorder;
  Handler handler(pair.ends[0], &recorder);
  ACE_Reactor reactor;
  run_until_closed(reactor, handler);
  EXPECT_EQ(recorder.messages, (Messages{"ok\n", "next\n"}));
  EXPECT_EQ(handler.overlong_lines(), 2u);
  EXPECT_EQ(capture.texts(), std::vector<std::string>{
                                 "Assembler_Handler: 2 line(s) over 1024 characters dropped\n"});
}

TEST(AssemblerHandler, ObserverExceptionClosesTheConnection) {
  const struct {
    bool throw_int;
    std::string logged;
  } cases[] = {
      {false, "Assembler_Handler: connection closed after observer failed\n"},
      {true, "Assembler_Handler: connection closed after an exception of unknown type\n"},
  };
  for (const auto& c : cases) {
    kite_test::LogCapture capture;
    Pair pair;
    pair.send({"a\nb\nc\n"});
    Recorder recorder;
    recorder.throw_after = 1;
    recorder.throw_int = c.throw_int;
    Handler handler(pair.ends[0], &recorder);
    ACE_Reactor reactor;
    run_until_closed(reactor, handler);
    EXPECT_EQ(recorder.messages, Messages{"a\n"});
    EXPECT_EQ(handler.closings, std::vector<int>{-1});
    EXPECT_EQ(capture.texts(), std::vector<std::string>{c.logged});
  }
}

// One readiness reads until a read leaves room in the buffer, at most READS_PER_EVENT
// buffers; the rest waits for the next.
TEST(AssemblerHandler, OneReadinessReadsAtMostItsBudget) {
  constexpr size_t kBuffer = KITE::Assembler_Handler::READ_SIZE;
  constexpr size_t kBudget = kBuffer * KITE::Assembler_Handler::READS_PER_EVENT;
  const struct {
    size_t waiting, first, second;
  } cases[] = {
      {100, 100, 0},
      {kBuffer, kBuffer, 0},
      {kBuffer + 1, kBuffer + 1, 0},
      {kBudget + kBuffer / 2, kBudget, kBuffer / 2},
  };
  for (const auto& c : cases) {
    Pair pair;
    const int room = 4 << 20;
    ASSERT_EQ(setsockopt(pair.ends[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof room), 0);
    std::string text(c.waiting, 'x');
    for (size_t at = 999; at < text.size(); at += 1000) text[at] = '\n';
    ASSERT_EQ(write(pair.ends[1], text.data(), text.size()), ssize_t(text.size()));
    Recorder recorder;
    Handler handler(pair.ends[0], &recorder);
    ASSERT_EQ(fcntl(pair.ends[0], F_SETFL, O_NONBLOCK), 0);
    EXPECT_EQ(handler.handle_input(pair.ends[0]), 0) << c.waiting;
    EXPECT_EQ(handler.bytes(), c.first) << c.waiting;
    EXPECT_EQ(handler.handle_input(pair.ends[0]), 0) << c.waiting;
    EXPECT_EQ(handler.bytes(), c.first + c.second) << c.waiting;
    EXPECT_EQ(recorder.messages.size(), (c.first + c.second) / 1000) << c.waiting;
    close(pair.ends[1]);
  }
}

// A peer that resets the connection (linger 0) makes the read fail with ECONNRESET.
TEST(AssemblerHandler, ReadErrorClosesWithItsErrno) {
  ACE_SOCK_Acceptor acceptor(ACE_INET_Addr(u_short(0), "127.0.0.1"), 1);
  ACE_INET_Addr address;
  acceptor.get_local_addr(address);
  ACE_SOCK_Stream client, server;
  ASSERT_EQ(ACE_SOCK_Connector().connect(client, address), 0);
  ASSERT_EQ(acceptor.accept(server), 0);
  ASSERT_EQ(client.send_n("unfinished", 10), 10);
  const linger reset = {1, 0};
  client.set_option(SOL_SOCKET, SO_LINGER, const_cast<linger*>(&reset), sizeof reset);
  client.close();
  Recorder recorder;
  Handler handler(server.get_handle(), &recorder);
  ACE_Reactor reactor;
  run_until_closed(reactor, handler);
  EXPECT_EQ(handler.closings, std::vector<int>{ECONNRESET});
  acceptor.close();
}

}  // namespace
