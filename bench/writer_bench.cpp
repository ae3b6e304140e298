// The sample file writer against the same text formatted into memory: the difference is what
// the file itself costs (buffering, system calls, the file system), which should stay small
// next to the number formatting.

#include <benchmark/benchmark.h>

#include <cstddef>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <unistd.h>

#include "bench_support.h"
#include "writers/sample_file.h"

namespace quorvin::bench {
namespace {

// A file in $TMPDIR (or /tmp) unique to this process, removed when the benchmark ends.
class ScratchFile {
 public:
  ScratchFile() {
    const char* folder = std::getenv("TMPDIR");
    path_ = std::filesystem::path(folder && *folder ? folder : "/tmp") /
            ("quorvin_bench_" + std::to_string(::getpid()) + ".csv");
  }
  ~ScratchFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The writer's own line formatting, into one large block of memory instead of a file.
std::size_t format_into(std::string& text, const Signal& signal) {
  char* out = text.data();
  for (const Sample& sample : signal) {
    out = format_sample_value(out, sample.real());
    *out++ = ',';
    out = format_sample_value(out, sample.imag());
    *out++ = '\r';
    *out++ = '\n';
  }
  return static_cast<std::size_t>(out - text.data());
}

std::size_t length_of(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0));
}

void format_into_memory(benchmark::State& state) {
  const Signal signal = noisy_signal(length_of(state));
  std::string text(signal.size() * 32, '\0');  // a line holds at most 29 bytes
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = format_into(text, signal);
    benchmark::DoNotOptimize(text.data());
    benchmark::ClobberMemory();
  }
  count_items(state, signal.size());
  count_bytes(state, static_cast<std::size_t>(bytes));
}

void write_sample_file_whole(benchmark::State& state) {
  const Signal signal = noisy_signal(length_of(state));
  const ScratchFile file;
  for (auto _ : state) {
    if (!write_sample_file(file.path(), signal)) {
      state.SkipWithError("the scratch file could not be written");
      break;
    }
  }
  count_items(state, signal.size());
  std::error_code ignored;
  const auto bytes = std::filesystem::file_size(file.path(), ignored);
  count_bytes(state, static_cast<std::size_t>(bytes));
}

// Only the bytes: text formatted beforehand, written in 1 MiB pieces through stdio.
void write_preformatted_text(benchmark::State& state) {
  const Signal signal = noisy_signal(length_of(state));
  std::string text(signal.size() * 32, '\0');
  text.resize(format_into(text, signal));
  const ScratchFile file;
  constexpr std::size_t piece = std::size_t{1} << 20;
  for (auto _ : state) {
    std::FILE* out = std::fopen(file.path().c_str(), "wb");
    if (!out) {
      state.SkipWithError("the scratch file could not be opened");
      break;
    }
    std::setvbuf(out, nullptr, _IONBF, 0);
    for (std::size_t at = 0; at < text.size(); at += piece) {
      std::fwrite(text.data() + at, 1, std::min(piece, text.size() - at), out);
    }
    std::fclose(out);
  }
  count_items(state, signal.size());
  count_bytes(state, text.size());
}

// 2^18 samples make about 6 MB of text: several of the writer's buffers, as in a real file.
BENCHMARK(format_into_memory)->Arg(1 << 18)->Unit(benchmark::kMillisecond);
BENCHMARK(write_sample_file_whole)->Arg(1 << 18)->Unit(benchmark::kMillisecond);
BENCHMARK(write_preformatted_text)->Arg(1 << 18)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvin::bench
