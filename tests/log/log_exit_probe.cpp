// SPDX-License-Identifier: MIT
// Ends with text still pending in log streams, the way argv[1] says, so that a test can
// check that the text arrives and that exit touches nothing already destroyed. The modes
// "queued-return", "queued-exit" and "queued-_exit" end instead with 20 lines queued for a
// slow backend on the writer thread, which writes them to standard output.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "errorhandling/KITE_LogMsg_BackendMgr.h"
#include "errorhandling/KITE_LogMsg_Basync.h"
#include "errorhandling/KITE_LogMsg_Stream.h"
#include "support/recording_backend.h"

namespace {

typedef KITE_LogMsg_Stream S;

using kite_test::log_stream;

// Writes every line to standard output as well.
class StdoutBackend : public KITE_LogMsg_Backend {
 public:
  void write(int, const char* buffer, int len) override {
    if (len > 0 && ::write(1, buffer, static_cast<size_t>(len)) < 0) std::abort();
  }
};

// Takes a millisecond a line.
class SlowStdoutBackend : public StdoutBackend {
 public:
  void write(int priority, const char* buffer, int len) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    StdoutBackend::write(priority, buffer, len);
  }
};

// Queues 20 lines for the writer, then ends as mode says: "return", "exit" (status 3) or
// "_exit" after flush() (status 4).
int end_with_queued_lines(const std::string& mode) {
  kite_test::backend_manager()->clear();
  kite_test::backend_manager()->addBackend(new KITE_LogMsg_Basync(new SlowStdoutBackend));
  for (int i = 0; i < 20; ++i) log_stream()->message("queued %d", i);
  if (mode == "exit") std::exit(3);
  if (mode == "_exit" && kite_test::backend_manager()->flush(10000)) _exit(4);
  return 0;
}

// Says so when it is deleted, as a file backend that logs its closing would.
class ClosingBackend : public KITE_LogMsg_Backend {
 public:
  ~ClosingBackend() override { log_stream()->message("closed"); }
  void write(int, const char*, int) override {}
};

// Like a module-level debug channel: streams at static initialisation, logs when the
// statics are destroyed.
struct StaticUser {
  StaticUser() {
    if (active()) *log_stream() << "pending since static initialisation";
  }
  ~StaticUser() {
    if (active()) log_stream()->error("from a static destructor");
  }
  static bool active() {
    const char* mode = std::getenv("LOG_EXIT_PROBE_STATIC");
    return mode && std::strcmp(mode, "1") == 0;
  }
} static_user;

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "";
  if (std::strncmp(mode, "queued-", 7) == 0) return end_with_queued_lines(mode + 7);
  if (std::strcmp(mode, "thread") == 0) {
    std::thread worker([] { *log_stream() << S::ERROR << "pending in a thread"; });
    worker.join();
  }
  if (std::strcmp(mode, "backend") == 0)
    kite_test::backend_manager()->addBackend(new StdoutBackend);
  if (std::strcmp(mode, "closing") == 0) {
    kite_test::backend_manager()->addBackend(new ClosingBackend);
    kite_test::backend_manager()->addBackend(new StdoutBackend);
  }
  if (std::strcmp(mode, "racing") == 0) {
    // Logs until the process is gone, while main returns and the statics go.
    std::thread([] {
      for (;;) log_stream()->error("racing");
    }).detach();
    usleep(1000);
  }
  *log_stream() << S::WARNING << "pending in main";
  if (std::strcmp(mode, "exit") == 0) std::exit(3);
  return 0;
}
