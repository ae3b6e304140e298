#include "cli/screen.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "cli/terminal.h"

namespace quorvin::cli {
namespace {

std::string whole_seconds(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", seconds);
  return text;
}

// "\r", the text, then `blanks` spaces. Appended, not added: GCC 12 warns falsely (-Wrestrict)
// about operator+ on strings in MinGW builds.
std::string from_row_start(const std::string& text, std::size_t blanks) {
  std::string row = "\r";
  row.append(text).append(blanks, ' ');
  return row;
}

}  // namespace

Screen screen;

void Screen::start(bool show_progress) {
  const std::lock_guard lock(mutex_);
  show_progress_ = show_progress;
  report_on_progress_terminal_ = show_progress && report_shares_terminal();
  start_ = std::chrono::steady_clock::now();
}

int Screen::report(const std::string& text) {
  const std::lock_guard lock(mutex_);
  if (report_on_progress_terminal_) erase();
  const int reason = write_text(stdout, text) ? 0 : errno != 0 ? errno : EIO;
  if (report_on_progress_terminal_) draw();
  return reason;
}

void Screen::message(const std::string& text) {
  const std::lock_guard lock(mutex_);
  erase();
  write_text(stderr, text);
  draw();
}

void Screen::urgent_message(const std::string& text) {
  const std::unique_lock lock(mutex_, std::chrono::milliseconds(200));
  if (!lock.owns_lock()) {
    write_text(stderr, "\n" + text);
    return;
  }
  erase();
  write_text(stderr, text);
  draw();
}

void Screen::progress(const RunProgress& p) {
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

void Screen::finish(bool stopped) {
  const std::lock_guard lock(mutex_);
  if (line_.empty()) return;
  erase();
  line_.clear();
  const std::string time = whole_seconds(seconds()) + " s";
  write_text(stderr, progress_text(last_, (stopped ? "stopped after " : "finished in ") + time) + "\n");
}

double Screen::seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string Screen::progress_text(const RunProgress& p, const std::string& time) const {
  const double elapsed = seconds();
  const double rate = elapsed > 0.0 ? static_cast<double>(p.samples_done) / elapsed : 0.0;
  char text[128];
  std::snprintf(text, sizeof text, "files %llu/%llu, %.2f M samples/s, ", static_cast<unsigned long long>(p.files_done),
                static_cast<unsigned long long>(p.files_total), rate / 1e6);
  return text + time;
}

// Two more blanks than the row holds for the "^C" a terminal echoes after it on Ctrl+C.
void Screen::erase() {
  if (!line_.empty()) write_text(stderr, from_row_start("", width_ + 2).append(1, '\r'));
  width_ = 0;
}

void Screen::draw() {
  if (!line_.empty()) write_text(stderr, from_row_start(line_, 0));
  width_ = line_.size();
}

void Report::line(const std::string& text) {
  if (quiet_ || failed_) return;
  const int reason = screen.report(text);
  if (reason == 0) return;
  failed_ = true;
  stop_.request_stop();
  screen.message("quorvin-cli: cannot write the report to standard output (" +
                 std::generic_category().message(reason) + "); no further file is started\n");
}

}  // namespace quorvin::cli
