#pragma once
// Producing a run's planned files on several threads, with results reported in plan order.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "cli/options.h"
#include "form/form.h"
#include "run/plan.h"
#include "run/run.h"

namespace quorvin::cli {

struct RunProgress {
  std::uint64_t files_done = 0;
  std::uint64_t files_total = 0;  // of this shard
  std::uint64_t samples_done = 0;
};

struct ParallelRun {
  unsigned jobs = 1;
  std::optional<std::uint32_t> seed;  // reproducible draws and engines; the clock otherwise
  Shard shard;
  // Samples that files in flight may hold together; one file alone may always run.
  double sample_budget = 0.0;
  const std::atomic<bool>* stop = nullptr;  // when set, no further file is started
  OutputOptions output;                     // sample file format
  // Told once when the system starts fewer worker threads than `jobs`; the run goes on with them.
  std::function<void(const std::string&)> warn;
};

struct RunSummary {
  std::uint64_t files_produced = 0;
  std::uint64_t files_failed = 0;
};

// Draws the whole plan in order on the calling thread and produces this shard's files on
// `jobs` threads (throws std::runtime_error, before any file, when not one can start). `report` receives each file with what producing it left, in plan order, on the
// calling thread; so does `progress`, when given, after each file.
RunSummary run_in_parallel(const RunSettings& settings, const ParallelRun& options,
                           const std::function<void(const PlannedFile&, const ProducedFile&)>& report,
                           const std::function<void(const RunProgress&)>& progress);

}  // namespace quorvin::cli
