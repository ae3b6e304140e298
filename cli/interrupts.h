#pragma once
// Interrupts (SIGINT, SIGTERM, SIGHUP, SIGQUIT; Ctrl+C on Windows). The first asks the run to
// start no further file; the files in flight are finished and reported. A second one abandons
// them: each writer gives up, removes its temporary file and leaves the final name as it was; a
// set of files already being put in place is finished, so none is left in part. A third ends the
// process at once (once the sets being put in place this instant are), should something still
// hold it. The exit status is then 128 + the first signal.

#include <atomic>
#include <stop_token>
#include <thread>

#ifndef _WIN32
#include <signal.h>
#endif

namespace quorvin::cli {

// Requested by the first interrupt: no further file is started.
std::stop_source& run_stop();
// Requested by the second: the files in flight are abandoned.
std::stop_source& file_abandon();
// The first interrupt's signal number; 0 when none came.
int interrupt_signal();

// A file-size limit (RLIMIT_FSIZE) then fails the write of that file instead of killing the
// process with its temporary files in place; a closed pipe fails the report's write instead
// of killing the run. Nothing on Windows, which has neither signal.
void ignore_write_signals();

// Takes the interrupts while it lives.
class InterruptWatch {
 public:
  InterruptWatch();
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

#ifndef _WIN32
 private:
  sigset_t signals_{};
  std::atomic<bool> finished_{false};
  std::thread watcher_;
#endif
};

}  // namespace quorvin::cli
