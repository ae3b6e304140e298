#pragma once
// The dataset driver: a run's plan produced file by file, on the calling thread or on several,
// with results reported in plan order. The desktop program, quorvin-cli and the Python package
// all run through it.

#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "common/limits.h"
#include "plan/plan.h"
#include "plan/settings.h"
#include "run/run.h"

namespace quorvin {

struct RunProgress {
  std::uint64_t files_done = 0;
  std::uint64_t files_total = 0;  // of this shard
  std::uint64_t samples_done = 0;
};

struct DatasetRun {
  std::uint32_t draw_seed = 0;  // of the parameter draws (the clock's, for an unseeded run)
  // Each file's symbol and noise engines seeded from draw_seed, name and index (a reproducible
  // run); otherwise they read the device, as the desktop program's do.
  bool seed_files = false;
  unsigned jobs = 1;  // 1: every file on the calling thread
  Shard shard;
  // Samples that files in flight may hold together; one file alone may always run.
  double sample_budget = static_cast<double>(max_samples_per_file);
  std::stop_token stop;  // once requested, no further file is started
  OutputOptions output;
  // Told once when the system starts fewer worker threads than `jobs`; the run goes on with them.
  std::function<void(const std::string&)> warn;
};

struct RunSummary {
  std::uint64_t files_produced = 0;
  std::uint64_t files_failed = 0;
};

// Draws this shard's files on the calling thread, going straight to each (the draws of the whole
// plan's walk, however far the shard's first file), and produces them, on
// `jobs` threads when more than one (throws std::runtime_error, before any file, when not one
// can start), and one spare that makes a streamed file while another waits on its disk flush. `report` receives each file with what producing it left, in plan order, on the
// calling thread; so does `progress`, when given, after each file.
RunSummary run_dataset(const RunSettings& settings, const DatasetRun& options,
                       const std::function<void(const PlannedFile&, const ProducedFile&)>& report,
                       const std::function<void(const RunProgress&)>& progress = {});

// Most lines the desktop program's report keeps: what an output box can usefully show. Beyond
// them one last line counts what was left out.
inline constexpr std::uint64_t report_line_limit = 100000;

// The whole run in plan order. The parameter draws are seeded with draw_seed, or with the clock
// in whole seconds. Returns the report, one "\n"-terminated line per event, up to
// report_line_limit lines, then "... and N more lines: " with the left-out lines by kind.
// Once `stop` is requested no further file is started (the file in hand is finished); `added`,
// when given, receives each piece of the report as it is added, on the calling thread: the
// pieces in order are the report.
std::u16string run_generation(const RunSettings& settings,
                              std::optional<std::uint32_t> draw_seed = std::nullopt,
                              const WriteContext& write = {}, std::stop_token stop = {},
                              const std::function<void(std::u16string_view)>& added = {});

}  // namespace quorvin
