// The exact model's labels, proven by estimators that know only the waveform: a matched filter,
// blind symbol-rate and bandwidth estimates, measured SNR and tone amplitudes.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <numbers>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "blind_rate.h"
#include "common/limits.h"
#include "dsp_reference.h"
#include "exact_runs.h"
#include "label_rows.h"
#include "modulation/fft.h"
#include "parameter_names.h"
#include "plan/exact_options.h"
#include "plan/plan.h"
#include "plan/seeds.h"
#include "synthesis/exact_file.h"
#include "synthesis/parameters.h"
#include "waveform_samples.h"

namespace quorvin {
namespace {

QUORVIN_PRINT_CASES_BY_NAME

constexpr double two_pi = 6.283185307179586;

WaveformParameters clean(double ratio, std::int64_t samples) {
  return {.sample_rate = 1000.0 * ratio, .num_samples = samples, .symbol_rate = 1000.0, .symbol_seed = 7};
}

using test::exact_run;
using test::first_file;
using test::label;
using test::labels_of;
using test::mean_power;
using test::RateFeature;

// ---- Matched filter: RRC-shaped QPSK filtered by the same RRC (cut to the same span) and read
// at the symbol instants lands on the constellation, also with a drifting clock. A cut RRC pair
// is not quite free of intersymbol interference: its own peak distortion, integrated here from
// the reference pulse, is the most a file may show; at a long span that is below 1e-3.

struct MatchedCase {
  const char* name;
  double ratio;
  double timing_error;
  int span;
};

class MatchedFilter : public testing::TestWithParam<MatchedCase> {};

TEST_P(MatchedFilter, ReadsBackTheConstellationPoints) {
  const MatchedCase c = GetParam();
  const double half = c.span / 2.0;
  const auto filter = [half](double t) { return std::abs(t) < half ? test::reference_rrc(t, 0.35) : 0.0; };
  double energy = 0.0;
  std::vector<double> pair(static_cast<std::size_t>(c.span));  // the cut pair's response at lag k
  for (double t = -half; t < half; t += 1e-4) {
    energy += filter(t) * filter(t) * 1e-4;
    for (int k = 1; k < c.span; ++k) pair[static_cast<std::size_t>(k)] += filter(t) * filter(t - k) * 1e-4;
  }
  double distortion = 0.0;
  for (const double r : pair) distortion += 2.0 * std::abs(r) / energy;
  WaveformParameters p = clean(c.ratio, 4000);
  p.timing_error = c.timing_error;
  p.start_offset = 0.3;
  p.filter_span = c.span;
  const Signal x = test::waveform_samples("QPSK", p);
  ASSERT_EQ(x.size(), 4000u);
  // Sample k sits at u(k) = start + k * slope symbol periods (the drift is linear in k).
  const double slope = 1.0 / c.ratio + c.timing_error / 4000.0;
  double worst = 0.0;
  for (int n = c.span; n < 1000 - c.span; ++n) {
    Sample y = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) y += x[k] * filter(0.3 + static_cast<double>(k) * slope - n);
    y *= slope / energy;
    // The nearest QPSK point at unit energy: 1, j, -1 or -j.
    const Sample point = std::polar(1.0, std::numbers::pi / 2 * std::round(std::arg(y) / (std::numbers::pi / 2)));
    worst = std::max(worst, std::abs(y - point));
  }
  EXPECT_LT(worst, std::max(distortion * 1.05, 0.0) + 3e-4) << "the pair's own distortion: " << distortion;
  if (c.span >= 40) {
    EXPECT_LT(worst, 1e-3);
  }
}

INSTANTIATE_TEST_SUITE_P(Ratios, MatchedFilter,
                         testing::Values(MatchedCase{"four", 4.0, 0.0, 40}, MatchedCase{"three_point_seven", 3.7, 0.0, 40},
                                         MatchedCase{"drifting", 3.7, 0.8, 40},
                                         MatchedCase{"default_span", 3.7, 0.0, 10},
                                         // Spans whose pulses fill 2, 4, 5, 7 and 8 groups of four
                                         // terms: each takes its own unrolled sum.
                                         MatchedCase{"span_6", 3.7, 0.8, 6},
                                         MatchedCase{"span_14", 4.0, 0.8, 14}, MatchedCase{"span_18", 3.7, 0.0, 18},
                                         MatchedCase{"span_26", 3.7, 0.8, 26}, MatchedCase{"span_30", 2.5, 0.8, 30}),
                         test::CaseName{});

// The triangle, the shortest tabled pulse (one group of four terms), worked by hand: at four
// samples per symbol with no offset, sample 4n lies on symbol n's instant and holds its point
// times sqrt(3/2) (the triangle's energy is 2/3); sample 4n + 2, midway, holds the mean of its
// two neighbouring symbols' samples, and 4n + 1 three quarters of the one plus a quarter of the next.
TEST(TrianglePulse, SamplesAreTheHandWorkedMixOfTwoSymbols) {
  WaveformParameters p = clean(4.0, 400);
  p.pulse = PulseShape::linear;
  const Signal x = test::waveform_samples("QPSK", p);
  ASSERT_EQ(x.size(), 400u);
  const double peak = std::sqrt(1.5);
  for (std::size_t k = 0; k + 4 < x.size(); k += 4) {
    EXPECT_NEAR(std::abs(x[k]), peak, 1e-6) << k;
    EXPECT_NEAR(std::abs(std::remainder(std::arg(x[k]), std::numbers::pi / 2)), 0.0, 1e-6) << k;
    EXPECT_NEAR(std::abs(x[k + 2] - 0.5 * (x[k] + x[k + 4])), 0.0, 1e-6) << k;
    EXPECT_NEAR(std::abs(x[k + 1] - (0.75 * x[k] + 0.25 * x[k + 4])), 0.0, 1e-6) << k;
  }
}


// The realised timing labels count the timing drift and the sample clock's offset: the blind
// estimate of the rate (the |x|^2 line for a linear route, the line of the squared change of the
// instantaneous frequency for a keyed one) agrees with them within 0.01 %, while the drawn rate
// is 0.1 % to 0.5 % away.
TEST(ExactRealisedTiming, LabelsMatchABlindEstimateUnderDriftAndClockOffset) {
  struct Case {
    const char* name;
    const char* modulation;
    double timing_error;  // symbol periods over the file
    double ppm;
  };
  for (const Case c : {Case{"drift", "QPSK", 20.0, 0.0}, Case{"clock", "QPSK", 0.0, 1000.0},
                       Case{"both", "QAM16", -15.0, -800.0}, Case{"keyed", "2FSK", 12.0, 600.0}}) {
    const RunSettings s = exact_run({.sample_rate = 3700.0, .samples = 1 << 15});
    PlannedFile file{.modulation = c.modulation, .snr_db = HUGE_VAL, .symbol_rate = 1000.0, .timing_error = c.timing_error,
                     .seeds = {7, 8}};
    if (c.ppm != 0.0) file.impairments.clock_ppm = c.ppm;
    const Signal x = synthesize_exact_file(s, file);
    const RateFeature feature = std::string(c.modulation) != "2FSK" ? RateFeature::envelope : RateFeature::frequency_change;
    const double estimated = test::strongest_line(test::rate_feature(x, feature)) * s.sample_rate;
    const std::vector<ParameterRow> rows = labels_of(s, file);
    EXPECT_NEAR(label(rows, "realised_symbol_rate") / estimated, 1.0, 1e-4) << c.name << ": estimated " << estimated;
    EXPECT_NEAR(label(rows, "samples_per_symbol") * estimated / s.sample_rate, 1.0, 1e-4) << c.name;
    EXPECT_NEAR(label(rows, "symbols_spanned") / (static_cast<double>(x.size()) * estimated / s.sample_rate), 1.0, 1e-4)
        << c.name;
    EXPECT_GT(std::abs(estimated / file.symbol_rate - 1.0), 5e-4) << c.name << ": the case moves the rate";
  }
}

// ---- Occupied bandwidth (phase continuity: each symbol turns the phase by whole steps, below).

// The band holding 99 % of the power, in symbol rates, from averaged periodograms.
double occupied_bandwidth(const Signal& x, double ratio) {
  const std::size_t n = 4096;
  const std::vector<double> psd = test::centred_psd(x, n);
  const double total = std::accumulate(psd.begin(), psd.end(), 0.0);
  double low = 0.0;
  std::size_t lo = 0;
  while (low + psd[lo] < 0.005 * total) low += psd[lo++];
  double high = 0.0;
  std::size_t hi = n - 1;
  while (high + psd[hi] < 0.005 * total) high += psd[hi--];
  return static_cast<double>(hi - lo + 1) / static_cast<double>(n) * ratio;
}

TEST(ExactSpectrum, OccupiedBandwidthsMatchTheirTheory) {
  // An RRC QPSK file with a drawn roll-off: the raised-cosine spectrum's own 99 % band at the
  // labelled roll-off, integrated here from its formula.
  const RunSettings s = exact_run({.names = {"QPSK"}, .sample_rate = 3700.0, .samples = 1 << 17, .symbol_rate = 1000.0,
                                   .snr_db = HUGE_VAL, .ranges = {{"rolloff", {0.2, 0.5}}}});
  const PlannedFile file = first_file(s, 4);
  const double a = label(labels_of(s, file), "rolloff");
  const auto rc = [a](double f) {
    const double edge = (1 - a) / 2;
    if (f <= edge) return 1.0;
    if (f >= (1 + a) / 2) return 0.0;
    return 0.5 * (1 + std::cos(std::numbers::pi / a * (f - edge)));
  };
  double total = 0.0;
  for (double f = 0; f < 1; f += 1e-5) total += rc(f);
  double tail = 0.0;
  double f99 = 1.0;
  while (tail < 0.005 * total) tail += rc(f99 -= 1e-5);
  const double rrc_band = occupied_bandwidth(synthesize_exact_file(s, file), 3.7);
  EXPECT_NEAR(rrc_band / (2 * f99), 1.0, 0.05) << rrc_band << " vs " << 2 * f99 << " at roll-off " << a;
  const WaveformParameters p = clean(3.7, 1 << 17);
  // GMSK at BT 0.3 holds 99 % of its power within about 0.9 Rs; MSK within about 1.2 Rs.
  EXPECT_NEAR(occupied_bandwidth(test::waveform_samples("GMSK", p), 3.7), 0.9, 0.045);
  EXPECT_NEAR(occupied_bandwidth(test::waveform_samples("MSK", p), 3.7), 1.2, 0.06);
  // A GMSK file with a drawn BT: the 99 % band at the labelled BT, from the published 99 % power
  // bandwidths of GMSK (0.79 Rs at BT 0.2, 0.86 at 0.25, 1.04 at 0.5), linear between them.
  RunSettings g = s;
  g.modulations = {"GMSK"};
  g.exact.family_ranges = {{"gmsk_bt", {0.2, 0.25}}};
  const PlannedFile gmsk = first_file(g, 4);
  const double bt = label(labels_of(g, gmsk), "gmsk_bt");
  ASSERT_TRUE(bt >= 0.2 && bt <= 0.5) << bt;
  const double expected = bt <= 0.25 ? 0.79 + (bt - 0.2) / 0.05 * 0.07 : 0.86 + (bt - 0.25) / 0.25 * 0.18;
  EXPECT_NEAR(occupied_bandwidth(synthesize_exact_file(g, gmsk), 3.7), expected, 0.05 * expected) << "at BT " << bt;
}

// ---- Power.

// With a fixed-length frame and frame power as the one feature, a nearest-class-mean classifier is
// at chance over every name at -30 dB: every file has the same nominal power and the noise is set
// by it, so the power tells no class (analog files kept their drawn amplitude before, and the
// noise followed each file's measured power).
TEST(ExactPower, FramePowerTellsNoClassWhenTheSignalIsBuried) {
  RunSettings s = exact_run({.files = 200, .sample_rate = 100000, .samples = 1024, .snr_db = -30,
                             .ranges = {{"am_index", {0.2, 1.0}}}});
  // A standard's own rate does not fit this band.
  for (const ModulationRow& row : modulation_catalogue) {
    if (!is_standard(row)) s.modulations.emplace_back(row.name);
  }
  s.symbol_rate_min = 1000;
  s.symbol_rate_max = 5000;
  s.timing_error_max = 0.1;
  s.frequency_offset_max = 100;
  s.amplitude_min = 0.5;
  s.amplitude_max = 1.0;
  s.analog_carrier_frequency = 1000;
  s.analog_deviation = 500;
  ASSERT_EQ(band_misfit(s), std::nullopt);
  RunPlan plan(s, 1);
  const std::size_t classes = s.modulations.size();
  std::vector<double> train_sum(classes, 0.0);
  std::vector<std::pair<std::size_t, double>> test;  // class and power of every even file
  while (std::optional<PlannedFile> file = plan.next()) {
    file->seeds = derive_file_seeds(1, file->modulation, file->index);
    const double power = mean_power(synthesize_exact_file(s, *file));
    const std::size_t c = modulation_class_index(file->modulation);
    if (file->index % 2 == 1) {
      train_sum[c] += power;
    } else {
      test.emplace_back(c, power);
    }
  }
  // Each class's mean over its 100 odd files; the even ones are classified.
  std::size_t right = 0;
  for (const std::pair<std::size_t, double>& file : test) {
    const auto nearer = [&file](double a, double b) { return std::abs(file.second - a / 100.0) < std::abs(file.second - b / 100.0); };
    right += std::min_element(train_sum.begin(), train_sum.end(), nearer) - train_sum.begin() == static_cast<std::ptrdiff_t>(file.first);
  }
  const double accuracy = static_cast<double>(right) / static_cast<double>(test.size());
  const double chance = 1.0 / static_cast<double>(classes);
  const double spread = std::sqrt(chance * (1.0 - chance) / static_cast<double>(test.size()));
  EXPECT_LT(accuracy, chance + 3.0 * spread) << "chance " << chance;
}

// Each kind's carrier and sideband lines at their theoretical amplitudes, and no line elsewhere:
// AM's carrier and A index / 2 sidebands, SSB's and the fixed sides' one tone, DSB-SC's two
// sidebands of A / sqrt(2) without a carrier, FM's Bessel lines. 10000 samples at 10 kHz: every
// frequency below is a whole number of cycles (bins of 1 Hz), the carrier mixed up to 1500 Hz.
TEST(ExactAnalog, CarrierAndSidebandLinesHaveTheirTheoreticalAmplitudes) {
  const double dsb = 0.8 / std::sqrt(2.0);
  const struct {
    Route route;
    Sideband side;
    std::vector<std::pair<double, double>> lines;  // Hz, amplitude
  } cases[] = {
      {Route::am, Sideband::lower, {{1500, 0.8}, {1200, 0.2}, {1800, 0.2}, {500, 0.0}}},  // no image below zero
      {Route::am_ssb, Sideband::lower, {{1200, 0.8}, {1800, 0.0}}},
      {Route::am_ssb, Sideband::upper, {{1800, 0.8}, {1200, 0.0}}},
      {Route::am_dsb_sc, Sideband::lower, {{1500, 0.0}, {1200, dsb}, {1800, dsb}}},
      {Route::am_lsb, Sideband::upper, {{1200, 0.8}, {1800, 0.0}}},
      {Route::am_usb, Sideband::lower, {{1800, 0.8}, {1200, 0.0}}},
      {Route::fm, Sideband::lower, {{1500, 0.0}, {1800, 0.0}, {2100, 0.0}, {2400, 0.0}}},  // Bessel lines, below
  };
  for (const auto& c : cases) {
    const std::array draws{0.5};  // the analog family's AM index
    const WaveformParameters p{.sample_rate = 1e4, .num_samples = 10000, .family_draws = draws, .amplitude = 0.8,
                               .carrier_frequency = 1000, .message_frequency = 300, .deviation = 600, .message_phase = 0.7,
                               .sideband = c.side};
    const Signal x = apply_carrier_offset(test::waveform_samples(analog_waveform(c.route), p), 500.0, 1e4);
    for (int order = 0; order < static_cast<int>(c.lines.size()); ++order) {
      const auto [f, amplitude] = c.lines[static_cast<std::size_t>(order)];
      const double expected = c.route == Route::fm ? 0.8 * std::abs(std::cyl_bessel_j(order, 2.0)) : amplitude;
      EXPECT_NEAR(std::sqrt(test::tone_power(x, f, 1e4)), expected, 1e-9) << static_cast<int>(c.route) << " at " << f << " Hz";
    }
  }
}

// A tone of known frequency in a real series, y = a + b sin(w k + phi), by least squares on
// a + c sin(w k) + d cos(w k): its phase phi = atan2(d, c) and its depth b / a.
struct ToneFit {
  double phase;
  double depth;
};

ToneFit fit_tone(const std::vector<double>& y, double cycles_per_sample) {
  double m[3][4] = {};
  for (std::size_t k = 0; k < y.size(); ++k) {
    const double basis[3] = {1.0, std::sin(two_pi * cycles_per_sample * static_cast<double>(k)),
                             std::cos(two_pi * cycles_per_sample * static_cast<double>(k))};
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) m[i][j] += basis[i] * basis[j];
      m[i][3] += basis[i] * y[k];
    }
  }
  for (int i = 0; i < 3; ++i) {  // Gauss-Jordan on the normal equations
    for (int r = 0; r < 3; ++r) {
      if (r == i) continue;
      const double factor = m[r][i] / m[i][i];
      for (int j = 0; j < 4; ++j) m[r][j] -= factor * m[i][j];
    }
  }
  const double c = m[1][3] / m[1][1], d = m[2][3] / m[2][2];
  return {std::atan2(d, c), std::hypot(c, d) / (m[0][3] / m[0][0])};
}

// Analog carriers move file by file by their labelled offsets inside a carrier range, AM's message
// starts at its labelled phase and has its labelled index, and AM-SSB takes the labelled side:
// measured on the samples.
TEST(ExactAnalog, CarrierOffsetMessagePhaseAndSidebandAreDrawnAndLabelled) {
  RunSettings s = exact_run({.names = {"AM", "AM-SSB", "CW"}, .files = 12, .sample_rate = 20000, .samples = 4000,
                             .snr_db = HUGE_VAL, .ranges = {{"am_index", {0.8, 0.8}}}});
  s.frequency_offset_min = -1000;
  s.frequency_offset_max = 1000;
  s.mix_frequency = 250;
  s.amplitude_min = s.amplitude_max = 1;
  s.analog_carrier_frequency = 1000;
  s.exact.analog_fc_max = 1500;
  RunPlan plan(s, 3);
  std::vector<double> lines;
  std::vector<std::string> sides;
  while (std::optional<PlannedFile> file = plan.next()) {
    file->seeds = derive_file_seeds(3, file->modulation, file->index);
    const Signal x = synthesize_exact_file(s, *file);
    const std::vector<ParameterRow> rows = file_parameters({s, *file, 3u});
    const double carrier = label(rows, "carrier_frequency") + label(rows, "frequency_offset") + s.mix_frequency;
    EXPECT_GE(label(rows, "carrier_frequency"), 1000.0);
    EXPECT_LE(label(rows, "carrier_frequency"), 1500.0);
    const double line = test::strongest_tone(x, s.sample_rate);
    lines.push_back(line - s.mix_frequency);
    if (file->modulation == "AM-SSB") {
      const std::string side = test::label_text(rows, "sideband");
      sides.push_back(side);
      const double sign = side == "upper" ? 1.0 : -1.0;
      EXPECT_NEAR(line, carrier + sign * label(rows, "message_frequency"), 0.05) << file->index;
      // The tone's own phase at sample 0 (at the frequency just measured) is the message's, its
      // conjugate on the lower side.
      const double turns = (carrier + sign * label(rows, "message_frequency")) / s.sample_rate;
      const auto sum = test::phasor_sum(x, [turns](std::size_t k) { return -turns * static_cast<double>(k); });
      EXPECT_NEAR(std::remainder(static_cast<double>(std::arg(sum)) - sign * label(rows, "message_phase"), two_pi), 0.0, 1e-3) << file->index;
      continue;
    }
    EXPECT_NEAR(line, carrier, 0.05) << file->modulation << " " << file->index;
    if (file->modulation == "AM") {
      std::vector<double> envelope(x.size());
      for (std::size_t k = 0; k < x.size(); ++k) envelope[k] = std::abs(x[k]);
      const ToneFit message = fit_tone(envelope, label(rows, "message_frequency") / s.sample_rate);
      EXPECT_NEAR(std::remainder(message.phase - label(rows, "message_phase"), two_pi), 0.0, 1e-6) << file->index;
      EXPECT_NEAR(message.depth, label(rows, "am_index"), 1e-6) << file->index;
    }
  }
  // The lines spread over the offsets' and carriers' ranges rather than sitting at one place.
  EXPECT_GT(*std::max_element(lines.begin(), lines.end()) - *std::min_element(lines.begin(), lines.end()), 1500.0);
  EXPECT_NE(std::find(sides.begin(), sides.end(), "upper"), sides.end());
  EXPECT_NE(std::find(sides.begin(), sides.end(), "lower"), sides.end());
}

// The total carrier offset counts the mixing frequency, the drawn offset, the clock's share of the
// RF carrier and the clock's scaling of every frequency: a CW file's line sits at its carrier plus
// that total, 1.1 Hz away from the sum without the scaling.
TEST(ExactAnalog, TotalCarrierOffsetIsWhereTheCarrierLineSits) {
  RunSettings s = exact_run({.sample_rate = 100000, .samples = 8000});
  s.mix_frequency = -300;
  s.exact.impairments.rf_frequency = 1e8;
  const PlannedFile file{.modulation = "CW", .amplitude = 1.0, .snr_db = HUGE_VAL, .frequency_offset = 77.0, .seeds = {1, 2},
                         .carrier_frequency = 1000.0, .impairments = {.clock_ppm = 100.0}};
  const std::vector<ParameterRow> rows = labels_of(s, file);
  const double line = test::strongest_tone(synthesize_exact_file(s, file), s.sample_rate);
  EXPECT_NEAR(line, 1000.0 + label(rows, "total_carrier_offset"), 0.05);
  EXPECT_GT(std::abs(line - (1000.0 - 300.0 + 77.0 + 1e8 * 100e-6)), 1.0);
}

// ---- Settings: options, the band check, frames.

// The options given, by name, the others left at their defaults.
using Given = std::vector<std::pair<std::string_view, std::string>>;
std::variant<ExactSettings, std::string> read_given(const Given& given) {
  ExactTexts texts(exact_options().size());
  for (const auto& [option, text] : given) {
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (exact_options()[i].option == option) texts[i] = text;
    }
  }
  return read_exact_options(texts);
}

TEST(ExactOptions, RefusalsNameTheOptionAndTheAcceptedValues) {
  const struct {
    const char* option;
    const char* text;
    const char* message;
  } cases[] = {
      {"--pulse", "RRC", "--pulse takes rrc, rect or linear, not 'RRC'; did you mean rrc?"},
      {"--samples-per-file", "1e3", "--samples-per-file takes a whole number from 0 to 67108864, not '1e3'"},
      {"--message-frequency-max", "nan", "--message-frequency-max takes a number above 0 up to 1e12, not 'nan'"},
  };
  for (const auto& c : cases) {
    const auto result = read_given({{c.option, c.text}});
    ASSERT_TRUE(std::holds_alternative<std::string>(result)) << c.option;
    EXPECT_EQ(std::get<std::string>(result), c.message);
  }
}


// README's number rule, the form's (whose own tests hold its every case against the C library):
// white space, a sign and hexadecimal are read; an underflow that loses digits, anything after the
// number and what is not finite are refused, naming the option; whole numbers in base 10 only.
TEST(ExactOptions, NumbersFollowTheFormsRule) {
  for (const auto& [text, value] : {std::pair{"\n+0.5", 0.5}, std::pair{"0X.8P0", 0.5}, std::pair{"1e-320", -1.0},
                                    std::pair{"0.5x", -1.0}, std::pair{"nan", -1.0}, std::pair{"-inf", -1.0}}) {
    const auto result = read_given({{"--rolloff-max", text}});
    const auto* read = std::get_if<ExactSettings>(&result);
    EXPECT_EQ(read ? read->family_ranges.at("rolloff")[1] : -1.0, value) << text;
    if (!read) {
      EXPECT_EQ(std::get<std::string>(result), "--rolloff-max takes a number from 0 to 1, not '" + std::string(text) + "'");
    }
  }
  for (const auto& [text, value] : {std::pair{" +64", 64}, std::pair{"\t64", 64}, std::pair{"0x40", -1}, std::pair{"64 ", -1},
                                    std::pair{"1e3", -1}}) {
    const auto result = read_given({{"--samples-per-file", text}});
    EXPECT_EQ(std::holds_alternative<ExactSettings>(result) ? std::get<ExactSettings>(result).samples_per_file : -1, value)
        << text;
  }
}

// The fading's delays and the clock's drift read margins beyond each file, which count against
// the per-file limit: a frame too long for them is refused before the run, naming the option.
TEST(ExactOptions, FramesTooLongForTheStagesMarginsAreRefused) {
  const std::string limit = std::to_string(max_samples_per_file);
  EXPECT_TRUE(std::holds_alternative<ExactSettings>(read_given({{"--samples-per-file", limit}})));
  const struct {
    const char* name;
    std::initializer_list<std::pair<std::string_view, std::string>> stages;
  } cases[] = {
      {"fading", {{"--fading", "rayleigh"}, {"--fading-delays", "0,3.5"}, {"--fading-gains", "0,-3"}}},
      {"clock", {{"--clock-ppm-min", "-1000"}, {"--clock-ppm-max", "20"}}},
      {"both", {{"--fading", "rician"}, {"--clock-ppm-max", "1000"}}},
  };
  for (const auto& c : cases) {
    const std::int64_t longest = longest_framed_file(std::get<ExactSettings>(read_given(c.stages)).impairments);
    EXPECT_LT(longest, static_cast<std::int64_t>(max_samples_per_file)) << c.name;
    const auto with_length = [&](std::int64_t length) {
      Given given(c.stages);
      given.emplace_back("--samples-per-file", std::to_string(length));
      return read_given(given);
    };
    EXPECT_TRUE(std::holds_alternative<ExactSettings>(with_length(longest))) << c.name;
    const auto refused = with_length(longest + 1);
    ASSERT_TRUE(std::holds_alternative<std::string>(refused)) << c.name;
    EXPECT_EQ(std::get<std::string>(refused),
              "--samples-per-file takes a whole number from 0 to " + std::to_string(longest) +
                  " with these --fading and --clock-ppm-min/max settings (their margins count against the limit of " +
                  limit + " samples), not '" + std::to_string(longest + 1) + "'")
        << c.name;
  }
}

// --adc-bits-min above --adc-bits-max is drawn between the two, as every reversed range is: the
// same draws as the range the right way round.
TEST(ExactOptions, AReversedAdcRangeIsDrawnBetweenItsEnds) {
  RunSettings s = exact_run({.names = {"QPSK"}, .files = 200, .sample_rate = 50000, .symbol_rate = 1000});
  const auto draws = [&](std::int32_t first, std::int32_t second) {
    s.exact.impairments.adc_bits_min = first;
    s.exact.impairments.adc_bits_max = second;
    RunPlan plan(s, 3);
    std::vector<std::int32_t> bits;
    while (const std::optional<PlannedFile> file = plan.next()) bits.push_back(file->impairments.adc_bits.value_or(0));
    return bits;
  };
  const std::vector<std::int32_t> reversed = draws(16, 8);
  EXPECT_EQ(reversed, draws(8, 16));
  EXPECT_EQ(*std::min_element(reversed.begin(), reversed.end()), 8);
  EXPECT_EQ(*std::max_element(reversed.begin(), reversed.end()), 16);
}

// The symbol rate drawn log-uniformly, or as the sample rate over drawn samples per symbol: the
// share of files below the geometric middle of the range tells the laws apart (1/2 for the log
// law, 1/11 for the uniform one over 1 kBd .. 100 kBd), and every file's realised samples per
// symbol lie in the range asked for.
TEST(ExactOptions, SymbolRatesDrawnOnALogScaleOrBySamplesPerSymbol) {
  RunSettings s = exact_run({.names = {"QPSK"}, .files = 2000, .sample_rate = 1e6, .samples = 256});
  s.symbol_rate_min = 1000;
  s.symbol_rate_max = 100000;
  const auto share_below = [&](double middle) {
    RunPlan plan(s, 5);
    double below = 0.0;
    while (const std::optional<PlannedFile> file = plan.next()) below += file->symbol_rate < middle ? 1.0 : 0.0;
    return below / s.files_per_modulation;
  };
  EXPECT_NEAR(share_below(10000), 9000.0 / 99000.0, 0.02);  // linear
  s.exact.symbol_rate_scale = RateScale::log;
  EXPECT_NEAR(share_below(10000), 0.5, 0.035);  // 3.1 standard deviations of 2000 draws
  s.exact.samples_per_symbol_min = 2;
  s.exact.samples_per_symbol_max = 16;
  EXPECT_NEAR(share_below(s.sample_rate / std::sqrt(32.0)), 0.5, 0.035);
  RunPlan plan(s, 6);
  while (const std::optional<PlannedFile> file = plan.next()) {
    const double per_symbol = exact_realised_timing(s, *file).samples_per_symbol;
    ASSERT_GE(per_symbol, 2.0);
    ASSERT_LE(per_symbol, 16.0);
  }
  // The band check takes the fewest samples per symbol, and names that option.
  s.modulations = {"8FSK"};
  s.exact.samples_per_symbol_min = 8;  // (7 + 2) Rs at Rs = fs / 8 is wider than fs
  EXPECT_NE(band_misfit(s).value_or("").find("narrow --samples-per-symbol-min,"), std::string::npos);
  s.exact.samples_per_symbol_min = 10;
  EXPECT_EQ(band_misfit(s), std::nullopt);
}

// The band check refuses what would alias, naming the options that move the band, and accepts
// what fits; two ways out of the band it once missed count too: a clock offset moving the RF
// carrier, and a Doppler spread.
TEST(ExactOptions, BandCheckRefusesWhatWouldAliasAndAcceptsWhatFits) {
  RunSettings s = exact_run({.names = {"QPSK", "GMSK", "FM", "4FSK"}, .files = 0, .sample_rate = 10000});
  s.symbol_rate_min = 1000;
  s.symbol_rate_max = 5000;
  s.frequency_offset_max = 100;
  s.analog_carrier_frequency = 1000;
  s.analog_deviation = 500;
  EXPECT_NE(band_misfit(s).value_or("").find("4FSK does not fit"), std::string::npos);
  s.symbol_rate_max = 1600;  // 4FSK: (3 + 2) x 1600 = 8000 Hz wide, 4100 Hz from the centre at most
  EXPECT_EQ(band_misfit(s), std::nullopt);
  s.mix_frequency = 2500;  // FM reaches 1000 + 2500 + 2500 = 6000 Hz
  EXPECT_NE(band_misfit(s).value_or("").find("FM does not fit"), std::string::npos);
  s.sample_rate = 100000;
  s.symbol_rate_max = 5000;
  s.mix_frequency = 0;
  s.modulations = {"QPSK", "AM"};
  ImpairmentSettings& x = s.exact.impairments;
  x.clock_ppm_min = x.clock_ppm_max = 20;
  EXPECT_EQ(band_misfit(s), std::nullopt) << "20 ppm of the band itself fits";
  x.rf_frequency = 3e9;  // 60 kHz of carrier
  EXPECT_EQ(band_misfit(s).value_or(""),
            "QPSK does not fit in the band of the sample rate: its signal may reach from 56626.132499999985 Hz to "
            "63476.26949999999 Hz, beyond -50000 .. 50000 Hz. Raise --sample-rate or narrow --symbol-rate-max, "
            "--frequency-offset-min/max, --mix-frequency, --rolloff-max, --clock-ppm-min/max, --rf-frequency.");
  x.clock_ppm_min = -10;
  x.clock_ppm_max = 10;  // 30 kHz of carrier each way at most: fits
  EXPECT_EQ(band_misfit(s), std::nullopt);
  x = ImpairmentSettings{};
  x.fading = Fading::rayleigh;
  x.doppler_max = 60000;
  EXPECT_EQ(band_misfit(s).value_or(""),
            "QPSK does not fit in the band of the sample rate: its signal may reach from -63375 Hz to 63475 Hz, beyond "
            "-50000 .. 50000 Hz. Raise --sample-rate or narrow --symbol-rate-max, --frequency-offset-min/max, "
            "--mix-frequency, --rolloff-max, --doppler-min/max.");
  s.modulations = {"AM"};
  EXPECT_NE(band_misfit(s).value_or("").find("AM does not fit"), std::string::npos);
  x.doppler_max = 40000;
  EXPECT_EQ(band_misfit(s), std::nullopt);
}

// Frames start uniformly within a symbol (each name keeps its length there: the catalogue-wide test).
TEST(ExactFrames, StartsAreUniform) {
  RunSettings s = exact_run({.names = {"QPSK", "8FSK"}, .files = 1000, .sample_rate = 50000, .samples = 1000});
  s.symbol_rate_min = 1000;
  s.symbol_rate_max = 4000;
  RunPlan plan(s, 5);
  std::vector<double> starts;
  while (const std::optional<PlannedFile> file = plan.next()) starts.push_back(file->start_offset);
  ASSERT_EQ(starts.size(), 2000u);
  std::sort(starts.begin(), starts.end());
  double distance = 0.0;  // Kolmogorov-Smirnov against the uniform law on [0, 1)
  for (std::size_t i = 0; i < starts.size(); ++i) {
    distance = std::max({distance, std::abs(starts[i] - static_cast<double>(i) / 2000.0),
                         std::abs(starts[i] - static_cast<double>(i + 1) / 2000.0)});
  }
  EXPECT_LT(distance, 1.63 / std::sqrt(2000.0));  // the 1 % critical value
}


// ---- The exact model's own names, each against a reference written here.


// A Gaussian kind's 99 % band is narrower than its rectangular twin's, and at index 1/2 it is
// GMSK's own for the labelled BT (0.86 Rs at 0.25, 1.04 Rs at 0.5).
TEST(ExactKeyed, GaussianBandsAreNarrowerAndFollowTheirBt) {
  WaveformParameters p = clean(12.3, 1 << 16);
  std::array draws{0.5, 0.3};  // the keyed family's FSK index and BT
  p.family_draws = draws;
  for (const auto& [gaussian, rectangular] : {std::pair{"2GFSK", "2FSK"}, std::pair{"4GFSK", "4FSK"}, std::pair{"16GFSK", "16FSK"},
                                              std::pair{"4GMSK", "4MSK"}, std::pair{"16GMSK", "16MSK"}}) {
    EXPECT_LT(occupied_bandwidth(test::waveform_samples(gaussian, p), 12.3),
              0.85 * occupied_bandwidth(test::waveform_samples(rectangular, p), 12.3))
        << gaussian;
  }
  for (const auto& [bt, band] : {std::pair{0.25, 0.86}, std::pair{0.5, 1.04}}) {
    draws[1] = bt;
    EXPECT_NEAR(occupied_bandwidth(test::waveform_samples("2GFSK", p), 12.3), band, 0.05 * band) << bt;
  }
}

// Noise: white noise of the power a file of its drawn SNR has, flat over the band with no line
// above the floor, labelled with that power (its other labels are exact_corpus's).
TEST(ExactNoise, FlatNoiseOfTheDrawnPowerWithoutASignal) {
  const RunSettings s = exact_run({.names = {"Noise"}, .sample_rate = 20000.0, .samples = 1 << 17, .snr_db = 10.0});
  const PlannedFile file = first_file(s, 3);
  const Signal x = synthesize_exact_file(s, file);
  ASSERT_EQ(x.size(), std::size_t{1} << 17);
  EXPECT_NEAR(mean_power(x), 1.1, 0.02);
  const std::size_t n = 1024;
  const std::vector<double> psd = test::centred_psd(x, n);
  const double mean = std::accumulate(psd.begin(), psd.end(), 0.0) / static_cast<double>(n);
  for (std::size_t band = 0; band < 16; ++band) {
    const double part = std::accumulate(psd.begin() + static_cast<std::ptrdiff_t>(band * n / 16),
                                        psd.begin() + static_cast<std::ptrdiff_t>((band + 1) * n / 16), 0.0) /
                        static_cast<double>(n / 16);
    EXPECT_NEAR(part / mean, 1.0, 0.1) << band;
  }
  // 255 averaged periodograms: a bin's spread is about 7 %, so no bin of plain noise reaches 1.6.
  EXPECT_LT(*std::max_element(psd.begin(), psd.end()) / mean, 1.6);
  EXPECT_NEAR(label(labels_of(s, file), "noise_power_db"), 10.0 * std::log10(1.1), 1e-12);
}


// ---- OFDM and chirps: files made as a run makes them, read by receivers written here.

struct MadeFile {
  RunSettings settings;
  Signal x;
  std::vector<ParameterRow> rows;
};

// A noise-free file of `name` in a run of these ranges; `symbols` > 0 counts symbols instead of
// a fixed length (then the file starts on a symbol).
MadeFile made_file(const std::string& name, FamilyRanges ranges, std::int64_t samples, std::int32_t symbols = 0,
                   double timing_error = 0.0) {
  RunSettings s = exact_run({.names = {name}, .sample_rate = 20e6, .samples = symbols > 0 ? 0 : samples,
                             .symbol_rate = 20e6 / 37.0, .ranges = std::move(ranges)});
  s.num_symbols = symbols;
  s.timing_error_min = s.timing_error_max = timing_error;
  PlannedFile file = first_file(s, 5);
  file.snr_db = HUGE_VAL;
  Signal x = synthesize_exact_file(s, file);
  return {s, std::move(x), labels_of(s, file)};
}


// The textbook CSS symbol s of M chips at one sample a chip: the up-chirp started at s,
// exp(j 2 pi ((n + s)(n + s - M) - s (s - M)) / 2M).
Sample css_chip(std::int64_t n, std::int64_t s, std::int64_t m) {
  const auto c = n + s;
  const double turns = static_cast<double>(c * (c - m) - s * (s - m)) / (2.0 * static_cast<double>(m));
  return std::polar(1.0, two_pi * (turns - std::floor(turns)));
}

// Dechirped by the base up-chirp, every symbol is one DFT line, and the symbols found rebuild the
// file from the textbook chirp to rounding (the phasor's runs lose nothing that shows) at every
// spreading factor; symbols_test reads them against their labels.
TEST(ExactChirp, DechirpAndDftRecoversEveryCssSymbol) {
  for (const int sf : {7, 9, 12}) {
    const MadeFile f = made_file("CSS", {{"chirp_bandwidth", {1.0, 1.0}}, {"spreading_factor", {sf * 1.0, sf * 1.0}}}, 0, 24);
    const std::int64_t m = std::int64_t{1} << sf;
    ASSERT_EQ(f.x.size(), static_cast<std::size_t>(24 * m)) << sf;
    EXPECT_EQ(label(f.rows, "spreading_factor"), sf);
    EXPECT_NEAR(label(f.rows, "realised_symbol_rate"), f.settings.sample_rate / static_cast<double>(m), 1e-6);
    for (std::int64_t n = 0; n < 24; ++n) {
      Signal dechirped(static_cast<std::size_t>(m));
      for (std::int64_t i = 0; i < m; ++i) dechirped[static_cast<std::size_t>(i)] = f.x[static_cast<std::size_t>(n * m + i)] * std::conj(css_chip(i, 0, m));
      const Signal line = fft(std::move(dechirped), FftDirection::forward);
      const auto top = std::max_element(line.begin(), line.end(), [](Sample a, Sample b) { return std::abs(a) < std::abs(b); });
      const std::int64_t s = top - line.begin();
      for (std::int64_t i = 0; i < m; ++i) {
        ASSERT_LT(std::abs(f.x[static_cast<std::size_t>(n * m + i)] - css_chip(i, s, m)), 1e-11) << sf << " symbol " << n;
      }
    }
  }
}

// The instantaneous frequency's slope, Hz per sample, of x[first .. last] by least squares.
double frequency_slope(const Signal& x, std::size_t first, std::size_t last) {
  double sk = 0.0, sf = 0.0, skk = 0.0, skf = 0.0;
  double n = 0.0;
  for (std::size_t k = first; k < last; ++k) {
    const double f = std::arg(x[k + 1] * std::conj(x[k])) / two_pi;
    const double kk = static_cast<double>(k - first);
    sk += kk, sf += f, skk += kk * kk, skf += kk * f, n += 1.0;
  }
  return (n * skf - sk * sf) / (n * skk - sk * sk);
}

// Radar pulses are as wide and as far apart as labelled, to the sample, and each sweeps the
// labelled bandwidth over the pulse, in the labelled direction.
TEST(ExactChirp, RadarPulsesAndSweepAsLabelled) {
  for (const double direction : {0.0, 1.0}) {
    const MadeFile f = made_file("LFM-radar", {{"chirp_bandwidth", {0.3, 0.6}}, {"pulse_width", {90, 140}},
                                               {"duty_cycle", {0.2, 0.3}}, {"sweep_direction", {direction, direction}}}, 1 << 15);
    const double width = label(f.rows, "pulse_width");
    const double interval = f.settings.sample_rate / label(f.rows, "symbol_rate");
    EXPECT_EQ(test::label_text(f.rows, "sweep_direction"), direction == 1.0 ? "up" : "down");
    EXPECT_NEAR(label(f.rows, "duty_cycle"), width / interval, 0.5 / interval);
    std::vector<std::size_t> starts;
    std::vector<std::size_t> ends;
    for (std::size_t k = 1; k < f.x.size(); ++k) {
      const bool on = std::abs(f.x[k]) > 1e-9;
      const bool was = std::abs(f.x[k - 1]) > 1e-9;
      if (on && !was) starts.push_back(k);
      if (!on && was && !starts.empty()) ends.push_back(k);
    }
    ASSERT_GT(ends.size(), 10u);
    const double slope = label(f.rows, "chirp_bandwidth") * f.settings.sample_rate / width;  // Hz per sample
    for (std::size_t i = 0; i < ends.size(); ++i) {
      EXPECT_EQ(static_cast<double>(ends[i] - starts[i]), width) << i;
      if (i > 0) {
        EXPECT_NEAR(static_cast<double>(starts[i] - starts[i - 1]), interval, 1.0) << i;
      }
      const double measured = frequency_slope(f.x, starts[i], ends[i] - 2) * f.settings.sample_rate;
      EXPECT_NEAR(measured / (direction == 1.0 ? slope : -slope), 1.0, 5e-3) << i;
    }
  }
}

// LFM-data sweeps its bandwidth over each symbol, up or down.
TEST(ExactChirp, DataSymbolsSweepTheBandwidthOverASymbol) {
  const MadeFile f = made_file("LFM-data", {{"chirp_bandwidth", {0.5, 0.5}}}, 1 << 14);
  const double period = f.settings.sample_rate / label(f.rows, "symbol_rate");
  const double start = -label(f.rows, "start_offset") * period;  // symbol 0's first instant, samples
  const double slope = 0.5 * f.settings.sample_rate / period;     // B / T, Hz per sample
  int ups = 0;
  for (double t = start + period; t + period < static_cast<double>(f.x.size()); t += period) {
    const auto first = static_cast<std::size_t>(std::ceil(t));
    const auto last = static_cast<std::size_t>(std::floor(t + period)) - 2;
    const double measured = frequency_slope(f.x, first, last) * f.settings.sample_rate;
    EXPECT_NEAR(std::abs(measured) / slope, 1.0, 5e-3) << t;
    ups += measured > 0.0;
  }
  EXPECT_GT(ups, 100);
  EXPECT_LT(ups, 330);
}

class ExactOfdm : public testing::TestWithParam<int> {};

// The cyclic prefix shows as the autocorrelation's peak at lag N and as exactly CP repeated
// samples per symbol where labelled (the symbols' test reads the subcarriers); the power occupies
// K x spacing.
TEST_P(ExactOfdm, PrefixAndBandAsLabelled) {
  const int active = GetParam();
  const MadeFile f = made_file("OFDM-" + std::to_string(active), {}, 1 << 16);
  const Signal& x = f.x;
  const auto n = static_cast<std::int64_t>(label(f.rows, "fft_size"));
  const auto cp = static_cast<std::int64_t>(label(f.rows, "cyclic_prefix_samples"));
  const double length = static_cast<double>(n + cp);
  const double fs = f.settings.sample_rate;
  // From N/4: nearer lags see the band's own correlation (K/N of the rate is occupied).
  const std::vector<double> r = test::autocorrelation(x);
  const auto lag = [&](std::int64_t k) { return r.begin() + static_cast<std::ptrdiff_t>(k); };
  EXPECT_EQ(std::max_element(lag(n / 4), lag(2 * n + 1)) - r.begin(), n);
  // Symbol 0 starts `offset` samples before sample 0.
  const double offset = label(f.rows, "start_offset") * length;
  std::size_t wrong = 0;
  for (std::size_t k = 0; k + static_cast<std::size_t>(n) < x.size(); ++k) {
    const double into = std::fmod(static_cast<double>(k) + offset, length);
    const bool repeated = std::abs(x[k] - x[k + static_cast<std::size_t>(n)]) < 1e-9;
    wrong += repeated != (into < static_cast<double>(cp));
  }
  EXPECT_EQ(wrong, 0u);
  // The occupied band: between the outermost frequencies at half the band's typical density.
  const std::size_t size = 4096;
  const std::vector<double> psd = test::centred_psd(x, size);
  // At least half the bins are in the band (K/N of 0.5 or more): an eighth from the top is one.
  std::vector<double> sorted(psd);
  std::nth_element(sorted.begin(), sorted.begin() + size / 8, sorted.end(), std::greater<>());
  const double half = 0.5 * sorted[size / 8];
  std::size_t lo = 0, hi = size - 1;
  while (psd[lo] < half) ++lo;
  while (psd[hi] < half) --hi;
  const double measured = static_cast<double>(hi - lo + 1) * fs / size;
  EXPECT_NEAR(measured / (active * label(f.rows, "subcarrier_spacing")), 1.0, 0.02);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ExactOfdm, testing::Values(64, 72, 128, 180, 256, 300, 512, 600, 900, 1024, 1200, 2048));


// A window over the first W = CP samples of each prefix changes those samples only (the bodies a
// receiver reads stay as they were, times the gain 1 / sqrt(1 - W / (4 (N + CP))) that keeps
// unit power) and lowers the sidelobes: the power beyond eight spacings outside the band falls
// at least tenfold; under timing drift too.
TEST(ExactOfdmWindow, FadesThePrefixOnlyAndLowersTheSidelobes) {
  for (const double drift : {0.0, 0.3}) {
    SCOPED_TRACE(drift);
    FamilyRanges ranges = {{"cyclic_prefix", {0.25, 0.25}}, {"ofdm_occupancy", {0.5, 0.5}}};
    const MadeFile plain = made_file("OFDM-64", ranges, 1 << 16, 0, drift);
    ranges["ofdm_window"] = {1.0, 1.0};
    const MadeFile windowed = made_file("OFDM-64", ranges, 1 << 16, 0, drift);
    const double n = label(plain.rows, "fft_size");
    const double cp = label(plain.rows, "cyclic_prefix_samples");
    EXPECT_EQ(label(plain.rows, "window_samples"), 0.0);
    EXPECT_EQ(label(windowed.rows, "window_samples"), cp);
    const double gain = 1.0 / std::sqrt(1.0 - cp / (4.0 * (n + cp)));
    std::size_t changed = 0;
    for (std::size_t k = 0; k < plain.x.size(); ++k) changed += std::abs(gain * plain.x[k] - windowed.x[k]) > 1e-12 ? 1U : 0U;
    const double symbols = static_cast<double>(plain.x.size()) / (n + cp);
    EXPECT_LE(static_cast<double>(changed), (cp + 1.0) * (symbols + 1.0));
    EXPECT_GE(static_cast<double>(changed), (cp - 1.0) * (symbols - 1.0));
    EXPECT_NEAR(mean_power(windowed.x), 1.0, 0.03);
    const auto beyond = [&](const Signal& x) {
      const std::vector<double> psd = test::centred_psd(x, 4096);
      const double edge = (32.0 + 0.5 + 8.0) / n;  // cycles per sample
      double far = 0.0;
      for (std::size_t k = 0; k < psd.size(); ++k) far += std::abs((static_cast<double>(k) - 2048.0) / 4096.0) > edge ? psd[k] : 0.0;
      return far / std::accumulate(psd.begin(), psd.end(), 0.0);
    };
    EXPECT_LT(beyond(windowed.x), 0.1 * beyond(plain.x)) << beyond(windowed.x) << " vs " << beyond(plain.x);
  }
}

// Many subcarriers sum to a complex Gaussian: the power's CCDF P(|x|^2 > x mean) is exp(-x), so
// the level exceeded by one sample in a thousand is ln 1000 (8.39 dB) above the mean, within 0.5 dB.
TEST(ExactOfdmPapr, PowerCcdfIsTheComplexGaussiansAtOneInAThousand) {
  for (const int active : {256, 600, 2048}) {
    const MadeFile f = made_file("OFDM-" + std::to_string(active), {}, 1 << 18);
    std::vector<double> power(f.x.size());
    for (std::size_t k = 0; k < f.x.size(); ++k) power[k] = std::norm(f.x[k]);
    const double mean = std::accumulate(power.begin(), power.end(), 0.0) / static_cast<double>(power.size());
    const auto rank = power.size() - power.size() / 1000;
    std::nth_element(power.begin(), power.begin() + static_cast<std::ptrdiff_t>(rank), power.end());
    EXPECT_NEAR(10.0 * std::log10(power[rank] / mean), 10.0 * std::log10(std::log(1000.0)), 0.5) << active;
  }
}


// A drifting clock samples the same subcarriers between the grid's points: the points a DFT
// receiver reads off the file without drift, summed here at each drifting instant, give the
// drifting file's samples.
TEST(ExactOfdmDrift, DriftingSamplesAreTheSubcarriersSumAtTheirInstants) {
  const Waveform w = resolve_waveform("OFDM-128");
  const std::vector<double> draws = {0.7, 0.125, 2.0};  // N = ceil(128 / 0.7) = 183, CP 23, QAM16
  const double n_size = 183.0, cp = 23.0, length = 206.0, active = 128.0;
  WaveformParameters p{.sample_rate = 1e6, .num_samples = 4000, .start_offset = 0.3, .symbol_seed = 9, .family_draws = draws};
  const Signal grid = prepare_waveform(w, p)(0, 4000);
  // A small drift and one of 4 % of the rate, both through the chirp-z transform.
  for (const double drift : {0.01, 0.8}) {
    p.timing_error = drift;
    const Signal drifting = prepare_waveform(w, p)(0, 4000);
    std::map<std::int64_t, std::vector<Sample>> points;  // by symbol, bins -64 .. 64
    for (std::int64_t n = 1; (static_cast<double>(n) - 0.3) * length + length <= 4000.0; ++n) {
      const double body = (static_cast<double>(n) - 0.3) * length + cp;
      const double first = std::ceil(body);
      const Signal y = fft(Signal(grid.begin() + static_cast<std::ptrdiff_t>(first), grid.begin() + static_cast<std::ptrdiff_t>(first) + 183),
                           FftDirection::forward);
      for (int b = -64; b <= 64; ++b) {
        points[n].push_back(y[static_cast<std::size_t>(b < 0 ? b + 183 : b)] * std::polar(std::sqrt(active) / n_size, -two_pi * b * (first - body) / n_size));
      }
    }
    double worst = 0.0;
    int compared = 0;
    for (std::size_t k = 0; k < drifting.size(); ++k) {
      const double kk = static_cast<double>(k);
      const double t = (0.3 + kk / length + kk / 4000.0 * drift) * length;
      const auto n = static_cast<std::int64_t>(std::floor(t / length));
      if (points.count(n) == 0) continue;
      const double into = t - static_cast<double>(n) * length - cp;
      Sample sum = 0.0;
      for (int b = -64; b <= 64; ++b) sum += points[n][static_cast<std::size_t>(b + 64)] * std::polar(1.0, two_pi * b * into / n_size);
      worst = std::max(worst, std::abs(sum / std::sqrt(active) - drifting[k]));
      ++compared;
    }
    EXPECT_GT(compared, 3000) << drift;
    EXPECT_LT(worst, 1e-9) << drift;
  }
}

// A Gaussian keyed range cut anywhere gives the whole range's samples to the bit: each group of
// four samples starts elsewhere in the symbols, at whole numbers of samples a symbol and not, on
// the grid and drifting, at BTs of 8 and 12 terms a sample.
TEST(ExactKeyedRanges, CutsAtAnyAlignmentGiveTheWholesSamples) {
  struct Case {
    const char* name;
    double samples_per_symbol;
    double bt;
    double drift;
  };
  for (const Case c : {Case{"GMSK", 4.0, 0.3, 0.0}, Case{"GMSK", 8.0, 0.3, 0.0}, Case{"GMSK", 4.0, 0.25, 0.0},
                       Case{"4GMSK", 4.0, 0.5, 0.0}, Case{"2GFSK", 4.0, 0.3, 0.0}, Case{"GMSK", 4.0, 0.3, 0.02},
                       Case{"GMSK", 5.3, 0.3, 0.0}, Case{"16GFSK", 2.0, 0.3, -0.4}}) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.samples_per_symbol) + " " + std::to_string(c.bt) + " " +
                 std::to_string(c.drift));
    const Waveform w = resolve_waveform(c.name);
    const std::array draws{0.7, c.bt};  // the keyed family's FSK index and BT
    const WaveformParameters p{.sample_rate = 40000.0, .num_samples = 6000, .pad_before = 9, .pad_after = 9,
                               .symbol_rate = 40000.0 / c.samples_per_symbol, .start_offset = 0.37, .timing_error = c.drift,
                               .symbol_seed = 3, .family_draws = draws};
    const Signal whole = prepare_waveform(w, p)(-9, 6018);
    test::expect_cuts_of_whole(prepare_waveform(w, p), whole, {-9, -8, -5, 0, 1, 3, 6, 103, 2998, 3001, 6009});
  }
}

}  // namespace
}  // namespace quorvin
