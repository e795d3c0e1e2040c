// SPDX-License-Identifier: MIT
#ifndef KITE_READ2_KITE_ASSEMBLER_SERVICE_H
#define KITE_READ2_KITE_ASSEMBLER_SERVICE_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <vector>

#include "BOLT/export.h"
#include "KITE_READ2/KITE_Assembler_Acceptor.h"

namespace KITE {

/// A line service on threads of its own. Each thread runs an ACE reactor (epoll) with an
/// Assembler_Acceptor on a listening socket of its own; with more than one thread the sockets share
/// the port (SO_REUSEPORT) and the kernel spreads new connections over them, so a service can use
/// every core.
///
///      start(address, n) --> thread 1: reactor + acceptor --> connections of thread 1
///                            ...
///                            thread n: reactor + acceptor --> connections of thread n
///      stop(grace)       --> every acceptor stops; the threads end once their connections have
///
/// Settings apply to every thread; max_connections limits the connections of all threads
/// together (one shared count).
///
/// Ownership: the factory is the program's and must outlive the service; it is called from
/// every thread, at the same time when there are several (make it thread-safe). A
/// connection stays on the thread that accepted it, with its observer.
///
/// Threads: start(), stop() and the destructor belong to one controlling thread.
/// open_connections() may be read from any.
///
/// Stop: stop(grace) returns when every thread has ended: at most grace after the call
/// (plus the time the observers take), with every connection closed, every handler freed
/// and the threads' cached blocks given back.
class KITE_EXPORT Assembler_Service {
 public:
  /// A service whose connections' observers come from factory, each thread's acceptor with
  /// settings. Nothing runs before start().
  explicit Assembler_Service(Observer_Factory* factory,
                             const Assembler_Acceptor::Settings& settings = {});
  /// Stops without grace when still running.
  ~Assembler_Service();

  Assembler_Service(const Assembler_Service&) = delete;
  Assembler_Service& operator=(const Assembler_Service&) = delete;

  /// Listens on address (port 0: a free one, the same for every thread) with threads threads
  /// (at least one). -1 with errno when a thread cannot start or listen; nothing runs then.
  /// Only while not running.
  int start(const ACE_INET_Addr& address, unsigned int threads = 1);
  /// The port listened on; 0 when not running.
  u_short port() const { return port_; }
  /// Stops accepting on every thread, lets the open connections end for up to grace, closes
  /// the rest and waits for the threads. Does nothing when not running.
  void stop(std::chrono::milliseconds grace);

  /// Connections open now, over all threads.
  size_t open_connections() const { return count_.load(); }

 private:
  class Worker;

  Observer_Factory* factory_;  ///< not owned
  Assembler_Acceptor::Settings settings_;
  std::atomic<size_t> count_{0};
  std::vector<std::unique_ptr<Worker>> workers_;
  u_short port_ = 0;
};

}  // namespace KITE

#endif
