// SPDX-License-Identifier: MIT
// Lines per second through the log stream to the file and the journal backends, each beside
// its reference in the same run, all with the line "request %d from %s took %d us":
//
//   BM_FileBackend      vs BM_SpdlogFileFlushed: spdlog's basic file sink with the pattern
//                       of the kit's stamped line (local time to the microsecond with its
//                       offset, name[pid], level: text), flushed after every line; both one
//                       write(2) per line, to new files
//                       in one directory. Goal: time per line <= 1.0 of spdlog's.
//   BM_JournalBackend   vs BM_SdJournalSend: sd_journal_send called directly with the same
//                       four fields (MESSAGE, PRIORITY, SYSLOG_IDENTIFIER, TID). Goal: <= 1.1.
//   FileCallerCost      the logging thread's cost of a line to a file as KITE_LOG_TO makes it
//                       (the file backend on the writer thread), against snprintf and one
//                       write(2) to a file under a mutex; batches of 500 lines (they fit the
//                       queue) alternate with the reference's (see same_run.h), each thread's
//                       own processor time counted, the wait for the writer at the end of a
//                       batch included. Goal: cost <= 0.5.
//
// The journal is a receiver of our own, bound at the journal's socket in a private mount
// namespace that main() makes before anything else (so the machine's journal, if any, sees
// nothing) and drained by a thread. That needs root; without it the journal pair says why
// and is skipped.
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "bench/same_run.h"
#include "benchmark/benchmark.h"
#include "errorhandling/KITE_LogMsg_Basync.h"
#include "errorhandling/KITE_LogMsg_Bfile.h"
#include "errorhandling/KITE_LogMsg_Bjournal.h"
#include "spdlog/sinks/basic_file_sink.h"
#include "spdlog/spdlog.h"
#include "tests/support/recording_backend.h"

#define SD_JOURNAL_SUPPRESS_LOCATION  // the backend sends no CODE_* fields either
#include "systemd/sd-journal.h"

namespace {

const char kPeer[] = "10.20.30.40";

// The files of the file pair, removed at exit.
const std::string& file_dir() {
  static const std::string made = [] {
    char pattern[] = "/tmp/kite-bench-XXXXXX";
    return std::string(mkdtemp(pattern) ? pattern : "/tmp");
  }();
  return made;
}

// Empty when the private journal listens; otherwise why not.
std::string journal_trouble;

// A datagram receiver at the journal's socket in a private mount namespace, drained by a
// detached thread for the rest of the run.
std::string start_private_journal() {
  if (unshare(CLONE_NEWNS) != 0)
    return std::string("no private mount namespace (needs root): ") + std::strerror(errno);
  // Mounts made here must not reach the machine's namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      mount("kite-bench", "/run", "tmpfs", 0, "size=64k,mode=0755") != 0 ||
      mkdir("/run/systemd", 0755) != 0 || mkdir("/run/systemd/journal", 0755) != 0)
    return std::string("cannot mount a private /run: ") + std::strerror(errno);
  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", KITE_LogMsg_Bjournal::SOCKET_PATH);
  const int room = 8 << 20;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room) != 0)
    return std::string("cannot bind the journal's socket: ") + std::strerror(errno);
  std::thread([fd] {
    char entry[65536];
    while (recv(fd, entry, sizeof entry, 0) >= 0 || errno == EINTR) {
    }
  }).detach();
  return "";
}

void only(KITE_LogMsg_Backend* backend) {
  kite_test::backend_manager()->clear();
  kite_test::backend_manager()->addBackend(backend);
}

void items(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_LogStream(benchmark::State& state) {
  int i = 0;
  for (auto _ : state)
    kite_test::log_stream()->message("request %d from %s took %d us", ++i, kPeer, 42);
  items(state);
}

void to_file_backend(const benchmark::State&) {
  only(new KITE_LogMsg_Bfile((file_dir() + "/kite.log").c_str()));
}

void BM_SpdlogFileFlushed(benchmark::State& state) {
  auto logger = std::make_shared<spdlog::logger>(
      "bench", std::make_shared<spdlog::sinks::basic_file_sink_mt>(file_dir() + "/spdlog.log"));
  logger->set_pattern("%Y-%m-%dT%H:%M:%S.%f%z %n[%P] %l: %v");
  logger->flush_on(spdlog::level::trace);
  int i = 0;
  for (auto _ : state) logger->info("request {} from {} took {} us", ++i, kPeer, 42);
  items(state);
}

void to_journal_backend(const benchmark::State&) {
  only(new KITE_LogMsg_Bjournal);
}

void BM_JournalBackend(benchmark::State& state) {
  if (journal_trouble.empty())
    BM_LogStream(state);
  else
    state.SkipWithError(journal_trouble.c_str());
}

void BM_SdJournalSend(benchmark::State& state) {
  if (!journal_trouble.empty()) {
    state.SkipWithError(journal_trouble.c_str());
    return;
  }
  int i = 0;
  for (auto _ : state)
    sd_journal_send("MESSAGE=request %d from %s took %d us", ++i, kPeer, 42, "PRIORITY=%d", 6,
                    "SYSLOG_IDENTIFIER=%s", program_invocation_short_name, "TID=%d",
                    static_cast<int>(gettid()), nullptr);
  items(state);
}

void FileCallerCost(benchmark::State& state) {
  constexpr int kBatch = 500;
  only(new KITE_LogMsg_Basync(new KITE_LogMsg_Bfile((file_dir() + "/async.log").c_str())));
  const int fd = open((file_dir() + "/reference.log").c_str(),
                      O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  std::mutex mutex;
  int i = 0, j = 0;
  kite_bench::alternate(
      state, kBatch,
      [&] {
        for (int n = 0; n < kBatch; ++n)
          kite_test::log_stream()->message("request %d from %s took %d us", ++i, kPeer, 42);
        if (!kite_test::backend_manager()->flush(10000)) state.SkipWithError("flush timed out");
      },
      [&] {
        for (int n = 0; n < kBatch; ++n) {
          char line[256];
          const int length =
              std::snprintf(line, sizeof line, "request %d from %s took %d us\n", ++j, kPeer, 42);
          std::lock_guard<std::mutex> lock(mutex);
          benchmark::DoNotOptimize(::write(fd, line, static_cast<size_t>(length)));
        }
      });
  close(fd);
  kite_test::restore_default_backends();
}

BENCHMARK(FileCallerCost)->UseManualTime();
BENCHMARK(BM_LogStream)->Name("BM_FileBackend")->Setup(to_file_backend)->UseRealTime();
BENCHMARK(BM_SpdlogFileFlushed)->UseRealTime();
BENCHMARK(BM_JournalBackend)->Setup(to_journal_backend)->UseRealTime();
BENCHMARK(BM_SdJournalSend)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  journal_trouble = start_private_journal();  // before any other thread exists
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  kite_test::restore_default_backends();
  std::filesystem::remove_all(file_dir());
  return 0;
}
