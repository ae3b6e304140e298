#include "cli/parallel_run.h"

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "run/run.h"
#include "run/seeds.h"

namespace quorvin::cli {
namespace {

struct Task {
  std::uint64_t position;
  PlannedFile file;
  double weight;
};

// The shared state of one run: tasks waiting for a worker, results waiting to be reported.
class Workshop {
 public:
  Workshop(const RunSettings& settings, const OutputOptions& output, unsigned jobs)
      : settings_(settings), output_(output) {
    for (unsigned i = 0; i < jobs; ++i) workers_.emplace_back([this] { work(); });
  }
  ~Workshop() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    wake_workers_.notify_all();
    for (std::thread& worker : workers_) worker.join();
  }

  // Waits until the task fits (free worker, sample budget, bounded backlog of unreported
  // results), reporting finished files meanwhile, then queues it, unless a stop was asked for
  // during the wait.
  void submit(Task task, unsigned jobs, double budget, const std::function<void(Task&&, ProducedFile&&)>& emit,
              const std::atomic<bool>* stop) {
    std::unique_lock lock(mutex_);
    const std::size_t backlog_limit = 4 * static_cast<std::size_t>(jobs) + 16;
    for (;;) {
      drain(lock, emit);
      const bool fits = in_flight_ < jobs && order_.size() < backlog_limit &&
                        (in_flight_ == 0 || weight_in_flight_ + task.weight <= budget);
      if (fits) break;
      wake_dispatcher_.wait(lock);
    }
    if (stop != nullptr && stop->load()) return;
    ++in_flight_;
    weight_in_flight_ += task.weight;
    order_.push_back(task.position);
    tasks_.push_back(std::move(task));
    wake_workers_.notify_one();
  }

  // Reports every remaining result in order.
  void finish(const std::function<void(Task&&, ProducedFile&&)>& emit) {
    std::unique_lock lock(mutex_);
    while (!order_.empty()) {
      drain(lock, emit);
      if (!order_.empty()) wake_dispatcher_.wait(lock);
    }
  }

 private:
  // Hands out the results at the front of the plan order; the lock is released while emitting.
  void drain(std::unique_lock<std::mutex>& lock, const std::function<void(Task&&, ProducedFile&&)>& emit) {
    while (!order_.empty()) {
      const auto done = results_.find(order_.front());
      if (done == results_.end()) return;
      auto [task, result] = std::move(done->second);
      results_.erase(done);
      order_.pop_front();
      lock.unlock();
      emit(std::move(task), std::move(result));
      lock.lock();
    }
  }

  void work() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_workers_.wait(lock, [this] { return closing_ || !tasks_.empty(); });
      if (tasks_.empty()) return;
      Task task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      ProducedFile produced = produce_file(settings_, task.file, output_);
      lock.lock();
      --in_flight_;
      weight_in_flight_ -= task.weight;
      const std::uint64_t position = task.position;
      results_.emplace(position, std::pair{std::move(task), std::move(produced)});
      wake_dispatcher_.notify_one();
    }
  }

  const RunSettings& settings_;
  const OutputOptions& output_;
  std::mutex mutex_;
  std::condition_variable wake_workers_;
  std::condition_variable wake_dispatcher_;
  std::deque<Task> tasks_;
  std::deque<std::uint64_t> order_;  // positions submitted and not yet reported
  std::map<std::uint64_t, std::pair<Task, ProducedFile>> results_;
  unsigned in_flight_ = 0;
  double weight_in_flight_ = 0.0;
  bool closing_ = false;
  std::vector<std::thread> workers_;
};

std::uint64_t shard_files(std::uint64_t total, const Shard& shard) {
  return total > shard.index ? (total - shard.index + shard.count - 1) / shard.count : 0;
}

}  // namespace

RunSummary run_in_parallel(const RunSettings& settings, const ParallelRun& options,
                           const std::function<void(const PlannedFile&, const ProducedFile&)>& report,
                           const std::function<void(const RunProgress&)>& progress) {
  RunPlan plan(settings, options.seed ? *options.seed : clock_seed());
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
  Workshop workshop(plan.settings(), options.output, options.jobs);
  // Every file is drawn, in order, whichever shard it belongs to, so the draws never depend on
  // the shard or the number of jobs.
  for (std::uint64_t position = 0;; ++position) {
    std::optional<PlannedFile> file = plan.next();
    if (!file || (options.stop && options.stop->load())) break;
    if (position % options.shard.count != options.shard.index) continue;
    if (options.seed) file->seeds = derive_file_seeds(*options.seed, file->modulation, file->index);
    const double weight = planned_peak_samples(plan.settings(), *file);
    workshop.submit({position, std::move(*file), weight}, options.jobs, options.sample_budget, emit, options.stop);
  }
  workshop.finish(emit);
  return summary;
}

}  // namespace quorvin::cli
