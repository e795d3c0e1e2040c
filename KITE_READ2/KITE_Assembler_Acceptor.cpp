// SPDX-License-Identifier: MIT
#include "KITE_READ2/KITE_Assembler_Acceptor.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ace/OS_NS_unistd.h>
#include <ace/Reactor.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "KITE_READ2/KITE_Assembler_Handler.h"
#include "errorhandling/KITE_LogMsg_Stream.h"

namespace KITE {
namespace {

// The timers, told apart by their act.
const char kResume = 0, kSweep = 0, kGrace = 0;

// A connection is idle once this many sweeps (a quarter of the idle time apart) passed
// without input.
constexpr unsigned long kIdleTicks = 4;

// Accepts per readiness of the listener, so a flood of connections leaves the reactor time
// for the open ones.
constexpr int kAcceptsPerEvent = 64;

// Readiness of the connections: at most this many per epoll_wait(), and at most this many
// waits per readiness of the connection set, before the reactor gets its turn again.
constexpr int kEventsPerWait = 64;
constexpr int kWaitsPerEvent = 16;

KITE_LogMsg_Stream* log() {
  return KITE_LogMsg_Stream::instance();
}

template <size_t N>
void copy(char (&to)[N], const char* text) {
  std::snprintf(to, N, "%s", text);
}

// "address:port" of peer, for log lines.
struct Peer_Name {
  explicit Peer_Name(const ACE_INET_Addr& peer) {
    if (peer.addr_to_string(text, sizeof text) != 0) std::strcpy(text, "?");
  }
  char text[64];
};

}  // namespace

// A handler that tells its acceptor when it was last read from and when it ended.
class Assembler_Acceptor::Connection : public Assembler_Handler {
 public:
  Connection(ACE_HANDLE handle, Message_Observer* observer, Assembler_Acceptor* acceptor)
      : Assembler_Handler(handle, observer, acceptor->settings_.blocks),
        observer_(observer),
        acceptor_(acceptor),
        seen_(acceptor->tick_) {}

  // One readiness: reads, and closes the connection when it ended. True when the reads
  // took all that one readiness may take, so more is likely waiting.
  bool serve() {
    seen_ = acceptor_->tick_;
    const size_t before = bytes();
    if (Assembler_Handler::handle_input(get_handle()) == -1) {
      handle_close(ACE_INVALID_HANDLE, ACE_Event_Handler::READ_MASK);  // deletes this
      return false;
    }
    return bytes() - before == READ_SIZE * READS_PER_EVENT;
  }

  // Ends the connection for cause; closed() reports it. Closing the handle also takes it
  // out of the acceptor's epoll set.
  void close(Connection_End::Cause cause) {
    cause_ = cause;
    forced_ = true;
    handle_close(ACE_INVALID_HANDLE, ACE_Event_Handler::READ_MASK);  // deletes this
  }

  Message_Observer* const observer_;  // not owned
  Assembler_Acceptor* const acceptor_;
  unsigned long seen_;  // the acceptor's tick at the last readiness
  Connection* prev_ = nullptr;
  Connection* next_ = nullptr;

 protected:
  void closed(int error) override {
    Connection_End::Cause cause = cause_;
    if (!forced_) {
      cause = error == 0  ? Connection_End::END_OF_FILE
              : error > 0 ? Connection_End::READ_ERROR
                          : Connection_End::FAILED;
    }
    acceptor_->ended(this, Connection_End{cause, error > 0 ? error : 0, bytes(), overlong_lines()});
  }

 private:
  Connection_End::Cause cause_ = Connection_End::END_OF_FILE;
  bool forced_ = false;
};

Assembler_Acceptor::Assembler_Acceptor(Observer_Factory* factory, const Settings& settings,
                                       std::atomic<size_t>* shared)
    : factory_(factory), settings_(settings), count_(shared != nullptr ? shared : &own_count_) {}

Assembler_Acceptor::~Assembler_Acceptor() {
  stopping_ = false;  // the program's event loop is not ours to end here
  if (reactor() != nullptr) {
    reactor()->cancel_timer(this);
    reactor()->purge_pending_notifications(this);
  }
  close_listener();
  close_older(ULONG_MAX, Connection_End::STOPPED);
  close_poll();
}

int Assembler_Acceptor::open(const ACE_INET_Addr& address, ACE_Reactor* reactor, bool reuse_port) {
  this->reactor(reactor);
  // A sweep every quarter of the idle time, but not more often than every millisecond.
  const std::chrono::microseconds idle = settings_.idle;
  const ACE_Time_Value every(
      std::max(idle / static_cast<long>(kIdleTicks), std::chrono::microseconds(1000)));
  if (listen_on(address, reuse_port) == 0 && (poll_ = epoll_create1(EPOLL_CLOEXEC)) != -1 &&
      reactor->register_handler(listener_, this, ACE_Event_Handler::ACCEPT_MASK) == 0 &&
      reactor->register_handler(poll_, this, ACE_Event_Handler::READ_MASK) == 0 &&
      (idle.count() == 0 || reactor->schedule_timer(this, &kSweep, every, every) != -1))
    return 0;
  const int error = errno;
  close_listener();
  close_poll();
  errno = error;
  return -1;
}

int Assembler_Acceptor::listen_on(const ACE_INET_Addr& address, bool reuse_port) {
  listener_ = socket(address.get_type(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  sockaddr_storage bound;
  socklen_t length = sizeof bound;
  if (listener_ == -1 || setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      (reuse_port && setsockopt(listener_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) ||
      bind(listener_, static_cast<sockaddr*>(address.get_addr()), address.get_size()) != 0 ||
      listen(listener_, SOMAXCONN) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &length) != 0)
    return -1;
  port_ = ACE_INET_Addr(reinterpret_cast<sockaddr_in*>(&bound), static_cast<int>(length))
              .get_port_number();
  return 0;
}

u_short Assembler_Acceptor::port() const {
  return port_;
}

int Assembler_Acceptor::handle_input(ACE_HANDLE handle) {
  if (handle == poll_) {
    serve();
  } else {
    accept();
  }
  return 0;
}

// The connections are level-triggered in the acceptor's own epoll set: a wait reports up to
// kEventsPerWait of them and nothing needs re-arming after a read (the reactor's epoll waits
// for one handler at a time and re-arms each after its call). Waits go on while they may
// find more: a full batch, or a connection that took all one readiness may read.
void Assembler_Acceptor::serve() {
  epoll_event events[kEventsPerWait];
  bool more = true;
  for (int waits = 0; more && waits < kWaitsPerEvent; ++waits) {
    // With one connection open the set is ready only when it is: reading it at once finds
    // the same data as a wait would, one system call earlier.
    if (open_ == 1) {
      more = first_->serve();
      continue;
    }
    const int n = epoll_wait(poll_, events, kEventsPerWait, 0);
    more = n == kEventsPerWait;
    for (int i = 0; i < n; ++i) {
      if (static_cast<Connection*>(events[i].data.ptr)->serve()) more = true;
    }
  }
}

void Assembler_Acceptor::accept() {
  for (int accepts = 0; accepts < kAcceptsPerEvent; ++accepts) {
    sockaddr_storage peer;
    socklen_t length = sizeof peer;
    const ACE_HANDLE handle = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length,
                                      SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (handle == ACE_INVALID_HANDLE) {
      const int error = errno;
      if (error == EINTR || error == ECONNABORTED || error == EPROTO) continue;
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) pause(error);
      return;  // EAGAIN: nobody waits
    }
    if (pauses_ != 0) {
      log()->message("Assembler_Acceptor: accepting again after %lu pause(s)", pauses_);
      pauses_ = 0;
    }
    admit(handle, ACE_INET_Addr(reinterpret_cast<sockaddr_in*>(&peer), static_cast<int>(length)));
  }
}

void Assembler_Acceptor::admit(ACE_HANDLE handle, const ACE_INET_Addr& peer) {
  const size_t limit = settings_.max_connections;
  if (count_->fetch_add(1) >= limit && limit != 0) {
    count_->fetch_sub(1);
    if (limited_++ == 0) {
      log()->warn("Assembler_Acceptor: connection from %s refused: %zu connections open, the limit",
                  Peer_Name(peer).text, limit);
    }
    ACE_OS::close(handle);
    return;
  }
  // Copied: the exception that says why is gone after its catch.
  char failure[128] = "";
  int error = ENOMEM;
  Message_Observer* observer = nullptr;
  Connection* connection = nullptr;
  try {
    observer = factory_->make(peer);
    if (observer != nullptr) connection = new (std::nothrow) Connection(handle, observer, this);
    if (observer != nullptr && connection == nullptr) copy(failure, "no memory for its handler");
  } catch (const std::exception& e) {
    copy(failure, e.what());
  } catch (...) {
    copy(failure, "an exception of unknown type");
  }
  if (connection != nullptr) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = connection;
    if (epoll_ctl(poll_, EPOLL_CTL_ADD, handle, &event) == 0) {
      connection->next_ = first_;
      if (first_ != nullptr) first_->prev_ = connection;
      first_ = connection;
      ++open_;
      end_runs();
      return;
    }
    error = errno;
    std::snprintf(failure, sizeof failure, "no room in the epoll set (%s)", std::strerror(error));
    delete connection;  // closes the handle
    handle = ACE_INVALID_HANDLE;
  }
  count_->fetch_sub(1);
  if (handle != ACE_INVALID_HANDLE) ACE_OS::close(handle);
  if (failure[0] == '\0') return;  // the factory's own choice
  if (unserved_++ == 0) {
    log()->error("Assembler_Acceptor: connection from %s refused: %s", Peer_Name(peer).text,
                 failure);
  }
  if (observer != nullptr) {
    factory_->ended(observer, Connection_End{Connection_End::REFUSED, error, 0, 0});
  }
}

void Assembler_Acceptor::end_runs() {
  if (limited_ != 0) {
    log()->message("Assembler_Acceptor: %lu connection(s) refused at the limit of %zu", limited_,
                   settings_.max_connections);
    limited_ = 0;
  }
  if (unserved_ != 0) {
    log()->message(
        "Assembler_Acceptor: %lu connection(s) refused for want of memory or an observer",
        unserved_);
    unserved_ = 0;
  }
}

void Assembler_Acceptor::pause(int error) {
  reactor()->remove_handler(listener_,
                            ACE_Event_Handler::ACCEPT_MASK | ACE_Event_Handler::DONT_CALL);
  paused_ = true;
  if (pauses_++ == 0) {
    log()->warn("Assembler_Acceptor: cannot accept (%s): paused, tried again every %lld ms",
                std::strerror(error), static_cast<long long>(PAUSE.count()));
  }
  reactor()->schedule_timer(this, &kResume, ACE_Time_Value(PAUSE));
}

int Assembler_Acceptor::handle_timeout(const ACE_Time_Value&, const void* act) {
  if (act == &kResume) {
    paused_ = false;
    if (reactor()->register_handler(listener_, this, ACE_Event_Handler::ACCEPT_MASK) == -1) {
      pause(errno);
    }
  } else if (act == &kSweep) {
    sweep();
  } else if (act == &kGrace) {
    const size_t closed = close_older(ULONG_MAX, Connection_End::STOPPED);
    log()->message("Assembler_Acceptor: %zu connection(s) closed at the end of the grace time",
                   closed);
  }
  return 0;
}

void Assembler_Acceptor::sweep() {
  if (++tick_ <= kIdleTicks) return;
  const size_t closed = close_older(tick_ - kIdleTicks, Connection_End::IDLE);
  if (closed != 0) {
    log()->message("Assembler_Acceptor: %zu connection(s) idle for more than %lld ms closed",
                   closed, static_cast<long long>(settings_.idle.count()));
  }
}

size_t Assembler_Acceptor::close_older(unsigned long before, Connection_End::Cause cause) {
  size_t closed = 0;
  for (Connection* c = first_; c != nullptr;) {
    Connection* next = c->next_;  // c goes now
    if (c->seen_ < before) {
      c->close(cause);
      ++closed;
    }
    c = next;
  }
  return closed;
}

void Assembler_Acceptor::ended(Connection* connection, const Connection_End& end) {
  (connection->prev_ != nullptr ? connection->prev_->next_ : first_) = connection->next_;
  if (connection->next_ != nullptr) connection->next_->prev_ = connection->prev_;
  --open_;
  count_->fetch_sub(1);
  Message_Observer* observer = connection->observer_;
  delete connection;
  factory_->ended(observer, end);
  if (stopping_ && open_ == 0) reactor()->end_reactor_event_loop();
}

void Assembler_Acceptor::stop(std::chrono::milliseconds grace) {
  if (stopping_) return;
  stopping_ = true;
  reactor()->cancel_timer(this);
  close_listener();
  if (open_ == 0) {
    reactor()->end_reactor_event_loop();
    return;
  }
  log()->message("Assembler_Acceptor: stopped accepting; %zu connection(s) open get %lld ms to end",
                 open_, static_cast<long long>(grace.count()));
  reactor()->schedule_timer(this, &kGrace, ACE_Time_Value(grace));
}

int Assembler_Acceptor::request_stop(std::chrono::milliseconds grace) {
  grace_ms_ = grace.count();
  return reactor()->notify(this, ACE_Event_Handler::EXCEPT_MASK);
}

int Assembler_Acceptor::handle_exception(ACE_HANDLE) {
  stop(std::chrono::milliseconds(grace_ms_.load()));
  return 0;
}

void Assembler_Acceptor::close_poll() {
  if (poll_ == ACE_INVALID_HANDLE) return;
  reactor()->remove_handler(poll_, ACE_Event_Handler::READ_MASK | ACE_Event_Handler::DONT_CALL);
  ACE_OS::close(poll_);
  poll_ = ACE_INVALID_HANDLE;
}

void Assembler_Acceptor::close_listener() {
  if (listener_ == ACE_INVALID_HANDLE) return;
  if (!paused_) {
    reactor()->remove_handler(listener_,
                              ACE_Event_Handler::ACCEPT_MASK | ACE_Event_Handler::DONT_CALL);
  }
  ACE_OS::close(listener_);
  listener_ = ACE_INVALID_HANDLE;
}

}  // namespace KITE
