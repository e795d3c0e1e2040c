// SPDX-License-Identifier: MIT
#include "errorhandling/KITE_LogMsg_Writer.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "errorhandling/KITE_LogMsg_Basync.h"

namespace {

typedef KITE_LogMsg_Ring::Record Record;

std::atomic<KITE_LogMsg_Writer*> made{nullptr};
thread_local bool on_writer_thread = false;

void fill(Record* record, int priority, const char* text, int len) {
  record->priority = priority;
  record->len = len;
  std::memcpy(record->text(), text, static_cast<size_t>(len));
}

}  // namespace

KITE_LogMsg_Writer& KITE_LogMsg_Writer::instance() {
  // Static storage that nothing destroys: lines may still come while the process exits.
  alignas(KITE_LogMsg_Writer) static unsigned char storage[sizeof(KITE_LogMsg_Writer)];
  static KITE_LogMsg_Writer* const writer = [] {
    KITE_LogMsg_Writer* writer = new (storage) KITE_LogMsg_Writer;
    made.store(writer);
    return writer;
  }();
  return *writer;
}

KITE_LogMsg_Writer::KITE_LogMsg_Writer() = default;

void KITE_LogMsg_Writer::adopt(Target* target) {
  std::lock_guard<std::mutex> lock(mutex_);
  targets_.push_back(target);
  start();
}

// Under mutex_. The thread takes no signal: those are for the program's own threads, and a
// destination that breaks a pipe or socket then returns EPIPE instead of ending the process.
bool KITE_LogMsg_Writer::start() {
  if (running_) return true;
  if (!ring_) ring_ = std::make_unique<KITE_LogMsg_Ring>(KITE_LogMsg_Basync::QUEUE_BYTES);
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  try {
    std::thread([this] { run(); }).detach();
    running_ = true;
  } catch (const std::system_error&) {
    // No thread to be had now: put() writes the line itself and tries again with the next.
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return running_;
}

// The record stays as it is while it is delivered without the lock: producers write only
// outside the records between head and tail.
void KITE_LogMsg_Writer::run() {
  on_writer_thread = true;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    Record* record = forking_ ? nullptr : ring_->front();
    if (!record) {
      idle_ = true;
      work_.wait(lock);
      idle_ = false;
      continue;
    }
    Target* target = static_cast<Target*>(record->target);
    if (!target->abandoned) {
      delivering_ = true;
      lock.unlock();
      deliver(*record);
      lock.lock();
      delivering_ = false;
      if (forking_) progress_.notify_all();
    }
    ring_->pop();
    ++delivered_;
    if (--target->queued == 0 && target->abandoned) {
      // Its KITE_LogMsg_Basync is gone, and this was the line that kept the backend alive.
      lock.unlock();
      delete target->backend;
      delete target;
      lock.lock();
    }
    const bool half_free = ring_->used() <= ring_->capacity() / 2;
    if (half_free) stalled_ = false;
    if (half_free && waiting_for_room_) room_.notify_all();
    if (delivered_ >= wake_at_) {
      wake_at_ = kNever;
      progress_.notify_all();
    }
  }
}

void KITE_LogMsg_Writer::deliver(Record& record) {
  const KITE_LogMsg_Origin origin = {record.file(), record.line, record.errnum};
  const KITE_LogMsg_Origin::Scope origin_scope(record.file_len < 0 ? nullptr : &origin);
  const KITE_LogMsg_Stamp::Scope stamp_scope(&record.stamp);
  try {
    static_cast<Target*>(record.target)->backend->write(record.priority, record.text(), record.len);
  } catch (...) {
    // Nobody to tell on this thread: the line is lost, the next one is tried.
  }
}

// A place for size bytes. A full ring gets one short wait for the writer to free half of it;
// when that runs out the destination has stalled, and until half is free every line is lost
// at once. Null for a line that is lost.
Record* KITE_LogMsg_Writer::room(std::unique_lock<std::mutex>& lock, size_t size) {
  // Half a ring always has a quarter of it in one piece: a record that large fits then.
  if (stalled_ || size > ring_->capacity() / 4) return nullptr;
  if (Record* record = ring_->push(size)) return record;
  ++waiting_for_room_;
  room_.wait_for(lock, std::chrono::milliseconds(KITE_LogMsg_Basync::FULL_WAIT_MS),
                 [this] { return stalled_ || ring_->used() <= ring_->capacity() / 2; });
  --waiting_for_room_;
  Record* record = stalled_ ? nullptr : ring_->push(size);
  if (!record && !stalled_) {
    stalled_ = true;
    room_.notify_all();  // the others waiting lose their lines now
  }
  return record;
}

void KITE_LogMsg_Writer::queue(Target* target, Record* record, const KITE_LogMsg_Stamp& stamp) {
  record->target = target;
  record->stamp = stamp;
  ++target->queued;
  ++queued_;
}

void KITE_LogMsg_Writer::put(Target* target, int priority, const char* buffer, int len) {
  if (on_writer_thread) {
    target->backend->write(priority, buffer, len);
    return;
  }
  const KITE_LogMsg_Origin* origin = KITE_LogMsg_Origin::current();
  const int file_len = origin ? static_cast<int>(std::strlen(origin->file)) : -1;
  const KITE_LogMsg_Stamp stamp = KITE_LogMsg_Stamp::current();
  std::unique_lock<std::mutex> lock(mutex_);
  if (!start()) {  // no thread to be had: the line goes out here and now
    lock.unlock();
    target->backend->write(priority, buffer, len);
    return;
  }
  if (target->lost) {
    // The destination takes lines again: first it hears what it missed.
    char text[128];
    const int length = lost_warning(text, target->lost);
    Record* warning = room(lock, KITE_LogMsg_Ring::size_for(length, -1));
    if (!warning) {
      ++target->lost;
      return;
    }
    fill(warning, KITE_LogMsg_Priorities::WARNING, text, length);
    warning->file_len = -1;
    queue(target, warning, stamp);
    target->lost = 0;
  }
  Record* record = room(lock, KITE_LogMsg_Ring::size_for(len, file_len));
  if (!record) {
    ++target->lost;
    return;
  }
  fill(record, priority, buffer, len);
  record->file_len = file_len;
  if (origin) {
    record->line = origin->line;
    record->errnum = origin->errnum;
    std::memcpy(record->file(), origin->file, static_cast<size_t>(file_len) + 1);
  }
  queue(target, record, stamp);
  if (idle_) work_.notify_one();
}

int KITE_LogMsg_Writer::lost_warning(char (&text)[128], unsigned long lost) {
  return std::snprintf(text, sizeof text,
                       "kite log: %lu lines lost: the destination stalled and the log queue "
                       "was full\n",
                       lost);
}

// Waits until done() holds, at most milliseconds, unless the writer cannot get there: it is
// the calling thread, or (when at_once_if_stuck) it delivered nothing since the last wait ran
// out. done() holds once the writer has delivered until lines at most; it wakes the waiters
// when the first of them can be done.
template <class Done>
bool KITE_LogMsg_Writer::wait(std::unique_lock<std::mutex>& lock, int milliseconds,
                              bool at_once_if_stuck, unsigned long long until, Done done) {
  if (done()) return true;
  if (on_writer_thread || !running_ || (at_once_if_stuck && gave_up_at_ == delivered_))
    return false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  bool finished = false;
  while (!(finished = done())) {
    wake_at_ = std::min(wake_at_, until);
    if (progress_.wait_until(lock, deadline) == std::cv_status::timeout) {
      finished = done();
      break;
    }
  }
  if (!finished) gave_up_at_ = delivered_;
  return finished;
}

bool KITE_LogMsg_Writer::flush(int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  const unsigned long long until = queued_;
  return wait(lock, milliseconds, false, until, [&] { return delivered_ >= until; });
}

KITE_LogMsg_Writer::Released KITE_LogMsg_Writer::release(Target* target, int milliseconds) {
  std::unique_lock<std::mutex> lock(mutex_);
  const bool delivered =
      wait(lock, milliseconds, true, queued_, [&] { return target->queued == 0; });
  targets_.erase(std::remove(targets_.begin(), targets_.end(), target), targets_.end());
  target->abandoned = !delivered;
  return {delivered, target->lost + target->queued};
}

// Lines logged before the fork should precede the child's in a shared destination, so the
// fork first lets the writer deliver what is queued. The child gets the backends as they are
// at the fork, and of the C library what its locks guard (the time zone of a time stamp,
// syslog(3)'s socket): so the fork then waits until the writer is between two lines. Both
// together take at most FORK_WAIT_MS: a writer still in a backend's write() by then waits for
// a destination that has stalled, in a system call, and the fork goes on.
void KITE_LogMsg_Writer::before_fork() {
  KITE_LogMsg_Writer* writer = made.load();
  if (!writer) return;
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(KITE_LogMsg_Basync::FORK_WAIT_MS);
  std::unique_lock<std::mutex> lock(writer->mutex_);
  // Not through wait(): a fork that finds the destination stalled must not count as the
  // end's wait having given up.
  const unsigned long long until = writer->queued_;
  if (writer->running_ && !on_writer_thread && writer->gave_up_at_ != writer->delivered_) {
    writer->wake_at_ = std::min(writer->wake_at_, until);
    writer->progress_.wait_until(lock, deadline,
                                 [writer, until] { return writer->delivered_ >= until; });
  }
  writer->forking_ = true;
  writer->progress_.wait_until(lock, deadline, [writer] { return !writer->delivering_; });
  lock.release();
}

void KITE_LogMsg_Writer::after_fork_in_parent() {
  KITE_LogMsg_Writer* writer = made.load();
  if (!writer) return;
  writer->forking_ = false;
  writer->work_.notify_all();
  writer->mutex_.unlock();
}

// The child has the forking thread alone. The lines in the ring are the parent's, which
// delivers them; threads that waited in the parent do not exist here, so the conditions
// start anew.
void KITE_LogMsg_Writer::after_fork_in_child() {
  KITE_LogMsg_Writer* writer = made.load();
  if (!writer) return;
  for (std::condition_variable* condition : {&writer->work_, &writer->room_, &writer->progress_})
    new (condition) std::condition_variable;
  if (writer->ring_) writer->ring_->clear();
  for (Target* target : writer->targets_) target->queued = target->lost = 0;
  writer->running_ = writer->idle_ = writer->stalled_ = false;
  writer->delivering_ = writer->forking_ = false;
  writer->waiting_for_room_ = 0;
  writer->queued_ = writer->delivered_ = 0;
  writer->wake_at_ = writer->gave_up_at_ = kNever;
  writer->mutex_.unlock();
}
