#pragma once
// The files a standard's receiver test decodes: one name's run planned and made as the run layer
// makes it, each file's labels and samples.

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dsp_reference.h"
#include "label_rows.h"
#include "form/options.h"
#include "generator/symbols.h"
#include "synthesis/exact_file.h"
#include "synthesis/parameters.h"
#include "plan/plan.h"
#include "plan/seeds.h"
#include "standard_files.h"

namespace quorvin::test {

// One written file: its run's settings, its plan, labels, samples and transmitted symbols.
struct Recording {
  const RunSettings& settings;
  const PlannedFile& file;
  Labels labels;
  Signal x;
  TransmittedSymbols symbols;
};

// Each file of `name` under `texts` and run seed `seed`, its symbols seeded as a run seeds them:
// each(recording), traced by the file's index. The run must get the sample rate `fs` without
// naming one.
template <class Each>
void for_each_recording(const std::string& name, const OptionTexts& texts, std::uint32_t seed, double fs, Each each) {
  RunSettings s;
  const std::vector<Made> made = made_files(name, texts, seed, s);
  ASSERT_FALSE(made.empty());
  ASSERT_EQ(s.sample_rate, fs) << "the rate a run without one gets";
  for (const Made& m : made) {
    SCOPED_TRACE("file " + std::to_string(m.file.index));
    each(Recording{s, m.file, m.labels, m.x, exact_file_symbols(s, m.file)});
  }
}

// The line levels --save-symbols tells for frame i of a recording: the symbols whose instants lie
// between its labelled start and end.
inline std::vector<int> frame_levels(const Recording& r, std::size_t i) {
  const std::vector<double> starts = r.labels.list("frame_starts");
  const std::vector<double> ends = r.labels.list("frame_ends");
  std::vector<int> levels;
  for (const TransmittedSymbol& t : r.symbols.symbols) {
    if (t.instant > starts[i] && t.instant < ends[i]) levels.push_back(static_cast<int>(t.bits));
  }
  return levels;
}

// A noise-free recording is silent outside its whole frames and `edge` samples either side
// (their ramps), which lie inside it (no frame cut at either end), and the band the band check
// takes holds `share` of its power.
inline void expect_silent_outside_frames_and_held(const Recording& r, double share, double edge = 0.0) {
  const std::vector<double> starts = r.labels.list("frame_starts");
  const std::vector<double> ends = r.labels.list("frame_ends");
  ASSERT_FALSE(starts.empty());
  ASSERT_EQ(starts.size(), ends.size());
  for (std::size_t k = 0; k < r.x.size(); ++k) {
    const double t = static_cast<double>(k);
    bool inside = false;
    for (std::size_t i = 0; i < starts.size(); ++i) inside = inside || (t > starts[i] - edge && t < ends[i] + edge);
    if (!inside) {
      ASSERT_EQ(r.x[k], Sample(0.0, 0.0)) << "sample " << k;
    }
  }
  EXPECT_GE(starts.front() - edge, 0.0);
  EXPECT_LE(ends.back() + edge, static_cast<double>(r.x.size() - 1));
  const BandEdges band = exact_occupied_band(r.settings, r.file);
  EXPECT_GE(band_share(r.x, r.settings.sample_rate, band.low, band.high), share);
}

// The first file of a run of `name` with `texts` and run seed `seed`, `samples` long, at each
// timing drift of `drifts`: its range cut at `cuts` (from -50 to samples + 50), kept or made
// afresh for each cut, gives the whole range's samples to the bit. check(whole) looks at the
// whole range (sample -50 first) before it is cut.
template <class Check>
void expect_cuts_give_the_whole(const std::string& name, const OptionTexts& texts, std::uint32_t seed, std::int32_t samples,
                                const std::vector<double>& drifts, const std::vector<std::int64_t>& cuts, Check check) {
  const RunSettings s = read_settings(name, texts);
  RunPlan plan(s, seed);
  PlannedFile file = *plan.next();
  file.seeds = derive_file_seeds(seed, file.modulation, file.index);
  for (const double drift : drifts) {
    SCOPED_TRACE(drift);
    file.timing_error = drift;
    const Signal whole = exact_waveform_range(s, file, samples, 50, 50)(-50, static_cast<std::size_t>(samples) + 100);
    check(whole);
    const WaveformRange kept = exact_waveform_range(s, file, samples, 50, 50);
    for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
      const auto count = static_cast<std::size_t>(cuts[i + 1] - cuts[i]);
      const auto at = static_cast<std::ptrdiff_t>(cuts[i] + 50);
      const Signal part(whole.begin() + at, whole.begin() + at + static_cast<std::ptrdiff_t>(count));
      EXPECT_TRUE(same_bits(kept(cuts[i], count), part)) << "from " << cuts[i];
      EXPECT_TRUE(same_bits(exact_waveform_range(s, file, samples, 50, 50)(cuts[i], count), part)) << "from " << cuts[i];
    }
  }
}

}  // namespace quorvin::test
