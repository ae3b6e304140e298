#pragma once
// Exact-model runs as the tests that read their files set them up: the few settings a test varies,
// by name, the rest at their zeros; a run's first file with the seeds a run derives for it.

#include <cmath>
#include <complex>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/signal.h"
#include "dsp_reference.h"
#include "generator/family.h"
#include "plan/plan.h"
#include "plan/seeds.h"
#include "synthesis/exact_file.h"
#include "synthesis/parameters.h"

namespace quorvin::test {

// What a test asks of an exact-model run. A symbol rate or SNR of NaN leaves its range at zero.
struct ExactRun {
  std::vector<std::string> names = {};
  std::int32_t files = 1;    // of each name
  double sample_rate = 0.0;  // Hz
  std::int64_t samples = 0;  // every file this long; 0: the symbol count decides
  double symbol_rate = std::nan("");  // Baud, both ends of the range
  double snr_db = std::nan("");       // both ends of the range
  FamilyRanges ranges = {};  // the families' own
};

inline RunSettings exact_run(ExactRun r) {
  RunSettings s;
  s.signal_model = SignalModel::exact;
  s.modulations = std::move(r.names);
  s.files_per_modulation = r.files;
  s.sample_rate = r.sample_rate;
  s.exact.samples_per_file = r.samples;
  s.exact.family_ranges = std::move(r.ranges);
  if (!std::isnan(r.symbol_rate)) s.symbol_rate_min = s.symbol_rate_max = r.symbol_rate;
  if (!std::isnan(r.snr_db)) s.snr_min_db = s.snr_max_db = r.snr_db;
  return s;
}

// The run's first planned file, with the seeds a run derives for it from `seed`.
inline PlannedFile first_file(const RunSettings& s, std::uint32_t seed) {
  RunPlan plan(s, seed);
  PlannedFile file = *plan.next();
  file.seeds = derive_file_seeds(seed, file.modulation, file.index);
  return file;
}

// A file's labels, as a run without a scene writes them.
inline std::vector<ParameterRow> labels_of(const RunSettings& s, const PlannedFile& file) {
  return file_parameters({s, file, std::nullopt});
}

// The mean of |x|^2.
inline double mean_power(const Signal& x) {
  double sum = 0.0;
  for (const Sample& v : x) sum += std::norm(v);
  return sum / static_cast<double>(x.size());
}

// |sum x[k] conj(x[k + d])| for every lag d, by the transform of |X|^2 over twice the length.
inline std::vector<double> autocorrelation(const Signal& x) {
  std::size_t n = 1;
  while (n < 2 * x.size()) n *= 2;
  Signal padded(x);
  padded.resize(n);
  Signal spectrum = test::whole_vector_fft(padded, false);
  for (Sample& v : spectrum) v = std::norm(v);
  const Signal r = test::whole_vector_fft(spectrum, true);
  std::vector<double> out(x.size());
  for (std::size_t d = 0; d < x.size(); ++d) out[d] = std::abs(r[d]);
  return out;
}

// Each cut [cuts[i], cuts[i + 1]) that `range` gives, one after another, holds the same samples as
// `whole` (which starts at cuts[0]) to the bit.
inline void expect_cuts_of_whole(const WaveformRange& range, const Signal& whole, const std::vector<std::int64_t>& cuts) {
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    const auto count = static_cast<std::size_t>(cuts[i + 1] - cuts[i]);
    const Signal part = range(cuts[i], count);
    for (std::size_t k = 0; k < count; ++k) {
      const std::int64_t at = cuts[i] + static_cast<std::int64_t>(k);
      ASSERT_EQ(part[k], whole[static_cast<std::size_t>(at - cuts[0])]) << "at " << at;
    }
  }
}

}  // namespace quorvin::test
