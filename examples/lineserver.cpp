// SPDX-License-Identifier: MIT
// lineserver: accepts connections on 127.0.0.1 and cuts what each one sends into lines with
// a kite message assembler of its own, all on one thread with an ACE reactor (epoll, so
// thousands of connections are fine). When a connection ends, its lines and bytes are
// logged to standard error through the log stream; SIGINT or SIGTERM stops the server.
//
//   lineserver [port]      port 0 or none: a free port, which the first log line names
#include <sys/signalfd.h>
#include <unistd.h>

#include <ace/Dev_Poll_Reactor.h>
#include <ace/Reactor.h>

#include <csignal>
#include <cstdlib>

#include "line_server.h"

namespace {

// Ends the event loop at SIGINT or SIGTERM. The signals are blocked and read from a
// signal descriptor, so they never interrupt the reactor's wait.
class Stopper : public ACE_Event_Handler {
 public:
  Stopper() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    handle_ = signalfd(-1, &signals, SFD_CLOEXEC);
  }
  ~Stopper() override { close(handle_); }
  ACE_HANDLE get_handle() const override { return handle_; }
  int handle_input(ACE_HANDLE) override {
    reactor()->end_reactor_event_loop();
    return 0;
  }

 private:
  int handle_;
};

}  // namespace

int main(int argc, char** argv) {
  const long port = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 0;
  if (port < 0 || port > 65535) {
    KITE_LogMsg_Stream::instance()->error("usage: lineserver [port]");
    return 2;
  }
  ACE_Reactor reactor(new ACE_Dev_Poll_Reactor, true);
  line_server::Server server(&reactor);
  if (server.open(static_cast<u_short>(port)) == -1) {
    KITE_LogMsg_Stream::instance()->error("cannot listen on port %ld: %m", port);
    return 1;
  }
  Stopper stopper;
  if (reactor.register_handler(&stopper, ACE_Event_Handler::READ_MASK) == -1) {
    KITE_LogMsg_Stream::instance()->error("cannot watch for SIGINT and SIGTERM: %m");
    return 1;
  }
  KITE_LogMsg_Stream::instance()->message("listening on 127.0.0.1 port %u", server.port());
  reactor.run_reactor_event_loop();
  KITE_LogMsg_Stream::instance()->message("stopping with %zu connections open",
                                          server.open_connections());
  reactor.close();  // ends them, each logged, before the handlers go
  return 0;
}
