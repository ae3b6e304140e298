#pragma once
// Where quorvin-cli's text goes while it runs: report lines to standard output; messages and the
// progress line ("files 12/40, 3.10 M samples/s, 9 s left", redrawn in place) to standard error.

#include <chrono>
#include <cstddef>
#include <mutex>
#include <stop_token>
#include <string>
#include <utility>

#include "run/dataset.h"

namespace quorvin::cli {

// The progress line is erased before any other text reaches its terminal and drawn again after
// it, so no line shares its row, and the end of the run replaces it with a final line: no stale
// estimate stays on the screen. Interrupts write from a thread of their own, hence the lock.
class Screen {
 public:
  void start(bool show_progress);
  // A report line on standard output: 0 when all of it was written, else the reason (an errno).
  int report(const std::string& text);
  void message(const std::string& text);
  // A message from the interrupt watcher, which must not wait long: the run's thread may hold
  // the lock while blocked on a pipe nobody reads, and the next interrupt must still be taken.
  // Without the lock the message takes a row of its own below whatever is there.
  void urgent_message(const std::string& text);
  void progress(const RunProgress& p);
  // The progress line, if any, becomes a final line with the time taken.
  void finish(bool stopped);

 private:
  double seconds() const;
  std::string progress_text(const RunProgress& p, const std::string& time) const;
  void erase();
  void draw();

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

// The program's one screen.
extern Screen screen;

// Report lines go to standard output as each file is done. When they cannot be written (a
// closed pipe, a full disk) the run stops as after an interrupt: `stop` is requested, so no
// further file is started.
class Report {
 public:
  Report(bool quiet, std::stop_source stop) : quiet_(quiet), stop_(std::move(stop)) {}
  void line(const std::string& text);
  bool failed() const { return failed_; }

 private:
  bool quiet_;
  std::stop_source stop_;
  bool failed_ = false;
};

}  // namespace quorvin::cli
