// quorvin-cli: the desktop program's form on the command line, for scripted dataset generation.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <stop_token>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "cli/options.h"
#include "common/limits.h"
#include "common/text.h"
#include "platform/file_sync.h"
#include "run/dataset.h"
#include "run/hdf5_container.h"
#include "run/manifest.h"
#include "run/sample_file.h"
#include "run/atomic_file.h"
#include "run/sigmf.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

using quorvin::cli::Progress;
using quorvin::RunProgress;

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

// The columns the help is wrapped to: the terminal's, else $COLUMNS, else 80.
std::size_t help_width() {
#ifndef _WIN32
  winsize size{};
  if (isatty(STDOUT_FILENO) != 0 && ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  const char* columns = std::getenv("COLUMNS");
  const long value = columns != nullptr ? std::strtol(columns, nullptr, 10) : 0;
  return value > 0 && value < 1000 ? static_cast<std::size_t>(value) : 80;
}

bool error_stream_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

// Whether report lines land on the terminal of the progress line, where they would share its row.
bool report_shares_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0 && _isatty(_fileno(stderr)) != 0;  // one console
#else
  struct stat out {};
  struct stat error {};
  return isatty(STDOUT_FILENO) != 0 && isatty(STDERR_FILENO) != 0 && fstat(STDOUT_FILENO, &out) == 0 &&
         fstat(STDERR_FILENO, &error) == 0 && out.st_rdev == error.st_rdev;
#endif
}

// True when the whole text reached the stream; errno tells why not.
bool write_text(std::FILE* stream, const std::string& text) {
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
  return std::fflush(stream) == 0 && written;
}

// Closed standard streams are opened on the null device before any file is: otherwise the
// first file opened would take descriptor 1 or 2 and report text would land inside it.
void open_closed_standard_streams() {
#ifdef _WIN32
  // The C runtime keeps descriptors 0 to 2 reserved, so only the missing handle needs a home.
  const std::pair<DWORD, std::FILE*> streams[] = {{STD_OUTPUT_HANDLE, stdout}, {STD_ERROR_HANDLE, stderr}};
  for (const auto& [id, stream] : streams) {
    const HANDLE handle = GetStdHandle(id);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) (void)std::freopen("NUL", "wb", stream);
  }
#else
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is the closed one itself.
    const int opened = ::open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != descriptor) {
      dup2(opened, descriptor);
      ::close(opened);
    }
  }
#endif
}

// Why the output folder cannot take the run's files ("out/sub cannot be made (Not a directory)"),
// after making it where it is missing.
std::optional<std::string> unusable_output_folder(const std::u16string& text) {
  if (text.empty()) return std::nullopt;  // the working folder
  const std::filesystem::path folder = quorvin::output_folder_path(text);
  const std::string shown = quorvin::utf16_to_utf8(text);
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

// Where the run's text goes: report lines to standard output; messages and the progress line
// ("files 12/40, 3.10 M samples/s, 9 s left", redrawn in place) to standard error. The progress
// line is erased before any other text reaches its terminal and drawn again after it, so no
// line shares its row, and the end of the run replaces it with a final line: no stale estimate
// stays on the screen. Interrupts write from a thread of their own, hence the lock.
class Screen {
 public:
  void start(bool show_progress) {
    const std::lock_guard lock(mutex_);
    show_progress_ = show_progress;
    report_on_progress_terminal_ = show_progress && report_shares_terminal();
    start_ = std::chrono::steady_clock::now();
  }
  // A report line on standard output: 0 when all of it was written, else the reason (an errno).
  int report(const std::string& text) {
    const std::lock_guard lock(mutex_);
    if (report_on_progress_terminal_) erase();
    const int reason = write_text(stdout, text) ? 0 : errno != 0 ? errno : EIO;
    if (report_on_progress_terminal_) draw();
    return reason;
  }
  void message(const std::string& text) {
    const std::lock_guard lock(mutex_);
    erase();
    write_text(stderr, text);
    draw();
  }
  // A message from the interrupt watcher, which must not wait long: the run's thread may hold
  // the lock while blocked on a pipe nobody reads, and the next interrupt must still be taken.
  // Without the lock the message takes a row of its own below whatever is there.
  void urgent_message(const std::string& text) {
    const std::unique_lock lock(mutex_, std::chrono::milliseconds(200));
    if (!lock.owns_lock()) {
      write_text(stderr, "\n" + text);
      return;
    }
    erase();
    write_text(stderr, text);
    draw();
  }
  void progress(const RunProgress& p) {
    const std::lock_guard lock(mutex_);
    if (!show_progress_) return;
    last_ = p;
    // A few redraws a second are all an eye reads; one per file would flood a log of the
    // terminal with short runs' files. The first and the last are always drawn.
    const auto now = std::chrono::steady_clock::now();
    if (!line_.empty() && p.files_done < p.files_total && now - drawn_at_ < redraw_interval) return;
    drawn_at_ = now;
    const double left = p.files_done > 0 ? seconds() / static_cast<double>(p.files_done) *
                                               static_cast<double>(p.files_total - p.files_done)
                                         : 0.0;
    const std::string text = progress_text(p, whole_seconds(left) + " s left");
    // Spaces over whatever a longer previous line left on the row.
    write_text(stderr, from_row_start(text, width_ - std::min(width_, text.size())));
    line_ = text;
    width_ = std::max(width_, text.size());
  }
  // The progress line, if any, becomes a final line with the time taken.
  void finish(bool stopped) {
    const std::lock_guard lock(mutex_);
    if (line_.empty()) return;
    erase();
    line_.clear();
    const std::string time = whole_seconds(seconds()) + " s";
    write_text(stderr, progress_text(last_, (stopped ? "stopped after " : "finished in ") + time) + "\n");
  }

 private:
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  }
  static std::string whole_seconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.0f", seconds);
    return text;
  }
  std::string progress_text(const RunProgress& p, const std::string& time) const {
    const double elapsed = seconds();
    const double rate = elapsed > 0.0 ? static_cast<double>(p.samples_done) / elapsed : 0.0;
    char text[128];
    std::snprintf(text, sizeof text, "files %llu/%llu, %.2f M samples/s, ", static_cast<unsigned long long>(p.files_done),
                  static_cast<unsigned long long>(p.files_total), rate / 1e6);
    return text + time;
  }
  // "\r", the text, then `blanks` spaces. Appended, not added: GCC 12 warns falsely (-Wrestrict)
  // about operator+ on strings in MinGW builds.
  static std::string from_row_start(const std::string& text, std::size_t blanks) {
    std::string row = "\r";
    row.append(text).append(blanks, ' ');
    return row;
  }
  // Two more blanks than the row holds for the "^C" a terminal echoes after it on Ctrl+C.
  void erase() {
    if (!line_.empty()) write_text(stderr, from_row_start("", width_ + 2).append(1, '\r'));
    width_ = 0;
  }
  void draw() {
    if (!line_.empty()) write_text(stderr, from_row_start(line_, 0));
    width_ = line_.size();
  }

  std::timed_mutex mutex_;
  bool show_progress_ = false;
  bool report_on_progress_terminal_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  RunProgress last_;
  static constexpr std::chrono::milliseconds redraw_interval{250};
  std::chrono::steady_clock::time_point drawn_at_;
  std::string line_;      // the progress line on the screen; empty when none is
  std::size_t width_ = 0;  // the characters its row holds, spaces after it included
};

Screen screen;

// Interrupts (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl+C on Windows). The first asks the run to
// start no further file; the files in flight are finished and reported. A second one abandons
// them: each writer gives up, removes its temporary file and leaves the final name as it was.
// A third ends the process at once, should something still hold it. The exit status is then
// 128 + the first signal.
std::stop_source stop_run;
std::stop_source abandon_files;
std::atomic<int> interrupt_signal{0};
std::atomic<int> interrupts_seen{0};

void on_interrupt(int signal_number) {
  int none = 0;
  interrupt_signal.compare_exchange_strong(none, signal_number);
  switch (++interrupts_seen) {
    case 1:
      stop_run.request_stop();
      screen.urgent_message("quorvin-cli: interrupted; finishing the files in progress (interrupt again to abandon them)\n");
      break;
    case 2:
      abandon_files.request_stop();
      screen.urgent_message("quorvin-cli: abandoning the files in progress (interrupt again to end at once)\n");
      break;
    default:
      std::_Exit(128 + interrupt_signal.load());
  }
}

// Report lines go to standard output as each file is done. When they cannot be written (a
// closed pipe, a full disk) the run stops as after an interrupt: no further file is started.
class Report {
 public:
  explicit Report(bool quiet) : quiet_(quiet) {}
  void line(const std::string& text) {
    if (quiet_ || failed_) return;
    const int reason = screen.report(text);
    if (reason == 0) return;
    failed_ = true;
    stop_run.request_stop();
    screen.message("quorvin-cli: cannot write the report to standard output (" +
                   std::generic_category().message(reason) + "); no further file is started\n");
  }
  bool failed() const { return failed_; }

 private:
  bool quiet_;
  bool failed_ = false;
};

#ifdef _WIN32
// Ctrl+C and Ctrl+Break arrive on a thread of their own, so the handler may do what a thread may.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // closing: the default
  on_interrupt(2);  // reported as SIGINT would be
  return TRUE;
}

class InterruptWatch {
 public:
  InterruptWatch() { SetConsoleCtrlHandler(on_console_event, TRUE); }
  ~InterruptWatch() { SetConsoleCtrlHandler(on_console_event, FALSE); }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;
};
#else
// The interrupts are blocked in every thread (the mask is inherited, so this runs before
// any other thread exists) and taken by one thread with sigwait: no handler runs in signal
// context, and a worker's write is never interrupted. SIGUSR1 ends the watch.
class InterruptWatch {
 public:
  InterruptWatch() {
    sigemptyset(&signals_);
    for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1}) sigaddset(&signals_, s);
    pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
    watcher_ = std::thread([this] {
      for (;;) {
        int signal_number = 0;
        if (sigwait(&signals_, &signal_number) != 0) continue;
        if (signal_number != SIGUSR1) {
          on_interrupt(signal_number);
        } else if (finished_.load()) {
          return;
        }
      }
    });
  }
  ~InterruptWatch() {
    finished_.store(true);
    pthread_kill(watcher_.native_handle(), SIGUSR1);
    watcher_.join();
  }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

 private:
  sigset_t signals_{};
  std::atomic<bool> finished_{false};
  std::thread watcher_;
};
#endif

int run_command_line(int argc, char** argv) {
  open_closed_standard_streams();
#ifdef _WIN32
  // Report lines are UTF-8 with "\n" line ends, the same bytes as on every other platform.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  auto parsed = quorvin::cli::parse_command_line(utf8_arguments(argc, argv), threads, help_width());
  if (const auto* exit = std::get_if<quorvin::cli::ImmediateExit>(&parsed)) {
    const bool written = write_text(stdout, exit->out_text);
    write_text(stderr, exit->error_text);
    return written || exit->status != 0 ? exit->status : 1;
  }
  const auto& request = std::get<quorvin::cli::RunRequest>(parsed);
  // Unlike the desktop program, a script names a folder that may not exist yet: make it. One that
  // cannot be made or written is refused once, before any file, rather than in a line per file.
  if (const auto refusal = unusable_output_folder(request.settings.output_folder)) {
    write_text(stderr, "quorvin-cli: --output-folder " + *refusal + "\n");
    return 2;
  }
#ifndef _WIN32
  // A file-size limit (RLIMIT_FSIZE) then fails the write of that file instead of killing the
  // process with its temporary files in place; a closed pipe fails the report's write instead
  // of killing the run (see Report).
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
#endif
  InterruptWatch interrupts;
  // Opened before the run, so that a manifest that cannot be written is known before hours of work.
  const quorvin::WriteContext write{quorvin::platform::sync_file_to_storage, abandon_files.get_token(),
                                    quorvin::platform::hold_temporary, quorvin::platform::remove_unheld_temporary};
  std::optional<quorvin::ManifestWriter> manifest;
  if (!request.manifest.empty()) {
    manifest.emplace(quorvin::cli::command_line_path(request.manifest), request.settings, request.format,
                     request.seed, write, quorvin::container_file_name(request.shard));
    if (!manifest->is_open()) {
      write_text(stderr, "quorvin-cli: --manifest " + request.manifest + " cannot be written (" + manifest->failure() + ").\n");
      return 2;
    }
  }
  quorvin::DatasetRun options;
  options.draw_seed = request.seed ? *request.seed : quorvin::clock_seed();
  options.seed_files = request.seed.has_value();
  options.stop = stop_run.get_token();
  options.jobs = request.jobs;
  options.shard = request.shard;
  options.warn = [](const std::string& text) { screen.message("quorvin-cli: " + text + "\n"); };
  const bool show_progress = request.progress == Progress::shown ||
                             (request.progress == Progress::automatic && error_stream_is_terminal());
  options.output.format = request.format;
  options.output.write = write;
  const std::string recorder = std::string("quorvin-cli ") + quorvin::cli::program_version;
  options.output.sigmf_metadata = [&request, &recorder](const quorvin::PlannedFile& file, std::uint64_t samples) {
    return quorvin::sigmf_metadata({.settings = request.settings, .file = file, .samples = samples,
                                    .run_seed = request.seed, .recorder = recorder});
  };
  // --format hdf5: one container for the run (or shard), its samples and labels in plan order.
  std::optional<quorvin::Hdf5Writer> container;
  std::string container_name;
  if (request.format == quorvin::SampleFormat::container) {
    const std::filesystem::path folder = quorvin::output_folder_path(request.settings.output_folder);
    const std::string name = quorvin::container_file_name(request.shard);
    container_name = (folder.empty() ? std::filesystem::path(name) : folder / name).string();
    container.emplace(container_name, request.settings, request.seed, request.settings.exact.samples_per_file,
                      request.compress, write);
    if (!container->is_open()) {
      write_text(stderr, "quorvin-cli: " + container_name + ": " + container->failure() + "\n");
      return 1;
    }
  }
  for (const std::string& warning : request.warnings) write_text(stderr, "quorvin-cli: warning: " + warning + "\n");
  Report report(request.quiet);
  screen.start(show_progress);
  std::uint64_t files_total = 0;  // of this shard, once a file was done
  const auto summary = quorvin::run_dataset(
      request.settings, options,
      [&](const quorvin::PlannedFile& file, const quorvin::ProducedFile& produced) {
        if (container && produced.saved) {
          const bool was_open = container->is_open();
          const bool added = container->add(file, produced);
          report.line(file.modulation + (added ? ": Added to " : ": Failed to add to ") + container_name + "\n");
          // A container that failed cannot be completed: no further file is made for it.
          if (was_open && !added) {
            stop_run.request_stop();
            screen.message("quorvin-cli: " + container_name + ": " + container->failure() + "; no further file is started\n");
          }
        } else {
          report.line(quorvin::utf16_to_utf8(produced.report));
          // Quiet runs keep only failures; a file that could not be made has no other trace.
          if (request.quiet && !produced.saved && produced.problems.empty()) {
            screen.message("quorvin-cli: " + quorvin::utf16_to_utf8(produced.report));
          }
        }
        for (const std::string& problem : produced.problems) screen.message("quorvin-cli: " + problem + "\n");
        if (manifest) manifest->add(file, produced);
      },
      [&files_total](const RunProgress& p) {
        files_total = p.files_total;
        screen.progress(p);
      });
  bool container_saved = true;
  if (container) {
    // A run stopped before its last file (an interrupt, a report or the container that failed)
    // leaves a partial container: it is abandoned, and an earlier container of that name stays.
    const bool every_file_done = files_total > 0 && summary.files_produced + summary.files_failed == files_total;
    const bool stopped = (stop_run.stop_requested() && !every_file_done) || !container->is_open();
    if (stopped) container->abandon();
    container_saved = !stopped && container->finish();
    report.line((container_saved ? "Dataset saved to " : "Failed to save dataset to ") + container_name + "\n");
    if (stopped && container->is_open()) {
      screen.message("quorvin-cli: " + container_name + ": abandoned, the run stopped before its last file; " +
                     container_name + " is left as it was\n");
    } else if (!container_saved && !stopped) {
      screen.message("quorvin-cli: " + container_name + ": " + container->failure() + "\n");
    }
  }
  bool manifest_saved = true;
  if (manifest) {
    // An HDF5 run's manifest names rows of its container: it goes with the container.
    if (!container_saved) manifest->abandon();
    manifest_saved = container_saved && manifest->finish();
    report.line((manifest_saved ? "Manifest saved to " : "Failed to save manifest to ") + request.manifest + "\n");
    if (!container_saved) {
      screen.message("quorvin-cli: " + request.manifest + ": not saved, its rows name places in " + container_name +
                     ", which was not saved\n");
    } else if (!manifest_saved) {
      screen.message("quorvin-cli: " + request.manifest + ": " + manifest->failure() + "\n");
    }
  }
  screen.finish(stop_run.stop_requested());
  if (const int signal_number = interrupt_signal.load(); signal_number != 0) return 128 + signal_number;
  return summary.files_failed == 0 && manifest_saved && container_saved && !report.failed() ? 0 : 1;
}

}  // namespace

// No exception leaves the program: whatever escapes the run is a message and status 1.
int main(int argc, char** argv) {
  std::string failure;
  try {
    return run_command_line(argc, argv);
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
