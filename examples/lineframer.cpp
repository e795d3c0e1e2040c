// SPDX-License-Identifier: MIT
// lineframer: cuts standard input into lines with the kite message assembler and logs each
// line through the log stream, whose one backend writes to standard output.
#include <unistd.h>

#include <cstdio>

#include "KITE_READ2/KITE_Framer.h"
#include "errorhandling/KITE_LogMsg_BackendMgr.h"
#include "errorhandling/KITE_LogMsg_Stream.h"

namespace {

// Writes each log line to standard output behind its priority: "<6> line 1: ...". The
// manager hands it only lines that pass its limit.
class StdoutBackend : public KITE_LogMsg_Backend {
 public:
  void write(int priority, const char* line, int len) override {
    std::printf("<%d> %.*s", priority, len, line);
  }
};

// Logs each message without its line end; the block belongs to us and is released.
class LineLogger : public KITE::Message_Observer {
 public:
  void process(KITE_Message_Block* mb) override {
    const int length = static_cast<int>(mb->length()) - 1;
    KITE_LogMsg_Stream::instance()->message("line %d: %.*s", ++lines_, length, mb->rd_ptr());
    mb->release();
  }

 private:
  int lines_ = 0;
};

}  // namespace

int main() {
  // The manager starts out with a standard-error backend; replace it with ours, which the
  // manager then owns.
  KITE_LogMsg_BackendMgr* backends = KITE_LogMsg_BackendMgr::instance();
  backends->clear();
  backends->addBackend(new StdoutBackend);

  LineLogger logger;
  KITE::Message_Assembler assembler(&logger);
  char buffer[4096];
  ssize_t n;
  while ((n = read(STDIN_FILENO, buffer, sizeof buffer)) > 0) {
    // feed() delivers every good line of the chunk and drops over-long ones (each counted
    // once), where input() would stop at the first with BufferOverflow.
    const int dropped = assembler.feed(buffer, static_cast<int>(n));
    if (dropped > 0) {
      KITE_LogMsg_Stream::instance()->warn("%d line(s) over %u characters dropped", dropped,
                                           KITE::Message_Assembler::MESSAGE_SIZE);
    }
  }
  // Text after the last line end is no message yet, and is not logged.
  return 0;
}
