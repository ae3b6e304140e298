#include "cli/interrupts.h"

#include <chrono>
#include <csignal>
#include <cstdlib>

#include "cli/screen.h"
#include "writers/atomic_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace quorvin::cli {
namespace {

std::stop_source stop_run;
std::stop_source abandon_files;
std::atomic<int> first_signal{0};
std::atomic<int> interrupts_seen{0};

// Ends the process, though not halfway through putting a set of files in place: that takes a few
// renames, so it waits for them, for a bounded time (a hung network share must not hold it).
// The files were abandoned before, so no further set begins.
[[noreturn]] void end_at_once() {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (sets_being_placed() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::_Exit(128 + first_signal.load());
}

void on_interrupt(int signal_number) {
  int none = 0;
  first_signal.compare_exchange_strong(none, signal_number);
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
      end_at_once();
  }
}

#ifdef _WIN32
// Ctrl+C and Ctrl+Break arrive on a thread of their own, so the handler may do what a thread may.
BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;  // closing: the default
  on_interrupt(2);  // reported as SIGINT would be
  return TRUE;
}
#endif

}  // namespace

std::stop_source& run_stop() { return stop_run; }
std::stop_source& file_abandon() { return abandon_files; }
int interrupt_signal() { return first_signal.load(); }

void ignore_write_signals() {
#ifndef _WIN32
  std::signal(SIGXFSZ, SIG_IGN);
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

#ifdef _WIN32
InterruptWatch::InterruptWatch() { SetConsoleCtrlHandler(on_console_event, TRUE); }
InterruptWatch::~InterruptWatch() { SetConsoleCtrlHandler(on_console_event, FALSE); }
#else
// The interrupts are blocked in every thread (the mask is inherited, so this runs before
// any other thread exists) and taken by one thread with sigwait: no handler runs in signal
// context, and a worker's write is never interrupted. SIGUSR1 ends the watch.
InterruptWatch::InterruptWatch() {
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

InterruptWatch::~InterruptWatch() {
  finished_.store(true);
  pthread_kill(watcher_.native_handle(), SIGUSR1);
  watcher_.join();
}
#endif

}  // namespace quorvin::cli
