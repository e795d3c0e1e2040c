// SPDX-License-Identifier: MIT
// The log stream against formatting the same line "request %d from %s took %d us" by hand,
// in batches that alternate with the reference (see same_run.h). Goals:
//   NullBackend          cost <= 1.10  a line through the log stream to a backend that does
//                                      nothing; against snprintf alone
//   StderrDevNull        cost <= 1.10  a line to the standard-error backend with standard error
//                                      on /dev/null; against snprintf, a mutex and one write(2)
//                                      (the kit returns through three frames after write(2),
//                                      the reference through none: on kernels that clear the
//                                      return predictions each costs a mispredicted return)
//   TwoThreadsNullBackend share >= 0.9 how the lines per second of two logging threads over one
//                                      compare with those of two threads that only format (on
//                                      a machine of two busy cores neither reaches 2)
// For comparison, no goal: spdlog's synchronous logger with a null sink, and flushed to
// /dev/null after every line (pattern "%v", so both produce the same line).
#include <fcntl.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "bench/same_run.h"
#include "benchmark/benchmark.h"
#include "errorhandling/KITE_LogMsg_BackendMgr.h"
#include "errorhandling/KITE_LogMsg_Bstderr.h"
#include "errorhandling/KITE_LogMsg_Stream.h"
#include "spdlog/sinks/basic_file_sink.h"
#include "spdlog/sinks/null_sink.h"
#include "spdlog/spdlog.h"
#include "tests/support/recording_backend.h"

namespace {

using kite_bench::alternate;
using kite_bench::Clock;
using kite_bench::median;
using kite_bench::seconds;

const char kPeer[] = "10.20.30.40";
constexpr int kBatch = 2000;

int dev_null() {
  static const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  return fd;
}

class DiscardingBackend : public KITE_LogMsg_Backend {
 public:
  void write(int, const char* buffer, int len) override {
    benchmark::DoNotOptimize(buffer);
    benchmark::DoNotOptimize(len);
  }
};

void only(KITE_LogMsg_Backend* backend) {
  kite_test::backend_manager()->clear();
  kite_test::backend_manager()->addBackend(backend);
}

// Standard error on /dev/null for the life of the object.
class StderrOnDevNull {
 public:
  StderrOnDevNull() : saved_(dup(2)) { dup2(dev_null(), 2); }
  ~StderrOnDevNull() {
    dup2(saved_, 2);
    close(saved_);
  }
  StderrOnDevNull(const StderrOnDevNull&) = delete;
  StderrOnDevNull& operator=(const StderrOnDevNull&) = delete;

 private:
  int saved_;
};

void log_lines(int count) {
  static thread_local int i = 0;
  for (int n = 0; n < count; ++n)
    kite_test::log_stream()->message("request %d from %s took %d us", ++i, kPeer, 42);
}

void snprintf_lines(int count) {
  static thread_local int i = 0;
  for (int n = 0; n < count; ++n) {
    char line[256];
    int length =
        std::snprintf(line, sizeof line, "request %d from %s took %d us\n", ++i, kPeer, 42);
    benchmark::DoNotOptimize(line);
    benchmark::DoNotOptimize(length);
  }
}

void snprintf_mutex_write_lines(int count) {
  static std::mutex mutex;
  static thread_local int i = 0;
  for (int n = 0; n < count; ++n) {
    char line[256];
    int length =
        std::snprintf(line, sizeof line, "request %d from %s took %d us\n", ++i, kPeer, 42);
    std::lock_guard<std::mutex> lock(mutex);
    benchmark::DoNotOptimize(::write(dev_null(), line, static_cast<size_t>(length)));
  }
}

void NullBackend(benchmark::State& state) {
  only(new DiscardingBackend);
  alternate(
      state, kBatch, [] { log_lines(kBatch); }, [] { snprintf_lines(kBatch); });
  kite_test::restore_default_backends();
}

void StderrDevNull(benchmark::State& state) {
  only(new KITE_LogMsg_Bstderr);
  StderrOnDevNull quiet;
  alternate(
      state, kBatch, [] { log_lines(kBatch); }, [] { snprintf_mutex_write_lines(kBatch); });
  kite_test::restore_default_backends();
}

// A second thread that runs a job whenever the first asks, so that no batch pays for starting
// a thread (or, for the log stream, for making its stream). It sleeps between jobs.
class Helper {
 public:
  Helper() : thread_([this] { serve(); }) {}
  ~Helper() {
    run_with([] {}, nullptr);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;

  // Runs job here and on the helper at once; returns once both are done.
  void run_with(const std::function<void()>& job, const std::function<void()>* here) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = job;
      ++given_;
    }
    changed_.notify_all();
    if (here) (*here)();
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return done_ == given_; });
  }

 private:
  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return stop_ || done_ != given_; });
      if (stop_) return;
      std::function<void()> job = job_;
      lock.unlock();
      job();
      lock.lock();
      ++done_;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> job_;
  unsigned long given_ = 0, done_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// Per pair of rounds, (lines per second of two kit threads over one) over (the same of two
// reference threads); every round of kBatch lines a thread, timed by the wall clock.
void TwoThreadsNullBackend(benchmark::State& state) {
  only(new DiscardingBackend);
  Helper helper;
  helper.run_with([] { kite_test::log_stream(); }, nullptr);  // its stream, made once
  const std::function<void()> kit = [] { log_lines(kBatch); };
  const std::function<void()> reference = [] { snprintf_lines(kBatch); };
  auto one = [](const std::function<void()>& job) {
    const double start = seconds(Clock::kWall);
    job();
    return seconds(Clock::kWall) - start;
  };
  auto two = [&](const std::function<void()>& job) {
    const double start = seconds(Clock::kWall);
    helper.run_with(job, &job);
    return seconds(Clock::kWall) - start;
  };
  std::vector<double> shares, kit_scaling, reference_scaling;
  bool kit_first = false;
  for (auto _ : state) {
    kit_first = !kit_first;
    const std::function<void()>& first = kit_first ? kit : reference;
    const std::function<void()>& second = kit_first ? reference : kit;
    const double first_one = one(first), first_two = two(first);
    const double second_two = two(second), second_one = one(second);
    const double kit_gain = kit_first ? first_one / first_two : second_one / second_two;
    const double reference_gain = kit_first ? second_one / second_two : first_one / first_two;
    kit_scaling.push_back(2 * kit_gain);
    reference_scaling.push_back(2 * reference_gain);
    shares.push_back(kit_gain / reference_gain);
    state.SetIterationTime(first_one + first_two + second_one + second_two);
  }
  state.counters["kit_scaling"] = median(kit_scaling);
  state.counters["ref_scaling"] = median(reference_scaling);
  state.counters["share"] = median(shares);
  kite_test::restore_default_backends();
}

std::shared_ptr<spdlog::logger> spdlog_logger(spdlog::sink_ptr sink) {
  auto logger = std::make_shared<spdlog::logger>("bench", std::move(sink));
  logger->set_pattern("%v");
  logger->flush_on(spdlog::level::trace);
  return logger;
}

void spdlog_lines(spdlog::logger& logger, int count) {
  static int i = 0;
  for (int n = 0; n < count; ++n) logger.info("request {} from {} took {} us", ++i, kPeer, 42);
}

void SpdlogNullSink(benchmark::State& state) {
  only(new DiscardingBackend);
  auto logger = spdlog_logger(std::make_shared<spdlog::sinks::null_sink_mt>());
  alternate(
      state, kBatch, [] { log_lines(kBatch); }, [&] { spdlog_lines(*logger, kBatch); });
  kite_test::restore_default_backends();
}

void SpdlogFlushedDevNull(benchmark::State& state) {
  only(new KITE_LogMsg_Bstderr);
  StderrOnDevNull quiet;
  auto logger = spdlog_logger(std::make_shared<spdlog::sinks::basic_file_sink_mt>("/dev/null"));
  alternate(
      state, kBatch, [] { log_lines(kBatch); }, [&] { spdlog_lines(*logger, kBatch); });
  kite_test::restore_default_backends();
}

BENCHMARK(NullBackend)->UseManualTime();
BENCHMARK(StderrDevNull)->UseManualTime();
BENCHMARK(TwoThreadsNullBackend)->UseManualTime();
BENCHMARK(SpdlogNullSink)->UseManualTime();
BENCHMARK(SpdlogFlushedDevNull)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
