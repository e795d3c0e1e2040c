// SPDX-License-Identifier: MIT
#ifndef KITE_READ2_KITE_ASSEMBLER_HANDLER_H
#define KITE_READ2_KITE_ASSEMBLER_HANDLER_H

#include <ace/Event_Handler.h>

#include <cstddef>

#include "BOLT/export.h"
#include "KITE_READ2/KITE_Framer.h"

namespace KITE {

/// An ACE event handler that feeds what a connected handle (a stream socket, a pipe) delivers into
/// a message assembler of its own.
///
///      reactor --handle_input--> read(handle, up to 64 KiB) --> assembler.feed() --> observer
///                                  |    ^ buffer filled: read again,    |  over-long lines
///                                  |    +- at most 4 reads in all       v
///                                  | end of file, error             overlong(count)
///                                  v
///                                handle_close --> closed(error)
///
/// Each readiness the reactor reports gives reads of at most 64 KiB (into a buffer on the
/// stack, so a thousand idle connections cost no buffers), each fed whole: every good line
/// of it reaches the observer, and over-long lines are dropped and reported once each
/// (Message_Assembler::feed()). A read that fills the buffer is followed by another, up to
/// READS_PER_EVENT of them: a busy connection then costs the reactor one wait and one
/// re-arm per 256 KiB instead of per 64 KiB, and still leaves its turn to the others.
///
/// A read that returns nothing ends the connection: end of file or an error, or an
/// exception out of the assembler or the observer (logged at ERROR), make handle_input()
/// return -1, and the reactor's handle_close() closes the handle and calls closed() with 0,
/// the read's errno or -1 respectively.
///
/// Ownership: the handler owns the handle from construction and closes it (at the latest
/// in its destructor). The observer and the factory are not owned. closed() is the last
/// call the handler makes on itself, so an override may delete the handler there (the
/// usual way for one handler per connection, allocated with new). A handler registered with
/// a reactor must outlive its registration: to end a connection early, remove it
/// (reactor->remove_handler(handler, READ_MASK), which calls handle_close()). When the
/// constructor throws, the handle stays the caller's.
///
/// Threads: not locked. The reactor calls it on the thread that runs the event loop, and
/// the observer runs there too; its blocks come from that thread's cache of the factory.
///
/// Cost: one read system call per 64 KiB (and per readiness), the assembler's work per
/// line, and nothing allocated per read.
class KITE_EXPORT Assembler_Handler : public ACE_Event_Handler {
 public:
  /// Reads handle into an assembler whose lines go to observer, blocks made by factory.
  /// Throws NoMoreDynamicMemory (the assembler's).
  Assembler_Handler(ACE_HANDLE handle, Message_Observer* observer,
                    KITE_Data_Block_Factory* factory = &pdbf);
  ~Assembler_Handler() override;

  Assembler_Handler(const Assembler_Handler&) = delete;
  Assembler_Handler& operator=(const Assembler_Handler&) = delete;

  /// Makes the handle non-blocking and registers for input with reactor; -1 when either
  /// fails (the handler is then not registered).
  int open(ACE_Reactor* reactor);

  /// The handle read; ACE_INVALID_HANDLE once closed.
  ACE_HANDLE get_handle() const override { return handle_; }
  /// Called by the reactor when the handle is readable: reads and feeds as described above;
  /// -1 ends the connection.
  int handle_input(ACE_HANDLE) override;
  /// Called by the reactor when the handler leaves it (after handle_input() returned -1, or
  /// at remove_handler()): closes the handle and calls closed(). Further calls do nothing.
  int handle_close(ACE_HANDLE, ACE_Reactor_Mask) override;

  /// Bytes read so far.
  size_t bytes() const { return bytes_; }
  /// Over-long lines dropped so far.
  unsigned long overlong_lines() const { return overlong_; }

  /// The size of one read.
  static constexpr size_t READ_SIZE = size_t(64) * 1024;
  /// The most reads one readiness gives.
  static constexpr int READS_PER_EVENT = 4;

 protected:
  /// count over-long lines were dropped from the last read. Logs a warning through the log
  /// stream here.
  virtual void overlong(int count);
  /// The connection ended: error is 0 at end of file, the errno of a failed read, or -1
  /// after an exception. Does nothing here.
  virtual void closed(int error);

 private:
  /// Logs what ended the connection; returns -1 for handle_input().
  int failed(const char* what);

  ACE_HANDLE handle_;
  Message_Assembler assembler_;
  size_t bytes_ = 0;
  unsigned long overlong_ = 0;
  int error_ = 0;
};

}  // namespace KITE

#endif
