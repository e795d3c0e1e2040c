// SPDX-License-Identifier: MIT
#ifndef KITE_READ2_KITE_ASSEMBLER_ACCEPTOR_H
#define KITE_READ2_KITE_ASSEMBLER_ACCEPTOR_H

#include <ace/Event_Handler.h>
#include <ace/INET_Addr.h>

#include <atomic>
#include <chrono>
#include <cstddef>

#include "BOLT/export.h"
#include "KITE_READ2/KITE_Framer.h"

namespace KITE {

/// How a connection ended, as Observer_Factory::ended() hears it.
struct Connection_End {
  /// Why the connection ended.
  enum Cause {
    END_OF_FILE,  ///< the peer closed
    READ_ERROR,   ///< a read failed: error holds its errno
    FAILED,       ///< an exception out of the assembler or the observer (logged)
    IDLE,         ///< no input for longer than Settings::idle
    STOPPED,      ///< closed by stop() after its grace time, or by the acceptor's destructor
    REFUSED,      ///< no handler after make() (no memory, no room in the epoll set): no line
  };
  Cause cause;             ///< why it ended
  int error;               ///< the errno of READ_ERROR or REFUSED, else 0
  size_t bytes;            ///< read from the peer
  unsigned long overlong;  ///< lines dropped for being longer than MESSAGE_SIZE
};

/// What the program provides: an observer for each connection, and word of its end.
class KITE_EXPORT Observer_Factory {
 public:
  /// The observer for the lines of a new connection from peer; null refuses it. May throw
  /// (NoMoreDynamicMemory): the connection is then refused and logged.
  virtual Message_Observer* make(const ACE_INET_Addr& peer) = 0;
  /// The connection of observer ended; the acceptor does not use observer again, so it may
  /// be deleted here. Must not throw (it runs inside the reactor's dispatch).
  virtual void ended(Message_Observer* observer, const Connection_End& end) = 0;

 protected:
  ~Observer_Factory() = default;
};

/// What an acceptor allows its connections.
struct Acceptor_Settings {
  /// Connections open at once (over all acceptors sharing the count); 0: no limit.
  size_t max_connections = 0;
  /// A connection without input for longer than this is closed; zero: never.
  std::chrono::milliseconds idle{0};
  /// The assemblers' block factory.
  KITE_Data_Block_Factory* blocks = &pdbf;
};

/// Accepts TCP connections under an ACE reactor and gives each an Assembler_Handler whose lines go
/// to an observer that the program makes for it.
///
///      reactor --listener--> accept4 --> admit: limit? --> factory->make(peer) --> Connection
///         |                     | EMFILE, ENFILE  | refused: closed at once, logged     |
///         |                     v                 v                                     v
///         |               paused for PAUSE    the next one               acceptor's epoll set
///         +--epoll set--> up to 64 readinesses per wait --> Connection reads --> observer
///                                                end of file, error, idle, stop |
///                                                                               v
///                                                        factory->ended(observer, end)
///
/// Connections do not register with the reactor one by one: they sit, level-triggered, in
/// an epoll set of the acceptor's, which is registered with the reactor as one handle. One
/// wait then reports up to 64 connections and a read needs no re-arming afterwards (the
/// reactor's own epoll waits for one handler per call and re-arms each after its call:
/// three system calls per read). Waits go on, up to 16 per readiness of the set, while they
/// may find more (a full batch, or a connection that read all one readiness may read); then
/// the reactor has its turn (timers, notifications, the listener).
///
/// Refusals. A connection is accepted and closed at once when the limit of open connections
/// is reached, when make() returns null (the program's choice, not logged) or throws, or
/// when there is no memory for its handler, its assembler or their first block. A run of
/// refusals of one kind is logged as it starts and, with its count, as it ends (at the next
/// connection admitted), so a flood of connections makes two log lines, not one each.
///
/// Out of descriptors (EMFILE, ENFILE, or ENOBUFS/ENOMEM from accept): the listener leaves
/// the reactor for PAUSE (100 ms) and is tried again, so the reactor never spins on a
/// listener it cannot serve; waiting connections stay in the kernel's backlog until
/// descriptors free, and the open ones are served meanwhile. Logged once as the run starts
/// and once, with its count of pauses, as it ends.
///
/// Idle connections: with Settings::idle, a connection that gave no input for that long is
/// closed within a quarter of it more (a sweep every idle/4), and each sweep that closes
/// some logs how many. A readiness costs the connection one load and one store for this.
///
/// Stop: stop() closes the listener; connections still open after its grace time are
/// closed; when the last has ended, the acceptor ends the reactor's event loop. The
/// destructor closes whatever is still open. Every connection's end, whatever its cause,
/// reaches factory->ended() exactly once, with its observer; the handler and its assembler
/// (with the block being filled) are freed just before.
///
/// Ownership: the acceptor owns its listener, its epoll set and its connections; the
/// factory, the observers it makes and the shared count are the program's and must outlive
/// the acceptor. The acceptor must outlive its registration: destroy it on the reactor's
/// thread (or after its event loop ended), before the reactor.
///
/// Threads: everything runs on the thread of the reactor's event loop, except
/// request_stop(), which any thread may call. Several acceptors on reactors of their own
/// (one thread each) may listen on one port (reuse_port: SO_REUSEPORT, the kernel spreads
/// the connections) and share one count, and so one limit: Assembler_Service does that.
/// The factory is then called from each of their threads.
///
/// Cost: per connection one accept4(), the factory's make(), one handler with its assembler,
/// one epoll_ctl() and one close(); per readiness what Assembler_Handler costs, and one
/// epoll_wait() per batch of up to 64.
class KITE_EXPORT Assembler_Acceptor : public ACE_Event_Handler {
 public:
  /// What the acceptor allows its connections.
  using Settings = Acceptor_Settings;

  /// How long accepting pauses when descriptors run out.
  static constexpr std::chrono::milliseconds PAUSE{100};

  /// shared, unless null, counts the open connections of every acceptor given it (for a
  /// limit over all of them); otherwise the acceptor counts its own.
  explicit Assembler_Acceptor(Observer_Factory* factory, const Settings& settings = Settings(),
                              std::atomic<size_t>* shared = nullptr);
  /// Closes the listener and every open connection (STOPPED).
  ~Assembler_Acceptor() override;

  Assembler_Acceptor(const Assembler_Acceptor&) = delete;
  Assembler_Acceptor& operator=(const Assembler_Acceptor&) = delete;

  /// Listens on address (port 0: a free one) and registers with reactor; with reuse_port,
  /// other sockets with SO_REUSEPORT may listen on the same port. -1 with errno when that
  /// fails (nothing stays open). Call once.
  int open(const ACE_INET_Addr& address, ACE_Reactor* reactor, bool reuse_port = false);
  /// The port listened on; 0 before open().
  u_short port() const;

  /// Stops accepting and lets the open connections end for up to grace; closes the rest
  /// then (STOPPED). The reactor's event loop ends once none is left. Reactor thread only.
  void stop(std::chrono::milliseconds grace);
  /// stop(grace) from any thread: the reactor's thread runs it (through the reactor's
  /// notify). -1 when the notification cannot be sent.
  int request_stop(std::chrono::milliseconds grace);

  /// Connections this acceptor has open; reactor thread only.
  size_t open_connections() const { return open_; }

  /// The reactor's call when the listener or the connections' epoll set is ready.
  int handle_input(ACE_HANDLE) override;
  /// The reactor's call when a pause ends or an idle sweep is due.
  int handle_timeout(const ACE_Time_Value&, const void* act) override;
  /// The reactor's call after request_stop().
  int handle_exception(ACE_HANDLE) override;

 private:
  class Connection;

  int listen_on(const ACE_INET_Addr& address, bool reuse_port);
  void accept();
  void serve();
  void admit(ACE_HANDLE handle, const ACE_INET_Addr& peer);
  /// A connection was admitted: logs the end of the runs of refusals.
  void end_runs();
  void pause(int error);
  void sweep();
  /// Closes every open connection whose seen tick is older than before (all: ~0) with cause.
  size_t close_older(unsigned long before, Connection_End::Cause cause);
  void ended(Connection* connection, const Connection_End& end);
  void close_listener();
  void close_poll();

  Observer_Factory* factory_;  ///< not owned
  Settings settings_;
  std::atomic<size_t> own_count_{0};
  std::atomic<size_t>* count_;  ///< own_count_ or the shared one
  ACE_HANDLE listener_ = ACE_INVALID_HANDLE;
  ACE_HANDLE poll_ = ACE_INVALID_HANDLE;  ///< the connections' epoll set
  u_short port_ = 0;
  Connection* first_ = nullptr;  ///< the open connections, a doubly linked list
  size_t open_ = 0;
  unsigned long tick_ = 0;  ///< idle sweeps so far
  bool paused_ = false;
  bool stopping_ = false;
  std::atomic<long long> grace_ms_{0};  ///< of request_stop()
  /// The current runs of refusals at the limit, of other refusals and of pauses; each run
  /// is logged as it starts and as it ends.
  unsigned long limited_ = 0, unserved_ = 0, pauses_ = 0;
};

}  // namespace KITE

#endif
