// SPDX-License-Identifier: MIT
// The line service (KITE::Assembler_Acceptor, KITE::Assembler_Service) on loopback: what it
// reports of each connection, and how it keeps serving when the connection limit is
// reached, connections idle, descriptors or memory run out, and when it stops.
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ace/Dev_Poll_Reactor.h>
#include <ace/Reactor.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KITE_READ2/KITE_Assembler_Service.h"
#include "support/failing_new.h"
#include "support/recording_backend.h"

namespace {

using std::chrono::milliseconds;
using End = KITE::Connection_End;

// What a connection delivered and how it ended.
struct Ended {
  End::Cause cause;
  size_t lines;
  size_t bytes;
  unsigned long overlong;
  std::thread::id thread;
};

class Lines final : public KITE::Message_Observer {
 public:
  void process(KITE_Message_Block* mb) override {
    ++lines;
    mb->release();
  }
  size_t lines = 0;
};

// Makes an observer per connection and keeps what ended() hears; thread-safe.
class Recorder : public KITE::Observer_Factory {
 public:
  // What make() does the next time: 0 makes an observer, 1 returns null, 2 throws a
  // std::exception, 3 throws an int.
  enum Make { kObserver, kNull, kThrow, kThrowInt };
  KITE::Message_Observer* make(const ACE_INET_Addr&) override {
    const Make what = next.exchange(kObserver);
    if (what == kThrow) throw std::runtime_error("not now");
    if (what == kThrowInt) throw 42;
    if (what == kNull) return nullptr;
    ++made;
    return new Lines;
  }
  void ended(KITE::Message_Observer* observer, const End& end) override {
    Lines* lines = static_cast<Lines*>(observer);
    std::lock_guard<std::mutex> lock(mutex_);
    ended_.push_back(
        {end.cause, lines->lines, end.bytes, end.overlong, std::this_thread::get_id()});
    delete lines;
    changed_.notify_all();
  }
  // Waits (at most ten seconds) until n connections ended; what ended so far.
  std::vector<Ended> wait(size_t n) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] { return ended_.size() >= n; });
    return ended_;
  }
  std::atomic<int> made{0};
  std::atomic<Make> next{kObserver};

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Ended> ended_;
};

// A blocking loopback client.
class Client {
 public:
  Client() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
  explicit Client(u_short port) : Client() { connect(port); }
  ~Client() { close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connect(u_short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    return connected_;
  }
  bool connected() const { return connected_; }
  bool send(const std::string& text) {
    return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
  }
  // True when the server closed its end within limit (the read sees end of file or a reset).
  bool closed_by_server(milliseconds limit = milliseconds(5000)) {
    pollfd p{fd_, POLLIN, 0};
    char byte;
    return poll(&p, 1, static_cast<int>(limit.count())) == 1 && ::recv(fd_, &byte, 1, 0) <= 0;
  }
  // Sends, ends its side and waits for the server to close. A server that refused the
  // connection may have closed before the text went out: what it saw, its counts tell.
  bool finish(const std::string& text) {
    send(text);
    shutdown(fd_, SHUT_WR);
    return closed_by_server();
  }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  bool connected_ = false;
};

const ACE_INET_Addr kLoopback(u_short(0), "127.0.0.1");

TEST(LineService, ReportsWhatEachConnectionDeliveredAndHowItEnded) {
  kite_test::LogCapture capture;
  Recorder recorder;
  KITE::Assembler_Service service(&recorder);
  ASSERT_EQ(service.start(kLoopback), 0);
  const std::string too_long(KITE::Message_Assembler::MESSAGE_SIZE + 5, 'x');
  const struct {
    std::string text;
    size_t lines;
    unsigned long overlong;
  } cases[] = {{"one\ntwo\n", 2, 0}, {too_long + "\nthree\nfour", 1, 1}, {"", 0, 0}};
  for (size_t i = 0; i < std::size(cases); ++i) {
    Client client(service.port());
    ASSERT_TRUE(client.finish(cases[i].text));
    const std::vector<Ended> ended = recorder.wait(i + 1);
    ASSERT_EQ(ended.size(), i + 1);
    EXPECT_EQ(ended[i].cause, End::END_OF_FILE) << i;
    EXPECT_EQ(ended[i].lines, cases[i].lines) << i;
    EXPECT_EQ(ended[i].bytes, cases[i].text.size()) << i;
    EXPECT_EQ(ended[i].overlong, cases[i].overlong) << i;
  }
  service.stop(milliseconds(0));
  EXPECT_EQ(capture.texts(), std::vector<std::string>{
                                 "Assembler_Handler: 1 line(s) over 1024 characters dropped\n"});
}

TEST(LineService, RefusesConnectionsBeyondTheLimitAndServesAgainBelowIt) {
  kite_test::LogCapture capture;
  Recorder recorder;
  KITE::Assembler_Acceptor::Settings settings;
  settings.max_connections = 2;
  KITE::Assembler_Service service(&recorder, settings);
  ASSERT_EQ(service.start(kLoopback), 0);
  Client first(service.port()), second(service.port());
  ASSERT_TRUE(first.send("a\n") && second.send("b\n"));
  for (int turn = 0; turn < 1000 && recorder.made < 2; ++turn)
    std::this_thread::sleep_for(milliseconds(5));
  ASSERT_EQ(recorder.made, 2);
  for (int refused = 0; refused < 2; ++refused) {
    Client over(service.port());
    EXPECT_TRUE(over.closed_by_server()) << refused;
  }
  EXPECT_EQ(recorder.made, 2);
  first.close();
  second.close();
  ASSERT_EQ(recorder.wait(2).size(), 2u);
  Client third(service.port());
  ASSERT_TRUE(third.finish("c\nd\n"));
  const std::vector<Ended> ended = recorder.wait(3);
  ASSERT_EQ(ended.size(), 3u);
  EXPECT_EQ(ended[2].lines, 2u);
  service.stop(milliseconds(0));
  const std::vector<std::string> logged = capture.texts();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0].rfind("Assembler_Acceptor: connection from 127.0.0.1:", 0), 0u) << logged[0];
  EXPECT_NE(logged[0].find(" refused: 2 connections open, the limit\n"), std::string::npos);
  EXPECT_EQ(logged[1], "Assembler_Acceptor: 2 connection(s) refused at the limit of 2\n");
}

TEST(LineService, ClosesIdleConnectionsAndKeepsBusyOnes) {
  kite_test::LogCapture capture;
  Recorder recorder;
  KITE::Assembler_Acceptor::Settings settings;
  settings.idle = milliseconds(400);
  KITE::Assembler_Service service(&recorder, settings);
  ASSERT_EQ(service.start(kLoopback), 0);
  Client busy(service.port()), idle(service.port());
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(busy.send("x\n"));
  // The busy one sends every 40 ms for a second; the idle one goes after 400 to 500 ms.
  bool idle_closed = false;
  for (int i = 0; i < 25; ++i) {
    std::this_thread::sleep_for(milliseconds(40));
    ASSERT_TRUE(busy.send("x\n"));
    idle_closed = idle_closed || idle.closed_by_server(milliseconds(0));
  }
  EXPECT_TRUE(idle_closed);
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(400));
  std::vector<Ended> ended = recorder.wait(1);
  ASSERT_EQ(ended.size(), 1u);
  EXPECT_EQ(ended[0].cause, End::IDLE);
  ASSERT_TRUE(busy.finish(""));
  ended = recorder.wait(2);
  ASSERT_EQ(ended.size(), 2u);
  EXPECT_EQ(ended[1].cause, End::END_OF_FILE);
  EXPECT_EQ(ended[1].lines, 26u);
  service.stop(milliseconds(0));
  EXPECT_EQ(capture.texts(),
            std::vector<std::string>{
                "Assembler_Acceptor: 1 connection(s) idle for more than 400 ms closed\n"});
}

TEST(LineService, StopClosesWhatOutlastsTheGraceTimeAndReleasesEverything) {
  kite_test::LogCapture capture;
  Recorder recorder;
  KITE::Assembler_Service service(&recorder);
  ASSERT_EQ(service.start(kLoopback, 2), 0);
  const u_short port = service.port();
  // Each thread serves some of 32 connections; all stay open, with half a line each.
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 32; ++i) {
    clients.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(clients.back()->send("half"));
  }
  for (int turn = 0; turn < 1000 && service.open_connections() < 32; ++turn)
    std::this_thread::sleep_for(milliseconds(5));
  ASSERT_EQ(service.open_connections(), 32u);
  const auto start = std::chrono::steady_clock::now();
  service.stop(milliseconds(100));
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, milliseconds(100));
  EXPECT_LT(took, milliseconds(3000));
  const std::vector<Ended> ended = recorder.wait(32);
  ASSERT_EQ(ended.size(), 32u);
  std::set<std::thread::id> threads;
  for (const Ended& e : ended) {
    EXPECT_EQ(e.cause, End::STOPPED);
    threads.insert(e.thread);
  }
  EXPECT_EQ(threads.size(), 2u);
  EXPECT_EQ(service.open_connections(), 0u);
  for (auto& client : clients) EXPECT_TRUE(client->closed_by_server());
  EXPECT_FALSE(Client(port).connected());
}

// The factory may refuse a connection (quietly) or fail to make its observer (logged);
// either way the next connection is served.
TEST(LineService, FactoryMayRefuseOrFailAndTheNextConnectionIsServed) {
  kite_test::LogCapture capture;
  Recorder recorder;
  KITE::Assembler_Service service(&recorder);
  ASSERT_EQ(service.start(kLoopback), 0);
  const struct {
    Recorder::Make make;
    std::string logged;  // after the peer's address
  } cases[] = {
      {Recorder::kNull, ""},
      {Recorder::kThrow, " refused: not now\n"},
      {Recorder::kThrowInt, " refused: an exception of unknown type\n"},
  };
  size_t served = 0;
  for (const auto& c : cases) {
    capture.forget();
    recorder.next = c.make;
    Client refused(service.port());
    EXPECT_TRUE(refused.closed_by_server()) << c.logged;
    Client next(service.port());
    ASSERT_TRUE(next.finish("line\n"));
    const std::vector<Ended> ended = recorder.wait(++served);
    ASSERT_EQ(ended.size(), served);
    EXPECT_EQ(ended.back().lines, 1u);
    const std::vector<std::string> logged = capture.texts();
    if (c.logged.empty()) {
      EXPECT_TRUE(logged.empty()) << logged[0];
      continue;
    }
    ASSERT_EQ(logged.size(), 2u);
    EXPECT_EQ(logged[0].substr(logged[0].find(" refused: ")), c.logged);
    EXPECT_EQ(logged[1],
              "Assembler_Acceptor: 1 connection(s) refused for want of memory or an observer\n");
  }
  EXPECT_EQ(recorder.made, 3);
}

TEST(LineService, StartFailsWhenThePortIsTaken) {
  Recorder recorder;
  KITE::Assembler_Service first(&recorder), second(&recorder);
  ASSERT_EQ(first.start(kLoopback), 0);
  errno = 0;
  EXPECT_EQ(second.start(ACE_INET_Addr(first.port(), "127.0.0.1"), 2), -1);
  EXPECT_EQ(errno, EADDRINUSE);
  EXPECT_EQ(second.port(), 0);
}

// Every allocation of start() fails in turn: start() says ENOMEM and leaves nothing
// running, until one start succeeds.
TEST(LineService, StartWithoutMemoryFailsWithNothingLeftRunning) {
  Recorder recorder;
  bool started = false;
  for (int n = 0; n < 100 && !started; ++n) {
    KITE::Assembler_Service service(&recorder);
    kite_test::fail_nothrow_new_after(n);
    errno = 0;
    started = service.start(kLoopback) == 0;
    const int error = errno;
    kite_test::fail_nothrow_new_after(-1);
    if (!started) {
      EXPECT_EQ(error, ENOMEM) << n;
      EXPECT_EQ(service.port(), 0) << n;
    }
  }
  EXPECT_TRUE(started);
}

// Records the CPU time of the reactor's thread at each timer (RUSAGE_THREAD).
class Cpu_Probe : public ACE_Event_Handler {
 public:
  int handle_timeout(const ACE_Time_Value&, const void*) override {
    rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    const double seconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    std::lock_guard<std::mutex> lock(mutex);
    samples.push_back(seconds);
    return 0;
  }
  std::mutex mutex;
  std::vector<double> samples;
};

// More clients than descriptors: accepting pauses instead of spinning, says so once, and
// serves again once descriptors free.
TEST(LineService, OutOfDescriptorsPausesAcceptingAndServesAgainAfterwards) {
  kite_test::LogCapture capture;
  Recorder recorder;
  ACE_Reactor reactor(new ACE_Dev_Poll_Reactor, true);
  KITE::Assembler_Acceptor acceptor(&recorder);
  ASSERT_EQ(acceptor.open(kLoopback, &reactor), 0);
  Cpu_Probe probe;
  std::thread loop([&] { reactor.run_reactor_event_loop(); });

  // UBSan checks an object's class the first time a call site meets it, and reads memory
  // through a pipe to do so: without a descriptor left it calls the object invalid. A call
  // through the reactor's inline functions, one connection served and one line logged make
  // those first checks now.
  ASSERT_TRUE(reactor.initialized());
  ASSERT_TRUE(Client(acceptor.port()).finish("before\n"));
  ASSERT_EQ(recorder.wait(1).size(), 1u);
  kite_test::log_stream()->message("before");
  capture.forget();

  // The clients' sockets exist before the limit drops to leave the server 4 descriptors.
  const int kClients = 40;
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < kClients; ++i) clients.push_back(std::make_unique<Client>());
  const int highest = dup(0);
  close(highest);
  rlimit before;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  rlimit lowered = before;
  lowered.rlim_cur = static_cast<rlim_t>(highest + 4);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  for (auto& client : clients) EXPECT_TRUE(client->connect(acceptor.port()));

  reactor.schedule_timer(&probe, nullptr, ACE_Time_Value(0, 200000));
  reactor.schedule_timer(&probe, nullptr, ACE_Time_Value(1, 200000));
  std::this_thread::sleep_for(milliseconds(1500));
  {
    std::lock_guard<std::mutex> lock(probe.mutex);
    ASSERT_EQ(probe.samples.size(), 2u);
    EXPECT_LT(probe.samples[1] - probe.samples[0], 0.1) << "CPU seconds in one second";
  }
  EXPECT_LT(recorder.made, 1 + kClients);  // the rest wait in the backlog

  // The limit first: closing first could let a pause end while the limit still holds, and
  // the backlog would fill the freed descriptors and start a second streak.
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);
  for (auto& client : clients) client->close();
  ASSERT_EQ(recorder.wait(1 + kClients).size(), size_t(1 + kClients));
  Client late(acceptor.port());
  ASSERT_TRUE(late.finish("served\n"));
  const std::vector<Ended> ended = recorder.wait(1 + kClients + 1);
  ASSERT_EQ(ended.size(), size_t(1 + kClients + 1));
  EXPECT_EQ(ended.back().lines, 1u);

  reactor.end_reactor_event_loop();
  loop.join();
  EXPECT_EQ(acceptor.open_connections(), 0u);
  const std::vector<std::string> logged = capture.texts();
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0],
            "Assembler_Acceptor: cannot accept (Too many open files): paused, tried again every "
            "100 ms\n");
  EXPECT_EQ(logged[1].rfind("Assembler_Acceptor: accepting again after ", 0), 0u) << logged[1];
}

// Every allocation a new connection makes fails in turn (on a fresh thread, whose block
// cache is empty, so the first block is allocated too): that connection is refused and
// logged, and the next one is served. The sweep ends at the first connection admitted.
TEST(LineService, ConnectionWithoutMemoryIsRefusedAndTheNextServed) {
  kite_test::LogCapture capture;
  std::string reasons;
  bool admitted = false;
  for (int n = 0; n < 40 && !admitted; ++n) {
    capture.forget();
    Recorder recorder;
    KITE::Assembler_Service service(&recorder);
    ASSERT_EQ(service.start(kLoopback), 0);
    kite_test::fail_nothrow_new_after(n);
    Client first(service.port());
    ASSERT_TRUE(first.finish("first\n")) << n;
    kite_test::fail_nothrow_new_after(-1);
    Client second(service.port());
    ASSERT_TRUE(second.finish("second\n")) << n;
    service.stop(milliseconds(0));
    const std::vector<Ended> ended = recorder.wait(2);
    ASSERT_EQ(ended.size(), 2u) << n;
    EXPECT_EQ(ended[1].cause, End::END_OF_FILE) << n;
    EXPECT_EQ(ended[1].lines, 1u) << n;
    admitted = ended[0].cause != End::REFUSED;
    if (admitted) break;
    const std::vector<std::string> logged = capture.texts();
    ASSERT_EQ(logged.size(), 2u) << n;
    const std::string prefix = "Assembler_Acceptor: connection from 127.0.0.1:";
    ASSERT_EQ(logged[0].rfind(prefix, 0), 0u) << logged[0];
    reasons += logged[0].substr(logged[0].find(" refused: "));
    EXPECT_EQ(logged[1],
              "Assembler_Acceptor: 1 connection(s) refused for want of memory or an observer\n");
  }
  EXPECT_TRUE(admitted);
  // Among them the handler, the assembler's machine and the connection's first block.
  EXPECT_NE(reasons.find(" refused: no memory for its handler\n"), std::string::npos) << reasons;
  EXPECT_NE(reasons.find(" in Message_Assembler\n"), std::string::npos) << reasons;
  EXPECT_NE(reasons.find(" in generate\n"), std::string::npos) << reasons;
}

}  // namespace
