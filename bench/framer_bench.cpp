// SPDX-License-Identifier: MIT
// The message assembler against the bound of line splitting: a memchr splitter that copies
// each line into a 1024-byte buffer and calls an observer through a pointer. Both get 64 MiB
// of text in 64 KiB chunks, for lines of 20, 80 and 500 bytes (line end included).
// Goals, in bytes per second of the same run:
//   Assembler/80  >= 0.5 x Splitter/80
//   Assembler/500 >= 0.8 x Splitter/500
// AssemblerPerCharacter runs a machine whose collect state is derived, so every character
// takes the per-character path; it shows what the bulk path of the plain machine saves.
// BlockPerLine only makes, fills and releases one 1024-byte message block per line, as the
// assembler must: the most the assembler can reach with these buffers.
// After the table the ratios to the splitter are printed.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "KITE_READ2/KITE_Framer.h"
#include "tests/support/per_character_assembler.h"

namespace {

constexpr size_t kText = 64u << 20;
constexpr size_t kChunk = 64u << 10;
constexpr size_t kLine = 1024;

// kText bytes of lines of line_length bytes each, the last one cut where the text ends.
std::vector<char> make_text(size_t line_length) {
  std::vector<char> text(kText);
  for (size_t i = 0; i < kText; ++i) {
    const size_t column = i % line_length;
    text[i] = column + 1 == line_length ? '\n' : static_cast<char>('a' + column % 26);
  }
  return text;
}

class Releaser : public KITE::Message_Observer {
 public:
  void process(KITE_Message_Block* mb) override {
    ++messages;
    mb->release();
  }
  size_t messages = 0;
};

// Feeds the text in chunks to an Assembler made with an observer that releases each block.
template <class Assembler>
void run_assembler(benchmark::State& state) {
  const std::vector<char> text = make_text(static_cast<size_t>(state.range(0)));
  Releaser releaser;
  Assembler assembler(&releaser);
  for (auto _ : state) {
    for (size_t at = 0; at < kText; at += kChunk)
      assembler.input(text.data() + at, static_cast<int>(kChunk));
  }
  benchmark::DoNotOptimize(releaser.messages);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kText));
}

// --- the bound

class LineSink {
 public:
  virtual void line(const char* text, size_t length) = 0;

 protected:
  ~LineSink() = default;
};

class CountingSink : public LineSink {
 public:
  void line(const char* text, size_t length) override {
    ++lines;
    last = text[length - 1];
  }
  size_t lines = 0;
  char last = 0;
};

class LineSplitter {
 public:
  explicit LineSplitter(LineSink* sink) : sink_(sink) {}

  void input(const char* p, size_t n) {
    const char* const end = p + n;
    while (p != end) {
      const char* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
      const char* stop = lf != nullptr ? lf + 1 : end;
      size_t length = static_cast<size_t>(stop - p);
      if (length > kLine - used_) length = kLine - used_;
      std::memcpy(line_ + used_, p, length);
      used_ += length;
      p = stop;
      if (lf != nullptr) {
        sink_->line(line_, used_);
        used_ = 0;
      }
    }
  }

 private:
  LineSink* sink_;
  char line_[kLine];
  size_t used_ = 0;
};

void Splitter(benchmark::State& state) {
  const std::vector<char> text = make_text(static_cast<size_t>(state.range(0)));
  CountingSink counting;
  LineSink* sink = &counting;
  benchmark::DoNotOptimize(sink);  // a call through an opaque pointer, as the assembler makes
  LineSplitter splitter(sink);
  for (auto _ : state) {
    for (size_t at = 0; at < kText; at += kChunk) splitter.input(text.data() + at, kChunk);
  }
  benchmark::DoNotOptimize(counting.lines);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kText));
}

// --- the assembler, plain and with every character on the per-character path

void Assembler(benchmark::State& state) {
  run_assembler<KITE::Message_Assembler>(state);
}

void AssemblerPerCharacter(benchmark::State& state) {
  run_assembler<kite_test::PerCharacterAssembler>(state);
}

void BlockPerLine(benchmark::State& state) {
  const size_t line_length = static_cast<size_t>(state.range(0));
  const std::vector<char> line(line_length, 'x');
  for (auto _ : state) {
    for (size_t at = 0; at < kText; at += line_length) {
      KITE_Message_Block* mb = new KITE_Message_Block(kLine);
      mb->copy(line.data(), static_cast<unsigned int>(line_length));
      benchmark::DoNotOptimize(mb->rd_ptr());
      mb->release();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kText));
}

void line_lengths(benchmark::internal::Benchmark* b) {
  b->Arg(20)->Arg(80)->Arg(500)->Unit(benchmark::kMillisecond);
}
BENCHMARK(Splitter)->Apply(line_lengths);
BENCHMARK(Assembler)->Apply(line_lengths);
BENCHMARK(AssemblerPerCharacter)->Apply(line_lengths);
BENCHMARK(BlockPerLine)->Apply(line_lengths);

// Prints the table as usual and keeps each run's bytes per second for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      auto rate = run.counters.find("bytes_per_second");
      if (rate != run.counters.end()) rates[run.benchmark_name()] = rate->second.value;
    }
  }
  std::map<std::string, double> rates;
};

void print_ratios(const std::map<std::string, double>& rates) {
  const struct {
    const char* length;
    double goal;
  } rows[] = {{"20", 0}, {"80", 0.5}, {"500", 0.8}};
  for (const auto& row : rows) {
    auto find = [&](const std::string& name) {
      for (const auto& [key, value] : rates)
        if (key.rfind(name + "/" + row.length, 0) == 0) return value;
      return 0.0;
    };
    const double bound = find("Splitter");
    if (bound == 0) continue;
    std::printf("%4s-byte lines, share of Splitter: Assembler %.3f", row.length,
                find("Assembler") / bound);
    std::printf(", AssemblerPerCharacter %.3f, BlockPerLine %.3f",
                find("AssemblerPerCharacter") / bound, find("BlockPerLine") / bound);
    if (row.goal > 0) std::printf(" (goal for Assembler: >= %.1f)", row.goal);
    std::printf("\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  print_ratios(reporter.rates);
  return 0;
}
