// Names whose symbol is made of their own sizes in samples (OFDM's FFT length and prefix, a chirp's
// sweep) against estimators that see only the samples, at the draws a user gets by default (the
// timing drift among them), in short frames and in long files: the prefix's autocorrelation lag
// is the labelled FFT length, the spectrum's width the labelled spacing, and the instantaneous
// frequency sweeps at the labelled rate across the labelled bandwidth.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "dsp_reference.h"
#include "exact_runs.h"
#include "label_rows.h"
#include "form/options.h"
#include "generator/family.h"
#include "plan/plan.h"
#include "plan/seeds.h"
#include "synthesis/exact_file.h"
#include "synthesis/parameters.h"

namespace quorvin {

QUORVIN_PRINT_CASES_BY_NAME

namespace {

constexpr double fs = 1e6;

struct Made {
  std::vector<ParameterRow> rows;  // its labels
  Signal samples;
  double operator[](std::string_view key) const { return test::label(rows, key); }
};

// File `position` of a run of the name at the default draws (no noise), `samples` long.
Made default_file(std::string_view name, std::int64_t samples, std::uint64_t position) {
  auto read = read_options({{std::string(name)},
                            {{"--sample-rate", "1000000"},
                             {"--samples-per-file", std::to_string(samples)},
                             {"--snr-min", "inf"},
                             {"--snr-max", "inf"},
                             {"--files-per-modulation", "8"}}});
  const RunSettings s = std::get<RunSettings>(std::move(read));
  RunPlan plan(s, 17);
  plan.seek_file(position);
  PlannedFile file = *plan.next();
  file.seeds = derive_file_seeds(17, file.modulation, file.index);
  return {file_parameters({s, file, std::nullopt}), synthesize_exact_file(s, file)};
}

// OFDM: the lag where the prefix repeats the body's end (sought from half to one and a half
// times the label) is the FFT length. Over many symbols, the samples that repeat there count the
// prefix, and the band the subcarriers fill, K + 1 spacings wide
// between its quarter-power edges, gives the spacing.
void check_ofdm(const Made& m, bool many_symbols) {
  const double size = m["fft_size"];
  const double prefix = m["cyclic_prefix_samples"];
  const std::vector<double> r = test::autocorrelation(m.samples);
  const auto from = r.begin() + static_cast<std::ptrdiff_t>(size / 2);
  const auto to = r.begin() + std::min(static_cast<std::ptrdiff_t>(r.size()), static_cast<std::ptrdiff_t>(1.5 * size));
  const auto lag = static_cast<double>(std::max_element(from, to) - r.begin());
  // The subcarriers fill only part of the band, so the lags beside the peak correlate too, and
  // over few prefixes the noise of the others' sums may tip it by one.
  EXPECT_NEAR(lag, size, 1.0);
  if (!many_symbols) return;
  // The products x[k] conj(x[k + N]) folded over the symbol period: where the prefix repeats the
  // body they are |x|^2, elsewhere they average towards 0.
  // The drift moves the symbols' starts by up to a ten-thousandth of the file: each sample goes
  // to its place in its symbol at the realised rate.
  const double rate = m["realised_symbol_rate"] / fs;
  const auto period = static_cast<std::size_t>(std::llround(1.0 / rate));
  std::vector<Sample> fold(period);
  double power = 0.0;
  const auto n_size = static_cast<std::size_t>(size);
  for (std::size_t k = 0; k + n_size < m.samples.size(); ++k) {
    const double u = static_cast<double>(k) * rate;
    const auto place = std::min(period - 1, static_cast<std::size_t>((u - std::floor(u)) * static_cast<double>(period)));
    fold[place] += m.samples[k] * std::conj(m.samples[k + n_size]);
    power += std::norm(m.samples[k]);
  }
  const double each = power / static_cast<double>(m.samples.size() - n_size) * static_cast<double>((m.samples.size() - n_size) / period);
  const auto repeating = std::count_if(fold.begin(), fold.end(), [&](Sample v) { return std::abs(v) > 0.5 * each; });
  // A symbol starts between samples, and its band-limited edges blur a sample at either end.
  EXPECT_NEAR(static_cast<double>(repeating), prefix, 2.0);
  const std::size_t n = 4096;
  const std::vector<double> psd = test::centred_psd(m.samples, n);
  const double peak = *std::max_element(psd.begin(), psd.end());
  std::size_t low = 0;
  while (psd[low] < peak / 4.0) ++low;
  std::size_t high = n - 1;
  while (psd[high] < peak / 4.0) --high;
  const double width = static_cast<double>(high - low + 1) * fs / static_cast<double>(n);
  const double spacing = m["subcarrier_spacing"];
  EXPECT_NEAR(width / (m["active_subcarriers"] + 1.0) / spacing, 1.0, 0.03);
}

// Chirps: the instantaneous frequency (the phase step between samples) moves by the sweep rate
// each sample, the median step being the sweep's (the jumps between sweeps are few), and spans
// the bandwidth.
void check_chirp(const Made& m, Route route, bool whole_sweeps) {
  const double bandwidth = m["chirp_bandwidth"] * fs;
  // Hz a second: the sweep crosses its bandwidth once a pulse, or once a symbol.
  const double rate = route == Route::lfm_radar   ? bandwidth * fs / m["pulse_width"]
                      : route == Route::css       ? bandwidth * bandwidth / std::ldexp(1.0, static_cast<int>(m["spreading_factor"]))
                                                  : bandwidth * m["symbol_rate"];
  // Hz, between samples k and k + 1; NaN off the signal.
  const auto frequency = [&m](std::size_t k) {
    const bool on = std::abs(m.samples[k]) >= 0.1 && std::abs(m.samples[k + 1]) >= 0.1;
    return on ? std::arg(m.samples[k + 1] * std::conj(m.samples[k])) * fs / (2.0 * pi) : std::nan("");
  };
  std::vector<double> steps;
  std::vector<double> seen;
  for (std::size_t k = 0; k + 1 < m.samples.size(); ++k) {
    if (std::isnan(frequency(k))) continue;
    seen.push_back(frequency(k));
    if (k + 2 < m.samples.size() && !std::isnan(frequency(k + 1))) steps.push_back(std::abs(frequency(k + 1) - frequency(k)) * fs);
  }
  ASSERT_GT(steps.size(), 16U);
  std::nth_element(steps.begin(), steps.begin() + static_cast<std::ptrdiff_t>(steps.size() / 2), steps.end());
  EXPECT_NEAR(steps[steps.size() / 2] / rate, 1.0, 0.01);
  // A sweep of a few samples has no frequency of its own between them.
  if (!whole_sweeps || rate / fs > bandwidth / 8.0) return;
  // A phase step reads the frequency half a sample into its step, and a step across a jump
  // between sweeps reads between them; a gated pulse loses its first and last step: the extremes
  // lie within two samples' sweep of the edges.
  const auto [lowest, highest] = std::minmax_element(seen.begin(), seen.end());
  EXPECT_NEAR(*highest - *lowest, bandwidth, 2.0 * rate / fs + 0.01 * bandwidth);
}

class OwnSymbolName : public testing::TestWithParam<ModulationRow> {};

// Short frames (1024 samples, or sixteen symbols where a symbol is longer, so that the prefixes'
// lag stands out), where a tenth of a symbol's drift is a large clock error, and long
// files of many symbols; four default draws each.
TEST_P(OwnSymbolName, SamplesShowTheLabelledSizesAtTheDefaultDraws) {
  const ModulationRow& row = GetParam();
  for (std::uint64_t position = 0; position < 4; ++position) {
    SCOPED_TRACE(position);
    const Made probe = default_file(row.name, 1024, position);
    const double symbol = fs / probe["symbol_rate"];
    const bool ofdm = row.family_id == FamilyId::ofdm;
    const double shortest = ofdm ? std::ceil(16.0 * symbol) : 1024.0;
    for (const double length : {std::max(1024.0, shortest), std::min(64.0 * symbol, 1.0 * (1 << 20))}) {
      SCOPED_TRACE("length " + std::to_string(length));
      const Made m = default_file(row.name, static_cast<std::int64_t>(length), position);
      if (ofdm) {
        check_ofdm(m, length >= 32.0 * symbol);
      } else {
        check_chirp(m, row.route, length >= 4.0 * symbol);
      }
    }
  }
}

std::vector<ModulationRow> own_symbol_rows() {
  std::vector<ModulationRow> rows;
  for (const ModulationRow& row : modulation_catalogue) {
    if (row.family_id == FamilyId::ofdm || row.family_id == FamilyId::chirp) rows.push_back(row);
  }
  return rows;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, OwnSymbolName, testing::ValuesIn(own_symbol_rows()), test::RowName());

}  // namespace
}  // namespace quorvin
