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
//   threads N COUNT WIDTH     N threads at once, each COUNT lines "thread <t> line <i>" at INFO,
//                             padded with dots to WIDTH characters
//   forks N                   while 4 threads log at LDEBUG, forks N children that each log
//                             "child <i>" at INFO and _exit; prints "hung <n>", the children
//                             that did not end within 10 s (killed then)
//   remove PATH               takes away what is mounted over PATH, and PATH itself
//   rebind SOURCE PATH        mounts SOURCE over PATH (made empty first)
//   stderr LIMIT              the manager's only backend: standard error with that limit
//   mark PATH                 makes an empty file PATH, a sign to the test
//   flush MS                  the manager's flush(MS); prints "flush timed out" when it did
//   gate PATH                 the manager's only backend: on the writer thread, one that
//                             appends "<pid> <line>" to PATH once opened (at most 30 s later)
//   open                      opens the gate
//   forking                   the manager's only backend: for each line, forks a child that
//                             _exits with 7, and prints "child <exit status>"
//   fork-log TEXT             once the writer waits at the gate (at most 10 s later), forks
//                             a child that opens its gate, logs TEXT at INFO, flushes
//                             and _exits (status 1 when the flush timed out); prints
//                             "child <exit status>" once it ended ("child hung" after 10 s,
//                             and kills it)
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "errorhandling/KITE_LogMsg_Basync.h"
#include "errorhandling/KITE_LogMsg_Bfile.h"
#include "errorhandling/KITE_LogMsg_Bjournal.h"
#include "errorhandling/KITE_LogMsg_Bstderr.h"
#include "errorhandling/KITE_LogMsg_Bsyslog.h"
#include "support/child_exit.h"
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

// Appends "<pid> <line>" to a file once open; until then, write() waits (30 s at most).
class Gate : public KITE_LogMsg_Backend {
 public:
  explicit Gate(const char* path)
      : fd_(open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {}
  ~Gate() override { close(fd_); }
  void write(int, const char* buffer, int len) override {
    waiting_ = true;
    for (int waited = 0; !open_ && waited < 30000; ++waited) usleep(1000);
    dprintf(fd_, "%d %.*s", static_cast<int>(getpid()), len, buffer);
  }
  void open_gate() { open_ = true; }
  // Waits (10 s at most) until the writer waits at the gate, and with it the lines after.
  void wait_for_writer() const {
    for (int waited = 0; !waiting_ && waited < 10000; ++waited) usleep(1000);
  }

 private:
  const int fd_;
  std::atomic<bool> open_{false};
  std::atomic<bool> waiting_{false};
};

Gate* gate = nullptr;

// Waits at most 10 s for child; "hung" after that.
std::string end_of(pid_t child) {
  int status = 0;
  for (int waited = 0; waited < 10000; ++waited) {
    if (waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) ? std::to_string(WEXITSTATUS(status)) : "killed";
    usleep(1000);
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return "hung";
}

// Runs another program for each line, as a backend that calls popen() would.
class Forking : public KITE_LogMsg_Backend {
 public:
  void write(int, const char*, int) override {
    std::fflush(stdout);
    const pid_t child = fork();
    if (child == 0) kite_test::child_exit(7);
    std::printf("child %s\n", end_of(child).c_str());
  }
};

void threads(int n, int count, int width) {
  std::vector<std::thread> running;
  for (int t = 0; t < n; ++t)
    running.emplace_back([=] {
      for (int i = 0; i < count; ++i) {
        char head[64];
        const int used = std::snprintf(head, sizeof head, "thread %d line %d", t, i);
        kite_test::log_stream()->message("%s%s", head,
                                         std::string(std::max(width - used, 0), '.').c_str());
      }
    });
  for (std::thread& thread : running) thread.join();
}

// Children forked while other threads hold the manager's lock now and then; returns how many
// did not end in time.
int forks(int n) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> busy;
  for (int t = 0; t < 4; ++t)
    busy.emplace_back([&] {
      while (!stop) kite_test::log_stream()->debug("busy");
    });
  std::vector<pid_t> children;
  for (int i = 0; i < n; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      kite_test::log_stream()->message("child %d", i);
      kite_test::child_exit(0);
    }
    if (child > 0) children.push_back(child);
  }
  int hung = 0;
  for (pid_t child : children) hung += end_of(child) == "hung";
  stop = true;
  for (std::thread& thread : busy) thread.join();
  return hung;
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
    } else if (step == "threads") {
      threads(std::atoi(arg(1)), std::atoi(arg(2)), std::atoi(arg(3)));
      i += 3;
    } else if (step == "forks") {
      std::printf("hung %d\n", forks(std::atoi(arg(1))));
      i += 1;
    } else if (step == "remove") {
      if (umount2(arg(1), MNT_DETACH) != 0 || unlink(arg(1)) != 0) usage(argv[i]);
      i += 1;
    } else if (step == "rebind") {
      const int fd = open(arg(2), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || close(fd) != 0 || mount(arg(1), arg(2), nullptr, MS_BIND, nullptr) != 0)
        usage(argv[i]);
      i += 2;
    } else if (step == "stderr") {
      auto* backend = new KITE_LogMsg_Bstderr;
      backend->setLogUpto(std::atoi(arg(1)));
      only(backend);
      i += 1;
    } else if (step == "mark") {
      const int fd = open(arg(1), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0 || close(fd) != 0) usage(argv[i]);
      i += 1;
    } else if (step == "flush") {
      if (!kite_test::backend_manager()->flush(std::atoi(arg(1)))) std::printf("flush timed out\n");
      i += 1;
    } else if (step == "gate") {
      only(new KITE_LogMsg_Basync(gate = new Gate(arg(1))));
      i += 1;
    } else if (step == "forking") {
      only(new Forking);
    } else if (step == "open") {
      gate->open_gate();
    } else if (step == "fork-log") {
      gate->wait_for_writer();
      std::fflush(stdout);
      const pid_t child = fork();
      if (child == 0) {
        gate->open_gate();
        log("6", arg(1));
        kite_test::child_exit(kite_test::backend_manager()->flush(10000) ? 0 : 1);
      }
      std::printf("child %s\n", end_of(child).c_str());
      i += 1;
    } else if (step == "failures") {
      std::printf("failures %lu\n", file_backend ? file_backend->failures() : 0ul);
    } else {
      usage(argv[i]);
    }
  }
  return 0;
}
