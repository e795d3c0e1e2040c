// SPDX-License-Identifier: MIT
// Logs through the log stream as its arguments say, for the backend tests that need a
// process of their own: the manager reads KITE_LOG_TO once per process, and the system
// log, the journal and a full file system are set up in a private mount namespace.
//
//   syslog IDENTITY FACILITY  the manager's only backend: syslog ("-": default identity)
//   journal                   the manager's only backend: the journal
//   file PATH                 the manager's only backend: a file, stamped lines
//   bare-file PATH            the same with bare lines
//   limit PRIORITY            the only backend's own limit
//   direct PRIORITY TEXT      one line straight to the only backend's write(), past the manager
//   init NAME                 the manager's program name
//   info FILE LINE ERRNO      info() on the main thread's stream
//   log PRIORITY TEXT         one line
//   every TEXT                "TEXT <p>" at every priority p from 0 to 7
//   pid                       prints "pid <n>"
//   tid                       prints "tid <n>", the main thread's kernel id
//   thread PRIORITY TEXT      prints "tid <n>" of a new thread, which logs one line
//   fork PRIORITY TEXT        prints "child <n>" of a forked child, which logs one line
//   lines N TAG               N lines of 64 characters, newline included, numbered from 0
//   truncate PATH             empties the file
//   umount PATH               takes away what is mounted over PATH
//   failures                  prints "failures <n>" of the file backend
//   size PATH                 prints "size <n>", the file's size in bytes
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "errorhandling/KITE_LogMsg_Bfile.h"
#include "errorhandling/KITE_LogMsg_Bjournal.h"
#include "errorhandling/KITE_LogMsg_Bsyslog.h"
#include "support/recording_backend.h"

namespace {

typedef KITE_LogMsg_Stream S;

KITE_LogMsg_Bfile* file_backend = nullptr;
KITE_LogMsg_Backend* only_backend = nullptr;

void only(KITE_LogMsg_Backend* backend) {
  kite_test::backend_manager()->clear();
  kite_test::backend_manager()->addBackend(only_backend = backend);
}

void log(const char* priority, const char* text) {
  kite_test::log_stream()->log(static_cast<S::Priority>(std::atoi(priority)), "%s", text);
}

void print_tid() {
  std::printf("tid %d\n", static_cast<int>(gettid()));
  std::fflush(stdout);
}

[[noreturn]] void usage(const char* step) {
  std::fprintf(stderr, "log_backend_probe: bad step %s\n", step);
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    // The arguments a step needs, there or not.
    auto arg = [&](int n) { return i + n < argc ? argv[i + n] : (usage(argv[i]), nullptr); };
    if (step == "syslog") {
      const char* identity = std::strcmp(arg(1), "-") == 0 ? nullptr : arg(1);
      only(new KITE_LogMsg_Bsyslog(identity, std::atoi(arg(2))));
      i += 2;
    } else if (step == "journal") {
      only(new KITE_LogMsg_Bjournal);
    } else if (step == "file" || step == "bare-file") {
      only(file_backend = new KITE_LogMsg_Bfile(
               arg(1), step == "file" ? KITE_LogMsg_Bfile::STAMPED : KITE_LogMsg_Bfile::BARE));
      i += 1;
    } else if (step == "limit") {
      if (!only_backend) usage(argv[i]);
      only_backend->setLogUpto(std::atoi(arg(1)));
      i += 1;
    } else if (step == "direct") {
      if (!only_backend) usage(argv[i]);
      only_backend->write(std::atoi(arg(1)), arg(2), static_cast<int>(std::strlen(arg(2))));
      i += 2;
    } else if (step == "init") {
      char* name[] = {arg(1), nullptr};
      kite_test::backend_manager()->init(1, name);
      i += 1;
    } else if (step == "info") {
      kite_test::log_stream()->info(arg(1), std::atoi(arg(2)), 0, std::atoi(arg(3)));
      i += 3;
    } else if (step == "log") {
      log(arg(1), arg(2));
      i += 2;
    } else if (step == "every") {
      for (int p = S::EMERGENCY; p <= S::LDEBUG; ++p)
        kite_test::log_stream()->log(static_cast<S::Priority>(p), "%s %d", arg(1), p);
      i += 1;
    } else if (step == "thread") {
      std::thread([&] {
        print_tid();
        log(arg(1), arg(2));
      }).join();
      i += 2;
    } else if (step == "pid") {
      std::printf("pid %d\n", static_cast<int>(getpid()));
    } else if (step == "fork") {
      std::fflush(stdout);
      const pid_t child = fork();
      if (child == 0) {  // ends as a program ends, so lines it logged are delivered
        log(arg(1), arg(2));
        std::exit(0);
      }
      if (child < 0 || waitpid(child, nullptr, 0) != child) usage(argv[i]);
      std::printf("child %d\n", static_cast<int>(child));
      i += 2;
    } else if (step == "tid") {
      print_tid();
    } else if (step == "lines") {
      for (int n = 0, count = std::atoi(arg(1)); n < count; ++n)
        kite_test::log_stream()->message("%-16s %06d %39s", arg(2), n, "x");
      i += 2;
    } else if (step == "truncate") {
      if (truncate(arg(1), 0) != 0) usage(argv[i]);
      i += 1;
    } else if (step == "umount") {
      if (umount2(arg(1), MNT_DETACH) != 0) usage(argv[i]);
      i += 1;
    } else if (step == "size") {
      struct stat status;
      if (stat(arg(1), &status) != 0) usage(argv[i]);
      std::printf("size %lld\n", static_cast<long long>(status.st_size));
      i += 1;
    } else if (step == "failures") {
      std::printf("failures %lu\n", file_backend ? file_backend->failures() : 0ul);
    } else {
      usage(argv[i]);
    }
  }
  return 0;
}
