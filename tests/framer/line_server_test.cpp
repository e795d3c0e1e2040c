// SPDX-License-Identifier: MIT
// The line server of examples/ on loopback: its reactor on a thread of its own, clients
// on this one.
#include <ace/Dev_Poll_Reactor.h>
#include <ace/INET_Addr.h>
#include <ace/Reactor.h>
#include <ace/SOCK_Connector.h>
#include <ace/SOCK_Stream.h>

#include <algorithm>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "examples/line_server.h"
#include "support/recording_backend.h"

namespace {

// Keeps what ended() reports, and stops the reactor when `expected` connections ended.
class Recording : public line_server::Server {
 public:
  Recording(ACE_Reactor* reactor, unsigned long expected) : Server(reactor), expected_(expected) {}
  void ended(unsigned long number, const line_server::Counts& counts) override {
    Server::ended(number, counts);
    ended_[number] = counts;
    if (ended_.size() == expected_) reactor()->end_reactor_event_loop();
  }
  std::map<unsigned long, line_server::Counts> ended_;

 private:
  unsigned long expected_;
};

TEST(LineServer, CountsAndLogsWhatEachConnectionDelivered) {
  kite_test::LogCapture capture;
  const std::vector<std::string> sent = {
      "one\ntwo\n",
      std::string(KITE::Message_Assembler::MESSAGE_SIZE + 5, 'x') + "\nthree\n",
      "",
  };
  std::promise<u_short> port;
  std::map<unsigned long, line_server::Counts> ended;
  std::thread server_thread([&] {
    ACE_Reactor reactor(new ACE_Dev_Poll_Reactor, true);
    Recording server(&reactor, sent.size());
    port.set_value(server.open(0) == 0 ? server.port() : 0);
    reactor.run_reactor_event_loop();
    ended = server.ended_;
    EXPECT_EQ(server.open_connections(), 0u);
    reactor.close();
  });
  const ACE_INET_Addr address(port.get_future().get(), "127.0.0.1");
  ASSERT_NE(address.get_port_number(), 0);
  for (const std::string& text : sent) {
    ACE_SOCK_Stream client;
    ASSERT_EQ(ACE_SOCK_Connector().connect(client, address), 0);
    ASSERT_EQ(client.send_n(text.data(), text.size()), ssize_t(text.size()));
    client.close();
  }
  server_thread.join();
  ASSERT_EQ(ended.size(), 3u);
  EXPECT_EQ(ended[1].lines, 2u);
  EXPECT_EQ(ended[1].bytes, 8u);
  EXPECT_EQ(ended[2].lines, 1u);
  EXPECT_EQ(ended[2].bytes, 6u);
  EXPECT_EQ(ended[2].overlong, 1u);
  EXPECT_EQ(ended[3].lines, 0u);
  for (const auto& [number, counts] : ended) EXPECT_EQ(counts.error, 0) << number;
  // The server serves the connections in whatever order their events come.
  std::vector<std::string> logged = capture.texts();
  std::sort(logged.begin(), logged.end());
  EXPECT_EQ(logged, (std::vector<std::string>{
                        "Assembler_Handler: 1 line(s) over 1024 characters dropped\n",
                        "connection 1: 2 lines, 8 bytes, 0 over-long lines dropped\n",
                        "connection 2: 1 lines, 6 bytes, 1 over-long lines dropped\n",
                        "connection 3: 0 lines, 0 bytes, 0 over-long lines dropped\n",
                    }));
}

}  // namespace
