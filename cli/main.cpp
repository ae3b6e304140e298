// quorvin-cli: the desktop program's form on the command line, for scripted dataset generation.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "cli/interrupts.h"
#include "cli/options.h"
#include "cli/screen.h"
#include "cli/terminal.h"
#include "common/text.h"
#include "platform/file_sync.h"
#include "run/write_run.h"
#include "synthesis/parameters.h"
#include "writers/sample_file.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace quorvin::cli {
namespace {

// Why the output folder cannot take the run's files ("out/sub cannot be made (Not a directory)"),
// after making it where it is missing.
std::optional<std::string> unusable_output_folder(const std::u16string& text) {
  if (text.empty()) return std::nullopt;  // the working folder
  const std::filesystem::path folder = output_folder_path(text);
  const std::string shown = utf16_to_utf8(text);
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) return shown + " cannot be made (" + error.message() + ")";
  if (!std::filesystem::is_directory(folder, error)) return shown + " is not a folder";
#ifndef _WIN32
  // Where root writes anyway this passes; a read-only file system still fails here.
  if (access(folder.c_str(), W_OK | X_OK) != 0) return shown + " cannot be written (" + std::strerror(errno) + ")";
#endif
  return std::nullopt;
}

// A file's report line, and its problems as messages.
void report_file(const RunRequest& request, const WrittenFile& written, const std::string& container_name,
                 Report& report) {
  const ProducedFile& produced = written.produced;
  if (written.in_container) {
    report.line(written.file.modulation + (written.added ? ": Added to " : ": Failed to add to ") + container_name + "\n");
    if (written.container_failed) {
      screen.message("quorvin-cli: " + container_name + ": " + *written.container_failed + "; no further file is started\n");
    }
  } else {
    report.line(utf16_to_utf8(produced.report));
    // Quiet runs keep only failures; a file that could not be made has no other trace.
    if (request.quiet && !produced.saved && produced.problems.empty()) {
      screen.message("quorvin-cli: " + utf16_to_utf8(produced.report));
    }
  }
  for (const std::string& problem : produced.problems) screen.message("quorvin-cli: " + problem + "\n");
}

// The container's and the manifest's last report lines, and why either was not saved.
void report_outputs(const RunRequest& request, const WrittenRun& run, Report& report) {
  const std::string& container = run.container_name;
  if (run.container != OutputEnd::none) {
    const bool saved = run.container == OutputEnd::saved;
    report.line((saved ? "Dataset saved to " : "Failed to save dataset to ") + container + "\n");
    if (run.container == OutputEnd::abandoned) {
      screen.message("quorvin-cli: " + container + ": abandoned, the run stopped before its last file; " + container +
                     " is left as it was\n");
    } else if (run.container == OutputEnd::failed) {
      screen.message("quorvin-cli: " + container + ": " + run.container_failure + "\n");
    }
  }
  if (run.manifest != OutputEnd::none) {
    const bool saved = run.manifest == OutputEnd::saved;
    report.line((saved ? "Manifest saved to " : "Failed to save manifest to ") + request.manifest + "\n");
    if (run.manifest == OutputEnd::abandoned) {
      screen.message("quorvin-cli: " + request.manifest + ": not saved, its rows name places in " + container +
                     ", which was not saved\n");
    } else if (run.manifest == OutputEnd::failed) {
      screen.message("quorvin-cli: " + request.manifest + ": " + run.manifest_failure + "\n");
    }
  }
}

// The run the request asks for, its files written as a second interrupt allows; the stop is the
// interrupts'.
RunWrite run_write(const RunRequest& request) {
  RunWrite write;
  write.seed = request.seed;
  if (!request.manifest.empty()) write.manifest = command_line_path(request.manifest);
  write.compress = request.compress;
  write.recorder = std::string("quorvin-cli ") + program_version;
  write.stop = run_stop();
  write.run.jobs = request.jobs;
  write.run.shard = request.shard;
  write.run.warn = [](const std::string& text) { screen.message("quorvin-cli: " + text + "\n"); };
  write.run.output.format = request.format;
  write.run.output.write = {platform::sync_file_to_storage, file_abandon().get_token(), platform::hold_temporary,
                            platform::remove_unheld_temporary};
  return write;
}

// Saved files of a classic run whose labels their samples do not realise, by label: told once at
// the end, with the option that makes true ones.
class UnrealisedLabels {
 public:
  void add(const RunSettings& settings, const PlannedFile& file, const ProducedFile& produced,
           std::optional<std::uint32_t> seed) {
    if (!produced.saved) return;
    ++files_;
    const std::vector<std::string_view> labels = unrealised_labels({settings, file, seed});
    if (!labels.empty()) ++unrealised_;
    for (const std::string_view label : labels) ++by_label_[std::string(label)];
  }
  std::optional<std::string> warning() const {
    if (unrealised_ == 0) return std::nullopt;
    std::string counts;
    for (const auto& [label, files] : by_label_) {
      counts += (counts.empty() ? "" : ", ") + label + ": " + std::to_string(files) + (files == 1 ? " file" : " files");
    }
    return "quorvin-cli: warning: the labels of " + std::to_string(unrealised_) + " of " + std::to_string(files_) +
           " files are not what their samples realise (" + counts +
           "), as in the desktop program's files; --signal-model exact makes files whose every label is true\n";
  }

 private:
  std::uint64_t files_ = 0;
  std::uint64_t unrealised_ = 0;
  std::map<std::string, std::uint64_t> by_label_;
};

int run_command_line(int argc, char** argv) {
  prepare_standard_streams();
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  auto parsed = parse_command_line(utf8_arguments(argc, argv), threads, help_width());
  if (const auto* exit = std::get_if<ImmediateExit>(&parsed)) {
    const bool written = write_text(stdout, exit->out_text);
    write_text(stderr, exit->error_text);
    return written || exit->status != 0 ? exit->status : 1;
  }
  const auto& request = std::get<RunRequest>(parsed);
  // Unlike the desktop program, a script names a folder that may not exist yet: make it. One that
  // cannot be made or written is refused once, before any file, rather than in a line per file.
  if (const auto refusal = unusable_output_folder(request.settings.output_folder)) {
    write_text(stderr, "quorvin-cli: --output-folder " + *refusal + "\n");
    return 2;
  }
  ignore_write_signals();
  InterruptWatch interrupts;
  RunWrite write = run_write(request);
  const bool show_progress = request.progress == Progress::shown ||
                             (request.progress == Progress::automatic && error_stream_is_terminal());
  Report report(request.quiet, run_stop());
  const std::string container_name =
      request.format == SampleFormat::container ? container_path_text(request.settings, request.shard) : std::string();
  write.opened = [&] {
    for (const std::string& warning : request.warnings) write_text(stderr, "quorvin-cli: warning: " + warning + "\n");
    screen.start(show_progress);
  };
  UnrealisedLabels unrealised;
  write.file_written = [&](const WrittenFile& written) {
    report_file(request, written, container_name, report);
    unrealised.add(request.settings, written.file, written.produced, request.seed);
  };
  write.progress = [](const RunProgress& p) { screen.progress(p); };
  const WrittenRun run = write_run(request.settings, std::move(write));
  if (run.refused == RefusedOutput::manifest) {
    write_text(stderr, "quorvin-cli: --manifest " + request.manifest + " cannot be written (" + run.refusal + ").\n");
    return 2;
  }
  if (run.refused == RefusedOutput::container) {
    write_text(stderr, "quorvin-cli: " + run.container_name + ": " + run.refusal + "\n");
    return 1;
  }
  report_outputs(request, run, report);
  if (const auto warning = unrealised.warning()) screen.message(*warning);
  screen.finish(run_stop().stop_requested());
  if (const int signal_number = interrupt_signal(); signal_number != 0) return 128 + signal_number;
  return run.files.files_failed == 0 && output_kept(run.manifest) && output_kept(run.container) && !report.failed() ? 0 : 1;
}

}  // namespace
}  // namespace quorvin::cli

// No exception leaves the program: whatever escapes the run is a message and status 1.
int main(int argc, char** argv) {
  using quorvin::cli::screen;
  std::string failure;
  try {
    return quorvin::cli::run_command_line(argc, argv);
  } catch (const std::bad_alloc&) {
    failure = "out of memory";
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unexpected failure";
  }
  screen.finish(true);
  screen.message("quorvin-cli: " + failure + "\n");
  return 1;
}
