// The text of one sample value, "%.6g", three ways in one binary: the ratio between them is the
// figure that matters, since the machine's absolute speed varies.

#include <benchmark/benchmark.h>

#include <charconv>
#include <cstddef>
#include <cstdio>
#include <ios>
#include <locale>
#include <ostream>
#include <streambuf>
#include <vector>

#include "bench_support.h"
#include "writers/sample_file.h"

namespace quorvin::bench {
namespace {

// A power of two, so that the index wraps with a mask; 32 KiB of doubles stays in L1/L2.
constexpr std::size_t value_count = 4096;

std::vector<double> sample_values() {
  const Signal signal = noisy_signal(value_count / 2);
  std::vector<double> values;
  for (const Sample& s : signal) {
    values.push_back(s.real());
    values.push_back(s.imag());
  }
  return values;
}

// The sample files' own %.6g text.
void format_sample_text(benchmark::State& state) {
  const std::vector<double> values = sample_values();
  char text[32];
  std::size_t i = 0;
  for (auto _ : state) {
    char* end = format_sample_value(text, values[i++ & (value_count - 1)]);
    benchmark::DoNotOptimize(end);
    benchmark::ClobberMemory();
  }
  count_items(state, 1);
}

// The standard library's shortest exact conversion at precision 6, the same text.
void format_to_chars(benchmark::State& state) {
  const std::vector<double> values = sample_values();
  char text[32];
  std::size_t i = 0;
  for (auto _ : state) {
    char* end = std::to_chars(text, text + sizeof text, values[i++ & (value_count - 1)], std::chars_format::general, 6).ptr;
    benchmark::DoNotOptimize(end);
    benchmark::ClobberMemory();
  }
  count_items(state, 1);
}

void format_snprintf(benchmark::State& state) {
  const std::vector<double> values = sample_values();
  char text[32];
  std::size_t i = 0;
  for (auto _ : state) {
    const int length = std::snprintf(text, sizeof text, "%.6g", values[i++ & (value_count - 1)]);
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  count_items(state, 1);
}

// A stream buffer over a fixed array, rewound before every value, so that only the stream's
// formatting is timed and not a growing string.
class ArrayBuffer : public std::streambuf {
 public:
  void rewind() { setp(text_, text_ + sizeof text_); }
  const char* data() const { return text_; }

 private:
  char text_[64];
};

void format_ostream(benchmark::State& state) {
  const std::vector<double> values = sample_values();
  ArrayBuffer buffer;
  std::ostream out(&buffer);
  out.imbue(std::locale::classic());
  out.precision(6);
  std::size_t i = 0;
  for (auto _ : state) {
    buffer.rewind();
    out << values[i++ & (value_count - 1)];
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  count_items(state, 1);
}

BENCHMARK(format_sample_text);
BENCHMARK(format_to_chars);
BENCHMARK(format_snprintf);
BENCHMARK(format_ostream);

// One whole "I,Q" CR LF line, the unit the sample writer produces.
void line_sample_text(benchmark::State& state) {
  const std::vector<double> values = sample_values();
  char text[64];
  std::size_t i = 0;
  for (auto _ : state) {
    char* end = format_sample_value(text, values[i & (value_count - 1)]);
    *end++ = ',';
    end = format_sample_value(end, values[(i + 1) & (value_count - 1)]);
    *end++ = '\r';
    *end++ = '\n';
    i += 2;
    benchmark::DoNotOptimize(end);
    benchmark::ClobberMemory();
  }
  count_items(state, 1);
}

void line_snprintf(benchmark::State& state) {
  const std::vector<double> values = sample_values();
  char text[64];
  std::size_t i = 0;
  for (auto _ : state) {
    const int length = std::snprintf(text, sizeof text, "%.6g,%.6g\r\n", values[i & (value_count - 1)],
                                     values[(i + 1) & (value_count - 1)]);
    i += 2;
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  count_items(state, 1);
}

void line_ostream(benchmark::State& state) {
  const std::vector<double> values = sample_values();
  ArrayBuffer buffer;
  std::ostream out(&buffer);
  out.imbue(std::locale::classic());
  out.precision(6);
  std::size_t i = 0;
  for (auto _ : state) {
    buffer.rewind();
    out << values[i & (value_count - 1)] << ',' << values[(i + 1) & (value_count - 1)] << "\r\n";
    i += 2;
    benchmark::DoNotOptimize(buffer.data());
    benchmark::ClobberMemory();
  }
  count_items(state, 1);
}

BENCHMARK(line_sample_text);
BENCHMARK(line_snprintf);
BENCHMARK(line_ostream);

}  // namespace
}  // namespace quorvin::bench
