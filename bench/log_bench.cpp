// SPDX-License-Identifier: MIT
// Log lines per second for "request %d from %s took %d us", one thread and two: through
// the log stream to a backend that discards, and to the standard-error backend with
// standard error on /dev/null. References in the same binary: snprintf alone; snprintf with
// a mutex and one write(2); spdlog's synchronous logger flushed to /dev/null after every
// line, and with a null sink (pattern "%v", so every contender produces the same line).
// snprintf with only a mutex is no goal: it shows what the one lock per line costs, which
// keeps lines from different threads whole and in one order.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>

#include "benchmark/benchmark.h"
#include "errorhandling/KITE_LogMsg_BackendMgr.h"
#include "errorhandling/KITE_LogMsg_Bstderr.h"
#include "errorhandling/KITE_LogMsg_Stream.h"
#include "spdlog/sinks/basic_file_sink.h"
#include "spdlog/sinks/null_sink.h"
#include "spdlog/spdlog.h"
#include "tests/support/recording_backend.h"

namespace {

const char kPeer[] = "10.20.30.40";

int dev_null() {
  static const int fd = open("/dev/null", O_WRONLY);
  return fd;
}

class NullBackend : public KITE_LogMsg_Backend {
 public:
  void write(int priority, const char* buffer, int len) override {
    if (!passes(priority)) return;
    benchmark::DoNotOptimize(buffer);
    benchmark::DoNotOptimize(len);
  }
};

void only_null_backend(const benchmark::State&) {
  kite_test::backend_manager()->clear();
  kite_test::backend_manager()->addBackend(new NullBackend);
}

int saved_stderr = -1;

void stderr_to_dev_null(const benchmark::State&) {
  kite_test::backend_manager()->clear();
  kite_test::backend_manager()->addBackend(new KITE_LogMsg_Bstderr);
  saved_stderr = dup(2);
  dup2(dev_null(), 2);
}

void restore_stderr(const benchmark::State&) {
  dup2(saved_stderr, 2);
  close(saved_stderr);
}

void items(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_Snprintf(benchmark::State& state) {
  int i = 0;
  for (auto _ : state) {
    char line[256];
    int n = std::snprintf(line, sizeof line, "request %d from %s took %d us\n", ++i, kPeer, 42);
    benchmark::DoNotOptimize(line);
    benchmark::DoNotOptimize(n);
  }
  items(state);
}

// snprintf plus the one lock per line, with (the reference for a line to /dev/null) or
// without (not a goal reference: the lock's cost on its own) one write(2) under the lock.
template <bool kWrite>
void BM_SnprintfMutex(benchmark::State& state) {
  static std::mutex mutex;
  int i = 0;
  for (auto _ : state) {
    char line[256];
    int n = std::snprintf(line, sizeof line, "request %d from %s took %d us\n", ++i, kPeer, 42);
    std::lock_guard<std::mutex> lock(mutex);
    if (kWrite)
      benchmark::DoNotOptimize(::write(dev_null(), line, static_cast<size_t>(n)));
    else
      benchmark::DoNotOptimize(line);
  }
  items(state);
}

void BM_LogStream(benchmark::State& state) {
  int i = 0;
  for (auto _ : state)
    kite_test::log_stream()->message("request %d from %s took %d us", ++i, kPeer, 42);
  items(state);
}

std::shared_ptr<spdlog::logger> spdlog_logger(spdlog::sink_ptr sink) {
  auto logger = std::make_shared<spdlog::logger>("bench", std::move(sink));
  logger->set_pattern("%v");
  logger->flush_on(spdlog::level::trace);
  return logger;
}

void BM_SpdlogFlushedDevNull(benchmark::State& state) {
  static auto logger =
      spdlog_logger(std::make_shared<spdlog::sinks::basic_file_sink_mt>("/dev/null"));
  int i = 0;
  for (auto _ : state) logger->info("request {} from {} took {} us", ++i, kPeer, 42);
  items(state);
}

void BM_SpdlogNullSink(benchmark::State& state) {
  static auto logger = spdlog_logger(std::make_shared<spdlog::sinks::null_sink_mt>());
  int i = 0;
  for (auto _ : state) logger->info("request {} from {} took {} us", ++i, kPeer, 42);
  items(state);
}

BENCHMARK(BM_Snprintf)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_SnprintfMutex<false>)->Name("BM_SnprintfMutex")->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_SnprintfMutex<true>)
    ->Name("BM_SnprintfMutexWrite")
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();
BENCHMARK(BM_LogStream)
    ->Name("BM_LogStreamNullBackend")
    ->Setup(only_null_backend)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();
BENCHMARK(BM_LogStream)
    ->Name("BM_LogStreamStderrDevNull")
    ->Setup(stderr_to_dev_null)
    ->Teardown(restore_stderr)
    ->Threads(1)
    ->Threads(2)
    ->UseRealTime();
BENCHMARK(BM_SpdlogFlushedDevNull)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_SpdlogNullSink)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
