#include "run/dataset.h"
#include "run/run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <complex>
#include <cstdlib>
#include <limits>
#include <new>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <set>
#include <stop_token>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/limits.h"
#include "common/text.h"
#include "plan/draw.h"
#include "plan/plan.h"
#include "run_test_support.h"

namespace quorvin {
namespace {

TEST(DrawSource, FifteenBitSequenceOfTheClassicGenerator) {
  DrawSource source(1);
  const std::uint32_t expected[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358};
  for (const std::uint32_t value : expected) EXPECT_EQ(source.next(), value);
  DrawSource other(123456789);
  for (int i = 0; i < 100000; ++i) ASSERT_LE(other.next(), 32767u);
}

TEST(DrawSource, SkippingGivesTheStateOfAsManyDraws) {
  for (const std::uint64_t count : {0ull, 1ull, 2ull, 3ull, 7ull, 64ull, 1000ull, 65537ull}) {
    DrawSource walked(4242);
    for (std::uint64_t i = 0; i < count; ++i) walked.next();
    DrawSource skipped(4242);
    skipped.skip(count);
    EXPECT_EQ(skipped.state(), walked.state()) << count;
    EXPECT_EQ(skipped.drawn(), 0u);
  }
  DrawSource whole_period(9);  // the state's period is 2^32 draws
  whole_period.skip(std::uint64_t{1} << 32);
  EXPECT_EQ(whole_period.state(), 9u);
}

RunSettings settings_for(std::vector<std::string> names, std::int32_t files, std::u16string folder) {
  return {.modulations = std::move(names), .symbol_rate_min = 1000, .symbol_rate_max = 5000, .sample_rate = 10000,
          .snr_min_db = 10, .snr_max_db = 30, .timing_error_max = 0.1, .frequency_offset_max = 100,
          .files_per_modulation = files, .num_symbols = 200, .analog_carrier_frequency = 1000, .analog_deviation = 500,
          .amplitude_min = 0.5, .amplitude_max = 1.0, .output_folder = std::move(folder), .exact = {}};
}

// The fields the plan draws, side by side.
auto drawn_fields(const PlannedFile& f) {
  return std::make_tuple(f.modulation, f.index, f.amplitude, f.snr_db, f.message_frequency, f.symbol_rate,
                         f.timing_error, f.frequency_offset, f.family_draws,
                         f.start_offset, f.impairments.carrier_phase, f.impairments.clock_ppm);
}

// Routes draw different numbers of values (rolloff, FSK index, BT, AM index, frame start).
RunSettings mixed_routes(SignalModel model) {
  RunSettings s = settings_for({"AM", "FM", "CW", "AM-SSB", "BPSK", "8FSK", "GMSK", "QAM16"}, 5, u".");
  s.signal_model = model;
  s.exact.samples_per_file = model == SignalModel::exact ? 256 : 0;
  s.exact.impairments.carrier_phase = true;
  s.exact.impairments.clock_ppm_max = 5;
  return s;
}

TEST(RunPlan, SeekingAFileGivesWhatWalkingGives) {
  for (const SignalModel model : {SignalModel::classic, SignalModel::exact}) {
    const RunSettings s = mixed_routes(model);
    RunPlan walked(s, 77);
    std::uint64_t position = 0;
    while (const std::optional<PlannedFile> expected = walked.next()) {
      RunPlan sought(s, 77);
      sought.seek_file(position);
      EXPECT_EQ(drawn_fields(*sought.next()), drawn_fields(*expected)) << position;
      ++position;
    }
    ASSERT_EQ(position, 40u);
    RunPlan reused(s, 77);  // backwards, forwards and past the end, on one plan
    for (const std::uint64_t p : {39ull, 3ull, 3ull, 22ull, 0ull}) {
      reused.seek_file(p);
      RunPlan reference(s, 77);
      for (std::uint64_t i = 0; i < p; ++i) reference.next();
      EXPECT_EQ(drawn_fields(*reused.next()), drawn_fields(*reference.next())) << p;
    }
    for (const std::uint64_t past : {40ull, 41ull, ~0ull}) {
      reused.seek_file(past);
      EXPECT_FALSE(reused.next()) << past;
    }
  }
}

class Run : public test::TempFolder {
 protected:
  std::u16string out() const { return folder().u16string(); }
  std::u16string path_text(const std::string& file) const {
    return out() + static_cast<char16_t>(std::filesystem::path::preferred_separator) + utf8_to_utf16(file);
  }
  // `files` exact files of each name, of `samples` samples (1000: streamed, and so small files to
  // the workers).
  RunSettings exact_files(std::vector<std::string> names, std::int32_t files, std::int64_t samples = 1000) const {
    RunSettings s = settings_for(std::move(names), files, out());
    s.signal_model = SignalModel::exact;
    s.exact.samples_per_file = samples;
    return s;
  }
  static DatasetRun seeded(std::uint32_t seed, unsigned jobs, SampleFormat format = SampleFormat::csv) {
    DatasetRun run;
    run.draw_seed = seed;
    run.jobs = jobs;
    run.output.format = format;
    return run;
  }
};

TEST_F(Run, SettingsFileThatCannotBeWrittenIsReported) {
  RunSettings s = settings_for({"8PSK"}, 1, out());
  s.save_settings_file = true;
  std::filesystem::create_directory(folder() / "8PSK_signal_1.txt");
  const ProducedFile produced = produce_file(s, *RunPlan(s, 1).next());
  EXPECT_EQ(produced.report, u"8PSK: Saved to " + path_text("8PSK_signal_1.csv") + u"\n  Failed to save settings to " +
                                 path_text("8PSK_signal_1.txt") + u"\n");
  EXPECT_FALSE(produced.saved);
}

TEST_F(Run, TheReportKeepsItsLineLimitThenCountsTheRestByKind) {
  // Every file fails at once, one sample beyond the size ceiling, as a run of two billion such
  // files would.
  RunSettings s = settings_for({"AM"}, static_cast<std::int32_t>(report_line_limit) + 5, out());
  s.num_symbols = static_cast<std::int32_t>(max_samples_per_file + 1);
  const std::u16string report = run_generation(s, 1);
  const std::u16string line = u"AM: Failed to generate signal: signal of " +
                              utf8_to_utf16(std::to_string(max_samples_per_file + 1)) + u" samples exceeds the limit of " +
                              utf8_to_utf16(std::to_string(max_samples_per_file)) + u" samples per file.\n";
  const std::u16string last = u"... and 5 more lines: 5 failed to generate\n";
  ASSERT_EQ(report.size(), report_line_limit * line.size() + last.size());
  EXPECT_EQ(report.substr(0, line.size()), line);
  EXPECT_EQ(report.substr(report.size() - last.size()), last);
}

TEST_F(Run, EmptySignalsAreWrittenAsEmptyFiles) {
  RunSettings s = settings_for({"QAM2048", "AM"}, 1, out());
  s.num_symbols = 0;
  EXPECT_EQ(run_generation(s, 1), u"QAM2048: Saved to " + path_text("QAM2048_signal_1.csv") + u"\nAM: Saved to " +
                                      path_text("AM_signal_1.csv") + u"\n");
  EXPECT_EQ(std::filesystem::file_size(folder() / "AM_signal_1.csv"), 0u);
}

// Stopped from its report callback after N of 6 files (noise-free, so every file's bytes follow
// the draw seed): the folder holds exactly those N files, each whole with its settings file and
// no temporary beside them, and the callback was told each of them once, in plan order.
class RunStopped : public Run, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(RunStopped, AfterNFilesLeavesTheirWholePairsAndReportsEach) {
  const std::size_t stop_after = GetParam();
  const auto settings_in = [](const std::filesystem::path& folder) {
    RunSettings s = settings_for({"AM", "FM"}, 3, folder.u16string());
    s.snr_min_db = s.snr_max_db = std::numeric_limits<double>::infinity();
    s.save_settings_file = true;
    return s;
  };
  const std::filesystem::path whole = folder() / "whole";
  const std::filesystem::path stopped = folder() / "stopped";
  std::filesystem::create_directories(whole);
  std::filesystem::create_directories(stopped);
  run_generation(settings_in(whole), 7);

  std::stop_source stop;
  std::vector<std::u16string> told;
  const std::u16string report =
      run_generation(settings_in(stopped), 7, {}, stop.get_token(), [&](std::u16string_view piece) {
        told.emplace_back(piece);
        if (told.size() == stop_after) stop.request_stop();
      });

  std::vector<std::string> expected_names;
  std::u16string expected_report;
  RunPlan plan(settings_in(stopped), 7);
  for (std::size_t k = 0; k < stop_after; ++k) {
    const PlannedFile file = *plan.next();
    const std::string stem = file.modulation + "_signal_" + std::to_string(file.index);
    const std::u16string piece = utf8_to_utf16(file.modulation) + u": Saved to " + (stopped / (stem + ".csv")).u16string() +
                                 u"\n  Settings saved to " + (stopped / (stem + ".txt")).u16string() + u"\n";
    ASSERT_LT(k, told.size());
    EXPECT_EQ(told[k], piece) << k;
    expected_report += piece;
    for (const char* extension : {".csv", ".txt"}) {
      expected_names.push_back(stem + extension);
      EXPECT_EQ(test::read_file(stopped / expected_names.back()), test::read_file(whole / expected_names.back()))
          << expected_names.back();
    }
  }
  EXPECT_EQ(told.size(), stop_after);
  EXPECT_EQ(report, expected_report);
  std::set<std::string> present;
  for (const auto& entry : std::filesystem::directory_iterator(stopped)) {
    present.insert(entry.path().filename().string());
  }
  EXPECT_EQ(present, std::set<std::string>(expected_names.begin(), expected_names.end()));
}

INSTANTIATE_TEST_SUITE_P(Files, RunStopped, ::testing::Values(1, 2, 5));

// A disk flush that holds the first two files until a third file's flush begins (or 5 s pass).
struct HeldFlushes {
  std::mutex mutex;
  std::condition_variable third;
  int flushes = 0;
  bool timed_out = false;
};
HeldFlushes held_flushes;

// How long a test waits for the workers' progress before it calls them stuck: it goes on as soon
// as they have made it, so only a broken build waits this long; a loaded machine may need seconds.
constexpr std::chrono::seconds progress_bound(60);

bool flush_held_until_a_third(std::FILE*) {
  std::unique_lock lock(held_flushes.mutex);
  ++held_flushes.flushes;
  held_flushes.third.notify_all();
  if (held_flushes.flushes <= 2 &&
      !held_flushes.third.wait_for(lock, progress_bound, [] { return held_flushes.flushes >= 3; })) {
    held_flushes.timed_out = true;
  }
  return true;
}

// Two jobs whose streamed files both wait on their disks: a third file is still made meanwhile,
// so a slow disk does not idle the processors.
TEST_F(Run, FilesWaitingOnTheirDiskLetTheNextFileStart) {
  const RunSettings s = exact_files({"QPSK"}, 3);
  DatasetRun run = seeded(1, 2);
  run.output.write.sync = flush_held_until_a_third;
  std::uint64_t saved = 0;
  run_dataset(s, run, [&saved](const PlannedFile&, const ProducedFile& produced) { saved += produced.saved ? 1 : 0; });
  EXPECT_EQ(saved, 3u);
  EXPECT_EQ(held_flushes.flushes, 3);
  EXPECT_FALSE(held_flushes.timed_out) << "the third file waited for the first two flushes";
}

// Short files are queued ahead of the workers: while the dispatcher is held up reporting the first
// file, the workers go on and make the others queued, not only one each.
TEST_F(Run, WorkersGoOnWithQueuedShortFilesWhileTheFirstIsReported) {
  const RunSettings s = exact_files({"QPSK"}, 12);
  const DatasetRun run = seeded(1, 2);
  const auto files_made = [this] {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder())) count += entry.path().extension() == ".csv" ? 1u : 0u;
    return count;
  };
  std::size_t made_while_reporting = 0;
  run_dataset(s, run, [&](const PlannedFile&, const ProducedFile&) {
    if (made_while_reporting != 0) return;
    const auto until = std::chrono::steady_clock::now() + progress_bound;
    while (files_made() < 6 && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    made_while_reporting = files_made();
  });
  EXPECT_GE(made_while_reporting, 6u);
  EXPECT_EQ(files_made(), 12u);
}

// Each shard goes straight to its files: together they report the unsharded run's draws, and a
// shard at the far end of a plan of billions of files starts at once (walking to it took minutes).
TEST_F(Run, ShardsReportTheUnshardedRunsFilesAndStartAtOnce) {
  const auto reported = [this](RunSettings s, Shard shard) {
    s.output_folder = out();
    DatasetRun run = seeded(5, 1);
    run.seed_files = true;
    run.shard = shard;
    std::vector<std::pair<decltype(drawn_fields(PlannedFile{})), std::optional<Seed>>> files;
    run_dataset(s, run, [&](const PlannedFile& f, const ProducedFile&) { files.emplace_back(drawn_fields(f), f.seeds.noise); });
    return files;
  };
  for (const SignalModel model : {SignalModel::classic, SignalModel::exact}) {
    const RunSettings s = mixed_routes(model);
    const auto whole = reported(s, {});
    ASSERT_EQ(whole.size(), 40u);
    for (const std::uint32_t count : {2u, 3u, 7u, 41u}) {
      for (std::uint32_t k = 0; k < count; ++k) {
        const auto part = reported(s, {k, count});
        ASSERT_EQ(part.size(), k < 40 ? (40 - k + count - 1) / count : 0u) << k << "/" << count;
        for (std::size_t j = 0; j < part.size(); ++j) EXPECT_EQ(part[j], whole[k + j * count]) << k << "/" << count;
      }
    }
  }
  RunSettings far = settings_for({"QPSK", "AM"}, 2000000000, out());
  far.num_symbols = 16;
  const auto last = reported(far, {3999999999u, 4000000000u});
  ASSERT_EQ(last.size(), 1u);
  EXPECT_EQ(std::get<0>(last[0].first), "AM");
  EXPECT_EQ(std::get<1>(last[0].first), 2000000000);
}

// Allocations of one size, counted while they live: the kept samples of a file of a length no
// other buffer of the run has.
struct KeptBuffers {
  std::atomic<std::size_t> size{0};  // 0: not counting
  std::mutex mutex;
  std::vector<void*> live;
  std::size_t peak = 0;
};
KeptBuffers kept_buffers;

// With SampleFormat::container a file's samples travel in its result until it is reported: they count
// against the run's sample budget until then, not only while they are made. Short files go to the
// workers several at a time, but never more together than the budget either.
class KeptSamples : public Run, public ::testing::WithParamInterface<std::int64_t> {};

TEST_P(KeptSamples, CountAgainstTheBudgetUntilReported) {
  const std::int64_t length = GetParam();
  RunSettings s = exact_files({"QPSK"}, 24, length);
  s.sample_rate = 50000;
  s.symbol_rate_min = s.symbol_rate_max = 10000;
  DatasetRun run = seeded(1, 4, SampleFormat::container);
  run.sample_budget = 2.5 * static_cast<double>(length);  // two files' samples at once
  kept_buffers.live.reserve(64);
  kept_buffers.size = static_cast<std::size_t>(length) * sizeof(std::complex<float>);
  std::uint64_t reported = 0;
  run_dataset(s, run, [&](const PlannedFile&, const ProducedFile& produced) {
    reported += produced.kept.size() == static_cast<std::size_t>(length) ? 1u : 0u;
  });
  kept_buffers.size = 0;
  EXPECT_EQ(reported, 24u);
  EXPECT_GE(kept_buffers.peak, 1u);
  EXPECT_LE(kept_buffers.peak, 2u);
}

// A long file goes to a worker alone; files of a few thousand samples go several together.
INSTANTIATE_TEST_SUITE_P(Lengths, KeptSamples, ::testing::Values(100003, 4099));

// Short files handed to the workers several at a time (and the last few fewer) come back in plan
// order with the samples of a run on one thread, whatever the number of jobs and the budget.
TEST_F(Run, ShortFilesKeepPlanOrderAndSamplesForAnyJobs) {
  const RunSettings s = exact_files({"QPSK", "AM", "2FSK"}, 15);
  using Reported = std::vector<std::tuple<std::string, std::int64_t, std::vector<std::complex<float>>>>;
  const auto reported = [&](unsigned jobs, double budget) {
    DatasetRun run = seeded(3, jobs, SampleFormat::container);
    run.seed_files = true;
    run.sample_budget = budget;
    Reported files;
    run_dataset(s, run, [&](const PlannedFile& f, const ProducedFile& produced) {
      files.emplace_back(f.modulation, f.index, produced.kept);
    });
    return files;
  };
  const Reported one = reported(1, 1e9);
  ASSERT_EQ(one.size(), 45u);
  for (const auto& [jobs, budget] : std::vector<std::pair<unsigned, double>>{{2, 1e9}, {3, 1e9}, {2, 2500.0}}) {
    const Reported many = reported(jobs, budget);
    ASSERT_EQ(many.size(), one.size()) << jobs << " " << budget;
    for (std::size_t k = 0; k < one.size(); ++k) EXPECT_TRUE(many[k] == one[k]) << jobs << " " << budget << " " << k;
  }
}

// Long files are streamed a block at a time, so they hold few samples, but they still go to the
// workers one at a time: a stop after the first file leaves only the few queued to finish.
TEST_F(Run, AStopLeavesOnlyAFewLongStreamedFilesToFinish) {
  const RunSettings s = exact_files({"QPSK"}, 40, 40000);
  std::stop_source stop;
  DatasetRun run = seeded(1, 2);
  run.stop = stop.get_token();
  std::uint64_t reported = 0;
  run_dataset(s, run, [&](const PlannedFile&, const ProducedFile&) {
    ++reported;
    stop.request_stop();
  });
  EXPECT_GE(reported, 1u);
  EXPECT_LE(reported, 10u);  // those queued (two a worker ahead) or being made, the spare's too
}

}  // namespace
}  // namespace quorvin

// Global allocation functions that count the buffers of KeptBuffers' size; every other
// allocation passes straight through.
void* operator new(std::size_t size) {
  void* memory = std::malloc(size == 0 ? 1 : size);
  if (memory == nullptr) throw std::bad_alloc();
  auto& kept = quorvin::kept_buffers;
  if (size != 0 && size == kept.size.load()) {
    const std::lock_guard lock(kept.mutex);
    kept.live.push_back(memory);
    kept.peak = std::max(kept.peak, kept.live.size());
  }
  return memory;
}
void operator delete(void* memory) noexcept {
  auto& kept = quorvin::kept_buffers;
  if (memory != nullptr && kept.size.load() != 0) {
    const std::lock_guard lock(kept.mutex);
    std::erase(kept.live, memory);
  }
  std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }
// The library's temporary buffers (std::stable_sort's) come from the nothrow form and go back
// through the plain delete above, so it must come from the same malloc.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void operator delete(void* memory, const std::nothrow_t&) noexcept { operator delete(memory); }
