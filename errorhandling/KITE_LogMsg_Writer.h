// SPDX-License-Identifier: MIT
// KITE_LogMsg_Writer: the one thread that delivers the lines of every KITE_LogMsg_Basync, and
// the bounded queue in front of it. Internal to kite::log; KITE_LogMsg_Basync.h says what
// its users see (the sizes, the one short wait, lost lines, flush, the end, fork).
//
//   logging thread, under the manager's mutex        writer thread, no lock held
//   put(): line + origin + stamp --> [ ring ] --> backend->write() with origin and stamp current
//
// Lines enter the ring in the manager's order of lines and leave it in that order.
//
// Locking: mutex_ guards everything below it and is held only to copy a line in or out of
// the ring, never while a backend writes. Lock order: the manager's mutex, then mutex_; the
// manager's fork handlers take both in that order and call before_fork() and the after_fork
// functions under them.
#ifndef KITE_ERRORHANDLING_KITE_LOGMSG_WRITER_H
#define KITE_ERRORHANDLING_KITE_LOGMSG_WRITER_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "errorhandling/KITE_LogMsg_Backend.h"
#include "errorhandling/KITE_LogMsg_Ring.h"

// What a KITE_LogMsg_Basync queues lines for. The counts are guarded by the writer's mutex.
struct KITE_LogMsg_Target {
  explicit KITE_LogMsg_Target(KITE_LogMsg_Backend* wrapped) : backend(wrapped) {}
  KITE_LogMsg_Backend* const backend;
  unsigned long queued = 0;  // its lines in the ring
  unsigned long lost = 0;    // lost and not yet reported
  bool abandoned = false;    // released while lines were left: they are skipped, and the
                             // writer deletes the target after the last
};

class KITE_LogMsg_Writer {
 public:
  typedef KITE_LogMsg_Target Target;

  // What release() found.
  struct Released {
    bool delivered;      // nothing was left for the target: the writer is done with it
    unsigned long lost;  // lines lost and not reported, those left in the ring included
  };

  // The process's writer, made at the first call and never destroyed.
  static KITE_LogMsg_Writer& instance();

  // Counts target in (until release) and starts the thread if it does not run.
  void adopt(Target* target);
  // Waits at most milliseconds until no line of target is left, then counts it out. When
  // lines were left, they are skipped from then on, and the writer deletes target and its
  // backend once it is through with them. After a wait (of either kind) that ran out, it
  // returns at once until the writer delivers a line again: a stall costs the end one wait.
  Released release(Target* target, int milliseconds);

  // Queues one line for target, with the calling thread's origin and stamp. On the writer
  // thread itself (a KITE_LogMsg_Basync inside another) it writes the line at once.
  void put(Target* target, int priority, const char* buffer, int len);

  // Waits at most milliseconds until every line queued before the call is delivered; true
  // when they were.
  bool flush(int milliseconds);

  // The warning a destination gets before its first line after lost ones, in text (a line
  // with its newline); returns its length.
  static int lost_warning(char (&text)[128], unsigned long lost);

  // The manager's fork handlers, with its mutex held. The child keeps no queued line and no
  // thread; its first line starts a thread of its own.
  static void before_fork();
  static void after_fork_in_parent();
  static void after_fork_in_child();

 private:
  KITE_LogMsg_Writer();

  static constexpr unsigned long long kNever = ~0ull;

  bool start();
  void run();
  void deliver(KITE_LogMsg_Ring::Record& record);
  KITE_LogMsg_Ring::Record* room(std::unique_lock<std::mutex>& lock, size_t size);
  void queue(Target* target, KITE_LogMsg_Ring::Record* record, const KITE_LogMsg_Stamp& stamp);
  template <class Done>
  bool wait(std::unique_lock<std::mutex>& lock, int milliseconds, bool at_once_if_stuck,
            unsigned long long until, Done done);

  std::mutex mutex_;
  std::condition_variable work_;            // the writer waits for lines
  std::condition_variable room_;            // logging threads wait on a full ring
  std::condition_variable progress_;        // flush() and release() wait for deliveries
  std::unique_ptr<KITE_LogMsg_Ring> ring_;  // made with the first thread
  std::vector<Target*> targets_;
  bool running_ = false;
  bool idle_ = false;        // the writer waits for lines
  bool delivering_ = false;  // the writer is in a backend's write()
  bool forking_ = false;     // a fork waits: the writer starts no line
  bool stalled_ = false;     // a full ring did not drain in time: lines are lost at once
  int waiting_for_room_ = 0;
  unsigned long long queued_ = 0, delivered_ = 0;  // lines, ever
  unsigned long long wake_at_ = kNever;            // delivered_ at which a waiter can be done
  unsigned long long gave_up_at_ = kNever;         // delivered_ when a wait last ran out
};

#endif
