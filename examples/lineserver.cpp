// SPDX-License-Identifier: MIT
// lineserver: accepts TCP connections on 127.0.0.1 and cuts what each one sends into lines
// with a kite line service (KITE::Assembler_Service), counting the lines of each
// connection and logging them to standard error when it ends. SIGINT or SIGTERM stops it:
// open connections get five seconds to end. `lineserver --help` tells the options.
#include <getopt.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "KITE_READ2/KITE_Assembler_Service.h"
#include "errorhandling/KITE_LogMsg_Stream.h"

namespace {

const char kUsage[] =
    "Usage: lineserver [OPTION]...\n"
    "Accept TCP connections on 127.0.0.1, cut what each sends into lines, and log the\n"
    "count of each connection to standard error when it ends. SIGINT or SIGTERM stops\n"
    "the server; open connections get five seconds to end.\n"
    "\n"
    "  -p, --port=PORT            listen on PORT (default 0: a free port, which the\n"
    "                             first log line names)\n"
    "  -c, --max-connections=N    refuse connections beyond N open at once\n"
    "                             (default 0: no limit)\n"
    "  -i, --idle=SECONDS         close connections that send nothing for longer\n"
    "                             (default 0: never)\n"
    "  -t, --threads=N            serve on N threads, each with a reactor of its own\n"
    "                             (default 1)\n"
    "  -h, --help                 print this help and exit\n"
    "\n"
    "Exit status: 0 after a stop, 1 when the port cannot be listened on, 2 for a bad\n"
    "option.\n";

KITE_LogMsg_Stream* log() {
  return KITE_LogMsg_Stream::instance();
}

// Counts the lines of one connection.
class Counter final : public KITE::Message_Observer {
 public:
  explicit Counter(unsigned long number) : number_(number) {}
  void process(KITE_Message_Block* mb) override {
    ++lines_;
    mb->release();
  }
  unsigned long number() const { return number_; }
  size_t lines() const { return lines_; }

 private:
  unsigned long number_;
  size_t lines_ = 0;
};

// Numbers the connections of every thread and logs each one's counts as it ends.
class Counters : public KITE::Observer_Factory {
 public:
  KITE::Message_Observer* make(const ACE_INET_Addr&) override {
    Counter* counter = new (std::nothrow) Counter(++numbers_);
    if (counter == nullptr) throw NoMoreDynamicMemory(__FILE__, __LINE__, "make");
    return counter;
  }
  void ended(KITE::Message_Observer* observer, const KITE::Connection_End& end) override {
    static const char* const kCauses[] = {"end of file", "read error", "failed",
                                          "idle",        "stopped",    "refused"};
    const Counter* counter = static_cast<Counter*>(observer);
    log()->message("connection %lu (%s): %zu lines, %zu bytes, %lu over-long lines dropped",
                   counter->number(), kCauses[end.cause], counter->lines(), end.bytes,
                   end.overlong);
    delete counter;
  }

 private:
  std::atomic<unsigned long> numbers_{0};
};

// The number in text, when it is one from 0 to max.
bool number(const char* text, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  *value = std::strtol(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && *value >= 0 && *value <= max;
}

}  // namespace

int main(int argc, char** argv) {
  static const option kOptions[] = {
      {"port", required_argument, nullptr, 'p'},
      {"max-connections", required_argument, nullptr, 'c'},
      {"idle", required_argument, nullptr, 'i'},
      {"threads", required_argument, nullptr, 't'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  long port = 0, threads = 1, idle = 0, limit = 0;
  for (int option; (option = getopt_long(argc, argv, "p:c:i:t:h", kOptions, nullptr)) != -1;) {
    bool good = true;
    switch (option) {
      case 'p':
        good = number(optarg, 65535, &port);
        break;
      case 'c':
        good = number(optarg, LONG_MAX, &limit);
        break;
      case 'i':
        good = number(optarg, INT_MAX, &idle);
        break;
      case 't':
        good = number(optarg, 1024, &threads) && threads > 0;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        good = false;
    }
    if (!good) {
      if (option != '?')
        std::fprintf(stderr, "lineserver: bad value '%s' of -%c\n", optarg, option);
      std::fputs("Try 'lineserver --help' for more information.\n", stderr);
      return 2;
    }
  }
  if (optind < argc) {
    std::fprintf(stderr, "lineserver: unexpected argument '%s'\n", argv[optind]);
    std::fputs("Try 'lineserver --help' for more information.\n", stderr);
    return 2;
  }

  // Blocked before the service's threads start, so that they inherit the mask and the
  // signals wait for sigwait() below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  Counters counters;
  KITE::Assembler_Acceptor::Settings settings;
  settings.max_connections = static_cast<size_t>(limit);
  settings.idle = std::chrono::seconds(idle);
  KITE::Assembler_Service service(&counters, settings);
  if (service.start(ACE_INET_Addr(static_cast<u_short>(port), "127.0.0.1"),
                    static_cast<unsigned int>(threads)) == -1) {
    log()->error("cannot listen on port %ld: %s", port, std::strerror(errno));
    return 1;
  }
  log()->message("listening on 127.0.0.1 port %u with %ld thread(s)", service.port(), threads);
  int signal = 0;
  sigwait(&stop_signals, &signal);
  log()->message("stopping with %zu connection(s) open", service.open_connections());
  service.stop(std::chrono::seconds(5));
  return 0;
}
