#include "run/dataset.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "common/text.h"
#include "plan/draw.h"
#include "plan/seeds.h"
#include "synthesis/exact_file.h"
#include "synthesis/scene.h"
#include "writers/atomic_file.h"
#include "writers/sample_file.h"

namespace quorvin {
namespace {

struct Task {
  std::uint64_t sequence = 0;  // in submission order, set by the workshop
  PlannedFile file;
  double weight;
  bool waiting = false;  // its samples are written and it waits on its disk, out of `jobs`
};

// Files holding at most this many samples at once (streamed ones) give up their job's place while
// they wait on their disk, and only they are taken by the spare worker.
constexpr double small_weight = 65536.0;

// Small files queued for the workers beyond one each: a worker done with a short frame takes the
// next at once instead of sleeping until the dispatcher has planned it, and the dispatcher is
// woken once the queue is down to one a worker rather than after every file (each sleep and wake
// cost as much CPU as a few per cent of a frame).
constexpr unsigned small_queued_per_job = 2;

// The shared state of one run: tasks waiting for a worker, results waiting to be reported.
class Workshop {
 public:
  // Starts up to `jobs` workers; fewer when the system refuses threads (see workers()). Threads
  // that the system only just allowed (their stacks filling the address space) would leave no
  // memory for their work, so then the run goes on with half of those it got.
  //
  // A flush to the disk can take as long as making a file, with the processor idle. So a small
  // file waiting on its disk gives up its place among the `jobs`, and one spare worker, when the
  // system allows it, takes up the next small file meanwhile. The spare never takes a large one:
  // each thread keeps the memory it used for the files it made, so the spare would otherwise
  // raise the run's peak to one more large file.
  Workshop(const RunSettings& settings, const OutputOptions& output, unsigned jobs)
      : settings_(settings), output_(output), results_(4 * static_cast<std::size_t>(jobs) + 16) {
    if (!start(jobs) && workers_.size() > 1) {
      const auto kept = static_cast<unsigned>(workers_.size() / 2);
      stop();
      start(kept);
    }
    if (refusal_.empty() && workers_.size() > 1) spare_started_ = start(1, true);
  }
  ~Workshop() { stop(); }

  // Waits until the task fits (a free worker, or room in the queue of small files ahead of them;
  // the sample budget; a bounded backlog of unreported results), reporting finished files
  // meanwhile, then queues it, unless a stop was asked for during the wait.
  void submit(Task task, unsigned jobs, double budget, const std::function<void(Task&&, ProducedFile&&)>& emit,
              const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    const unsigned most = task.weight <= small_weight ? jobs * (1 + small_queued_per_job) : jobs;
    for (;;) {
      drain(lock, emit);
      const bool fits = in_flight_ < most && submitted_ - reported_ < results_.size() &&
                        (held_ == 0 || weight_in_flight_ + task.weight <= budget);
      if (fits) break;
      wake_dispatcher_.wait(lock);
    }
    if (stop.stop_requested()) return;
    ++in_flight_;
    ++held_;
    weight_in_flight_ += task.weight;
    task.sequence = submitted_;
    tasks_.push_back(std::move(task));
    ++submitted_;
    // Any worker takes any task; the spare has its own wake, only while a file waits on its disk.
    wake_workers_.notify_one();
    if (waiting_ > 0) wake_spare_.notify_one();
  }

  unsigned workers() const { return static_cast<unsigned>(workers_.size()) - (spare_started_ ? 1 : 0); }

  // A small file's samples are written and it waits on its disk: its place goes to the next file.
  // Its weight stays counted until it is done.
  void samples_written(Task& task) {
    std::lock_guard lock(mutex_);
    if (task.waiting || task.weight > small_weight) return;
    task.waiting = true;
    --in_flight_;
    ++waiting_;
    wake_dispatcher_.notify_one();
    wake_spare_.notify_one();
  }
  // Why fewer workers than asked for started; empty when all did.
  const std::string& refusal() const { return refusal_; }

  // Reports every remaining result in order.
  void finish(const std::function<void(Task&&, ProducedFile&&)>& emit) {
    std::unique_lock lock(mutex_);
    while (reported_ < submitted_) {
      drain(lock, emit);
      if (reported_ < submitted_) wake_dispatcher_.wait(lock);
    }
  }

 private:
  // Hands out the results at the front of the plan order; the lock is released while emitting.
  void drain(std::unique_lock<std::mutex>& lock, const std::function<void(Task&&, ProducedFile&&)>& emit) {
    while (reported_ < submitted_) {
      auto& slot = results_[static_cast<std::size_t>(reported_ % results_.size())];
      if (!slot) return;
      auto [task, result] = std::move(*slot);
      slot.reset();
      ++reported_;
      const double weight = task.weight;
      lock.unlock();
      emit(std::move(task), std::move(result));
      result = {};
      lock.lock();
      if (output_.format == SampleFormat::container) release(weight);
    }
  }

  bool start(unsigned count, bool spare = false) {
    for (unsigned i = 0; i < count; ++i) {
      if (!spare) ++regular_;
      try {
        workers_.emplace_back([this, spare] { work(spare); });
      } catch (const std::system_error& e) {
        refusal_ = e.what();
        if (!spare) --regular_;
        return false;
      }
    }
    return true;
  }

  // Ends every worker once the queued tasks are done.
  void stop() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    wake_workers_.notify_all();
    wake_spare_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    regular_ = 0;
    spare_started_ = false;
    closing_ = false;
  }

  // produce_file reports its own failures; this only keeps a failure to allocate even the
  // report from ending the process.
  ProducedFile produce(Task& task) noexcept {
    try {
      OutputOptions output = output_;
      output.samples_written = [this, &task] { samples_written(task); };
      return produce_file(settings_, task.file, output);
    } catch (...) {
      ProducedFile failed;
      try {
        failed.report = utf8_to_utf16(task.file.modulation) + u": Failed to save file.\n";
      } catch (...) {
      }
      return failed;
    }
  }

  // A file's samples are no longer held (the lock is held).
  void release(double weight) {
    --held_;
    weight_in_flight_ -= weight;
  }

  // The spare takes only a small task, and only while a file waits on its disk.
  bool may_take(bool spare) const {
    return !tasks_.empty() && (!spare || (waiting_ > 0 && tasks_.front().weight <= small_weight));
  }

  void work(bool spare) {
    std::unique_lock lock(mutex_);
    for (;;) {
      (spare ? wake_spare_ : wake_workers_).wait(lock, [this, spare] { return closing_ || may_take(spare); });
      if (!may_take(spare)) return;  // closing, and what is left is for the others
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      ProducedFile produced = produce(task);
      lock.lock();
      if (task.waiting) {
        --waiting_;
      } else {
        --in_flight_;
      }
      // Kept samples travel in the result: they are held until it is reported.
      if (output_.format != SampleFormat::container) release(task.weight);
      // The slot was made with the workshop: storing a result allocates nothing, so a worker
      // never fails here.
      results_[static_cast<std::size_t>(task.sequence % results_.size())].emplace(std::move(task), std::move(produced));
      // While more small files are queued than there are workers, the dispatcher sleeps on: it
      // has nothing to add, and they will wake it in time to report and plan.
      if (tasks_.size() <= regular_) wake_dispatcher_.notify_one();
    }
  }

  const RunSettings& settings_;
  OutputOptions output_;
  std::mutex mutex_;
  std::condition_variable wake_workers_;
  std::condition_variable wake_spare_;
  std::condition_variable wake_dispatcher_;
  std::deque<Task> tasks_;
  // Results by submission order, a ring as long as the backlog of unreported files may grow.
  std::vector<std::optional<std::pair<Task, ProducedFile>>> results_;
  std::uint64_t submitted_ = 0;
  std::uint64_t reported_ = 0;
  unsigned in_flight_ = 0;  // files queued or being made, those waiting on their disk not counted
  unsigned waiting_ = 0;    // small files waiting on their disk
  unsigned held_ = 0;       // files not yet done, waiting ones included
  unsigned regular_ = 0;    // workers started, the spare not counted
  bool spare_started_ = false;
  double weight_in_flight_ = 0.0;
  bool closing_ = false;
  std::string refusal_;
  std::vector<std::thread> workers_;
};

std::uint64_t shard_files(std::uint64_t total, const Shard& shard) {
  return total > shard.index ? (total - shard.index + shard.count - 1) / shard.count : 0;
}

}  // namespace

RunSummary run_dataset(const RunSettings& settings, const DatasetRun& options,
                       const std::function<void(const PlannedFile&, const ProducedFile&)>& report,
                       const std::function<void(const RunProgress&)>& progress) {
  RunPlan plan(settings, options.draw_seed);
  // One listing of the folder per run rather than looks at each file's names, which on some
  // systems read the whole folder every time.
  OutputOptions output = options.output;
  if (output.format != SampleFormat::container) {
    const std::filesystem::path folder = output_folder_path(plan.settings().output_folder);
    // What killed runs left: the next run into the folder clears it.
    remove_stale_temporaries(folder, output.write);
    output.fresh_folder = holds_no_output_files(folder);
  }
  RunSummary summary;
  RunProgress state;
  state.files_total = shard_files(plan.total_files(), options.shard);
  const auto emit = [&](Task&& task, ProducedFile&& produced) {
    report(task.file, produced);
    ++(produced.saved ? summary.files_produced : summary.files_failed);
    ++state.files_done;
    state.samples_done += produced.samples;
    if (progress) progress(state);
  };
  std::optional<Workshop> workshop;
  unsigned jobs = 1;
  if (options.jobs > 1) {
    jobs = workshop.emplace(plan.settings(), output, options.jobs).workers();
    if (jobs == 0) throw std::runtime_error("cannot start a worker thread: " + workshop->refusal());
    if (jobs < options.jobs && options.warn) {
      options.warn("started " + std::to_string(jobs) + " of " + std::to_string(options.jobs) + " worker threads (" +
                   workshop->refusal() + "); going on with " + std::to_string(jobs));
    }
  }
  // A shard goes straight to each of its files (RunPlan::seek_file: the draws of the walk through
  // every file before it, in a few steps), so the draws never depend on the shard or the number of
  // jobs, and a far shard starts at once.
  const std::uint64_t step = std::max<std::uint32_t>(options.shard.count, 1);
  for (std::uint64_t position = options.shard.index; position < plan.total_files(); position += step) {
    if (step > 1) plan.seek_file(position);
    std::optional<PlannedFile> file = plan.next();
    if (!file || options.stop.stop_requested()) break;
    if (options.seed_files) {
      file->seeds = derive_file_seeds(options.draw_seed, file->modulation, file->index);
    } else if (settings.signal_model == SignalModel::exact) {
      // Chosen here rather than inside the generator, so the labels can name what they decide
      // (the fading taps at the start of the file).
      file->seeds = {device_seed(), device_seed()};
    }
    if (makes_scenes(plan.settings())) plan_scene(plan, {options.draw_seed, position, options.seed_files}, *file);
    if (!workshop) {
      ProducedFile produced = produce_file(plan.settings(), *file, output);
      emit({0, std::move(*file), 0.0}, std::move(produced));
      continue;
    }
    double weight = planned_peak_samples(plan.settings(), *file);
    // A kept file holds all its samples until it is reported, however it was made.
    if (output.format == SampleFormat::container && settings.signal_model == SignalModel::exact) {
      weight = std::max(weight, exact_file_samples(plan.settings(), *file));
    }
    workshop->submit({0, std::move(*file), weight}, jobs, options.sample_budget, emit, options.stop);
  }
  if (workshop) workshop->finish(emit);
  return summary;
}

namespace {

// The desktop program's report lines beyond the limit, counted by kind.
class LeftOutLines {
 public:
  void add(const ProducedFile& produced) {
    ++counts_[static_cast<std::size_t>(produced.outcome)];
    if (produced.settings_saved) ++counts_[*produced.settings_saved ? 3 : 4];
  }
  std::uint64_t total() const {
    std::uint64_t sum = 0;
    for (const std::uint64_t count : counts_) sum += count;
    return sum;
  }
  // "... and N more lines: A saved, B failed to generate"
  std::u16string summary() const {
    static constexpr const char* kinds[] = {"saved", "failed to generate", "failed to save", "settings saved",
                                            "failed to save settings"};
    std::string text = "... and " + std::to_string(total()) + " more lines:";
    const char* separator = " ";
    for (std::size_t i = 0; i < counts_.size(); ++i) {
      if (counts_[i] == 0) continue;
      text += separator + std::to_string(counts_[i]) + " " + kinds[i];
      separator = ", ";
    }
    return utf8_to_utf16(text) + u"\n";
  }

 private:
  std::array<std::uint64_t, 5> counts_{};  // FileOutcome's three, then the settings file's two
};

std::uint64_t line_count(std::u16string_view text) {
  return static_cast<std::uint64_t>(std::count(text.begin(), text.end(), u'\n'));
}

}  // namespace

std::u16string run_generation(const RunSettings& settings, std::optional<std::uint32_t> draw_seed,
                              const WriteContext& write, std::stop_token stop,
                              const std::function<void(std::u16string_view)>& added) {
  std::u16string report;
  std::uint64_t lines = 0;
  LeftOutLines left_out;
  // One file at a time on this thread, the draws alone following the seed.
  DatasetRun one_by_one;
  one_by_one.draw_seed = draw_seed ? *draw_seed : clock_seed();
  one_by_one.stop = std::move(stop);
  one_by_one.output.write = write;
  run_dataset(settings, one_by_one,
              [&](const PlannedFile&, const ProducedFile& produced) {
                // A file's lines stay together: once one file does not fit, every later one is counted.
                const std::uint64_t file_lines = line_count(produced.report);
                if (left_out.total() == 0 && lines + file_lines <= report_line_limit) {
                  report += produced.report;
                  lines += file_lines;
                  if (added) added(produced.report);
                } else {
                  left_out.add(produced);
                }
              });
  if (left_out.total() != 0) {
    const std::u16string summary = left_out.summary();
    report += summary;
    if (added) added(summary);
  }
  return report;
}

}  // namespace quorvin
