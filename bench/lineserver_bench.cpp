// SPDX-License-Identifier: MIT
// Load on the kit's line service (KITE::Assembler_Service: ACE_Dev_Poll_Reactor, one
// Assembler_Handler per connection) against a plain epoll server that cuts lines with memchr
// into a buffer per connection; the plain server on one thread of its own, the service on T
// (T = 1, and 2 at 100 connections: its lines per second are 1e9 / kit_ns). The client, on the
// benchmark's thread, opens C connections on loopback (C = 1, 100, 1000) and streams 32 MiB
// of 80-byte lines over them in all, then closes them; a batch ends when the server has
// seen every connection end. Every connection's line and byte counts are checked against
// what was sent, so a lost or torn line fails the run. Batches alternate between the two
// servers (see same_run.h). Goal with one thread: `share` (the kit's lines per second over
// the plain server's) >= 0.9 at one connection and >= 0.95 at 100 and 1000.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "KITE_READ2/KITE_Assembler_Handler.h"
#include "KITE_READ2/KITE_Assembler_Service.h"
#include "bench/same_run.h"
#include "errorhandling/KITE_LogMsg_BackendMgr.h"

namespace {

using kite_bench::alternate;
using kite_bench::Clock;

constexpr size_t kLine = 80;
constexpr size_t kBatch = (32u << 20) / kLine * kLine;
constexpr size_t kRead = KITE::Assembler_Handler::READ_SIZE;

// What a batch expects of each connection, and what the servers found.
class Tally {
 public:
  void expect(size_t connections, size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    connections_ = connections;
    bytes_ = bytes;
    ended_ = 0;
    wrong_ = 0;
  }
  // Called by a server thread for each connection that ended.
  void ended(size_t lines, size_t bytes, bool failed) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed || bytes != bytes_ || lines != bytes_ / kLine) ++wrong_;
    if (++ended_ == connections_) all_ended_.notify_one();
  }
  // Waits for the batch's connections; returns how many delivered something else.
  size_t wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    all_ended_.wait(lock, [this] { return ended_ == connections_; });
    return wrong_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable all_ended_;
  size_t connections_ = 0, bytes_ = 0, ended_ = 0, wrong_ = 0;
};

// --- the kit's server

// Counts the lines of one connection, as the plain server does.
class Count final : public KITE::Message_Observer {
 public:
  void process(KITE_Message_Block* mb) override {
    ++lines;
    bytes += mb->length();
    mb->release();
  }
  size_t lines = 0, bytes = 0;
};

// One Count per connection, reported to the tally at the connection's end.
class Counts : public KITE::Observer_Factory {
 public:
  explicit Counts(Tally* tally) : tally_(tally) {}
  KITE::Message_Observer* make(const ACE_INET_Addr&) override { return new Count; }
  void ended(KITE::Message_Observer* observer, const KITE::Connection_End& end) override {
    Count* count = static_cast<Count*>(observer);
    tally_->ended(count->lines, count->bytes,
                  end.cause != KITE::Connection_End::END_OF_FILE || end.overlong != 0);
    delete count;
  }

 private:
  Tally* tally_;
};

// --- the plain server

int listen_on_loopback(u_short* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(fd, 1024) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length))
    return -1;
  *port = ntohs(address.sin_port);
  return fd;
}

// epoll and memchr: each line is copied into its connection's buffer and counted.
class PlainThread {
 public:
  explicit PlainThread(Tally* tally) : tally_(tally), listener_(listen_on_loopback(&port_)) {
    thread_ = std::thread([this] { run(); });
  }
  ~PlainThread() {
    const uint64_t one = 1;
    if (write(stop_, &one, sizeof one) != sizeof one) std::abort();
    thread_.join();
    close(listener_);
    close(stop_);
    close(epoll_);
  }
  u_short port() const { return port_; }

 private:
  struct Connection {
    char line[KITE::Message_Assembler::MESSAGE_SIZE];
    size_t used = 0;
    size_t lines = 0;
    size_t bytes = 0;
  };

  void watch(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
  }

  void run() {
    watch(listener_);
    watch(stop_);
    std::vector<char> buffer(kRead);
    epoll_event events[64];
    for (;;) {
      const int n = epoll_wait(epoll_, events, 64, -1);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (fd == stop_) return;
        if (fd == listener_) {
          for (int peer; (peer = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
            if (static_cast<size_t>(peer) >= connections_.size()) connections_.resize(peer + 1);
            connections_[peer] = std::make_unique<Connection>();
            watch(peer);
          }
          continue;
        }
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        Connection& c = *connections_[fd];
        if (got <= 0) {
          tally_->ended(c.lines, c.bytes, got < 0);
          connections_[fd].reset();
          close(fd);
          continue;
        }
        split(c, buffer.data(), static_cast<size_t>(got));
      }
    }
  }

  static void split(Connection& c, const char* p, size_t n) {
    const char* const end = p + n;
    while (p != end) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* stop = lf != nullptr ? lf + 1 : end;
      const size_t length = std::min(static_cast<size_t>(stop - p), sizeof c.line - c.used);
      std::memcpy(c.line + c.used, p, length);
      c.used += length;
      p = stop;
      if (lf != nullptr) {
        ++c.lines;
        c.bytes += c.used;
        c.used = 0;
      }
    }
  }

  Tally* tally_;
  u_short port_ = 0;
  int listener_;
  int epoll_ = epoll_create1(EPOLL_CLOEXEC);
  int stop_ = eventfd(0, EFD_CLOEXEC);
  std::vector<std::unique_ptr<Connection>> connections_;
  std::thread thread_;
};

// --- the client

// 80-byte lines, as many whole ones as fit a read.
const std::vector<char>& pattern() {
  static std::vector<char> lines = [] {
    std::vector<char> text(kRead / kLine * kLine);
    for (size_t i = 0; i < text.size(); ++i)
      text[i] = i % kLine == kLine - 1 ? '\n' : static_cast<char>('a' + i % 26);
    return text;
  }();
  return lines;
}

// Streams `each` bytes of lines over each of `connections` connections to port and
// closes them, all from this thread.
void stream(u_short port, size_t connections, size_t each) {
  const std::vector<char>& text = pattern();
  const int poll = epoll_create1(EPOLL_CLOEXEC);
  std::vector<size_t> sent(connections, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  for (size_t i = 0; i < connections; ++i) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS)
      std::abort();
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.u64 = (uint64_t(i) << 32) | uint32_t(fd);
    epoll_ctl(poll, EPOLL_CTL_ADD, fd, &event);
  }
  size_t open = connections;
  epoll_event events[64];
  while (open > 0) {
    const int n = epoll_wait(poll, events, 64, -1);
    for (int k = 0; k < n; ++k) {
      const size_t i = events[k].data.u64 >> 32;
      const int fd = static_cast<int>(events[k].data.u64 & 0xffffffff);
      const size_t at = sent[i] % text.size();
      const size_t length = std::min(text.size() - at, each - sent[i]);
      const ssize_t wrote = send(fd, text.data() + at, length, MSG_NOSIGNAL);
      if (wrote > 0) sent[i] += static_cast<size_t>(wrote);
      // A connection the server dropped ends short, which its counts show.
      if (sent[i] == each || (wrote < 0 && errno != EAGAIN)) {
        close(fd);  // also leaves the epoll set
        --open;
      }
    }
  }
  close(poll);
}

void LineServer(benchmark::State& state) {
  // The servers' log lines would only measure the terminal.
  KITE_LogMsg_BackendMgr::instance()->clear();
  const size_t connections = static_cast<size_t>(state.range(0));
  const size_t each = kBatch / connections / kLine * kLine;
  Tally tally;
  Counts counts(&tally);
  KITE::Assembler_Service kit(&counts);
  if (kit.start(ACE_INET_Addr(u_short(0), "127.0.0.1"), static_cast<unsigned>(state.range(1))) != 0)
    std::abort();
  PlainThread plain(&tally);
  size_t wrong = 0;
  auto batch = [&](u_short port) {
    tally.expect(connections, each);
    stream(port, connections, each);
    wrong += tally.wait();
  };
  alternate(
      state, static_cast<double>(connections * each / kLine), [&] { batch(kit.port()); },
      [&] { batch(plain.port()); }, Clock::kWall);
  if (wrong != 0) state.SkipWithError("a connection delivered other counts than it was sent");
}
BENCHMARK(LineServer)
    ->ArgNames({"connections", "threads"})
    ->Args({1, 1})
    ->Args({100, 1})
    ->Args({1000, 1})
    ->Args({1, 2})
    ->Args({100, 2})
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
