// SPDX-License-Identifier: MIT
/// \file
/// KITE_LogMsg_Basync: a backend that hands its lines to another backend on a writer thread,
/// so that a destination that is slow or stops taking lines (a journal or system logger that
/// stops reading its socket, a file on a file system that hangs) never holds up the threads
/// that log.
///
///     manager->addBackend(new KITE_LogMsg_Basync(new KITE_LogMsg_Bfile("/var/log/app.log")));
///
/// KITE_LOG_TO's syslog, journal and file destinations come wrapped so. Standard error and
/// the backends a program adds itself are written by the logging thread, before log()
/// returns, unless the program wraps them.
///
/// Delivery: write() copies the line into a queue, with what the wrapped backend may ask about
/// it: the origin recorded with info() (KITE_LogMsg_Origin::current()), and the time and the
/// kernel thread id of the log call (KITE_LogMsg_Stamp::current()). One writer thread for the
/// whole process, started with the first KITE_LogMsg_Basync, calls the wrapped backends'
/// write() with the lines of all of them in the manager's order, each line byte for byte as
/// the manager gave it, with its origin and stamp current.
///
/// The queue: QUEUE_BYTES (256 KiB), allocated when the writer starts and kept for the life
/// of the process. A line takes 64 bytes besides its text and its file name (rounded up to 8),
/// so the queue holds about 1800 lines of 80 characters, and 59 of the longest (254 characters
/// from a file of 4096). A line that would take more than a quarter of it (more than 65472
/// characters with its file name, which no log stream makes) is lost.
///
/// A stalled destination: a logging thread that finds the queue full waits at most
/// FULL_WAIT_MS (20 ms) for the writer to free half of it. When it does not, the destination
/// has stalled: that line and every later one for any KITE_LogMsg_Basync is counted and
/// dropped at once, without a wait, until half the queue is free again. The next line the
/// wrapped backend then takes comes after one line at WARNING that says what it missed:
///
///     kite log: 1234 lines lost: the destination stalled and the log queue was full
///
/// There is one writer, so a stalled destination holds up the lines of every KITE_LogMsg_Basync.
///
/// The end: deleting a KITE_LogMsg_Basync (the manager's clear(), and its clean-up when main
/// returns or exit() is called) waits at most END_WAIT_MS (1000 ms) until its queued lines are
/// delivered, and then deletes the wrapped backend; a warning about lines lost goes straight to
/// the wrapped backend. The log stream's fail() and cond_fail() wait as long for all queued
/// lines before they abort. What a destination still stalled after that has not taken is lost,
/// and standard error says so, in one line:
///
///     kite log: 1234 lines lost: the destination stalled and did not take them within 1000 ms
///     at the end
///
/// The writer deletes the wrapped backend later, if the destination ever returns from the
/// write() it is in. One such wait runs out per stall: removing the next KITE_LogMsg_Basync
/// waits no more until the writer delivers a line again. A program that ends with _exit() or
/// replaces itself by exec() calls KITE_LogMsg_BackendMgr::instance()->flush(milliseconds)
/// before, which waits as long as it is told.
///
/// Fork: the child starts with an empty queue and no writer; the lines queued before the fork
/// are the parent's, which delivers them. The child's first line for such a backend starts a
/// writer of its own. fork() waits at most FORK_WAIT_MS (100 ms) for the writer to deliver
/// the lines queued so far, so that they come before the child's in a destination both
/// share, and to finish the line it writes, so that the child finds the backends, and the C
/// library's locks that a write takes, as they are between lines; a child forked while a
/// destination stalls may find it stalled too.
///
/// Locking: the manager calls write() under its mutex, as for every backend; the queue has a
/// mutex of its own, held only to copy a line in or out. The wrapped backends' write() runs
/// on the writer thread alone, which therefore serialises them as the manager's mutex would.
/// The writer thread blocks every signal.
///
/// Cost: for the logging thread, a clock reading, and a copy of the line (and of its file
/// name) under the queue's mutex; the writer is woken only when it waits for lines.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_BASYNC_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_BASYNC_H

#include <cstddef>

#include "BOLT/export.h"
#include "errorhandling/KITE_LogMsg_Backend.h"

struct KITE_LogMsg_Target;

/// A backend that hands its lines to another backend on the writer thread (see
/// KITE_LogMsg_Basync.h).
class KITE_EXPORT KITE_LogMsg_Basync : public KITE_LogMsg_Backend {
 public:
  /// The size of the queue, shared by every KITE_LogMsg_Basync of the process.
  static constexpr size_t QUEUE_BYTES = size_t{256} * 1024;
  /// How long a logging thread that finds the queue full waits for the writer.
  static constexpr int FULL_WAIT_MS = 20;
  /// How long deleting a KITE_LogMsg_Basync (and fail(), cond_fail()) waits for its lines.
  static constexpr int END_WAIT_MS = 1000;
  /// How long fork() waits for the writer to deliver what is queued and finish its line.
  static constexpr int FORK_WAIT_MS = 100;

  /// Takes ownership of backend, which comes from new. Starts the writer if none runs.
  explicit KITE_LogMsg_Basync(KITE_LogMsg_Backend* backend);
  /// Waits at most END_WAIT_MS for the queued lines, then deletes the wrapped backend.
  ~KITE_LogMsg_Basync() override;

  /// Queues the line when it passes this backend's limit and the wrapped backend's.
  void write(int priority, const char* buffer, int len) override;

  /// The wrapped backend, to ask it things (KITE_LogMsg_Bfile::failures(), say); its write()
  /// is the writer's.
  KITE_LogMsg_Backend* backend() const;

 private:
  KITE_LogMsg_Target* const target_;
};

#endif
