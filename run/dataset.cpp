#include "run/dataset.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>
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

// Short files go to the workers several at a time: a short frame takes about as long to make as a
// task's hand-over from the dispatcher to a worker and back, with their wakes. A batch is at most
// this many files, of at most batch_samples samples together: its results are reported once all
// its files are made, and a stop still lets the queued batches finish.
constexpr std::size_t batch_files = 16;
constexpr double batch_samples = 65536.0;

// Files holding at most this many samples at once (streamed ones) let the spare worker start
// another file while they wait on their disk.
constexpr double small_weight = 65536.0;

// Consecutive files of the plan. Workers take its files one at a time, so that while one waits on
// its disk another worker may make the next.
struct Task {
  std::vector<PlannedFile> files;
  double weight = 0.0;   // the samples its files hold, all counted (see run_dataset)
  double samples = 0.0;  // in its files
  // One result a file, made with the task, so that a worker storing one allocates nothing.
  std::vector<ProducedFile> produced;
  std::size_t taken = 0;  // files a worker has taken
  std::size_t done = 0;   // files made
};

// Whether a file of `samples` that holds `weight` may join `task` without passing the batch's
// bounds or the budget.
bool joins(const Task& task, double weight, double samples, double budget) {
  return task.files.size() < batch_files && task.samples + samples <= batch_samples &&
         task.weight + weight <= std::min(small_weight, budget);
}

// Small tasks queued for the workers beyond one each: a worker done with one takes the next at once
// instead of sleeping until the dispatcher has planned it, and the dispatcher is woken once the
// queue is down to one a worker rather than after every task.
constexpr unsigned small_queued_per_job = 2;

// The shared state of one run: tasks in plan order, from those waiting for a worker to those
// waiting to be reported.
class Workshop {
 public:
  // (file, its result), on the dispatcher's thread, in plan order.
  using Emit = std::function<void(const PlannedFile&, ProducedFile&&)>;

  // Starts up to `jobs` workers; fewer when the system refuses threads (see workers()). Threads
  // that the system only just allowed (their stacks filling the address space) would leave no
  // memory for their work, so then the run goes on with half of those it got.
  //
  // A flush to the disk can take as long as making a file, with the processor idle. So while a
  // small file waits on its disk, one spare worker, when the system allows it, takes up the next
  // small file. The spare never takes a large one: each thread keeps the memory it used for the
  // files it made, so the spare would otherwise raise the run's peak to one more large file.
  Workshop(const RunSettings& settings, const OutputOptions& output, unsigned jobs)
      : settings_(settings), output_(output), tasks_(4 * static_cast<std::size_t>(jobs) + 16) {
    if (!start(jobs) && workers_.size() > 1) {
      const auto kept = static_cast<unsigned>(workers_.size() / 2);
      stop();
      start(kept);
    }
    if (refusal_.empty() && workers_.size() > 1) spare_started_ = start(1, true);
  }
  ~Workshop() { stop(); }

  // Waits until the task fits (a free worker, or room in the queue of small tasks ahead of them;
  // the sample budget; a bounded backlog of unreported results), reporting finished files
  // meanwhile, then queues it, unless a stop was asked for during the wait.
  void submit(Task task, unsigned jobs, double budget, const Emit& emit, const std::stop_token& stop) {
    task.produced.resize(task.files.size());
    std::unique_lock lock(mutex_);
    const unsigned most = task.weight <= small_weight ? jobs * (1 + small_queued_per_job) : jobs;
    const auto fits = [&] {
      return in_flight_ < most && submitted_ - reported_ < tasks_.size() &&
             (held_ == 0 || weight_in_flight_ + task.weight <= budget);
    };
    for (;;) {
      // A worker about to run out of files is given this task before the results are reported.
      if (submitted_ - taken_ < regular_ && fits()) break;
      drain(lock, emit);
      if (fits()) break;
      wait_dispatcher(lock);
    }
    if (stop.stop_requested()) return;
    ++in_flight_;
    ++held_;
    weight_in_flight_ += task.weight;
    // The slot is free (the backlog is bounded above) and was made with the workshop.
    tasks_[slot(submitted_)].emplace(std::move(task));
    ++submitted_;
    // Any worker takes any task; the spare has its own wake, only while a file waits on its disk.
    if (idle_workers_ > 0) wake_workers_.notify_one();
    if (waiting_ > 0) wake_spare_.notify_one();
  }

  unsigned workers() const { return static_cast<unsigned>(workers_.size()) - (spare_started_ ? 1 : 0); }

  // Why fewer workers than asked for started; empty when all did.
  const std::string& refusal() const { return refusal_; }

  // Reports every remaining result in order.
  void finish(const Emit& emit) {
    std::unique_lock lock(mutex_);
    while (reported_ < submitted_) {
      drain(lock, emit);
      if (reported_ < submitted_) wait_dispatcher(lock);
    }
  }

 private:
  std::size_t slot(std::uint64_t sequence) const { return static_cast<std::size_t>(sequence % tasks_.size()); }

  void wait_dispatcher(std::unique_lock<std::mutex>& lock) {
    dispatcher_waits_ = true;
    wake_dispatcher_.wait(lock);
    dispatcher_waits_ = false;
  }

  // Hands out the results at the front of the plan order; the lock is released while emitting.
  void drain(std::unique_lock<std::mutex>& lock, const Emit& emit) {
    while (reported_ < submitted_) {
      std::optional<Task>& front = tasks_[slot(reported_)];
      if (front->done < front->files.size()) return;
      Task task = std::move(*front);
      front.reset();
      ++reported_;
      lock.unlock();
      for (std::size_t i = 0; i < task.files.size(); ++i) {
        emit(task.files[i], std::move(task.produced[i]));
        task.produced[i] = {};
      }
      lock.lock();
      if (output_.format == SampleFormat::container) release(task.weight);
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

  // A small file's samples are written and it waits on its disk: the spare may start another.
  void samples_written(const Task& task, bool& waiting) {
    if (waiting || task.weight > small_weight) return;
    std::lock_guard lock(mutex_);
    waiting = true;
    ++waiting_;
    wake_spare_.notify_one();
  }

  // produce_file reports its own failures; this only keeps a failure to allocate even the
  // report from ending the process.
  ProducedFile produce(const Task& task, const PlannedFile& file, bool& waiting) noexcept {
    try {
      OutputOptions output = output_;
      output.samples_written = [this, &task, &waiting] { samples_written(task, waiting); };
      return produce_file(settings_, file, output);
    } catch (...) {
      ProducedFile failed;
      try {
        failed.report = utf8_to_utf16(file.modulation) + u": Failed to save file.\n";
      } catch (...) {
      }
      return failed;
    }
  }

  // A task's samples are no longer held (the lock is held).
  void release(double weight) {
    --held_;
    weight_in_flight_ -= weight;
  }

  // The first task with a file no worker has taken; null when there is none.
  Task* next_task() {
    if (taken_ == submitted_) return nullptr;
    return &*tasks_[slot(taken_)];
  }

  // The spare takes only a small task's files, and only while a file waits on its disk.
  bool may_take(bool spare) {
    const Task* task = next_task();
    return task != nullptr && (!spare || (waiting_ > 0 && task->weight <= small_weight));
  }

  // A file is made (the lock is held).
  void file_done(Task& task, bool waiting) {
    if (waiting) --waiting_;
    if (++task.done < task.files.size()) return;
    --in_flight_;
    // Kept samples travel in the result: they are held until it is reported.
    if (output_.format != SampleFormat::container) release(task.weight);
    // A task done leaves room for the next: the dispatcher plans it while the workers still have
    // files queued (woken only once they were down to their last, it often left them idle).
    if (dispatcher_waits_) wake_dispatcher_.notify_one();
  }

  void work(bool spare) {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (!closing_ && !may_take(spare)) {
        if (!spare) ++idle_workers_;
        (spare ? wake_spare_ : wake_workers_).wait(lock, [this, spare] { return closing_ || may_take(spare); });
        if (!spare) --idle_workers_;
      }
      if (!may_take(spare)) return;  // closing, and what is left is for the others
      Task& task = *next_task();
      const std::size_t index = task.taken++;
      if (task.taken == task.files.size()) ++taken_;
      // A task of several files was one wake: a worker still asleep takes the rest meanwhile.
      if (idle_workers_ > 0 && may_take(false)) wake_workers_.notify_one();
      lock.unlock();
      // The task stays in its slot until its last file is done; this file's result is this
      // worker's alone, and was made with the task: storing it allocates nothing.
      bool waiting = false;
      task.produced[index] = produce(task, task.files[index], waiting);
      lock.lock();
      file_done(task, waiting);
    }
  }

  const RunSettings& settings_;
  OutputOptions output_;
  std::mutex mutex_;
  std::condition_variable wake_workers_;
  std::condition_variable wake_spare_;
  std::condition_variable wake_dispatcher_;
  // Tasks by submission order, from the first unreported one: a ring as long as that backlog may
  // grow.
  std::vector<std::optional<Task>> tasks_;
  std::uint64_t submitted_ = 0;
  std::uint64_t taken_ = 0;     // tasks whose every file a worker has taken
  std::uint64_t reported_ = 0;
  unsigned in_flight_ = 0;  // tasks queued or being made
  unsigned waiting_ = 0;    // small files waiting on their disk
  unsigned held_ = 0;       // tasks not yet done
  unsigned regular_ = 0;    // workers started, the spare not counted
  unsigned idle_workers_ = 0;      // regular workers asleep for want of a file
  bool dispatcher_waits_ = false;  // asleep for a result or room
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
  const auto emit = [&](const PlannedFile& file, ProducedFile&& produced) {
    report(file, produced);
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
  Task batch;  // planned small files not yet handed to the workers
  bool stopped = false;
  for (std::uint64_t position = options.shard.index; position < plan.total_files(); position += step) {
    if (step > 1) plan.seek_file(position);
    std::optional<PlannedFile> file = plan.next();
    stopped = options.stop.stop_requested();
    if (!file || stopped) break;
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
      emit(*file, std::move(produced));
      continue;
    }
    double weight = planned_peak_samples(plan.settings(), *file);
    // A kept file holds all its samples until it is reported, however it was made.
    if (output.format == SampleFormat::container && settings.signal_model == SignalModel::exact) {
      weight = std::max(weight, exact_file_samples(plan.settings(), *file));
    }
    // A streamed file holds a block at a time, however long.
    const double samples = settings.signal_model == SignalModel::exact
                               ? std::max(weight, exact_file_samples(plan.settings(), *file))
                               : weight;
    // A batch counts all its files: several workers may make them at once, and kept samples
    // wait until the whole batch is reported.
    if (!batch.files.empty() && !joins(batch, weight, samples, options.sample_budget)) {
      workshop->submit(std::exchange(batch, {}), jobs, options.sample_budget, emit, options.stop);
    }
    batch.files.push_back(std::move(*file));
    batch.weight += weight;
    batch.samples += samples;
  }
  if (workshop) {
    if (!batch.files.empty() && !stopped) {
      workshop->submit(std::move(batch), jobs, options.sample_budget, emit, options.stop);
    }
    workshop->finish(emit);
  }
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
