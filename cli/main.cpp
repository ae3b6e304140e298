// quorvin-cli: the desktop program's form on the command line, for scripted dataset generation.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/dataset.h"
#include "cli/options.h"
#include "cli/parallel_run.h"
#include "common/limits.h"
#include "common/text.h"
#include "run/sample_file.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace {

using quorvin::cli::Progress;

// UTF-8 arguments: on Windows from the wide command line, so that any folder name survives.
std::vector<std::string> utf8_arguments(int argc, char** argv) {
  std::vector<std::string> arguments;
#ifdef _WIN32
  (void)argc;
  (void)argv;
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; wide != nullptr && i < count; ++i) {
    const std::wstring argument(wide[i]);
    arguments.push_back(quorvin::utf16_to_utf8(std::u16string(argument.begin(), argument.end())));
  }
  LocalFree(wide);
#else
  for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
#endif
  return arguments;
}

bool error_stream_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

void write_text(std::FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// "files 12/40, 3.1 M samples/s, 9 s left", redrawn in place on standard error.
class ProgressLine {
 public:
  void show(const quorvin::cli::RunProgress& p) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0.0 ? static_cast<double>(p.samples_done) / seconds : 0.0;
    const double left = p.files_done > 0 ? seconds / static_cast<double>(p.files_done) *
                                               static_cast<double>(p.files_total - p.files_done)
                                         : 0.0;
    char line[160];
    std::snprintf(line, sizeof line, "\rfiles %llu/%llu, %.2f M samples/s, %.0f s left   ",
                  static_cast<unsigned long long>(p.files_done), static_cast<unsigned long long>(p.files_total),
                  rate / 1e6, left);
    write_text(stderr, line);
    shown_ = true;
  }
  ~ProgressLine() {
    if (shown_) write_text(stderr, "\n");
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  bool shown_ = false;
};

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Report lines are UTF-8 with "\n" line ends, the same bytes as on every other platform.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  auto parsed = quorvin::cli::parse_command_line(utf8_arguments(argc, argv), threads);
  if (const auto* exit = std::get_if<quorvin::cli::ImmediateExit>(&parsed)) {
    write_text(stdout, exit->out_text);
    write_text(stderr, exit->error_text);
    return exit->status;
  }
  const auto& request = std::get<quorvin::cli::RunRequest>(parsed);
  // Unlike the desktop program, a script names a folder that may not exist yet: make it. When
  // that fails the files' own failure lines say so.
  if (!request.settings.output_folder.empty()) {
    std::error_code ignored;
    std::filesystem::create_directories(
        quorvin::output_file_path(request.settings.output_folder, "", 0, "").file_system.parent_path(), ignored);
  }
  quorvin::cli::ParallelRun options;
  options.jobs = request.jobs;
  options.seed = request.seed;
  options.shard = request.shard;
  options.sample_budget = static_cast<double>(quorvin::max_samples_per_file);
  const bool show_progress = request.progress == Progress::shown ||
                             (request.progress == Progress::automatic && error_stream_is_terminal());
  options.output.format = request.format;
  options.output.sigmf_metadata = [&request](const quorvin::PlannedFile& file, std::uint64_t samples) {
    return quorvin::cli::sigmf_metadata(request.settings, file, samples, request.seed);
  };
  std::optional<quorvin::cli::ManifestWriter> manifest;
  if (!request.manifest.empty()) {
    const std::u8string utf8(request.manifest.begin(), request.manifest.end());
    manifest.emplace(std::filesystem::path(utf8), request.settings, request.format, request.seed.has_value());
  }
  ProgressLine progress_line;
  const auto summary = quorvin::cli::run_in_parallel(
      request.settings, options,
      [&manifest](const quorvin::PlannedFile& file, const quorvin::ProducedFile& produced) {
        write_text(stdout, quorvin::utf16_to_utf8(produced.report));
        if (manifest) manifest->add(file, produced);
      },
      [&](const quorvin::cli::RunProgress& p) {
        if (show_progress) progress_line.show(p);
      });
  bool manifest_saved = true;
  if (manifest) {
    manifest_saved = manifest->finish();
    write_text(stdout, (manifest_saved ? "Manifest saved to " : "Failed to save manifest to ") + request.manifest + "\n");
  }
  return summary.files_failed == 0 && manifest_saved ? 0 : 1;
}
