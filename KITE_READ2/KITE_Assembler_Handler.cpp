// SPDX-License-Identifier: MIT
#include "KITE_READ2/KITE_Assembler_Handler.h"

#include <ace/Flag_Manip.h>
#include <ace/OS_NS_unistd.h>
#include <ace/Reactor.h>
#include <ace/Recursive_Thread_Mutex.h>
#include <ace/Singleton.h>

#include <cerrno>
#include <exception>

#include "errorhandling/KITE_LogMsg_Stream.h"

namespace KITE {

Assembler_Handler::Assembler_Handler(ACE_HANDLE handle, Message_Observer* observer,
                                     KITE_Data_Block_Factory* factory)
    : handle_(handle), assembler_(observer, factory) {}

Assembler_Handler::~Assembler_Handler() {
  if (handle_ != ACE_INVALID_HANDLE) ACE_OS::close(handle_);
}

int Assembler_Handler::open(ACE_Reactor* reactor) {
  this->reactor(reactor);
  if (ACE::set_flags(handle_, ACE_NONBLOCK) == -1) return -1;
  return reactor->register_handler(this, ACE_Event_Handler::READ_MASK);
}

// The reactor runs no code of ours that could take an exception, so none may leave here.
int Assembler_Handler::handle_input(ACE_HANDLE) {
  char buffer[READ_SIZE];
  for (int reads = 0; reads < READS_PER_EVENT; ++reads) {
    const ssize_t n = ACE_OS::read(handle_, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
      error_ = errno;
      return -1;
    }
    if (n == 0) return -1;
    bytes_ += static_cast<size_t>(n);
    try {
      const int dropped = assembler_.feed(buffer, static_cast<int>(n));
      if (dropped != 0) {
        overlong_ += static_cast<unsigned long>(dropped);
        overlong(dropped);
      }
    } catch (const std::exception& e) {
      return failed(e.what());
    } catch (...) {
      return failed("an exception of unknown type");
    }
    // A read that leaves room in the buffer found the socket empty.
    if (static_cast<size_t>(n) < sizeof buffer) return 0;
  }
  return 0;
}

int Assembler_Handler::failed(const char* what) {
  KITE_LogMsg_Stream::instance()->error("Assembler_Handler: connection closed after %s", what);
  error_ = -1;
  return -1;
}

int Assembler_Handler::handle_close(ACE_HANDLE, ACE_Reactor_Mask) {
  if (handle_ == ACE_INVALID_HANDLE) return 0;
  ACE_OS::close(handle_);
  handle_ = ACE_INVALID_HANDLE;
  closed(error_);
  return 0;
}

void Assembler_Handler::overlong(int count) {
  KITE_LogMsg_Stream::instance()->warn("Assembler_Handler: %d line(s) over %u characters dropped",
                                       count, Message_Assembler::MESSAGE_SIZE);
}

void Assembler_Handler::closed(int) {}

}  // namespace KITE
