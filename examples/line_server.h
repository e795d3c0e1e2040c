// SPDX-License-Identifier: MIT
// The line server of lineserver.cpp: an ACE acceptor that gives every connection a
// KITE::Assembler_Handler of its own, counts the lines and bytes each connection delivers
// and logs them through the log stream when it ends. Header-only, so that the load
// benchmark of the kit (bench/lineserver_bench.cpp) runs this very server.
//
// Ownership: a Connection is allocated by the server when it accepts, and deletes itself
// once its handler has closed. The server must outlive its connections: close the reactor
// before the server goes (the reactor's close() ends the open connections, which report to
// the server as they end).
#ifndef KITE_EXAMPLES_LINE_SERVER_H
#define KITE_EXAMPLES_LINE_SERVER_H

#include <ace/INET_Addr.h>
#include <ace/Reactor.h>
#include <ace/Recursive_Thread_Mutex.h>
#include <ace/SOCK_Acceptor.h>
#include <ace/SOCK_Stream.h>
#include <ace/Singleton.h>

#include <cstddef>
#include <new>

#include "KITE_READ2/KITE_Assembler_Handler.h"
#include "errorhandling/KITE_LogMsg_Stream.h"

namespace line_server {

// What one connection delivered.
struct Counts {
  size_t lines = 0;
  size_t bytes = 0;  // of the lines delivered
  unsigned long overlong = 0;
  int error = 0;  // as Assembler_Handler::closed() reports it
};

class Server;

// One connection: its handler, and the observer that counts what the handler's assembler
// delivers.
class Connection : public KITE::Message_Observer, public KITE::Assembler_Handler {
 public:
  Connection(ACE_HANDLE handle, Server* server, unsigned long number)
      : Assembler_Handler(handle, this), server_(server), number_(number) {}

  void process(KITE_Message_Block* mb) override {
    ++counts_.lines;
    counts_.bytes += mb->length();
    mb->release();
  }

 protected:
  inline void closed(int error) override;

 private:
  friend class Server;  // deletes one it could not register
  ~Connection() override = default;

  Server* server_;
  unsigned long number_;
  Counts counts_;
};

class Server : public ACE_Event_Handler {
 public:
  explicit Server(ACE_Reactor* reactor) { this->reactor(reactor); }
  // Leaves the reactor if it is still registered there.
  ~Server() override {
    if (acceptor_.get_handle() == ACE_INVALID_HANDLE) return;
    reactor()->remove_handler(this, ACE_Event_Handler::ACCEPT_MASK | ACE_Event_Handler::DONT_CALL);
    acceptor_.close();
  }

  // Listens on 127.0.0.1:port (0 takes a free port) and registers with the reactor; -1
  // when that fails.
  int open(u_short port) {
    const ACE_INET_Addr address(port, "127.0.0.1");
    if (acceptor_.open(address, 1, PF_INET, kBacklog) == -1) return -1;
    if (acceptor_.enable(ACE_NONBLOCK) == -1) return -1;
    return reactor()->register_handler(this, ACE_Event_Handler::ACCEPT_MASK);
  }
  u_short port() const {
    ACE_INET_Addr address;
    acceptor_.get_local_addr(address);
    return address.get_port_number();
  }

  ACE_HANDLE get_handle() const override { return acceptor_.get_handle(); }

  // Takes every connection that is waiting.
  int handle_input(ACE_HANDLE) override {
    for (;;) {
      ACE_SOCK_Stream peer;
      if (acceptor_.accept(peer) == -1) return 0;
      Connection* c = new (std::nothrow) Connection(peer.get_handle(), this, ++accepted_);
      if (c == nullptr || c->open(reactor()) == -1) {
        KITE_LogMsg_Stream::instance()->error(
            "connection %lu refused: no memory or no registration", accepted_);
        if (c == nullptr) peer.close();
        delete c;
        continue;
      }
      ++open_;
    }
  }
  int handle_close(ACE_HANDLE, ACE_Reactor_Mask) override {
    acceptor_.close();
    return 0;
  }

  // A connection ended; logs its counts here.
  virtual void ended(unsigned long number, const Counts& counts) {
    if (counts.error == 0) {
      KITE_LogMsg_Stream::instance()->message(
          "connection %lu: %zu lines, %zu bytes, %lu over-long lines dropped", number, counts.lines,
          counts.bytes, counts.overlong);
    } else {
      KITE_LogMsg_Stream::instance()->error("connection %lu failed (%d) after %zu lines, %zu bytes",
                                            number, counts.error, counts.lines, counts.bytes);
    }
  }

  size_t open_connections() const { return open_; }

 private:
  friend class Connection;
  static constexpr int kBacklog = 1024;

  void close(unsigned long number, const Counts& counts) {
    --open_;
    ended(number, counts);
  }

  ACE_SOCK_Acceptor acceptor_;
  unsigned long accepted_ = 0;
  size_t open_ = 0;
};

inline void Connection::closed(int error) {
  counts_.overlong = overlong_lines();
  counts_.error = error;
  server_->close(number_, counts_);
  delete this;
}

}  // namespace line_server

#endif
